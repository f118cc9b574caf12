#include "supabase/Session.h"

#include <QJsonDocument>

namespace supabase {

std::optional<Session> Session::fromJson(const QJsonObject &object, qint64 nowSeconds)
{
    Session session;
    session.accessToken = object.value(QLatin1String("access_token")).toString();
    session.refreshToken = object.value(QLatin1String("refresh_token")).toString();
    session.expiresIn = object.value(QLatin1String("expires_in")).toInteger();
    if (session.accessToken.isEmpty() || session.refreshToken.isEmpty())
        return std::nullopt;
    const QJsonValue expiresAt = object.value(QLatin1String("expires_at"));
    if (expiresAt.isDouble())
        session.expiresAt = expiresAt.toInteger();
    else if (session.expiresIn > 0)
        session.expiresAt = nowSeconds + session.expiresIn;
    else
        return std::nullopt;
    if (object.value(QLatin1String("token_type")).isString())
        session.tokenType = object.value(QLatin1String("token_type")).toString();
    session.providerToken = object.value(QLatin1String("provider_token")).toString();
    session.providerRefreshToken = object.value(QLatin1String("provider_refresh_token")).toString();
    session.user = User::fromJson(object.value(QLatin1String("user")).toObject());
    return session;
}

QJsonObject Session::toJson() const
{
    QJsonObject object{
        {QStringLiteral("access_token"), accessToken}, {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("token_type"), tokenType},     {QStringLiteral("expires_in"), expiresIn},
        {QStringLiteral("expires_at"), expiresAt},     {QStringLiteral("user"), user.toJson()},
    };
    if (!providerToken.isEmpty())
        object.insert(QStringLiteral("provider_token"), providerToken);
    if (!providerRefreshToken.isEmpty())
        object.insert(QStringLiteral("provider_refresh_token"), providerRefreshToken);
    return object;
}

std::optional<QJsonObject> jwtPayload(const QString &token)
{
    const QStringList parts = token.split(u'.');
    if (parts.size() != 3 || parts[1].isEmpty())
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(parts[1].toLatin1(),
                                                        QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals
                                                            | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(*decoded);
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace supabase
