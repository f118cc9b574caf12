#include "supabase/AuthError.h"

#include "supabase/HttpExchange.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace supabase {

AuthError::AuthError(Kind kind, QString message, int status, QString code, QString oauthError)
    : m_kind(kind), m_message(std::move(message)), m_status(status), m_code(std::move(code)),
      m_oauthError(std::move(oauthError)), m_utf8(m_message.toUtf8())
{}

bool AuthError::isDeadSession() const
{
    return m_code == QLatin1String("refresh_token_not_found") || m_code == QLatin1String("refresh_token_already_used")
           || m_code == QLatin1String("session_not_found") || m_code == QLatin1String("session_expired");
}

AuthError AuthError::sessionMissing()
{
    return AuthError(Kind::SessionMissing, QStringLiteral("Auth session missing!"), 400,
                     QStringLiteral("session_missing"));
}

AuthError AuthError::fromExchange(const HttpExchange &exchange)
{
    if (!exchange.answered())
        return AuthError(Kind::Retryable, exchange.transportMessage());

    const int status = exchange.status;
    const bool retryable = (status >= 500 && status <= 504) || (status >= 520 && status <= 530);
    const QJsonDocument document = QJsonDocument::fromJson(exchange.body);
    const QJsonObject body = document.object();

    auto firstString = [&body](std::initializer_list<const char *> names) {
        for (const char *name : names) {
            const QJsonValue value = body.value(QLatin1String(name));
            if (value.isString() && !value.toString().isEmpty())
                return value.toString();
        }
        return QString();
    };
    // "code" is the error code only in the 2024-01-01 shape; the legacy shape puts the HTTP
    // status there and the code in "error_code"; the OAuth shape has only "error".
    QString code;
    if (body.value(QLatin1String("code")).isString())
        code = body.value(QLatin1String("code")).toString();
    if (code.isEmpty())
        code = firstString({"error_code", "error"});
    if (code.isEmpty())
        code = QString::fromUtf8(exchange.header("x-sb-error-code"));

    QString message = firstString({"msg", "message", "error_description", "error"});
    if (message.isEmpty()) {
        const QString text = QString::fromUtf8(exchange.body).trimmed();
        message = !text.isEmpty() && !document.isObject() ? text.left(300)
                                                          : QStringLiteral("Request failed with status %1").arg(status);
    }
    return AuthError(retryable ? Kind::Retryable : Kind::Api, message, status, code);
}

} // namespace supabase
