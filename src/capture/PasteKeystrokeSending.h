#pragma once

namespace tindrel {

// Sends the paste shortcut to whatever window has the keyboard focus.
class PasteKeystrokeSending {
public:
    virtual ~PasteKeystrokeSending() = default;
    // Throws AutoPasteError when the keystroke cannot be produced.
    virtual void sendPasteKeystroke() = 0;
};

} // namespace tindrel
