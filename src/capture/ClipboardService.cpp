#include "capture/ClipboardService.h"

#include <QClipboard>
#include <QGuiApplication>

namespace tindrel {

void ClipboardService::copy(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    // Cleared first so no type of the previous owner survives next to the new text.
    clipboard->clear(QClipboard::Clipboard);
    clipboard->setText(text, QClipboard::Clipboard);
}

} // namespace tindrel
