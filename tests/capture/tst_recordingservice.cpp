// The recorder against the test script's PulseAudio: speech played into "micfeed" reaches the
// default source "virtmic" and must come out as a complete AAC file of the capture's length.
#include "MediaProbe.h"
#include "capture/AudioRecorder.h"
#include "capture/DefaultAudioInput.h"
#include "capture/MicrophonePermissionAuthorizing.h"
#include "capture/RecordingService.h"
#include "capture/RecordingServiceError.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

using namespace tindrel;
using namespace std::chrono_literals;

// Qt's audio code is not instrumented, so a device used after its destruction goes unseen by
// the sanitizer; zeroing freed memory makes such a use fail loudly inside libpulse instead.
extern "C" const char *__asan_default_options() { return "max_free_fill_size=65536:free_fill_byte=0"; }

namespace {

class GrantingAuthorizer final : public MicrophonePermissionAuthorizing {
public:
    MicrophoneAuthorizationStatus authorizationStatus() const override
    {
        return MicrophoneAuthorizationStatus::authorized;
    }
    QCoro::Task<bool> requestAccess() override { co_return true; }
};

// Samples the meter the way the recording workspace does (every 50 ms) until `done`.
template<typename Done>
QList<float> meterReadings(const RecordingService &service, Done done, std::chrono::milliseconds timeout = 20s)
{
    QList<float> readings;
    QDeadlineTimer deadline(timeout);
    while (!done() && !deadline.hasExpired()) {
        QTest::qWait(50);
        if (auto level = service.averagePower())
            readings << *level;
    }
    return readings;
}

void verifyRecording(const QUrl &url, double expectedDuration, double tolerance = 0.1)
{
    QVERIFY(url.isLocalFile());
    const QFileInfo file(url.toLocalFile());
    static const QRegularExpression name(
        QStringLiteral("^recording-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.m4a$"));
    QVERIFY2(name.match(file.fileName()).hasMatch(), qPrintable(file.fileName()));
    QCOMPARE(file.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
    const auto facts = test::probeMedia(file.absoluteFilePath());
    QVERIFY(facts.opened);
    QCOMPARE(facts.codec, QStringLiteral("aac"));
    QCOMPARE(facts.sampleRate, 44100);
    QCOMPARE(facts.channels, 1);
    QVERIFY2(std::abs(facts.duration - expectedDuration) <= tolerance,
             qPrintable(QStringLiteral("file %1 s, capture %2 s").arg(facts.duration).arg(expectedDuration)));
}

} // namespace

class TestRecordingService : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_speech;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QCOMPARE(DefaultAudioInput::serverDefaultSourceName(), QByteArray("virtmic"));
        // A fresh null sink hands out its first 2 s block before the low-latency reader takes
        // effect; wait for it here so the captures below see a microphone that runs.
        QCOMPARE(
            QProcess::execute(QStringLiteral("sh"),
                              {QStringLiteral("-c"),
                               QStringLiteral("parec -d virtmic --latency-msec=20 --raw | head -c 1764 >/dev/null")}),
            0);
        m_speech = m_dir.filePath(QStringLiteral("speech.wav"));
        QCOMPARE(QProcess::execute(QStringLiteral("flite"),
                                   {QStringLiteral("-t"), QStringLiteral("Please transcribe this short test sentence."),
                                    QStringLiteral("-o"), m_speech}),
                 0);
    }

    void speechIsCapturedIntoACompleteFile()
    {
        RecordingService service(std::make_shared<GrantingAuthorizer>());
        QVERIFY(!service.averagePower());
        auto started = test::run(service.startCapture());
        QVERIFY2(!started.error, qPrintable(test::errorText(started)));
        QCOMPARE(service.recorder()->isRecording(), true);

        QProcess player;
        player.start(QStringLiteral("paplay"),
                     {QStringLiteral("-d"), QStringLiteral("micfeed"), QStringLiteral("--latency-msec=20"), m_speech});
        const QList<float> readings = meterReadings(service, [&] { return player.state() == QProcess::NotRunning; });
        QTest::qWait(300);
        QCOMPARE(player.exitCode(), 0);

        const auto stopped = service.stopCapture();
        QVERIFY(stopped);
        QVERIFY(stopped->duration > 1.5);
        verifyRecording(stopped->fileURL, stopped->duration);
        // Speech is far above the floor; flite speaks at a moderate level.
        const float loudest = *std::max_element(readings.begin(), readings.end());
        QVERIFY2(loudest > -40 && loudest <= 0, qPrintable(QString::number(loudest)));

        QVERIFY(!service.stopCapture());
        QVERIFY(!service.averagePower());
    }

    void silenceReadsTheFloor()
    {
        RecordingService service(std::make_shared<GrantingAuthorizer>());
        QVERIFY(!test::run(service.startCapture()).error);
        const QList<float> readings = meterReadings(
            service, [] { return false; }, 600ms);
        QVERIFY(!readings.isEmpty());
        QVERIFY2(readings.last() <= -150, qPrintable(QString::number(readings.last())));
        const auto stopped = service.stopCapture();
        QVERIFY(stopped);
        verifyRecording(stopped->fileURL, stopped->duration);
    }

    void limitEndsTheCaptureByItself()
    {
        RecordingService service(std::make_shared<GrantingAuthorizer>());
        service.setRecordingLimit(1500ms);
        QList<QUrl> finished;
        service.onFinish = [&](const QUrl &url) { finished << url; };
        QVERIFY(!test::run(service.startCapture()).error);
        const QUrl fileURL = service.recorder()->fileURL();

        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QCOMPARE(finished.first(), fileURL);
        // Collected by the controller's stop: still assigned, exactly the limit long.
        QVERIFY(service.recorder());
        QVERIFY(!service.recorder()->isRecording());
        QVERIFY(QFileInfo(fileURL.toLocalFile()).size() > 0);
        const auto stopped = service.stopCapture();
        QVERIFY(stopped);
        QCOMPARE(stopped->fileURL, fileURL);
        QCOMPARE(stopped->duration, 1.5);
        verifyRecording(fileURL, 1.5, 0.03);
        QVERIFY(!service.stopCapture());
        QTest::qWait(100);
        QCOMPARE(finished.size(), 1);
    }

    // A manual stop is no "ended by itself": the handler must not fire, or it would stop the
    // next capture that the user starts right away.
    void manualStopDoesNotReportAFinish()
    {
        RecordingService service(std::make_shared<GrantingAuthorizer>());
        int finished = 0;
        service.onFinish = [&](const QUrl &) { ++finished; };
        QVERIFY(!test::run(service.startCapture()).error);
        QTest::qWait(300);
        QVERIFY(service.stopCapture());
        QVERIFY(!test::run(service.startCapture()).error);
        QTest::qWait(300);
        QCOMPARE(finished, 0);
        QVERIFY(service.recorder() && service.recorder()->isRecording());
        QVERIFY(service.stopCapture());
    }

    // Stopping the device runs pending events (Qt's PulseAudio source does so when it is
    // destroyed), so a queued stop or start can arrive while a stop is under way. Exactly one
    // stop collects the capture, and the file is complete.
    void stopArrivingDuringAStopIsHarmless()
    {
        RecordingService service(std::make_shared<GrantingAuthorizer>());
        QVERIFY(!test::run(service.startCapture()).error);
        const QUrl fileURL = service.recorder()->fileURL();
        QTest::qWait(300);
        std::optional<RecordingService::StoppedCapture> inner;
        bool innerRan = false;
        QTimer::singleShot(0, &service, [&] {
            innerRan = true;
            inner = service.stopCapture();
        });
        const auto outer = service.stopCapture();
        QTRY_VERIFY(innerRan);
        QCOMPARE(outer.has_value() + inner.has_value(), 1);
        QCOMPARE((outer ? outer : inner)->fileURL, fileURL);
        QVERIFY(!service.recorder());
        const auto facts = test::probeMedia(fileURL.toLocalFile());
        QVERIFY(facts.opened);
        QVERIFY(facts.duration > 0); // even a stop before the first buffer gives a playable file
    }

    // Starting over a running capture replaces it; the replaced file is still complete.
    void replacedCaptureLeavesACompleteFile()
    {
        RecordingService service(std::make_shared<GrantingAuthorizer>());
        QVERIFY(!test::run(service.startCapture()).error);
        const QUrl first = service.recorder()->fileURL();
        QTest::qWait(700);
        QVERIFY(!test::run(service.startCapture()).error);
        QVERIFY(service.recorder()->fileURL() != first);
        const auto facts = test::probeMedia(first.toLocalFile());
        QVERIFY(facts.opened);
        QVERIFY2(facts.duration > 0.5 && facts.duration < 0.9, qPrintable(QString::number(facts.duration)));
        QVERIFY(service.stopCapture());
    }

    void unwritableTemporaryDirectoryIsAnError()
    {
        const QByteArray saved = qgetenv("TMPDIR");
        qputenv("TMPDIR", m_dir.filePath(QStringLiteral("missing")).toLocal8Bit());
        RecordingService service(std::make_shared<GrantingAuthorizer>());
        const auto outcome = test::run(service.startCapture());
        qputenv("TMPDIR", saved);
        QVERIFY(outcome.error);
        try {
            std::rethrow_exception(outcome.error);
        } catch (const RecordingServiceError &error) {
            QCOMPARE(error.code(), RecordingServiceError::Code::recordingFileUnwritable);
        }
        QVERIFY(!service.recorder());
        QVERIFY(!service.stopCapture());
    }

    // Destroying the service mid-capture must stop the device first (libpulse aborts
    // otherwise) and leave a complete file.
    void destructionDuringCaptureCompletesTheFile()
    {
        QUrl fileURL;
        {
            RecordingService service(std::make_shared<GrantingAuthorizer>());
            QVERIFY(!test::run(service.startCapture()).error);
            fileURL = service.recorder()->fileURL();
            QTest::qWait(500);
        }
        const auto facts = test::probeMedia(fileURL.toLocalFile());
        QVERIFY(facts.opened);
        QVERIFY(facts.duration > 0.3);
    }
};

TINDREL_TEST_MAIN(TestRecordingService)
#include "tst_recordingservice.moc"
