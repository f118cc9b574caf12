#include "backend/TranscribeService.h"

#include "backend/FileReadError.h"
#include "backend/GetUploadUrlResponse.h"
#include "backend/ProxyUploadResponse.h"
#include "backend/RequestFrame.h"
#include "backend/TranscribeError.h"
#include "backend/TranscriptionResponse.h"
#include "backend/TransportError.h"
#include "core/AsyncSupport.h"
#include "core/Log.h"

#include <QCoroNetworkReply>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>

#include <memory>

namespace tindrel {

namespace {

constexpr QStringView component = u"TranscribeService";

bool isSuccess(int status) { return status >= 200 && status <= 299; }

// Only web URLs: Qt would happily PUT the recording over a local file for a "file:" URL.
std::optional<QUrl> parseWebUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != u"http" && scheme != u"https")
        return std::nullopt;
    return url;
}

QByteArray readRecording(const QUrl &fileUrl, const QString &fileName)
{
    if (!fileUrl.isLocalFile())
        throw FileReadError(fileName, QStringLiteral("not a local file"));
    QFile file(fileUrl.toLocalFile());
    if (!file.open(QIODevice::ReadOnly))
        throw FileReadError(fileName, file.errorString());
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileReadError(fileName, file.errorString());
    return bytes;
}

// Any top-level JSON value, scalars included (QJsonDocument takes only objects and arrays).
std::optional<QJsonValue> parseAnyJson(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson('[' + bytes + ']', &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return std::nullopt;
    return document.array().first();
}

bool isTranscriptKey(const QString &name)
{
    const QString lowered = name.toLower();
    return lowered == u"text" || lowered == u"transcription";
}

std::optional<QString> searchText(const QJsonValue &value)
{
    if (value.isString()) {
        if (!value.toString().isEmpty())
            return value.toString();
        return std::nullopt;
    }
    if (value.isArray()) {
        for (const QJsonValue &element : value.toArray())
            if (auto hit = searchText(element))
                return hit;
        return std::nullopt;
    }
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    for (const char *preferred : {"text", "transcription"}) {
        const QJsonValue member = object.value(QLatin1StringView(preferred));
        if (member.isString() && !member.toString().isEmpty())
            return member.toString();
    }
    for (auto it = object.begin(); it != object.end(); ++it)
        if (isTranscriptKey(it.key()) && it.value().isString() && !it.value().toString().isEmpty())
            return it.value().toString();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (auto hit = searchText(it.value()))
            return hit;
    return std::nullopt;
}

QString extractTranscript(const QByteArray &bytes)
{
    if (const auto reply = TranscriptionResponse::decode(bytes)) {
        if (reply->error && !reply->error->isEmpty())
            throw TranscribeError::http(200, *reply->error);
        if (reply->text)
            return *reply->text;
        if (reply->transcription)
            return *reply->transcription;
    }
    const auto value = parseAnyJson(bytes);
    if (!value)
        throw TranscribeError::noText();
    if (auto hit = searchText(*value))
        return *hit;
    throw TranscribeError::noText();
}

QByteArray multipartField(const QByteArray &boundary, const QByteArray &name, const QByteArray &value)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

struct HttpReply {
    bool isHttp = false;
    int status = 0;
    QByteArray body;
    TranscribeError::Headers headers;

    bool succeeded() const { return !isHttp || isSuccess(status); }
};

// One call of the pipeline: its inputs and the steps, each a coroutine on this object, which
// lives in the frame of TranscribeService::transcribe.
class TranscribeRun {
public:
    TranscribeRun(QNetworkAccessManager *session, TranscribeService::Timing timing, TranscribeService::Request request,
                  CancellationToken token)
        : m_session(session), m_timing(std::move(timing)), m_request(std::move(request)), m_token(std::move(token)),
          m_endpoint(m_request.baseUrl + QStringLiteral("/functions/v1/transcribe"))
    {}

    QCoro::Task<QString> execute()
    {
        logLine(component, QStringLiteral("Step 1: Requesting upload URL..."));
        m_fileName = m_request.fileUrl.fileName();
        m_contentType = TranscribeService::contentTypeForFile(m_fileName);
        m_bytes = readRecording(m_request.fileUrl, m_fileName);

        const QJsonObject uploadBody{{QStringLiteral("action"), QStringLiteral("get_upload_url")},
                                     {QStringLiteral("filename"), m_fileName},
                                     {QStringLiteral("file_size"), m_bytes.size()},
                                     {QStringLiteral("content_type"), m_contentType}};
        const QByteArray configBytes = co_await jsonCall(uploadBody, std::nullopt);
        const auto config = GetUploadUrlResponse::decode(configBytes);
        if (!config)
            throw TranscribeError::http(0, QStringLiteral("Failed to parse upload config"));

        logLine(component, QStringLiteral("Step 2: Uploading file to storage (size: %1)...").arg(m_bytes.size()));
        QString storeKey;
        if (const auto uploadUrl = parseWebUrl(config->uploadUrl)) {
            if (co_await uploadDirectly(*uploadUrl)) {
                storeKey = config->storeKey;
            } else {
                logLine(component,
                        QStringLiteral("Direct upload failed after retries; trying authenticated proxy fallback."));
                storeKey = co_await uploadThroughProxy(*config);
            }
        } else {
            logLine(component, QStringLiteral("Invalid direct upload URL; trying authenticated proxy fallback."));
            storeKey = co_await uploadThroughProxy(*config);
        }
        co_return co_await transcribeStored(storeKey);
    }

private:
    enum class Method { Put, Post };

    // Sends one request. Throws TransportError when no HTTP answer came, CancelledError when
    // the token was cancelled before or during the request.
    QCoro::Task<HttpReply> send(QNetworkRequest request, Method method, QByteArray body)
    {
        if (m_token.isCancelled() || !m_session)
            throw CancelledError();
        request.setTransferTimeout(static_cast<int>(m_timing.requestTimeout.count()));
        QNetworkReply *raw = method == Method::Put ? m_session->put(request, body) : m_session->post(request, body);
        std::unique_ptr<QNetworkReply, DeleteLater> reply(raw);

        // The token may be cancelled on another thread: abort on the reply's own thread, and
        // remember that it was us, since a transfer time-out ends the reply the same way.
        auto abortedByToken = std::make_shared<bool>(false);
        QPointer<QNetworkReply> guard(raw);
        auto registration = m_token.onCancel([guard, abortedByToken] {
            if (QNetworkReply *target = guard.data())
                QMetaObject::invokeMethod(
                    target,
                    [guard, abortedByToken] {
                        if (guard && !guard->isFinished()) {
                            *abortedByToken = true;
                            guard->abort();
                        }
                    },
                    Qt::QueuedConnection);
        });
        co_await raw;
        registration.reset();

        const QNetworkReply::NetworkError error = raw->error();
        const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // Connection-level (1-99) and proxy (101-199) errors mean no complete HTTP answer;
        // the higher codes only restate the HTTP status, which is what we classify by.
        if (error != QNetworkReply::NoError && (error < 200 || !status.isValid())) {
            if (*abortedByToken)
                throw CancelledError();
            throw TransportError(error, error == QNetworkReply::OperationCanceledError);
        }
        HttpReply result;
        result.isHttp = status.isValid();
        result.status = status.toInt();
        result.body = raw->readAll();
        result.headers = raw->rawHeaderPairs();
        co_return result;
    }

    // POST of a JSON body to the function with the request frame; the reply bytes of a 2xx.
    QCoro::Task<QByteArray> jsonCall(QJsonObject body, std::optional<QString> requestId)
    {
        const auto url = parseWebUrl(m_endpoint);
        if (!url)
            throw TranscribeError::invalidConfig();
        QNetworkRequest request(*url);
        request.setRawHeader("Content-Type", "application/json");
        request.setRawHeader("apikey", m_request.anonKey.toUtf8());
        applyCommonHeaders(request, m_request.accessToken, QString::fromLatin1(clientPlatform), requestId);
        const HttpReply reply =
            co_await send(request, Method::Post, QJsonDocument(body).toJson(QJsonDocument::Compact));
        if (!reply.succeeded())
            throw TranscribeError::fromReply(reply.body, reply.status, reply.headers);
        co_return reply.body;
    }

    // True once storage took the file; false after the last failed attempt. The failures
    // themselves are dropped: the proxy upload's outcome is what counts then.
    QCoro::Task<bool> uploadDirectly(QUrl url)
    {
        QNetworkRequest request(url);
        request.setRawHeader("Content-Type", m_contentType.toUtf8());
        request.setHeader(QNetworkRequest::ContentLengthHeader, m_bytes.size());
        request.setRawHeader("x-amz-content-sha256", "UNSIGNED-PAYLOAD");
        for (int attempt = 0;; ++attempt) {
            bool uploaded = false;
            try {
                const HttpReply reply = co_await send(request, Method::Put, m_bytes);
                uploaded = reply.succeeded();
            } catch (...) {
                uploaded = false;
            }
            if (uploaded)
                co_return true;
            if (attempt == TranscribeService::maximumRetries)
                co_return false;
            if (m_request.onUploadRetry)
                m_request.onUploadRetry(attempt + 1, TranscribeService::maximumRetries);
            co_await wait((attempt + 1) * m_timing.uploadRetryStep);
        }
    }

    QCoro::Task<QString> uploadThroughProxy(GetUploadUrlResponse config)
    {
        if (m_bytes.size() > TranscribeService::proxyUploadLimit)
            throw TranscribeError::http(
                0, QStringLiteral("Direct upload failed and the recording exceeds the proxy upload limit"));
        const auto url = parseWebUrl(m_endpoint);
        if (!url)
            throw TranscribeError::invalidConfig();

        const QByteArray boundary = "Boundary-" + makeRequestIdentifier().toUtf8();
        QByteArray safeName = m_fileName.toUtf8();
        safeName.replace('\r', '_').replace('\n', '_').replace('"', '_');

        QByteArray head = multipartField(boundary, "action", "upload_via_proxy");
        if (config.requestId && !config.requestId->isEmpty() && !config.storeKey.isEmpty()) {
            head += multipartField(boundary, "abandoned_store_key", config.storeKey.toUtf8());
            head += multipartField(boundary, "abandoned_upload_attempt_id", config.requestId->toUtf8());
        }
        head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + safeName
                + "\"\r\nContent-Type: " + m_contentType.toUtf8() + "\r\n\r\n";
        const QByteArray tail = "\r\n--" + boundary + "--\r\n";
        // One exact allocation: the body is the second copy of the recording in memory.
        QByteArray body;
        body.reserve(head.size() + m_bytes.size() + tail.size());
        body.append(head).append(m_bytes).append(tail);

        QNetworkRequest request(*url);
        request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
        request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
        request.setRawHeader("apikey", m_request.anonKey.toUtf8());
        applyCommonHeaders(request, m_request.accessToken, QString::fromLatin1(clientPlatform));
        const HttpReply reply = co_await send(request, Method::Post, std::move(body));

        if (!reply.isHttp)
            throw TranscribeError::http(0, QStringLiteral("Proxy upload returned an invalid response"));
        if (!isSuccess(reply.status))
            throw TranscribeError::fromReply(reply.body, reply.status, reply.headers);
        const auto stored = ProxyUploadResponse::decode(reply.body);
        if (!stored || stored->storeKey.isEmpty())
            throw TranscribeError::http(0, QStringLiteral("Failed to parse proxy upload response"));
        logLine(component, QStringLiteral("Authenticated proxy upload succeeded."));
        co_return stored->storeKey;
    }

    QCoro::Task<QString> transcribeStored(QString storeKey)
    {
        logLine(component, QStringLiteral("Step 3: Triggering transcription for the uploaded object."));
        const QJsonObject body{{QStringLiteral("action"), QStringLiteral("transcribe_stored")},
                               {QStringLiteral("file_key"), storeKey},
                               {QStringLiteral("duration"), m_request.duration},
                               {QStringLiteral("mode"), m_request.mode}};
        // One id for every attempt, so the backend can tell a retry from a new request.
        const QString requestId = makeRequestIdentifier();
        for (int attempt = 0;; ++attempt) {
            std::exception_ptr failure;
            try {
                const QByteArray reply = co_await jsonCall(body, requestId);
                co_return extractTranscript(reply);
            } catch (...) {
                failure = std::current_exception();
            }
            if (attempt >= TranscribeService::maximumRetries || !TranscribeError::isRetryable(failure))
                std::rethrow_exception(failure);
            if (m_request.onTranscriptionRetry)
                m_request.onTranscriptionRetry(attempt + 1, TranscribeService::maximumRetries);
            logLine(component, QStringLiteral("Retrying transcription request %1/%2 requestId=%3")
                                   .arg(attempt + 1)
                                   .arg(TranscribeService::maximumRetries)
                                   .arg(requestId));
            co_await wait((attempt + 1) * m_timing.transcriptionRetryStep);
        }
    }

    // A cancelled wait ends early; the sequence goes on regardless.
    QCoro::Task<void> wait(std::chrono::milliseconds duration)
    {
        if (m_timing.sleep)
            co_await m_timing.sleep(duration, m_token);
        else
            co_await sleepFor(duration, m_token);
    }

    QPointer<QNetworkAccessManager> m_session;
    TranscribeService::Timing m_timing;
    TranscribeService::Request m_request;
    CancellationToken m_token;
    QString m_endpoint;
    QString m_fileName;
    QString m_contentType;
    QByteArray m_bytes;
};

} // namespace

TranscribeService::TranscribeService(QObject *parent) : TranscribeService(Timing{}, parent) {}

TranscribeService::TranscribeService(Timing timing, QObject *parent) : QObject(parent), m_timing(std::move(timing)) {}

QCoro::Task<QString> TranscribeService::transcribe(Request request, CancellationToken token)
{
    TranscribeRun run(&m_session, m_timing, std::move(request), std::move(token));
    co_return co_await run.execute();
}

QString TranscribeService::contentTypeForFile(const QString &fileName)
{
    const QString extension = QFileInfo(fileName).suffix().toLower();
    if (extension == u"m4a")
        return QStringLiteral("audio/m4a");
    if (extension == u"mp3")
        return QStringLiteral("audio/mpeg");
    if (extension == u"wav")
        return QStringLiteral("audio/wav");
    if (extension == u"webm")
        return QStringLiteral("audio/webm");
    if (extension == u"ogg")
        return QStringLiteral("audio/ogg");
    return QStringLiteral("application/octet-stream");
}

} // namespace tindrel
