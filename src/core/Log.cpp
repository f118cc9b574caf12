#include "core/Log.h"

#include <QMutex>

#include <atomic>
#include <cstdio>

namespace tindrel {
namespace {
std::atomic<LogSink> g_sink{nullptr};
QMutex g_outputLock;
} // namespace

void setLogSink(LogSink sink) { g_sink.store(sink); }

void logLine(QStringView component, const QString &message)
{
    const QString line = u'[' + component.toString() + QStringLiteral("] ") + message;
    if (LogSink sink = g_sink.load()) {
        sink(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    QMutexLocker locker(&g_outputLock);
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace tindrel
