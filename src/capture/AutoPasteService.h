#pragma once

#include "capture/PasteKeystrokeSending.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace tindrel {

// Makes the focused application paste the clipboard: a synthetic Ctrl+V, and, when that
// cannot be sent, the same keystroke typed by xdotool.
class AutoPasteService {
public:
    static constexpr const char *scriptProgram = "/usr/bin/xdotool";

    // Defaults: XTest on the application's X11 connection; "xdotool key --clearmodifiers ctrl+v".
    explicit AutoPasteService(std::shared_ptr<PasteKeystrokeSending> keystrokes = {},
                              QString program = QString::fromLatin1(scriptProgram),
                              QStringList arguments = {QStringLiteral("key"), QStringLiteral("--clearmodifiers"),
                                                       QStringLiteral("ctrl+v")});

    // Throws AutoPasteError; returns as soon as the keystroke is posted.
    void paste();
    // Runs the fallback and waits for it (bounded); its outcome is not reported.
    void pasteWithScript();
    // What every caller does: paste(), and the script once if that failed.
    void pasteWithFallback();

private:
    std::shared_ptr<PasteKeystrokeSending> m_keystrokes;
    QString m_program;
    QStringList m_arguments;
};

} // namespace tindrel
