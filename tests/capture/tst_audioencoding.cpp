// The AAC writer and the level meter on synthetic signals, without a sound server.
#include "MediaProbe.h"
#include "capture/AacFileWriter.h"
#include "capture/AudioLevelMeter.h"
#include "capture/RecordingServiceError.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>

#include <cmath>
#include <numbers>
#include <vector>

using namespace tindrel;

Q_DECLARE_METATYPE(std::vector<qint16>)

namespace {

std::vector<qint16> sine(double seconds, double amplitude, double frequency = 440)
{
    std::vector<qint16> samples(static_cast<size_t>(seconds * AacFileWriter::sampleRate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<qint16>(
            amplitude * 32767
            * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / AacFileWriter::sampleRate));
    return samples;
}

} // namespace

class TestAudioEncoding : public QObject {
    Q_OBJECT
private slots:
    void writesPlayableMonoAacOfTheRightLength_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<int>("chunk");
        QTest::newRow("1.5 s in 20 ms chunks") << 1.5 << 882;
        QTest::newRow("odd length, odd chunks") << 0.7371 << 333;
        QTest::newRow("shorter than one frame") << 0.01 << 441;
        // Stopped before any audio arrived: still a valid file (one frame of silence).
        QTest::newRow("nothing captured") << 0.0 << 441;
    }

    void writesPlayableMonoAacOfTheRightLength()
    {
        QFETCH(double, seconds);
        QFETCH(int, chunk);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.m4a"));
        const auto samples = sine(seconds, 0.5);
        {
            AacFileWriter writer;
            writer.open(path);
            for (size_t i = 0; i < samples.size(); i += static_cast<size_t>(chunk))
                writer.write(samples.data() + i,
                             std::min<qsizetype>(chunk, static_cast<qsizetype>(samples.size() - i)));
            QCOMPARE(writer.samplesWritten(), static_cast<qint64>(samples.size()));
            writer.finish();
            writer.finish(); // idempotent
        }
        const auto facts = test::probeMedia(path);
        QVERIFY(facts.opened);
        QCOMPARE(facts.codec, QStringLiteral("aac"));
        QCOMPARE(facts.sampleRate, 44100);
        QCOMPARE(facts.channels, 1);
        QVERIFY2(std::abs(facts.duration - static_cast<double>(samples.size()) / 44100) <= 0.03,
                 qPrintable(QString::number(facts.duration)));
        QVERIFY(facts.indexBeforeData);
    }

    // The destructor completes an open file, so no owner can leave a file without its index.
    void destructionCompletesTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("dropped.m4a"));
        const auto samples = sine(0.5, 0.3);
        {
            AacFileWriter writer;
            writer.open(path);
            writer.write(samples.data(), static_cast<qsizetype>(samples.size()));
        }
        const auto facts = test::probeMedia(path);
        QVERIFY(facts.opened);
        QVERIFY(std::abs(facts.duration - 0.5) < 0.03);
    }

    void unwritableFileIsAClearError()
    {
        AacFileWriter writer;
        try {
            writer.open(QStringLiteral("/nonexistent-folder/recording.m4a"));
            QFAIL("open succeeded");
        } catch (const RecordingServiceError &error) {
            QCOMPARE(error.code(), RecordingServiceError::Code::recordingFileUnwritable);
            QVERIFY(!error.description().isEmpty());
        }
        QVERIFY(!writer.isOpen());
        QVERIFY(!QFile::exists(QStringLiteral("/nonexistent-folder/recording.m4a")));
    }

    void meterReadsAveragePowerInDecibels_data()
    {
        QTest::addColumn<std::vector<qint16>>("samples");
        QTest::addColumn<float>("expected");
        QTest::newRow("digital silence") << std::vector<qint16>(2205, 0) << -160.0f;
        QTest::newRow("half-scale sine") << sine(0.05, 0.5) << -9.03f;
        QTest::newRow("full-scale square") << std::vector<qint16>(2205, -32768) << 0.0f;
        QTest::newRow("one LSB of noise is not silence") << std::vector<qint16>(2205, 1) << -90.31f;
    }

    void meterReadsAveragePowerInDecibels()
    {
        QFETCH(std::vector<qint16>, samples);
        QFETCH(float, expected);
        AudioLevelMeter meter;
        QCOMPARE(meter.averagePower(), AudioLevelMeter::silence);
        meter.process(samples.data(), static_cast<qsizetype>(samples.size()));
        QVERIFY2(std::abs(meter.averagePower() - expected) < 0.1f, qPrintable(QString::number(meter.averagePower())));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestAudioEncoding)
#include "tst_audioencoding.moc"
