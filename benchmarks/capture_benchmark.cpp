// Cost of a capture: CPU time of capture + encode + meter, the delay from startCapture() to
// the first captured buffer, and the size of the file. Run inside the test desktop:
//   scripts/test-env build/release/benchmarks/capture_benchmark [seconds=60]
// Speech (flite) is played into the virtual microphone for the whole capture.
#include "capture/AudioRecorder.h"
#include "capture/MicrophonePermissionAuthorizing.h"
#include "capture/RecordingService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <optional>

using namespace tindrel;
using namespace std::chrono_literals;

namespace {

class GrantingAuthorizer final : public MicrophonePermissionAuthorizing {
public:
    MicrophoneAuthorizationStatus authorizationStatus() const override
    {
        return MicrophoneAuthorizationStatus::authorized;
    }
    QCoro::Task<bool> requestAccess() override { co_return true; }
};

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs the event loop without busy waiting, so only the capture's own work costs CPU time.
void spin(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool started(RecordingService &service)
{
    bool done = false;
    bool failed = false;
    [](RecordingService &s, bool &d, bool &f) -> QCoro::Task<void> {
        try {
            co_await s.startCapture();
        } catch (const std::exception &error) {
            std::fprintf(stderr, "startCapture failed: %s\n", error.what());
            f = true;
        }
        d = true;
    }(service, done, failed);
    while (!done)
        spin(1ms);
    return !failed;
}

// Milliseconds from the startCapture() call to the first buffer (the recorder notes the moment).
std::optional<double> firstBufferMs(const RecordingService &service, std::chrono::steady_clock::time_point called)
{
    if (auto at = service.recorder()->firstBufferAt())
        return std::chrono::duration<double, std::milli>(*at - called).count();
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toDouble() : 60.0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: capture_benchmark [seconds]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString speech = dir.filePath(QStringLiteral("speech.wav"));
    if (QProcess::execute(
            QStringLiteral("flite"),
            {QStringLiteral("-t"),
             QStringLiteral("The quick brown fox jumps over the lazy dog. Speech keeps the encoder busy."),
             QStringLiteral("-o"), speech})
        != 0) {
        std::fprintf(stderr, "flite failed\n");
        return 1;
    }

    RecordingService service(std::make_shared<GrantingAuthorizer>());
    // A fresh sound server's first capture waits for its first block; measure it, then warm.
    auto called = std::chrono::steady_clock::now();
    if (!started(service))
        return 1;
    spin(3s);
    const auto cold = firstBufferMs(service, called);
    service.stopCapture();

    QProcess player;
    QObject::connect(&player, &QProcess::finished, &player, [&] {
        player.start(QStringLiteral("paplay"),
                     {QStringLiteral("-d"), QStringLiteral("micfeed"), QStringLiteral("--latency-msec=20"), speech});
    });
    player.start(QStringLiteral("paplay"),
                 {QStringLiteral("-d"), QStringLiteral("micfeed"), QStringLiteral("--latency-msec=20"), speech});
    spin(300ms);

    QElapsedTimer wall;
    const double cpuBefore = processCpuSeconds();
    wall.start();
    called = std::chrono::steady_clock::now();
    if (!started(service))
        return 1;
    float loudest = -160;
    QTimer meter;
    // The recording workspace polls the meter every 50 ms; so does this.
    QObject::connect(&meter, &QTimer::timeout, &meter,
                     [&] { loudest = std::max(loudest, service.averagePower().value_or(-160)); });
    meter.start(50);
    spin(std::chrono::milliseconds(static_cast<qint64>(seconds * 1000)));
    const auto warm = firstBufferMs(service, called);
    const auto stopped = service.stopCapture();
    const double cpu = processCpuSeconds() - cpuBefore;
    const double elapsed = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    meter.stop();
    QObject::disconnect(&player, nullptr, nullptr, nullptr);
    player.kill();
    player.waitForFinished();
    if (!stopped)
        return 1;

    const qint64 bytes = QFileInfo(stopped->fileURL.toLocalFile()).size();
    std::printf("capture of %.1f s (file %s)\n", stopped->duration, qPrintable(stopped->fileURL.toLocalFile()));
    std::printf("  CPU time, capture + encode + meter: %.3f s = %.2f %% of one core (target < 5 %%)\n", cpu,
                100.0 * cpu / elapsed);
    if (warm)
        std::printf("  startCapture() to first buffer:    %.0f ms (target < 150 ms)\n", *warm);
    if (cold)
        std::printf("  same, first capture of a fresh sound server: %.0f ms\n", *cold);
    std::printf("  file size: %lld bytes = %.2f MB per minute (%.0f kb/s; expected about 0.8 MB per minute)\n",
                static_cast<long long>(bytes), static_cast<double>(bytes) / stopped->duration * 60 / 1e6,
                static_cast<double>(bytes) * 8 / stopped->duration / 1000);
    std::printf("  loudest meter reading: %.1f dBFS\n", loudest);
    QFile::remove(stopped->fileURL.toLocalFile());
    return 0;
}
