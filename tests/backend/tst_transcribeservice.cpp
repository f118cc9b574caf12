#include "backend/FileReadError.h"
#include "backend/TranscribeError.h"
#include "backend/TranscribeService.h"
#include "backend/TransportError.h"
#include "core/AsyncSupport.h"
#include "core/Localizer.h"
#include "core/Log.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

using namespace tindrel;
using namespace std::chrono_literals;
using tindrel::test::RecordedRequest;
using tindrel::test::ScriptedHttpServer;
using tindrel::test::ScriptedReply;

using Calls = QList<QPair<int, int>>;

namespace {

const QByteArray functionPath = "/functions/v1/transcribe";
const QByteArray storagePath = "/storage/upload";

QStringList capturedLog;
void captureLog(const QString &line) { capturedLog << line; }

QJsonObject jsonBody(const RecordedRequest &request) { return QJsonDocument::fromJson(request.body).object(); }

QByteArray json(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// The upload-URL reply; a null request id leaves the member out.
ScriptedReply uploadConfig(const QString &uploadUrl, const QString &storeKey = "user-1/obj.m4a",
                           const QString &requestId = "slot-1")
{
    QJsonObject object{{"uploadUrl", uploadUrl}, {"storeKey", storeKey}};
    if (!requestId.isNull())
        object.insert("requestId", requestId);
    return ScriptedReply::json(200, json(object));
}

ScriptedReply transcript(const QString &text) { return ScriptedReply::json(200, json({{"text", text}})); }

template<typename T>
T failureOf(const test::Outcome<QString> &outcome)
{
    try {
        outcome.get();
    } catch (const T &error) {
        return error;
    } catch (const std::exception &other) {
        qWarning("unexpected failure: %s", other.what());
    }
    throw std::runtime_error("the expected failure did not happen");
}

} // namespace

Q_DECLARE_METATYPE(QList<ScriptedReply>)

class TestTranscribeService : public QObject {
    Q_OBJECT

    ScriptedHttpServer *m_server = nullptr;
    QTemporaryDir *m_dir = nullptr;
    Calls m_uploadCalls;
    Calls m_transcriptionCalls;
    QList<std::chrono::milliseconds> m_waits;

    // Real step lengths, but the waits are recorded and skipped.
    TranscribeService::Timing recordedTiming()
    {
        TranscribeService::Timing timing;
        timing.requestTimeout = 10s;
        timing.sleep = [this](std::chrono::milliseconds duration, CancellationToken token) {
            m_waits << duration;
            return sleepFor(0ms, token);
        };
        return timing;
    }

    TranscribeService::Request request(const QString &fileName, const QByteArray &content)
    {
        const QString path = m_dir->filePath(fileName);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        TranscribeService::Request r;
        r.fileUrl = QUrl::fromLocalFile(path);
        r.duration = 12.5;
        r.mode = "high_accuracy";
        r.baseUrl = m_server->url();
        r.anonKey = "anon-key";
        r.accessToken = "access-1";
        r.onUploadRetry = [this](int n, int max) { m_uploadCalls.append({n, max}); };
        r.onTranscriptionRetry = [this](int n, int max) { m_transcriptionCalls.append({n, max}); };
        return r;
    }

    test::Outcome<QString> run(TranscribeService::Request r, TranscribeService::Timing timing,
                               CancellationToken token = {})
    {
        TranscribeService service(std::move(timing));
        return test::run(service.transcribe(std::move(r), token));
    }
    test::Outcome<QString> run(TranscribeService::Request r) { return run(std::move(r), recordedTiming()); }

    QList<RecordedRequest> functionCalls(const QString &action) const
    {
        QList<RecordedRequest> matching;
        for (const auto &r : m_server->requests(functionPath))
            if (jsonBody(r).value("action").toString() == action
                || (action == "upload_via_proxy" && r.header("Content-Type").startsWith("multipart/")))
                matching << r;
        return matching;
    }

private slots:
    void initTestCase()
    {
        Localizer::setLanguage(QStringLiteral("none"));
        setLogSink(captureLog);
    }

    void init()
    {
        m_server = new ScriptedHttpServer;
        QVERIFY(m_server->listen());
        m_dir = new QTemporaryDir;
        m_uploadCalls.clear();
        m_transcriptionCalls.clear();
        m_waits.clear();
        capturedLog.clear();
    }

    void cleanup()
    {
        delete m_server;
        delete m_dir;
    }

    void defaultsAreTheProductValues()
    {
        const TranscribeService service;
        QCOMPARE(service.timing().requestTimeout, 60s);
        QCOMPARE(service.timing().uploadRetryStep, 800ms);
        QCOMPARE(service.timing().transcriptionRetryStep, 900ms);
        QCOMPARE(TranscribeService::maximumRetries, 2);
        QCOMPARE(TranscribeService::proxyUploadLimit, 6'291'456);
    }

    void contentTypeByExtension_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("contentType");
        QTest::newRow("upper-case m4a") << "take.M4A"
                                        << "audio/m4a";
        QTest::newRow("mp3") << "take.mp3"
                             << "audio/mpeg";
        QTest::newRow("wav") << "take.Wav"
                             << "audio/wav";
        QTest::newRow("webm") << "take.webm"
                              << "audio/webm";
        QTest::newRow("ogg") << "take.ogg"
                             << "audio/ogg";
        QTest::newRow("flac") << "take.flac"
                              << "application/octet-stream";
        QTest::newRow("last extension counts") << "take.m4a.tmp"
                                               << "application/octet-stream";
        QTest::newRow("none") << "take"
                              << "application/octet-stream";
    }
    void contentTypeByExtension()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, contentType);
        QCOMPARE(TranscribeService::contentTypeForFile(fileName), contentType);
    }

    // The whole conversation of a run where every step works the first time.
    void directUploadPath()
    {
        const QByteArray audio = QByteArray("\x00\x01\x02\r\n", 5).repeated(1000);
        m_server->enqueue(functionPath, uploadConfig(m_server->url(storagePath + "?token=t1")));
        m_server->enqueue(storagePath, ScriptedReply::text(200, ""));
        m_server->enqueue(functionPath, transcript("hello world"));

        const auto outcome = run(request("take.M4A", audio));
        QCOMPARE(outcome.get(), QStringLiteral("hello world"));

        const auto all = m_server->requests();
        QCOMPARE(all.size(), 3);
        const RecordedRequest &config = all[0];
        QCOMPARE(config.method, "POST");
        QCOMPARE(config.path, functionPath);
        QCOMPARE(jsonBody(config), (QJsonObject{{"action", "get_upload_url"},
                                                {"filename", "take.M4A"},
                                                {"file_size", audio.size()},
                                                {"content_type", "audio/m4a"}}));
        QCOMPARE(config.header("Content-Type"), "application/json");
        QCOMPARE(config.header("apikey"), "anon-key");
        QCOMPARE(config.header("Authorization"), "Bearer access-1");
        QCOMPARE(config.header("X-Client-Platform"), "macos");
        QVERIFY(!config.header("X-Request-Id").isEmpty());

        const RecordedRequest &put = all[1];
        QCOMPARE(put.method, "PUT");
        QCOMPARE(put.path, storagePath);
        QCOMPARE(put.query, "token=t1");
        QCOMPARE(put.body, audio);
        QCOMPARE(put.header("Content-Type"), "audio/m4a");
        QCOMPARE(put.header("Content-Length"), QByteArray::number(audio.size()));
        QCOMPARE(put.header("x-amz-content-sha256"), "UNSIGNED-PAYLOAD");
        for (const char *absent : {"Authorization", "apikey", "X-Request-Id", "X-Client-Platform"})
            QVERIFY2(put.header(absent).isNull(), absent);

        const RecordedRequest &transcribe = all[2];
        QCOMPARE(jsonBody(transcribe), (QJsonObject{{"action", "transcribe_stored"},
                                                    {"file_key", "user-1/obj.m4a"},
                                                    {"duration", 12.5},
                                                    {"mode", "high_accuracy"}}));
        QCOMPARE(transcribe.header("apikey"), "anon-key");
        QVERIFY(!transcribe.header("X-Request-Id").isEmpty());
        QVERIFY(transcribe.header("X-Request-Id") != config.header("X-Request-Id"));

        QVERIFY(m_uploadCalls.isEmpty() && m_transcriptionCalls.isEmpty() && m_waits.isEmpty());
        QCOMPARE(
            capturedLog,
            (QStringList{
                "[TranscribeService] Step 1: Requesting upload URL...",
                QStringLiteral("[TranscribeService] Step 2: Uploading file to storage (size: %1)...").arg(audio.size()),
                "[TranscribeService] Step 3: Triggering transcription for the uploaded object."}));
    }

    // Failed direct attempts are retried twice with growing waits; then the proxy takes over.
    void directUploadRetries_data()
    {
        QTest::addColumn<QList<ScriptedReply>>("storageReplies");
        QTest::addColumn<Calls>("callbacks");
        QTest::addColumn<bool>("proxy");
        QTest::newRow("500 three times") << QList<ScriptedReply>(3, ScriptedReply::text(500, "boom"))
                                         << Calls{{1, 2}, {2, 2}} << true;
        QTest::newRow("connection dropped three times")
            << QList<ScriptedReply>(3, ScriptedReply::dropConnection()) << Calls{{1, 2}, {2, 2}} << true;
        QTest::newRow("403 then 200") << QList<ScriptedReply>{ScriptedReply::text(403, "expired"),
                                                              ScriptedReply::text(200, "")}
                                      << Calls{{1, 2}} << false;
        QTest::newRow("two failures then 201")
            << QList<ScriptedReply>{ScriptedReply::text(500, ""), ScriptedReply::text(503, ""),
                                    ScriptedReply::text(201, "")}
            << Calls{{1, 2}, {2, 2}} << false;
    }
    void directUploadRetries()
    {
        QFETCH(QList<ScriptedReply>, storageReplies);
        QFETCH(Calls, callbacks);
        QFETCH(bool, proxy);
        m_server->enqueue(functionPath, uploadConfig(m_server->url(storagePath), "slot-key", "slot-1"));
        for (const auto &reply : storageReplies)
            m_server->enqueue(storagePath, reply);
        // Qt sends a request again, once, when a reused connection drops: no exact count then.
        const bool drops = storageReplies.first().action == ScriptedReply::Action::DropConnection;
        if (drops)
            m_server->setResponder(storagePath,
                                   [](const RecordedRequest &) { return ScriptedReply::dropConnection(); });
        if (proxy)
            m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"proxy-key\"}"));
        m_server->enqueue(functionPath, transcript("done"));

        const auto outcome = run(request("take.m4a", "audio bytes"));
        QCOMPARE(outcome.get(), QStringLiteral("done"));
        QCOMPARE(m_uploadCalls, callbacks);
        QList<std::chrono::milliseconds> waits;
        for (const auto &call : callbacks)
            waits << call.first * 800ms;
        QCOMPARE(m_waits, waits);
        if (!drops)
            QCOMPARE(m_server->requests(storagePath).size(), storageReplies.size());
        QCOMPARE(functionCalls("upload_via_proxy").size(), proxy ? 1 : 0);
        QCOMPARE(jsonBody(functionCalls("transcribe_stored").value(0)).value("file_key").toString(),
                 proxy ? "proxy-key" : "slot-key");
        QCOMPARE(capturedLog.contains(
                     "[TranscribeService] Direct upload failed after retries; trying authenticated proxy fallback."),
                 proxy);
        QCOMPARE(capturedLog.contains("[TranscribeService] Authenticated proxy upload succeeded."), proxy);
    }

    // The multipart body, byte for byte, for replies with and without the upload slot.
    void proxyUploadBody_data()
    {
        QTest::addColumn<QString>("uploadUrl");
        QTest::addColumn<QString>("storeKey");
        QTest::addColumn<QString>("requestId");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<bool>("abandoned");
        QTest::addColumn<QByteArray>("sentName");
        QTest::newRow("empty upload URL, slot fields") << ""
                                                       << "slot-key"
                                                       << "slot-9"
                                                       << "take.m4a" << true << QByteArray("take.m4a");
        QTest::newRow("no request id") << ""
                                       << "slot-key" << QString() << "take.m4a" << false << QByteArray("take.m4a");
        QTest::newRow("empty request id") << ""
                                          << "slot-key"
                                          << ""
                                          << "take.m4a" << false << QByteArray("take.m4a");
        QTest::newRow("empty store key") << ""
                                         << ""
                                         << "slot-9"
                                         << "take.m4a" << false << QByteArray("take.m4a");
        QTest::newRow("unsafe file name") << ""
                                          << "k"
                                          << "s"
                                          << "a\"b\rc\nd.wav" << true << QByteArray("a_b_c_d.wav");
        QTest::newRow("not a URL") << "::not a url::"
                                   << "k"
                                   << "s"
                                   << "take.m4a" << true << QByteArray("take.m4a");
        QTest::newRow("local file URL is never written") << "file:///tmp/tindrel-never-written"
                                                         << "k"
                                                         << "s"
                                                         << "take.m4a" << true << QByteArray("take.m4a");
    }
    void proxyUploadBody()
    {
        QFETCH(QString, uploadUrl);
        QFETCH(QString, storeKey);
        QFETCH(QString, requestId);
        QFETCH(QString, fileName);
        QFETCH(bool, abandoned);
        QFETCH(QByteArray, sentName);
        const QByteArray audio("ID3\x00\r\n--binary", 15);
        m_server->enqueue(functionPath, uploadConfig(uploadUrl, storeKey, requestId));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"proxy-key\"}"));
        m_server->enqueue(functionPath, transcript("done"));

        QCOMPARE(run(request(fileName, audio)).get(), QStringLiteral("done"));
        QVERIFY(m_server->requests(storagePath).isEmpty());
        QVERIFY(!QFile::exists("/tmp/tindrel-never-written"));
        QVERIFY(m_uploadCalls.isEmpty());
        QVERIFY(capturedLog.contains(
            "[TranscribeService] Invalid direct upload URL; trying authenticated proxy fallback."));

        const auto proxied = functionCalls("upload_via_proxy");
        QCOMPARE(proxied.size(), 1);
        const RecordedRequest &proxy = proxied[0];
        const QByteArray contentType = proxy.header("Content-Type");
        const auto match = QRegularExpression("^multipart/form-data; boundary=(Boundary-[0-9A-F]{8}-[0-9A-F]{4}-"
                                              "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$")
                               .match(QString::fromUtf8(contentType));
        QVERIFY2(match.hasMatch(), contentType.constData());
        const QByteArray boundary = match.captured(1).toUtf8();
        auto field = [&](const QByteArray &name, const QByteArray &value) {
            return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value
                   + "\r\n";
        };
        QByteArray expected = field("action", "upload_via_proxy");
        if (abandoned)
            expected += field("abandoned_store_key", storeKey.toUtf8())
                        + field("abandoned_upload_attempt_id", requestId.toUtf8());
        expected += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + sentName
                    + "\"\r\nContent-Type: " + TranscribeService::contentTypeForFile(fileName).toUtf8() + "\r\n\r\n"
                    + audio + "\r\n--" + boundary + "--\r\n";
        QCOMPARE(proxy.body, expected);
        QCOMPARE(proxy.header("Content-Length"), QByteArray::number(expected.size()));
        QCOMPARE(proxy.header("apikey"), "anon-key");
        QCOMPARE(proxy.header("Authorization"), "Bearer access-1");
        QCOMPARE(proxy.header("X-Client-Platform"), "macos");
        QCOMPARE(jsonBody(functionCalls("transcribe_stored").value(0)).value("file_key").toString(), "proxy-key");
    }

    void proxyUploadLimit_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("sent");
        QTest::newRow("one byte over") << qsizetype(6'291'457) << false;
        QTest::newRow("exactly the limit") << qsizetype(6'291'456) << true;
    }
    void proxyUploadLimit()
    {
        QFETCH(qsizetype, size);
        QFETCH(bool, sent);
        m_server->enqueue(functionPath, uploadConfig(m_server->url(storagePath)));
        for (int i = 0; i < 3; ++i)
            m_server->enqueue(storagePath, ScriptedReply::text(500, ""));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"proxy-key\"}"));
        m_server->enqueue(functionPath, transcript("long one"));

        const auto outcome = run(request("long.m4a", QByteArray(size, 'a')));
        QCOMPARE(m_server->requests(storagePath).size(), 3);
        QCOMPARE(functionCalls("upload_via_proxy").size(), sent ? 1 : 0);
        if (sent) {
            QCOMPARE(outcome.get(), QStringLiteral("long one"));
            QVERIFY(functionCalls("upload_via_proxy")[0].body.size() > size);
        } else {
            QCOMPARE(failureOf<TranscribeError>(outcome),
                     TranscribeError::http(0, "Direct upload failed and the recording exceeds the proxy upload limit"));
        }
    }

    // Failures of the steps that are never retried.
    void failuresThrownAtOnce_data()
    {
        QTest::addColumn<QList<ScriptedReply>>("functionReplies");
        QTest::addColumn<TranscribeError>("expected");
        QTest::addColumn<int>("functionRequests");
        const ScriptedReply config = uploadConfig("");
        QTest::newRow("upload URL refused")
            << QList<ScriptedReply>{ScriptedReply::json(429, "{\"error\":\"quota_exceeded\"}")}
            << TranscribeError::quotaExceeded() << 1;
        QTest::newRow("upload URL on a gateway error is not retried")
            << QList<ScriptedReply>{ScriptedReply::text(503, "")} << TranscribeError::http(503, "") << 1;
        QTest::newRow("upload config unreadable")
            << QList<ScriptedReply>{ScriptedReply::json(200, "{\"uploadUrl\":\"x\"}")}
            << TranscribeError::http(0, "Failed to parse upload config") << 1;
        QTest::newRow("proxy refused") << QList<ScriptedReply>{config,
                                                               ScriptedReply::json(413, "{\"message\":\"too big\"}")}
                                       << TranscribeError::http(413, "too big") << 2;
        QTest::newRow("proxy reply without key")
            << QList<ScriptedReply>{config, ScriptedReply::json(200, "{\"storeKey\":\"\"}")}
            << TranscribeError::http(0, "Failed to parse proxy upload response") << 2;
        QTest::newRow("transcription 500")
            << QList<ScriptedReply>{config, ScriptedReply::json(200, "{\"storeKey\":\"k\"}"),
                                    ScriptedReply::json(500, "{\"message\":\"model crashed\"}")}
            << TranscribeError::http(500, "model crashed") << 3;
        QTest::newRow("transcription entitlement")
            << QList<ScriptedReply>{config, ScriptedReply::json(200, "{\"storeKey\":\"k\"}"),
                                    ScriptedReply::json(403,
                                                        "{\"error\":\"entitlement_required\",\"requestId\":\"e-1\"}")}
            << TranscribeError::entitlementRequired("e-1") << 3;
    }
    void failuresThrownAtOnce()
    {
        QFETCH(QList<ScriptedReply>, functionReplies);
        QFETCH(TranscribeError, expected);
        QFETCH(int, functionRequests);
        for (const auto &reply : functionReplies)
            m_server->enqueue(functionPath, reply);
        const auto outcome = run(request("take.m4a", "abc"));
        QCOMPARE(failureOf<TranscribeError>(outcome), expected);
        QCOMPARE(m_server->requests(functionPath).size(), functionRequests);
        QVERIFY(m_server->requests(storagePath).isEmpty());
        QVERIFY(m_transcriptionCalls.isEmpty() && m_waits.isEmpty());
    }

    void nothingIsSentWithoutAFileOrAUsableBaseUrl()
    {
        auto missing = request("take.m4a", "abc");
        QFile::remove(missing.fileUrl.toLocalFile());
        QCOMPARE(failureOf<FileReadError>(run(missing)).fileName(), QStringLiteral("take.m4a"));

        for (const QString &base : {QString(), QStringLiteral(" http://127.0.0.1:1"), QStringLiteral("not a url"),
                                    QStringLiteral("file:///tmp")}) {
            auto r = request("take.m4a", "abc");
            r.baseUrl = base;
            QCOMPARE(failureOf<TranscribeError>(run(r)), TranscribeError::invalidConfig());
        }
        QVERIFY(m_server->requests().isEmpty());
    }

    // Gateway errors are retried with one request id for all attempts.
    void transcriptionRetries_data()
    {
        QTest::addColumn<QList<ScriptedReply>>("replies");
        QTest::addColumn<Calls>("callbacks");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("failedStatus");
        const auto unavailable = ScriptedReply::text(503, "busy");
        QTest::newRow("503, 503, transcript") << QList<ScriptedReply>{unavailable, unavailable, transcript("third")}
                                              << Calls{{1, 2}, {2, 2}} << "third" << 0;
        QTest::newRow("502, transcript") << QList<ScriptedReply>{ScriptedReply::text(502, ""), transcript("second")}
                                         << Calls{{1, 2}} << "second" << 0;
        QTest::newRow("504 three times") << QList<ScriptedReply>(3, ScriptedReply::text(504, ""))
                                         << Calls{{1, 2}, {2, 2}} << QString() << 504;
        QTest::newRow("503 then 500") << QList<ScriptedReply>{unavailable, ScriptedReply::text(500, "")}
                                      << Calls{{1, 2}} << QString() << 500;
    }
    void transcriptionRetries()
    {
        QFETCH(QList<ScriptedReply>, replies);
        QFETCH(Calls, callbacks);
        QFETCH(QString, text);
        QFETCH(int, failedStatus);
        m_server->enqueue(functionPath, uploadConfig(""));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"k\"}"));
        for (const auto &reply : replies)
            m_server->enqueue(functionPath, reply);

        const auto outcome = run(request("take.m4a", "abc"));
        if (failedStatus)
            QCOMPARE(failureOf<TranscribeError>(outcome).status(), failedStatus);
        else
            QCOMPARE(outcome.get(), text);
        QCOMPARE(m_transcriptionCalls, callbacks);
        QList<std::chrono::milliseconds> waits;
        for (const auto &call : callbacks)
            waits << call.first * 900ms;
        QCOMPARE(m_waits, waits);

        const auto attempts = functionCalls("transcribe_stored");
        QCOMPARE(attempts.size(), callbacks.size() + 1);
        const QByteArray id = attempts[0].header("X-Request-Id");
        QVERIFY(QRegularExpression("^[0-9A-F-]{36}$").match(QString::fromUtf8(id)).hasMatch());
        for (const auto &attempt : attempts)
            QCOMPARE(attempt.header("X-Request-Id"), id);
        for (const auto &call : callbacks)
            QVERIFY(capturedLog.contains(
                QStringLiteral("[TranscribeService] Retrying transcription request %1/2 requestId=%2")
                    .arg(call.first)
                    .arg(QString::fromUtf8(id))));
    }

    void transcriptExtraction_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("noText");
        QTest::newRow("empty text is a transcript")
            << QByteArray("{\"text\":\"\",\"transcription\":\"x\"}") << "" << false;
        QTest::newRow("transcription member") << QByteArray("{\"transcription\":\"t\"}") << "t" << false;
        QTest::newRow("null text") << QByteArray("{\"text\":null,\"transcription\":\"t2\"}") << "t2" << false;
        QTest::newRow("empty error member ignored") << QByteArray("{\"error\":\"\",\"text\":\"ok\"}") << "ok" << false;
        QTest::newRow("nested capital T")
            << QByteArray("{\"data\":{\"items\":[{\"Transcription\":\"deep\"}]}}") << "deep" << false;
        QTest::newRow("wrongly typed text falls back to search")
            << QByteArray("{\"text\":5,\"transcription\":\"found\"}") << "found" << false;
        QTest::newRow("bare string") << QByteArray("\"bare\"") << "bare" << false;
        QTest::newRow("empty array") << QByteArray("[]") << QString() << true;
        QTest::newRow("bare number") << QByteArray("42") << QString() << true;
        QTest::newRow("empty object") << QByteArray("{}") << QString() << true;
        QTest::newRow("only empty strings") << QByteArray("{\"a\":[\"\",{\"text\":\"\"}]}") << QString() << true;
        QTest::newRow("not json") << QByteArray("plain words") << QString() << true;
        QTest::newRow("two values are not json") << QByteArray("\"a\"],[\"b\"") << QString() << true;
    }
    void transcriptExtraction()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, text);
        QFETCH(bool, noText);
        m_server->enqueue(functionPath, uploadConfig(""));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"k\"}"));
        m_server->enqueue(functionPath, ScriptedReply::json(200, body));
        const auto outcome = run(request("take.m4a", "abc"));
        if (noText)
            QCOMPARE(failureOf<TranscribeError>(outcome), TranscribeError::noText());
        else
            QCOMPARE(outcome.get(), text);
        QCOMPARE(functionCalls("transcribe_stored").size(), 1);
    }

    void errorMemberWithSuccessStatusIsNotRetried()
    {
        m_server->enqueue(functionPath, uploadConfig(""));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"k\"}"));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"error\":\"model overloaded\",\"text\":\"x\"}"));
        m_server->enqueue(functionPath, transcript("never asked"));
        QCOMPARE(failureOf<TranscribeError>(run(request("take.m4a", "abc"))),
                 TranscribeError::http(200, "model overloaded"));
        QCOMPARE(functionCalls("transcribe_stored").size(), 1);
        QVERIFY(m_transcriptionCalls.isEmpty());
    }

    // Transport failures of the transcription step: retried, and retryable for the caller.
    void transportFailuresOfTranscription_data()
    {
        QTest::addColumn<ScriptedReply>("reply");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<int>("code");
        QTest::newRow("connection dropped")
            << ScriptedReply::dropConnection() << false << int(QNetworkReply::RemoteHostClosedError);
        QTest::newRow("server stops answering")
            << ScriptedReply::neverAnswer() << true << int(QNetworkReply::OperationCanceledError);
    }
    void transportFailuresOfTranscription()
    {
        QFETCH(ScriptedReply, reply);
        QFETCH(bool, timedOut);
        QFETCH(int, code);
        m_server->enqueue(functionPath, uploadConfig(""));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"k\"}"));
        m_server->setResponder(functionPath, [reply](const RecordedRequest &) { return reply; });
        auto timing = recordedTiming();
        timing.requestTimeout = 300ms;
        const auto outcome = run(request("take.m4a", "abc"), timing);
        const TransportError error = failureOf<TransportError>(outcome);
        QCOMPARE(error.timedOut(), timedOut);
        QCOMPARE(int(error.code()), code);
        QVERIFY(TranscribeError::isRetryable(outcome.error));
        QCOMPARE(m_transcriptionCalls, (Calls{{1, 2}, {2, 2}}));
        // A dropped keep-alive connection may see Qt's own one resend.
        if (timedOut)
            QCOMPARE(functionCalls("transcribe_stored").size(), 3);
        else
            QVERIFY(functionCalls("transcribe_stored").size() >= 3);
    }

    void connectionRefusedIsRetryableButStepOneIsNotRetried()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        auto r = request("take.m4a", "abc");
        r.baseUrl = QStringLiteral("http://127.0.0.1:%1").arg(port);
        const auto outcome = run(r);
        QCOMPARE(failureOf<TransportError>(outcome).code(), QNetworkReply::ConnectionRefusedError);
        QVERIFY(TranscribeError::isRetryable(outcome.error));
        QVERIFY(m_waits.isEmpty() && m_transcriptionCalls.isEmpty());
    }

    // Cancelling shortens the waits; the sequence runs on and its requests fail as cancelled.
    void cancellationEndsWaitsButNotTheSequence()
    {
        m_server->enqueue(functionPath, uploadConfig(m_server->url(storagePath)));
        m_server->enqueue(storagePath, ScriptedReply::text(500, ""));
        CancellationToken token;
        auto r = request("take.m4a", "abc");
        r.onUploadRetry = [this, token](int n, int max) {
            m_uploadCalls.append({n, max});
            token.cancel();
        };
        QElapsedTimer clock;
        clock.start();
        const auto outcome = run(r, TranscribeService::Timing{}, token);
        QVERIFY_THROWS_EXCEPTION(CancelledError, outcome.get());
        // The real waits add up to 2.4 s.
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(m_uploadCalls, (Calls{{1, 2}, {2, 2}}));
        QCOMPARE(m_server->requests(storagePath).size(), 1);
        QCOMPARE(m_server->requests(functionPath).size(), 1);
        QVERIFY(capturedLog.contains(
            "[TranscribeService] Direct upload failed after retries; trying authenticated proxy fallback."));
    }

    void cancellingDuringARequestAbortsIt()
    {
        m_server->enqueue(functionPath, uploadConfig(""));
        m_server->enqueue(functionPath, ScriptedReply::json(200, "{\"storeKey\":\"k\"}"));
        // Cancelled once the transcription request is under way, however slow the steps before.
        CancellationToken token;
        m_server->setResponder(functionPath, [token](const RecordedRequest &) {
            token.cancel();
            return ScriptedReply::neverAnswer();
        });
        const auto outcome = run(request("take.m4a", "abc"), recordedTiming(), token);
        QVERIFY_THROWS_EXCEPTION(CancelledError, outcome.get());
        QVERIFY(!TranscribeError::isRetryable(outcome.error));
        QCOMPARE(functionCalls("transcribe_stored").size(), 1);
        QVERIFY(m_transcriptionCalls.isEmpty());
    }
};

TINDREL_TEST_GUILESS_MAIN(TestTranscribeService)
#include "tst_transcribeservice.moc"
