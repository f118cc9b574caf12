// The upload-and-transcribe pipeline against a local scripted server: 1 MiB and 6 MiB files,
// direct upload and proxy fallback. Prints wall time, the client's CPU time, the client's
// peak memory above its baseline and how many file bytes it read.
//
// Three roles of this one program, so the figures are the client's alone:
//   (no arguments)  the driver: writes the files, starts the server, runs the clients, prints
//   --serve         the scripted server, in its own process (its memory and CPU are not counted)
//   --client BASE FILE  one measured run in a fresh process (a fresh heap for every figure)
#include "backend/TranscribeService.h"
#include "core/AsyncSupport.h"
#include "core/Log.h"
#include "support/ScriptedHttpServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

using namespace tindrel;
using tindrel::test::RecordedRequest;
using tindrel::test::ScriptedHttpServer;
using tindrel::test::ScriptedReply;

namespace {

constexpr int runsPerScenario = 5;
constexpr qint64 mebibyte = 1024 * 1024;

// A "kB" field of /proc/self/status, in bytes.
qint64 statusBytes(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

// Bytes this process passed through read(2) and friends (files and sockets alike).
qint64 bytesRead()
{
    QFile file(QStringLiteral("/proc/self/io"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    return -1;
}

double cpuMilliseconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

int serve()
{
    ScriptedHttpServer server;
    server.setRecording(false);
    if (!server.listen())
        return 1;
    const QByteArray function = "/functions/v1/transcribe";
    server.setResponder(function, [&server](const RecordedRequest &request) {
        if (request.header("Content-Type").startsWith("multipart/"))
            return ScriptedReply::json(200, "{\"storeKey\":\"user/proxy.m4a\"}");
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        if (body.value(u"action").toString() == u"get_upload_url") {
            // Files named for the proxy path get a storage slot that always fails.
            const bool proxy = body.value(u"filename").toString().contains(u"proxy");
            const QJsonObject reply{{"uploadUrl", server.url(proxy ? "/storage/fail" : "/storage/ok")},
                                    {"storeKey", "user/direct.m4a"},
                                    {"requestId", "slot-1"}};
            return ScriptedReply::json(200, QJsonDocument(reply).toJson(QJsonDocument::Compact));
        }
        return ScriptedReply::json(200, "{\"text\":\"benchmark transcript\"}");
    });
    server.setResponder("/storage/ok", [](const RecordedRequest &) { return ScriptedReply::text(200, ""); });
    server.setResponder("/storage/fail", [](const RecordedRequest &) { return ScriptedReply::text(500, "no"); });
    std::printf("PORT %d\n", server.port());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

QString transcribeOnce(TranscribeService &service, const QString &base, const QString &path)
{
    TranscribeService::Request request;
    request.fileUrl = QUrl::fromLocalFile(path);
    request.duration = 60;
    request.mode = QStringLiteral("fast");
    request.baseUrl = base;
    request.anonKey = QStringLiteral("anon");
    request.accessToken = QStringLiteral("token");
    QString text;
    bool done = false;
    [](TranscribeService &s, TranscribeService::Request r, QString &out, bool &finished) -> QCoro::Task<void> {
        try {
            out = co_await s.transcribe(std::move(r));
        } catch (const std::exception &error) {
            out = QStringLiteral("FAILED: ") + QString::fromUtf8(error.what());
        }
        finished = true;
    }(service, std::move(request), text, done);
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return text;
}

int client(const QString &base, const QString &path)
{
    setLogSink([](const QString &) {});
    // The proxy path waits 0.8 s and 1.6 s between the failed direct attempts; that is
    // sleeping, not work, so the waits are skipped here.
    TranscribeService::Timing timing;
    timing.sleep = [](std::chrono::milliseconds, CancellationToken token) {
        return sleepFor(std::chrono::milliseconds(0), token);
    };
    TranscribeService service(timing);

    // Warm-up on a small file of the same path: libraries, threads and connections exist
    // before the baseline is taken.
    const QString warmPath = path + QStringLiteral(".warm.m4a");
    {
        QFile warm(warmPath);
        if (!warm.open(QIODevice::WriteOnly) || warm.write(QByteArray(64 * 1024, 'w')) < 0)
            return 1;
    }
    if (transcribeOnce(service, base, warmPath).startsWith(u"FAILED"))
        return 1;
    QFile::remove(warmPath);

    const qint64 baseline = statusBytes("VmRSS:");
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    const bool peakReset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    clear.close();
    const qint64 readBefore = bytesRead();
    const double cpuBefore = cpuMilliseconds();
    QElapsedTimer wall;
    wall.start();

    const QString text = transcribeOnce(service, base, path);

    const double wallMs = wall.nsecsElapsed() / 1e6;
    const double cpuMs = cpuMilliseconds() - cpuBefore;
    const qint64 read = bytesRead() - readBefore;
    const qint64 peak = statusBytes("VmHWM:");
    if (text != u"benchmark transcript") {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        return 1;
    }
    std::printf("RESULT %.2f %.2f %lld %lld %d\n", wallMs, cpuMs, static_cast<long long>(peak - baseline),
                static_cast<long long>(read), peakReset ? 1 : 0);
    return 0;
}

struct Figures {
    double wallMs, cpuMs;
    qint64 peakAbove, read;
    bool peakReset;
};

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int drive(const QString &self)
{
    QTemporaryDir dir;
    QProcess server;
    server.start(self, {QStringLiteral("--serve")});
    if (!server.waitForReadyRead(10'000))
        return 1;
    const QByteArray portLine = server.readLine().trimmed();
    const QString base = QStringLiteral("http://127.0.0.1:") + QString::fromLatin1(portLine.mid(5));

    std::printf("transcribe pipeline, %d fresh client processes per row, median (min-max)\n", runsPerScenario);
    std::printf("%-7s %5s %24s %24s %24s %9s\n", "path", "size", "wall ms", "client CPU ms/MiB",
                "peak above base / size", "reads");
    bool allMet = true;
    for (const char *path : {"direct", "proxy"}) {
        for (const qint64 size : {1 * mebibyte, 6 * mebibyte}) {
            const QString file = dir.filePath(QStringLiteral("%1-%2.m4a").arg(QLatin1StringView(path)).arg(size));
            {
                QByteArray bytes(size, Qt::Uninitialized);
                QRandomGenerator generator(42);
                generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
                QFile out(file);
                if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != size)
                    return 1;
            }
            QList<double> wall, cpu, peak, reads;
            bool reset = true;
            for (int run = 0; run < runsPerScenario; ++run) {
                QProcess client;
                client.start(self, {QStringLiteral("--client"), base, file});
                client.waitForFinished(120'000);
                const QList<QByteArray> fields = client.readAllStandardOutput().trimmed().split(' ');
                if (client.exitCode() != 0 || fields.value(0) != "RESULT") {
                    std::fprintf(stderr, "client failed: %s\n", client.readAllStandardError().constData());
                    return 1;
                }
                wall << fields[1].toDouble();
                cpu << fields[2].toDouble() / (double(size) / mebibyte);
                peak << fields[3].toDouble() / double(size);
                reads << fields[4].toDouble() / double(size);
                reset = reset && fields[5] == "1";
            }
            auto cell = [](const QList<double> &values, int precision) {
                return QStringLiteral("%1 (%2-%3)")
                    .arg(median(values), 0, 'f', precision)
                    .arg(*std::min_element(values.begin(), values.end()), 0, 'f', precision)
                    .arg(*std::max_element(values.begin(), values.end()), 0, 'f', precision);
            };
            std::printf("%-7s %3lldMiB %24s %24s %24s %9s\n", path, static_cast<long long>(size / mebibyte),
                        qPrintable(cell(wall, 1)), qPrintable(cell(cpu, 2)), qPrintable(cell(peak, 2)),
                        qPrintable(QString::number(median(reads), 'f', 2) + u'x'));
            const double peakLimit = QByteArrayView(path) == "proxy" ? 2.2 : 1.2;
            const bool met = median(cpu) < 20 && median(peak) < peakLimit && median(reads) < 1.05;
            allMet = allMet && met;
            if (!reset)
                std::printf("        (peak not resettable here: the figure includes the warm-up)\n");
        }
    }
    std::printf("targets: CPU < 20 ms/MiB, peak < 1.2x (direct) / 2.2x (proxy) the file size, file read once: %s\n",
                allMet ? "met" : "NOT met");
    server.kill();
    server.waitForFinished();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == u"--serve")
        return serve();
    if (arguments.value(1) == u"--client" && arguments.size() == 4)
        return client(arguments[2], arguments[3]);
    return drive(app.applicationFilePath());
}
