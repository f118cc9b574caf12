#pragma once

#include "capture/HotkeyRegistering.h"

#include <functional>
#include <memory>

namespace tindrel {

// The two global shortcuts: Ctrl+Shift+R starts a capture (or toggles it when `onToggle` is
// set) and Ctrl+Shift+S stops it. Handlers are plain fields. Main thread only.
// (`register` is a C++ keyword, hence registerHotkeys().)
class HotkeyManager {
public:
    static constexpr int startKeyNumber = 1;
    static constexpr int stopKeyNumber = 2;

    // Default: the X11 implementation on the application's connection.
    explicit HotkeyManager(std::unique_ptr<HotkeyRegistering> registrar = {});
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager &) = delete;
    HotkeyManager &operator=(const HotkeyManager &) = delete;

    // Undoes any earlier registration first, so there is never more than one.
    void registerHotkeys();
    void unregisterHotkeys();
    bool isRegistered() const { return m_registered; }

    // What a press of key `number` does.
    void handleHotkey(int number) const;

    std::function<void()> onStart;
    std::function<void()> onStop;
    // Takes precedence over onStart when set.
    std::function<void()> onToggle;

private:
    std::unique_ptr<HotkeyRegistering> m_registrar;
    bool m_registered = false;
};

} // namespace tindrel
