#include "capture/AutoPasteService.h"

#include "capture/AutoPasteError.h"
#include "capture/X11PasteKeystrokeSender.h"
#include "core/Log.h"

#include <QProcess>

namespace tindrel {

namespace {
// xdotool takes about 30 ms; this only guards against a wedged X server.
constexpr int scriptTimeoutMs = 5000;
} // namespace

AutoPasteService::AutoPasteService(std::shared_ptr<PasteKeystrokeSending> keystrokes, QString program,
                                   QStringList arguments)
    : m_keystrokes(keystrokes ? std::move(keystrokes) : std::make_shared<X11PasteKeystrokeSender>()),
      m_program(std::move(program)), m_arguments(std::move(arguments))
{}

void AutoPasteService::paste() { m_keystrokes->sendPasteKeystroke(); }

void AutoPasteService::pasteWithScript()
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(m_program, m_arguments);
    if (!process.waitForStarted(scriptTimeoutMs))
        return;
    if (!process.waitForFinished(scriptTimeoutMs)) {
        logLine(u"AutoPasteService", QStringLiteral("The paste script did not finish; stopped it"));
        process.kill();
        process.waitForFinished(1000);
    }
}

void AutoPasteService::pasteWithFallback()
{
    try {
        paste();
    } catch (const AutoPasteError &error) {
        logLine(u"AutoPasteService",
                QStringLiteral("Synthetic paste failed (%1); using the script").arg(error.detail()));
        pasteWithScript();
    }
}

} // namespace tindrel
