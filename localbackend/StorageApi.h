#pragma once

#include "HttpReply.h"
#include "HttpRequest.h"

#include <QString>

namespace tindrel::localbackend {

struct BackendContext;

// Object storage (`/storage/v1`) through signed URLs: a PUT bound to one object key, with an
// expiry and a size limit, and a GET that honours Range (the player seeks with it). Errors
// are HTTP 400 with the real status in the body's "statusCode", as the storage server does.
class StorageApi {
public:
    static inline const QString audioBucket = QStringLiteral("audio");

    explicit StorageApi(BackendContext &context);

    // `subPath` is the path after "/storage/v1".
    HttpReply handle(const QString &subPath, const HttpRequest &request);

    // Absolute signed URLs for an object of `bucket`.
    QString signedUploadUrl(const QString &bucket, const QString &key, const QString &owner, qint64 sizeLimit,
                            int lifetimeSeconds) const;
    QString signedDownloadUrl(const QString &bucket, const QString &key, int lifetimeSeconds) const;
    // Where an object is stored, as recorded in rows ("…/object/<bucket>/<key>").
    QString objectUrl(const QString &bucket, const QString &key) const;

    static HttpReply error(int status, const QString &code, const QString &legacyName, const QString &message);

private:
    HttpReply upload(const QString &bucket, const QString &key, const HttpRequest &request);
    HttpReply download(const QString &bucket, const QString &key, const HttpRequest &request);
    // The claims of a signed-URL token for `bucket/key` and `scope`, or the error reply.
    std::optional<QJsonObject> checkToken(const QString &bucket, const QString &key, const QString &scope,
                                          const HttpRequest &request, HttpReply *failure) const;

    BackendContext &m_context;
};

} // namespace tindrel::localbackend
