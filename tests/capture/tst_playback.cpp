// The preview player on the test script's PulseAudio with short files made by our own writer.
#include "capture/AacFileWriter.h"
#include "capture/PlaybackService.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>
#include <numbers>
#include <vector>

using namespace tindrel;

namespace {

QString writeTone(const QString &path, double seconds)
{
    std::vector<qint16> samples(static_cast<size_t>(seconds * AacFileWriter::sampleRate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<qint16>(8000 * std::sin(2 * std::numbers::pi * 330 * static_cast<double>(i) / 44100));
    AacFileWriter writer;
    writer.open(path);
    writer.write(samples.data(), static_cast<qsizetype>(samples.size()));
    writer.finish();
    return path;
}

bool loaded(PlaybackService &player, const QString &path)
{
    const auto outcome = test::run(player.load(QUrl::fromLocalFile(path)));
    if (outcome.error)
        qWarning("%s", qPrintable(test::errorText(outcome)));
    return !outcome.error;
}

} // namespace

class TestPlayback : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_short;
    QString m_long;

private slots:
    void initTestCase()
    {
        m_short = writeTone(m_dir.filePath(QStringLiteral("short.m4a")), 1.0);
        m_long = writeTone(m_dir.filePath(QStringLiteral("long.m4a")), 3.0);
    }

    void playsToTheEnd()
    {
        PlaybackService player;
        player.play(); // nothing loaded: nothing happens
        QVERIFY(!player.isPlaying());

        QVERIFY(loaded(player, m_short));
        QVERIFY(player.isLoaded());
        QVERIFY2(std::abs(player.duration() - 1.0) < 0.1, qPrintable(QString::number(player.duration())));
        QCOMPARE(player.currentTime(), 0.0);
        QVERIFY(!player.isPlaying());

        QSignalSpy progress(&player, &PlaybackService::currentTimeChanged);
        player.play();
        QVERIFY(player.isPlaying());
        QTRY_VERIFY_WITH_TIMEOUT(!player.isPlaying(), 5000);
        QVERIFY(progress.count() >= 2); // the 0.2 s timer ran while playing
        QVERIFY(player.isLoaded());
        // The last tick's position (the null sink of the test script buffers ahead, so it may
        // trail the end).
        QVERIFY2(player.currentTime() > 0 && player.currentTime() <= player.duration(),
                 qPrintable(QString::number(player.currentTime())));
        // The timer stopped with playback: the position no longer moves.
        const int ticks = progress.count();
        QTest::qWait(500);
        QCOMPARE(progress.count(), ticks);
    }

    void seekClampsToTheFile_data()
    {
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("expected"); // negative: the file's duration
        QTest::newRow("inside") << 1.25 << 1.25;
        QTest::newRow("before the start") << -3.0 << 0.0;
        QTest::newRow("past the end") << 99.0 << -1.0;
    }

    void seekClampsToTheFile()
    {
        QFETCH(double, target);
        QFETCH(double, expected);
        PlaybackService player;
        player.seek(1.0); // nothing loaded: nothing happens
        QCOMPARE(player.currentTime(), 0.0);
        QVERIFY(loaded(player, m_long));
        player.seek(target);
        QCOMPARE(player.currentTime(), expected < 0 ? player.duration() : expected);
    }

    void pauseAndResume()
    {
        PlaybackService player;
        QVERIFY(loaded(player, m_long));
        player.togglePlayback();
        QVERIFY(player.isPlaying());
        QTest::qWait(600);
        player.togglePlayback();
        QVERIFY(!player.isPlaying());
        const double paused = player.currentTime();
        QVERIFY2(paused > 0.1 && paused < 1.5, qPrintable(QString::number(paused)));
        QTest::qWait(400);
        QCOMPARE(player.currentTime(), paused);
    }

    void loadWhilePlayingStartsOverPaused()
    {
        PlaybackService player;
        QVERIFY(loaded(player, m_long));
        player.play();
        QTest::qWait(500);
        QVERIFY(loaded(player, m_short));
        QVERIFY(!player.isPlaying());
        QCOMPARE(player.currentTime(), 0.0);
        QVERIFY(std::abs(player.duration() - 1.0) < 0.1);
    }

    void loadOfAMissingFileThrowsAndStaysEmpty_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing") << "missing.m4a" << QByteArray();
        QTest::newRow("not audio") << "garbage.m4a" << QByteArray("this is not an audio file");
    }

    void loadOfAMissingFileThrowsAndStaysEmpty()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString path = m_dir.filePath(name);
        if (!content.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        PlaybackService player;
        QVERIFY(loaded(player, m_short));
        const auto outcome = test::run(player.load(QUrl::fromLocalFile(path)));
        QVERIFY(outcome.error);
        QVERIFY(!player.isLoaded());
        QCOMPARE(player.duration(), 0.0);
        player.play();
        QVERIFY(!player.isPlaying());
    }
};

TINDREL_TEST_MAIN(TestPlayback)
#include "tst_playback.moc"
