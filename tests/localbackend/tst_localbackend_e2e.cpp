// End to end through real recognition: synthetic speech, encoded as the app encodes it
// (AAC in .m4a), uploaded through the signed URL and transcribed by the local backend.
#include "BackendProcess.h"

#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>

using namespace tindrel::test;

namespace {

bool runTool(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60000);
    *output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class TestLocalBackendEndToEnd : public QObject {
    Q_OBJECT

private:
    BackendProcess m_backend;
    QByteArray m_token;
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Files beside the server are what a hostile upload would try to reach.
        m_backend.setWorkingDirectory(m_dir.path());
        QString error;
        QVERIFY2(m_backend.start(&error), qPrintable(error));
        m_backend.createUser(QStringLiteral("speaker@example.com"), QStringLiteral("secret-pass"));
        m_token = m_backend.signIn(QStringLiteral("speaker@example.com"), QStringLiteral("secret-pass"))
                      .value("access_token")
                      .toString()
                      .toLatin1();
        QVERIFY(!m_token.isEmpty());
    }

    void spokenWordsComeBack()
    {
        const QString flite = QStandardPaths::findExecutable(QStringLiteral("flite"));
        const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
        QVERIFY2(!flite.isEmpty() && !ffmpeg.isEmpty(), "flite and ffmpeg are needed (scripts/install-deps)");
        const QString wav = m_dir.filePath(QStringLiteral("speech.wav"));
        const QString m4a = m_dir.filePath(QStringLiteral("speech.m4a"));
        QString output;
        QVERIFY2(runTool(flite,
                         {QStringLiteral("-t"),
                          QStringLiteral("The quick brown fox jumps over the lazy dog. "
                                         "Please transcribe this recording today."),
                          QStringLiteral("-o"), wav},
                         &output),
                 qPrintable(output));
        // Mono AAC-LC at 44.1 kHz in an MP4 container, as the recorder writes it.
        QVERIFY2(
            runTool(ffmpeg,
                    {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-i"),
                     wav, QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-ar"), QStringLiteral("44100"),
                     QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"), QStringLiteral("96k"),
                     QStringLiteral("-movflags"), QStringLiteral("+faststart"), m4a},
                    &output),
            qPrintable(output));
        QFile file(m4a);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray audio = file.readAll();

        const HttpResult reply = m_backend.transcribe(m_token, audio, QString());
        QCOMPARE(reply.status, 200);
        const QString text = reply.json().value("text").toString().toLower();
        // Recognition is not exact; these words survive it.
        for (const char *word : {"quick", "brown", "fox", "recording"})
            QVERIFY2(text.contains(QLatin1String(word)),
                     qPrintable(QStringLiteral("missing \"%1\" in: %2").arg(word, text)));
    }

    // The answer comes from a worker thread after the client has gone: it must be dropped,
    // not written to a dead socket.
    void clientLeavingDuringRecognitionIsHarmless()
    {
        QFile file(m_dir.filePath(QStringLiteral("speech.m4a")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray audio = file.readAll();
        const QJsonObject slot =
            m_backend
                .function(
                    QStringLiteral("transcribe"), m_token,
                    QJsonObject{{"action", "get_upload_url"}, {"filename", "speech.m4a"}, {"file_size", audio.size()}})
                .json();
        QCOMPARE(m_backend.send("PUT", slot.value("uploadUrl").toString(), audio, {{"apikey", {}}}).status, 200);
        auto rows = [this] {
            return m_backend.function(QStringLiteral("history"), m_token, QJsonObject{{"limit", 50}})
                .json()
                .value("pageInfo")
                .toObject()
                .value("totalCount")
                .toInt();
        };
        const int before = rows();
        QCOMPARE(m_backend.send("DELETE", QStringLiteral("/__tindrel_test/requests")).status, 204);
        QNetworkAccessManager network;
        QNetworkRequest request(QUrl(m_backend.baseUrl() + QStringLiteral("/functions/v1/transcribe")));
        request.setRawHeader("apikey", m_backend.anonKey());
        request.setRawHeader("Authorization", "Bearer " + m_token);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        std::unique_ptr<QNetworkReply> abandoned(network.post(
            request,
            QJsonDocument(QJsonObject{{"action", "transcribe_stored"}, {"file_key", slot.value("storeKey").toString()}})
                .toJson()));
        // Leave only once the server has the whole request, however slow this machine is.
        auto received = [this] {
            const QJsonArray log =
                m_backend.send("GET", QStringLiteral("/__tindrel_test/requests")).json().value("requests").toArray();
            for (const QJsonValue &entry : log) {
                if (entry.toObject().value("json").toObject().value("action").toString()
                    == QLatin1String("transcribe_stored"))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(received(), 15000);
        QVERIFY(!abandoned->isFinished());
        abandoned->abort();
        // Recognition finishes meanwhile and stores its row; the server lives on.
        QTRY_VERIFY_WITH_TIMEOUT(rows() > before, 15000);
    }

    void somethingThatIsNotAudioIsRefused()
    {
        const HttpResult reply = m_backend.transcribe(m_token, QByteArray("definitely not an m4a file"), QString());
        QCOMPARE(reply.status, 422);
        QCOMPARE(reply.json().value("error").toString(), QStringLiteral("audio_decode_failed"));
    }

    // An MP3 may switch from stereo to mono between frames; the decoder follows it and the
    // server must too, instead of reading a second channel that is no longer there.
    void channelCountChangingMidStreamIsDecoded()
    {
        const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
        QVERIFY2(!ffmpeg.isEmpty(), "ffmpeg is needed (scripts/install-deps)");
        QByteArray audio;
        for (const char *channels : {"2", "1"}) {
            const QString part = m_dir.filePath(QStringLiteral("tone-%1.mp3").arg(QLatin1String(channels)));
            QString output;
            QVERIFY2(runTool(ffmpeg,
                             {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"),
                              QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                              QStringLiteral("sine=frequency=440:duration=1"), QStringLiteral("-ac"),
                              QLatin1String(channels), QStringLiteral("-c:a"), QStringLiteral("libmp3lame"), part},
                             &output),
                     qPrintable(output));
            QFile file(part);
            QVERIFY(file.open(QIODevice::ReadOnly));
            audio += file.readAll();
        }
        const HttpResult reply = m_backend.transcribe(m_token, audio, QString(), QStringLiteral("switch.mp3"));
        QCOMPARE(reply.status, 200);
    }

    // An upload is decoded as itself: a playlist that names another file (here one in the
    // server's working folder) must not make the server read that file.
    void uploadCannotPullInOtherFiles()
    {
        QByteArray wav("RIFF");
        const quint32 dataSize = 16000; // half a second of silence, 16 kHz mono 16-bit
        auto le32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
        auto le16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char *>(&v), 2); };
        wav += le32(36 + dataSize) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(16000) + le32(32000) + le16(2)
               + le16(16) + "data" + le32(dataSize) + QByteArray(dataSize, '\0');
        QFile beside(m_dir.filePath(QStringLiteral("beside.wav")));
        QVERIFY(beside.open(QIODevice::WriteOnly));
        QCOMPARE(beside.write(wav), wav.size());
        beside.close();

        const HttpResult reply =
            m_backend.transcribe(m_token, QByteArray("ffconcat version 1.0\nfile beside.wav\n"), QString());
        QCOMPARE(reply.status, 422);
        QCOMPARE(reply.json().value("error").toString(), QStringLiteral("audio_decode_failed"));
    }

    // After all of the above, a stop request ends it cleanly (and, under the sanitizers,
    // without leaks).
    void stopsCleanly()
    {
        const int code = m_backend.stop();
        QVERIFY2(code == 0,
                 qPrintable(QStringLiteral("exit code %1:\n%2").arg(code).arg(m_backend.output().right(4000))));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestLocalBackendEndToEnd)
#include "tst_localbackend_e2e.moc"
