#pragma once

#include "capture/HotkeyRegistering.h"

#include <QAbstractNativeEventFilter>

#include <array>
#include <cstdint>
#include <vector>

struct xcb_connection_t;

namespace tindrel {

// Global shortcuts on X11: passive key grabs on the root window of the application's
// connection, one per lock-key combination (none, CapsLock, NumLock, both) so the keys work
// whatever locks are on. Grabs are checked requests: a key held by another client comes back
// as an error we skip, where unchecked Xlib would end the process. Without an X11 connection
// (offscreen, Wayland without XWayland) nothing is registered and the log says so once.
class X11HotkeyRegistrar final : public HotkeyRegistering, public QAbstractNativeEventFilter {
public:
    X11HotkeyRegistrar() = default;
    ~X11HotkeyRegistrar() override;

    void registerHotkeys(std::function<void(int number)> pressed) override;
    void unregisterHotkeys() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    struct Key {
        int number = 0;
        std::uint8_t keycode = 0;
        bool held = false;
        std::uint32_t lastReleaseTime = 0;
        std::vector<std::uint16_t> grabbedModifiers;
    };

    xcb_connection_t *m_connection = nullptr;
    std::uint32_t m_root = 0;
    std::array<Key, 2> m_keys;
    std::function<void(int)> m_pressed;
    bool m_filterInstalled = false;
};

} // namespace tindrel
