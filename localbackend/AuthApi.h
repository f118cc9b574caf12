#pragma once

#include "Database.h"
#include "HttpReply.h"
#include "HttpRequest.h"
#include "PasswordHasher.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace tindrel::localbackend {

struct BackendContext;

// The caller behind a user access token, or why there is none. `status`, `code` and
// `message` are the auth server's answer for the failure.
struct Authentication {
    std::optional<UserRecord> user;
    QString sessionId;
    QJsonObject claims;
    int status = 0;
    QString code;
    QString message;

    bool ok() const { return user.has_value(); }
};

// The subset of the auth server (`/auth/v1`) the app uses: password, refresh-token and PKCE
// grants, the Google sign-in page standing in for the provider, sign-out, the current user.
// Error bodies take the shape the request's X-Supabase-Api-Version asks for.
class AuthApi {
public:
    static constexpr qint64 flowStateLifetimeSeconds = 300;

    explicit AuthApi(BackendContext &context);

    // Approve the Google sign-in at once (tests), as this e-mail address.
    void setAutoApproveIdentity(const QString &email) { m_autoApproveEmail = email; }
    // Test runs trade hashing strength for speed; stored hashes keep their own count.
    void setPasswordIterations(int iterations) { m_passwordIterations = iterations; }

    // `subPath` is the path after "/auth/v1".
    HttpReply handle(const QString &subPath, const HttpRequest &request);

    // Checks a user access token: signature, expiry, user and session.
    Authentication authenticate(const QByteArray &token);

    // Creates an e-mail/password account; false when the address is taken or invalid.
    bool createUser(const QString &email, const QString &password, QString *userId = nullptr);

    // The user object of the auth API.
    QJsonObject userJson(const UserRecord &user) const;

    static HttpReply errorReply(const HttpRequest &request, int status, const QString &code, const QString &message);

private:
    HttpReply token(const HttpRequest &request);
    HttpReply passwordGrant(const HttpRequest &request, const QJsonObject &body);
    HttpReply refreshGrant(const HttpRequest &request, const QJsonObject &body);
    HttpReply pkceGrant(const HttpRequest &request, const QJsonObject &body);
    HttpReply logout(const HttpRequest &request);
    HttpReply user(const HttpRequest &request);
    HttpReply signup(const HttpRequest &request);
    HttpReply authorize(const HttpRequest &request);
    HttpReply callback(const HttpRequest &request);

    // A new session with its first refresh token, answered as a token response; none when
    // the database refused to store it.
    std::optional<QJsonObject> startSession(const UserRecord &user, const QString &method);
    QJsonObject sessionResponse(const UserRecord &user, const SessionRecord &session, const QString &refreshToken);
    HttpReply authFailure(const HttpRequest &request, const Authentication &auth);
    // The user behind a Google identity, created or linked on first use.
    std::optional<UserRecord> googleUser(const QString &email, const QString &name);
    // Where the browser goes once the flow is decided.
    HttpReply finishFlow(const HttpRequest &request, const FlowStateRecord &flow, const UserRecord &user);
    HttpReply signInPage(const FlowStateRecord &flow, const QString &error = {});

    BackendContext &m_context;
    QString m_autoApproveEmail;
    int m_passwordIterations = PasswordHasher::defaultIterations;
};

} // namespace tindrel::localbackend
