#include "FunctionsApi.h"

#include "AuthApi.h"
#include "BackendContext.h"
#include "JsonFields.h"
#include "Jwt.h"
#include "MultipartForm.h"
#include "ObjectStore.h"
#include "SpeechRecognizer.h"
#include "StorageApi.h"
#include "Timestamp.h"

#include "core/Log.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>
#include <QUuid>

#include <cmath>

namespace tindrel::localbackend {

struct FunctionsApi::Call {
    HttpRequest request;
    UserRecord user;
    QString requestId;
};

namespace {

const QString component = QStringLiteral("LocalBackend");

HttpReply platformError(int status, const QByteArray &errorCode, const QJsonValue &code, const QString &message)
{
    return HttpReply::json(status, QJsonObject{{"code", code}, {"message", message}})
        .withHeader("sb-error-code", errorCode);
}

} // namespace

FunctionsApi::FunctionsApi(BackendContext &context, AuthApi &auth, StorageApi &storage,
                           const SpeechRecognizer &recognizer, QObject *parent)
    : QObject(parent), m_context(context), m_auth(auth), m_storage(storage), m_recognizer(recognizer)
{}

HttpReply FunctionsApi::error(const Call &call, int status, const QString &code, const QString &message)
{
    return HttpReply::json(status, QJsonObject{{"error", code}, {"message", message}, {"requestId", call.requestId}})
        .withHeader("X-Request-Id", call.requestId.toUtf8());
}

HttpReply FunctionsApi::ok(const Call &call, const QJsonObject &body)
{
    return HttpReply::json(200, body).withHeader("X-Request-Id", call.requestId.toUtf8());
}

void FunctionsApi::handle(const QString &name, const HttpRequest &request, const Respond &respond)
{
    // The platform checks the token before any function runs.
    const QByteArray token = request.bearerToken();
    if (token.isEmpty()) {
        respond(platformError(401, "UNAUTHORIZED_NO_AUTH_HEADER", 401, QStringLiteral("Missing authorization header")));
        return;
    }
    const auto claims = Jwt::verify(token, m_context.jwtSecret);
    if (!claims) {
        respond(platformError(401, "UNAUTHORIZED_INVALID_JWT_FORMAT", 401, QStringLiteral("Invalid JWT")));
        return;
    }
    if (claims->value(QStringLiteral("exp")).toInteger() <= m_context.nowSeconds()) {
        respond(platformError(401, "UNAUTHORIZED_LEGACY_JWT", 401, QStringLiteral("Invalid JWT")));
        return;
    }
    static const QStringList known{QStringLiteral("transcribe"), QStringLiteral("history"),
                                   QStringLiteral("delete-transcription"), QStringLiteral("presign-download")};
    if (!known.contains(name)) {
        respond(platformError(404, "NOT_FOUND", QStringLiteral("NOT_FOUND"),
                              QStringLiteral("Requested function was not found")));
        return;
    }

    Call call;
    call.request = request;
    const QString requestId = QString::fromUtf8(request.header("x-request-id")).trimmed();
    call.requestId = requestId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() : requestId;
    const Authentication auth = m_auth.authenticate(token);
    if (!auth.ok()) {
        respond(error(call, 401, QStringLiteral("unauthorized"), QStringLiteral("Unauthorized: ") + auth.message));
        return;
    }
    call.user = *auth.user;

    if (name == QLatin1String("transcribe")) {
        transcribe(call, respond);
        return;
    }
    if (name == QLatin1String("history"))
        respond(history(call));
    else if (name == QLatin1String("delete-transcription"))
        respond(deleteTranscription(call));
    else
        respond(presignDownload(call));
}

std::optional<HttpReply> FunctionsApi::refusal(const Call &call)
{
    const QJsonObject &flags = call.user.flags;
    const QString entitlement = flags.value(QStringLiteral("entitlement")).toString();
    if (entitlement == QLatin1String("required"))
        return error(call, 403, QStringLiteral("entitlement_required"), QStringLiteral("A subscription is required"));
    if (entitlement == QLatin1String("inactive"))
        return error(call, 403, QStringLiteral("entitlement_inactive"),
                     QStringLiteral("The subscription is not active"));
    if (flags.value(QStringLiteral("quota_exceeded")).toBool())
        return error(call, 429, QStringLiteral("quota_exceeded"), QStringLiteral("The usage quota is exhausted"));
    return std::nullopt;
}

QString FunctionsApi::newStoreKey(const QString &userId, const QString &filename) const
{
    static const QRegularExpression extension(QStringLiteral("\\.([A-Za-z0-9]{1,8})$"));
    const auto match = extension.match(filename);
    const QString suffix = match.hasMatch() ? match.captured(1).toLower() : QStringLiteral("bin");
    return userId + u'/' + m_context.now().toString(QStringLiteral("yyyy-MM-dd")) + u'/'
           + QUuid::createUuid().toString(QUuid::WithoutBraces) + u'.' + suffix;
}

void FunctionsApi::transcribe(const Call &call, const Respond &respond)
{
    if (call.request.method != "POST") {
        respond(error(call, 405, QStringLiteral("method_not_allowed"), QStringLiteral("Use POST")));
        return;
    }
    if (call.request.header("content-type").trimmed().toLower().startsWith("multipart/form-data")) {
        respond(uploadViaProxy(call));
        return;
    }
    QString parseError;
    const auto body = call.request.jsonObject(&parseError);
    if (!body) {
        respond(
            error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("Invalid JSON body: ") + parseError));
        return;
    }
    const QString action = body->value(QStringLiteral("action")).toString();
    if (action == QLatin1String("get_upload_url"))
        respond(getUploadUrl(call, *body));
    else if (action == QLatin1String("transcribe_stored"))
        transcribeStored(call, *body, respond);
    else
        respond(error(call, 400, QStringLiteral("invalid_action"), QStringLiteral("Unknown action: ") + action));
}

HttpReply FunctionsApi::getUploadUrl(const Call &call, const QJsonObject &body)
{
    bool typesOk = true;
    const QString filename = jsonString(body, "filename", &typesOk);
    const QString contentType = jsonString(body, "content_type", &typesOk);
    const qint64 fileSize = jsonInteger(body, "file_size", -1, &typesOk);
    if (!typesOk || filename.isEmpty() || fileSize <= 0) {
        return error(call, 400, QStringLiteral("invalid_request"),
                     QStringLiteral("filename (string) and file_size (positive integer) are required"));
    }
    if (fileSize > directUploadLimit)
        return error(call, 413, QStringLiteral("file_too_large"), QStringLiteral("The recording is too large"));
    if (auto refused = refusal(call))
        return *refused;
    const qint64 now = m_context.nowSeconds();
    // Uploads that were never transcribed go once their URL has expired.
    for (const QString &abandoned : m_context.db->pruneUploadSlots(now))
        m_context.objects->remove(StorageApi::audioBucket, abandoned);
    const qint64 limit =
        call.user.flags.value(QStringLiteral("pending_upload_limit_bytes")).toInteger(defaultPendingUploadLimit);
    if (m_context.db->pendingUploadBytes(call.user.id, now) + fileSize > limit) {
        return error(call, 429, QStringLiteral("pending_upload_storage_limit"),
                     QStringLiteral("Too many uploads are waiting to be transcribed"));
    }
    UploadSlotRecord slot;
    slot.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    slot.userId = call.user.id;
    slot.storeKey = newStoreKey(call.user.id, filename);
    slot.fileSize = fileSize;
    slot.contentType = contentType.isEmpty() ? QStringLiteral("application/octet-stream") : contentType;
    slot.expiresAt = now + uploadUrlLifetimeSeconds;
    m_context.db->insertUploadSlot(slot);
    return ok(call,
              QJsonObject{{"uploadUrl", m_storage.signedUploadUrl(StorageApi::audioBucket, slot.storeKey, call.user.id,
                                                                  fileSize, uploadUrlLifetimeSeconds)},
                          {"storeKey", slot.storeKey},
                          {"requestId", slot.id},
                          {"expiresIn", uploadUrlLifetimeSeconds}});
}

HttpReply FunctionsApi::uploadViaProxy(const Call &call)
{
    const auto form = MultipartForm::parse(call.request.header("content-type"), call.request.body);
    if (!form)
        return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("Malformed multipart body"));
    if (form->field(QStringLiteral("action")) != QLatin1String("upload_via_proxy"))
        return error(call, 400, QStringLiteral("invalid_action"), QStringLiteral("Expected action upload_via_proxy"));
    const MultipartForm::Part *file = form->part(QStringLiteral("file"));
    if (!file || file->data.isEmpty())
        return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("The file part is missing"));
    if (file->data.size() > proxyUploadLimit)
        return error(call, 413, QStringLiteral("file_too_large"), QStringLiteral("The proxy upload limit is 6 MiB"));
    if (auto refused = refusal(call))
        return *refused;

    // The slot of the failed direct upload is given back, but only if it is the caller's.
    const QString abandonedKey = form->field(QStringLiteral("abandoned_store_key"));
    const QString abandonedId = form->field(QStringLiteral("abandoned_upload_attempt_id"));
    if (!abandonedId.isEmpty()) {
        const auto slot = m_context.db->uploadSlot(abandonedId);
        if (slot && slot->userId == call.user.id && slot->storeKey == abandonedKey) {
            m_context.db->deleteUploadSlot(slot->id);
            m_context.objects->remove(StorageApi::audioBucket, slot->storeKey);
        }
    }
    const QString key = newStoreKey(call.user.id, file->filename);
    if (!m_context.objects->write(StorageApi::audioBucket, key, file->data))
        return error(call, 500, QStringLiteral("storage_failed"), QStringLiteral("The recording could not be stored"));
    logLine(component, QStringLiteral("Proxy upload stored %1 bytes").arg(file->data.size()));
    return ok(call, QJsonObject{{"storeKey", key}});
}

void FunctionsApi::transcribeStored(const Call &call, const QJsonObject &body, const Respond &respond)
{
    bool typesOk = true;
    const QString key = jsonString(body, "file_key", &typesOk);
    QString mode = jsonString(body, "mode", &typesOk);
    const QJsonValue durationValue = body.value(QStringLiteral("duration"));
    const double duration = durationValue.isDouble() ? durationValue.toDouble() : 0;
    if (!durationValue.isUndefined() && !durationValue.isNull() && !durationValue.isDouble())
        typesOk = false;
    if (!typesOk || key.isEmpty() || !std::isfinite(duration) || duration < 0 || duration > 24 * 3600) {
        respond(error(call, 400, QStringLiteral("invalid_request"),
                      QStringLiteral("file_key (string), duration (number) and mode (string) are expected")));
        return;
    }
    if (mode.isEmpty())
        mode = QStringLiteral("fast");
    if (mode != QLatin1String("fast") && mode != QLatin1String("high_accuracy")) {
        respond(error(call, 400, QStringLiteral("invalid_mode"), QStringLiteral("Unknown processing mode: ") + mode));
        return;
    }
    if (!ObjectStore::isValidKey(key) || !key.startsWith(call.user.id + u'/')) {
        respond(error(call, 403, QStringLiteral("forbidden"), QStringLiteral("This object is not yours")));
        return;
    }
    if (auto refused = refusal(call)) {
        respond(*refused);
        return;
    }
    const auto audio = m_context.objects->read(StorageApi::audioBucket, key);
    if (!audio) {
        respond(error(call, 404, QStringLiteral("object_not_found"),
                      QStringLiteral("No uploaded recording under this key")));
        return;
    }
    if (const auto slot = m_context.db->uploadSlotByKey(key))
        m_context.db->deleteUploadSlot(slot->id);

    if (!m_queuedTranscripts.isEmpty()) {
        finishTranscription(call, key, duration, mode, audio->size(), m_queuedTranscripts.takeFirst(), respond);
        return;
    }
    if (!m_recognizer.isAvailable()) {
        respond(error(call, 503, QStringLiteral("recognizer_unavailable"),
                      QStringLiteral("The speech recognition model is not installed")));
        return;
    }
    // Recognition takes seconds; it runs on a worker so the server keeps answering. The
    // worker owns copies of what it needs, and the answer goes back through the
    // application object, so nothing of this object is touched off the main thread.
    QPointer<FunctionsApi> self(this);
    // The captures move on to the main thread, so the responder is released there.
    QThreadPool::globalInstance()->start(
        [self, recognizer = m_recognizer, bytes = *audio, call, key, duration, mode, respond]() mutable {
            const SpeechRecognizer::Result result = recognizer.recognize(bytes);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self = std::move(self), result, call = std::move(call), key, duration, mode,
                 respond = std::move(respond), size = bytes.size()] {
                    if (!self)
                        return;
                    if (!result.ok) {
                        respond(error(call, 422, QStringLiteral("audio_decode_failed"), result.error));
                        return;
                    }
                    self->finishTranscription(call, key, duration > 0 ? duration : result.durationSeconds, mode, size,
                                              result.text, respond);
                },
                Qt::QueuedConnection);
        });
}

void FunctionsApi::finishTranscription(const Call &call, const QString &storeKey, double duration, const QString &mode,
                                       qint64 fileSize, const QString &text, const Respond &respond)
{
    TranscriptionRecord row;
    row.userId = call.user.id;
    row.text = text;
    row.duration = std::llround(duration);
    row.audioUrl = m_storage.objectUrl(StorageApi::audioBucket, storeKey);
    row.createdAt = postgresTimestamp(m_context.now());
    row.mode = mode;
    row.fileSize = fileSize;
    row.status = QStringLiteral("completed");
    row.storeKey = storeKey;
    row.id = m_context.db->insertTranscription(row);
    if (row.id == 0) {
        respond(error(call, 500, QStringLiteral("database_error"), QStringLiteral("The transcription was not saved")));
        return;
    }
    logLine(component, QStringLiteral("Transcription %1 stored for user %2").arg(row.id).arg(row.userId));
    if (m_insertListener)
        m_insertListener(row);
    respond(ok(call, QJsonObject{{"text", text}, {"transcription_id", row.id}, {"requestId", call.requestId}}));
}

HttpReply FunctionsApi::history(const Call &call)
{
    QString parseError;
    const auto body = call.request.jsonObject(&parseError);
    if (!body)
        return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("Invalid JSON body: ") + parseError);
    bool typesOk = true;
    HistoryQuery query;
    query.userId = call.user.id;
    query.limit = jsonInteger(*body, "limit", 20, &typesOk);
    query.offset = jsonInteger(*body, "offset", 0, &typesOk);
    query.keyword = jsonString(*body, "keyword", &typesOk).trimmed();
    const QString start = jsonString(*body, "start_time", &typesOk).trimmed();
    const QString end = jsonString(*body, "end_time", &typesOk).trimmed();
    const QJsonValue includeDeleted = body->value(QStringLiteral("include_deleted"));
    if (!includeDeleted.isUndefined() && !includeDeleted.isNull() && !includeDeleted.isBool())
        typesOk = false;
    query.includeDeleted = includeDeleted.toBool(false);
    if (!typesOk)
        return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("A filter has the wrong type"));
    if (query.limit < 1 || query.limit > 100 || query.offset < 0)
        return error(call, 400, QStringLiteral("invalid_request"),
                     QStringLiteral("limit must be 1 to 100 and offset not negative"));
    if (!start.isEmpty()) {
        const auto time = parseTimestamp(start);
        if (!time)
            return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("start_time is not a timestamp"));
        query.startTime = postgresTimestamp(*time);
    }
    if (!end.isEmpty()) {
        auto time = parseTimestamp(end);
        if (!time)
            return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("end_time is not a timestamp"));
        if (end.size() == 10) // a bare date includes the whole day
            time = time->addDays(1).addMSecs(-1);
        query.endTime = postgresTimestamp(*time);
    }
    qint64 total = 0;
    const QList<TranscriptionRecord> rows = m_context.db->history(query, &total);
    QJsonArray data;
    for (const TranscriptionRecord &row : rows)
        data.append(row.toJson());
    const qint64 totalPages = (total + query.limit - 1) / query.limit;
    const QJsonObject pageInfo{{"totalCount", total},
                               {"totalPages", totalPages},
                               {"currentPage", query.offset / query.limit + 1},
                               {"hasNextPage", query.offset + query.limit < total},
                               {"hasPrevPage", query.offset > 0}};
    return ok(call, QJsonObject{{"data", data}, {"pageInfo", pageInfo}});
}

HttpReply FunctionsApi::deleteTranscription(const Call &call)
{
    QString parseError;
    const auto body = call.request.jsonObject(&parseError);
    if (!body)
        return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("Invalid JSON body: ") + parseError);
    bool typesOk = true;
    const qint64 id = jsonInteger(*body, "idToDelete", 0, &typesOk);
    if (!typesOk || id <= 0)
        return error(call, 400, QStringLiteral("invalid_request"),
                     QStringLiteral("idToDelete must be a positive integer"));
    const auto row = m_context.db->transcription(id);
    // Someone else's row is reported exactly like a missing one.
    if (!row || row->userId != call.user.id)
        return error(call, 404, QStringLiteral("not_found"), QStringLiteral("Transcription not found"));
    m_context.db->softDeleteTranscription(id, postgresTimestamp(m_context.now()));
    if (!row->storeKey.isEmpty())
        m_context.objects->remove(StorageApi::audioBucket, row->storeKey);
    logLine(component, QStringLiteral("Transcription %1 deleted").arg(id));
    return ok(call, QJsonObject{{"success", true}, {"id", id}});
}

HttpReply FunctionsApi::presignDownload(const Call &call)
{
    const QString key = call.request.query.queryItemValue(QStringLiteral("filename"), QUrl::FullyDecoded);
    if (key.isEmpty())
        return error(call, 400, QStringLiteral("invalid_request"), QStringLiteral("filename is required"));
    if (!ObjectStore::isValidKey(key) || !key.startsWith(call.user.id + u'/'))
        return error(call, 403, QStringLiteral("forbidden"), QStringLiteral("This object is not yours"));
    if (!m_context.objects->exists(StorageApi::audioBucket, key))
        return error(call, 404, QStringLiteral("object_not_found"), QStringLiteral("The audio is no longer stored"));
    return ok(call, QJsonObject{
                        {"url", m_storage.signedDownloadUrl(StorageApi::audioBucket, key, downloadUrlLifetimeSeconds)},
                        {"expiresIn", downloadUrlLifetimeSeconds}});
}

} // namespace tindrel::localbackend
