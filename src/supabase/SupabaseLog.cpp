#include "supabase/SupabaseLog.h"

#include <QMutex>

namespace supabase {
namespace {
QMutex g_lock;
LogHandler &handler()
{
    static LogHandler instance;
    return instance;
}
} // namespace

void setLogHandler(LogHandler newHandler)
{
    QMutexLocker locker(&g_lock);
    handler() = std::move(newHandler);
}

void log(QStringView component, const QString &message)
{
    LogHandler copy;
    {
        QMutexLocker locker(&g_lock);
        copy = handler();
    }
    if (copy)
        copy(component, message);
}

} // namespace supabase
