#pragma once

#include "capture/PasteKeystrokeSending.h"

namespace tindrel {

// Ctrl+V through the XTest extension on the application's X11 connection. Modifiers the user
// still holds are released first, or they would turn the shortcut into another one
// (Shift held makes it Ctrl+Shift+V).
class X11PasteKeystrokeSender final : public PasteKeystrokeSending {
public:
    void sendPasteKeystroke() override;
};

} // namespace tindrel
