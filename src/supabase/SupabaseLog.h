#pragma once

#include <QString>
#include <QStringView>

#include <functional>

namespace supabase {

// The library writes a few diagnostic lines (reconnects, dropped refreshes). It has no logger of
// its own: the application installs a handler; without one the lines are discarded.
using LogHandler = std::function<void(QStringView component, const QString &message)>;
void setLogHandler(LogHandler handler);

void log(QStringView component, const QString &message);

} // namespace supabase
