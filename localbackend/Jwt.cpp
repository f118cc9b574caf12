#include "Jwt.h"

#include "Secrets.h"

#include <QJsonDocument>
#include <QMessageAuthenticationCode>

namespace tindrel::localbackend {
namespace {

constexpr auto base64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray signature(const QByteArray &signingInput, const QByteArray &secret)
{
    return QMessageAuthenticationCode::hash(signingInput, secret, QCryptographicHash::Sha256).toBase64(base64Url);
}

std::optional<QJsonObject> decodePart(const QByteArray &part)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(part, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(*decoded, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace

QByteArray Jwt::sign(const QJsonObject &claims, const QByteArray &secret)
{
    const QJsonObject header{{"alg", "HS256"}, {"typ", "JWT"}};
    const QByteArray input = QJsonDocument(header).toJson(QJsonDocument::Compact).toBase64(base64Url) + '.'
                             + QJsonDocument(claims).toJson(QJsonDocument::Compact).toBase64(base64Url);
    return input + '.' + signature(input, secret);
}

std::optional<QJsonObject> Jwt::verify(const QByteArray &token, const QByteArray &secret, QString *error)
{
    auto fail = [error](const char *reason) -> std::optional<QJsonObject> {
        if (error)
            *error = QString::fromLatin1(reason);
        return std::nullopt;
    };
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3 || parts[0].isEmpty() || parts[1].isEmpty() || parts[2].isEmpty())
        return fail("token is malformed: token contains an invalid number of segments");
    const auto header = decodePart(parts[0]);
    if (!header)
        return fail("token is malformed: could not base64 decode header");
    if (header->value("alg").toString() != QLatin1String("HS256"))
        return fail("token is unverifiable: signing method is invalid");
    const auto claims = decodePart(parts[1]);
    if (!claims)
        return fail("token is malformed: could not JSON decode claim");
    if (!constantTimeEquals(signature(parts[0] + '.' + parts[1], secret), parts[2]))
        return fail("token signature is invalid: signature is invalid");
    return claims;
}

} // namespace tindrel::localbackend
