#pragma once

#include <QString>
#include <QStringView>

namespace tindrel {

// Writes "[component] message" as one line on standard output. Never pass a token,
// password or key in the message.
void logLine(QStringView component, const QString &message);

// Tests capture the lines instead of printing them; pass nullptr to restore printing.
using LogSink = void (*)(const QString &line);
void setLogSink(LogSink sink);

} // namespace tindrel
