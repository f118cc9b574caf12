#include "StorageApi.h"

#include "BackendContext.h"
#include "Jwt.h"
#include "MultipartForm.h"
#include "ObjectStore.h"

#include "core/Log.h"

#include <QRegularExpression>

namespace tindrel::localbackend {
namespace {

const QString uploadPrefix = QStringLiteral("/object/upload/sign/");
const QString downloadPrefix = QStringLiteral("/object/sign/");

// "<bucket>/<key>" split at the first slash; false when either part is missing.
bool splitObjectPath(const QString &rest, QString *bucket, QString *key)
{
    const qsizetype slash = rest.indexOf(u'/');
    if (slash <= 0 || slash == rest.size() - 1)
        return false;
    *bucket = rest.left(slash);
    *key = rest.mid(slash + 1);
    return true;
}

QByteArray mimeTypeFor(const QString &key)
{
    const QString lower = key.toLower();
    if (lower.endsWith(QLatin1String(".m4a")) || lower.endsWith(QLatin1String(".mp4")))
        return "audio/mp4";
    if (lower.endsWith(QLatin1String(".mp3")))
        return "audio/mpeg";
    if (lower.endsWith(QLatin1String(".wav")))
        return "audio/wav";
    if (lower.endsWith(QLatin1String(".webm")))
        return "audio/webm";
    if (lower.endsWith(QLatin1String(".ogg")))
        return "audio/ogg";
    return "application/octet-stream";
}

// One "bytes=" range against an object of `size` bytes; false when it cannot be served.
bool parseRange(const QByteArray &header, qint64 size, qint64 *first, qint64 *last)
{
    static const QRegularExpression pattern(QStringLiteral("^bytes=(\\d*)-(\\d*)$"));
    const auto match = pattern.match(QString::fromLatin1(header.trimmed()));
    if (!match.hasMatch() || size == 0)
        return false;
    const QString from = match.captured(1);
    const QString to = match.captured(2);
    bool ok = true;
    if (from.isEmpty()) {
        if (to.isEmpty())
            return false;
        const qint64 suffix = to.toLongLong(&ok);
        if (!ok || suffix == 0)
            return false;
        *first = qMax<qint64>(0, size - suffix);
        *last = size - 1;
        return true;
    }
    *first = from.toLongLong(&ok);
    if (!ok || *first >= size)
        return false;
    *last = to.isEmpty() ? size - 1 : qMin(size - 1, to.toLongLong(&ok));
    return ok && *last >= *first;
}

} // namespace

StorageApi::StorageApi(BackendContext &context) : m_context(context) {}

HttpReply StorageApi::error(int status, const QString &code, const QString &legacyName, const QString &message)
{
    // The storage server answers 400 for every client error; the real status is in the body.
    return HttpReply::json(status >= 500 ? status : 400, QJsonObject{{"statusCode", QString::number(status)},
                                                                     {"code", code},
                                                                     {"error", legacyName},
                                                                     {"message", message}});
}

HttpReply StorageApi::handle(const QString &subPath, const HttpRequest &request)
{
    QString bucket;
    QString key;
    if (subPath.startsWith(uploadPrefix) && request.method == "PUT"
        && splitObjectPath(subPath.mid(uploadPrefix.size()), &bucket, &key))
        return upload(bucket, key, request);
    if (subPath.startsWith(downloadPrefix) && request.method == "GET"
        && splitObjectPath(subPath.mid(downloadPrefix.size()), &bucket, &key))
        return download(bucket, key, request);
    return error(404, QStringLiteral("NoSuchKey"), QStringLiteral("not_found"), QStringLiteral("Route not found"));
}

std::optional<QJsonObject> StorageApi::checkToken(const QString &bucket, const QString &key, const QString &scope,
                                                  const HttpRequest &request, HttpReply *failure) const
{
    const QByteArray token = request.query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
    QString reason;
    const auto claims = Jwt::verify(token, m_context.jwtSecret, &reason);
    if (!claims) {
        *failure = error(400, QStringLiteral("InvalidJWT"), QStringLiteral("InvalidJWT"),
                         token.isEmpty() ? QStringLiteral("Invalid JWT") : reason);
        return std::nullopt;
    }
    if (claims->value(QStringLiteral("scope")).toString() != scope) {
        *failure = error(400, QStringLiteral("InvalidSignature"), QStringLiteral("InvalidSignature"),
                         QStringLiteral("Token is not scoped for ") + scope);
        return std::nullopt;
    }
    if (claims->value(QStringLiteral("url")).toString() != bucket + u'/' + key) {
        *failure = error(400, QStringLiteral("InvalidSignature"), QStringLiteral("InvalidSignature"),
                         QStringLiteral("Invalid signature"));
        return std::nullopt;
    }
    if (claims->value(QStringLiteral("exp")).toInteger() <= m_context.nowSeconds()) {
        *failure = error(400, QStringLiteral("ExpiredToken"), QStringLiteral("ExpiredToken"),
                         QStringLiteral("The provided token has expired."));
        return std::nullopt;
    }
    return claims;
}

HttpReply StorageApi::upload(const QString &bucket, const QString &key, const HttpRequest &request)
{
    HttpReply failure;
    const auto claims = checkToken(bucket, key, QStringLiteral("upload"), request, &failure);
    if (!claims)
        return failure;
    QByteArray data = request.body;
    if (request.header("content-type").trimmed().toLower().startsWith("multipart/form-data")) {
        const auto form = MultipartForm::parse(request.header("content-type"), request.body);
        const MultipartForm::Part *file = form ? form->filePart(QString()) : nullptr;
        if (!file)
            return error(400, QStringLiteral("InvalidRequest"), QStringLiteral("InvalidRequest"),
                         QStringLiteral("Malformed multipart body"));
        data = file->data;
    }
    const qint64 limit = claims->value(QStringLiteral("size_limit")).toInteger(-1);
    if (limit >= 0 && data.size() > limit) {
        return error(413, QStringLiteral("EntityTooLarge"), QStringLiteral("Payload too large"),
                     QStringLiteral("The object exceeded the maximum allowed size"));
    }
    if (!claims->value(QStringLiteral("upsert")).toBool() && m_context.objects->exists(bucket, key)) {
        return error(409, QStringLiteral("ResourceAlreadyExists"), QStringLiteral("Duplicate"),
                     QStringLiteral("The resource already exists"));
    }
    if (!m_context.objects->write(bucket, key, data)) {
        return error(500, QStringLiteral("InternalError"), QStringLiteral("internal"),
                     QStringLiteral("The object could not be stored"));
    }
    logLine(u"LocalBackend", QStringLiteral("Stored object of %1 bytes").arg(data.size()));
    return HttpReply::json(200, QJsonObject{{"Key", bucket + u'/' + key}});
}

HttpReply StorageApi::download(const QString &bucket, const QString &key, const HttpRequest &request)
{
    HttpReply failure;
    if (!checkToken(bucket, key, QStringLiteral("download"), request, &failure))
        return failure;
    const auto data = m_context.objects->read(bucket, key);
    if (!data)
        return error(404, QStringLiteral("NoSuchKey"), QStringLiteral("not_found"), QStringLiteral("Object not found"));
    const qint64 size = data->size();
    const QByteArray range = request.header("range");
    if (range.isEmpty()) {
        return HttpReply::text(200, *data, mimeTypeFor(key)).withHeader("Accept-Ranges", "bytes");
    }
    qint64 first = 0;
    qint64 last = 0;
    if (!parseRange(range, size, &first, &last)) {
        return HttpReply::empty(416)
            .withHeader("Content-Range", "bytes */" + QByteArray::number(size))
            .withHeader("Accept-Ranges", "bytes");
    }
    return HttpReply::text(206, data->mid(first, last - first + 1), mimeTypeFor(key))
        .withHeader("Accept-Ranges", "bytes")
        .withHeader("Content-Range", "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/'
                                         + QByteArray::number(size));
}

QString StorageApi::signedUploadUrl(const QString &bucket, const QString &key, const QString &owner, qint64 sizeLimit,
                                    int lifetimeSeconds) const
{
    const qint64 now = m_context.nowSeconds();
    const QJsonObject claims{{"owner", owner},
                             {"url", bucket + u'/' + key},
                             {"upsert", false},
                             {"scope", "upload"},
                             {"size_limit", sizeLimit},
                             {"iat", now},
                             {"exp", now + lifetimeSeconds}};
    return m_context.baseUrl + QStringLiteral("/storage/v1") + uploadPrefix + bucket + u'/' + key
           + QStringLiteral("?token=") + QString::fromLatin1(Jwt::sign(claims, m_context.jwtSecret));
}

QString StorageApi::signedDownloadUrl(const QString &bucket, const QString &key, int lifetimeSeconds) const
{
    const qint64 now = m_context.nowSeconds();
    const QJsonObject claims{
        {"url", bucket + u'/' + key}, {"scope", "download"}, {"iat", now}, {"exp", now + lifetimeSeconds}};
    return m_context.baseUrl + QStringLiteral("/storage/v1") + downloadPrefix + bucket + u'/' + key
           + QStringLiteral("?token=") + QString::fromLatin1(Jwt::sign(claims, m_context.jwtSecret));
}

QString StorageApi::objectUrl(const QString &bucket, const QString &key) const
{
    return m_context.baseUrl + QStringLiteral("/storage/v1/object/") + bucket + u'/' + key;
}

} // namespace tindrel::localbackend
