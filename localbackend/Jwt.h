#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace tindrel::localbackend {

// Compact HS256 JSON Web Tokens: the access tokens, the anonymous key and the signed storage
// URLs are all of this form, signed with the backend's one secret.
class Jwt {
public:
    static QByteArray sign(const QJsonObject &claims, const QByteArray &secret);

    // The claims when the token is a well-formed HS256 token with a valid signature; none
    // otherwise, with the reason in `error`. Expiry is the caller's business (its clock).
    static std::optional<QJsonObject> verify(const QByteArray &token, const QByteArray &secret,
                                             QString *error = nullptr);
};

} // namespace tindrel::localbackend
