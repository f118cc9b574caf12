#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace supabase {

struct HttpExchange;

// A failure of the auth client. The description is the server's own message text (callers
// classify dead sessions by it), with the HTTP status (0 when none arrived) and the error
// code the server gave ("refresh_token_not_found", "bad_code_verifier", …).
class AuthError : public std::exception {
public:
    enum class Kind {
        Api,                 // the server refused the request
        Retryable,           // no answer, a time-out or a 5xx: the session is kept
        SessionMissing,      // no session to act on
        InvalidJwt,          // a token that is not a JWT
        PkceVerifierMissing, // a code arrived but no verifier is stored
        CallbackError,       // the redirect carried error parameters
        RefreshDiscarded,    // the session changed while a refresh was in flight
    };

    AuthError(Kind kind, QString message, int status = 0, QString code = {}, QString oauthError = {});

    const char *what() const noexcept override { return m_utf8.constData(); }
    QString message() const { return m_message; }
    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    QString code() const { return m_code; }
    // The OAuth word of a callback error ("access_denied", …).
    QString oauthError() const { return m_oauthError; }
    bool isRetryable() const { return m_kind == Kind::Retryable; }
    // The server declared the session or refresh token dead.
    bool isDeadSession() const;

    // The error for an exchange that failed: transport failures and 5xx are retryable; the
    // code and message come from whichever body shape the server used.
    static AuthError fromExchange(const HttpExchange &exchange);
    static AuthError sessionMissing();

private:
    Kind m_kind;
    QString m_message;
    int m_status;
    QString m_code;
    QString m_oauthError;
    QByteArray m_utf8;
};

} // namespace supabase
