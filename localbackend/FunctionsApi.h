#pragma once

#include "Database.h"
#include "HttpReply.h"
#include "HttpRequest.h"

#include <QObject>
#include <QStringList>

#include <functional>

namespace tindrel::localbackend {

class AuthApi;
class SpeechRecognizer;
class StorageApi;
struct BackendContext;

// The edge functions (`/functions/v1/<name>`): "transcribe", "history",
// "delete-transcription" and "presign-download". The platform's JWT check runs first, then
// each function acts only on the caller's own rows and objects. Replies carry the caller's
// X-Request-Id (or a fresh one); failures are {"error": code, "message": text, "requestId"}.
class FunctionsApi : public QObject {
public:
    using Respond = std::function<void(const HttpReply &)>;
    using InsertListener = std::function<void(const TranscriptionRecord &)>;

    static constexpr qint64 proxyUploadLimit = 6 * 1024 * 1024;
    static constexpr qint64 directUploadLimit = 50 * 1024 * 1024;
    static constexpr qint64 defaultPendingUploadLimit = 200 * 1024 * 1024;
    static constexpr int uploadUrlLifetimeSeconds = 2 * 60 * 60;
    static constexpr int downloadUrlLifetimeSeconds = 60 * 60;

    FunctionsApi(BackendContext &context, AuthApi &auth, StorageApi &storage, const SpeechRecognizer &recognizer,
                 QObject *parent = nullptr);

    void setInsertListener(InsertListener listener) { m_insertListener = std::move(listener); }
    // The next transcriptions answer these texts instead of recognising the audio.
    void queueTranscripts(const QStringList &texts) { m_queuedTranscripts.append(texts); }

    // `name` is the path after "/functions/v1/". `respond` is called once, maybe later.
    void handle(const QString &name, const HttpRequest &request, const Respond &respond);

private:
    struct Call;

    void transcribe(const Call &call, const Respond &respond);
    HttpReply getUploadUrl(const Call &call, const QJsonObject &body);
    HttpReply uploadViaProxy(const Call &call);
    void transcribeStored(const Call &call, const QJsonObject &body, const Respond &respond);
    HttpReply history(const Call &call);
    HttpReply deleteTranscription(const Call &call);
    HttpReply presignDownload(const Call &call);

    // Quota and entitlement switches of the caller's account; none when it may go on.
    std::optional<HttpReply> refusal(const Call &call);
    void finishTranscription(const Call &call, const QString &storeKey, double duration, const QString &mode,
                             qint64 fileSize, const QString &text, const Respond &respond);
    static HttpReply error(const Call &call, int status, const QString &code, const QString &message);
    static HttpReply ok(const Call &call, const QJsonObject &body);
    QString newStoreKey(const QString &userId, const QString &filename) const;

    BackendContext &m_context;
    AuthApi &m_auth;
    StorageApi &m_storage;
    const SpeechRecognizer &m_recognizer;
    InsertListener m_insertListener;
    QStringList m_queuedTranscripts;
};

} // namespace tindrel::localbackend
