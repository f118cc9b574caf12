#pragma once

#include "supabase/User.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace supabase {

// A signed-in session: the token response of the auth server with its absolute expiry.
struct Session {
    QString accessToken;
    QString refreshToken;
    QString tokenType = QStringLiteral("bearer");
    qint64 expiresIn = 0;
    qint64 expiresAt = 0; // seconds since 1970
    QString providerToken;
    QString providerRefreshToken;
    User user;

    // Reads a token response or a stored session. `nowSeconds` fills a missing `expires_at`.
    // Nothing when the object lacks a token or its lifetime.
    static std::optional<Session> fromJson(const QJsonObject &object, qint64 nowSeconds);
    QJsonObject toJson() const;

    // True when fewer than `marginSeconds` remain before the access token expires.
    bool expiresWithin(qint64 nowSeconds, qint64 marginSeconds) const { return expiresAt - nowSeconds < marginSeconds; }
};

// The payload of a JSON Web Token, decoded without checking its signature (the server checks
// it); nothing when the text is not a three-part base64url token with a JSON object inside.
std::optional<QJsonObject> jwtPayload(const QString &token);

} // namespace supabase
