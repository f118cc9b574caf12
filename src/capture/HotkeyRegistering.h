#pragma once

#include <functional>

namespace tindrel {

// The system-wide shortcut facility. Number 1 is Ctrl+Shift+R, number 2 is Ctrl+Shift+S.
class HotkeyRegistering {
public:
    virtual ~HotkeyRegistering() = default;

    // Grabs both keys and calls `pressed` with the key's number once per press. A key held by
    // another application is skipped silently.
    virtual void registerHotkeys(std::function<void(int number)> pressed) = 0;
    // Releases what registerHotkeys() took; harmless when nothing is registered.
    virtual void unregisterHotkeys() = 0;
};

} // namespace tindrel
