#pragma once

#include <QString>

namespace tindrel {

// Puts a text on the desktop clipboard as plain text, replacing whatever was there. The text
// stays available to other applications while this process runs its event loop.
class ClipboardService {
public:
    void copy(const QString &text);
};

} // namespace tindrel
