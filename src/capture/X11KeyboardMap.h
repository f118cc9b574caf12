#pragma once

#include <cstdint>
#include <vector>

struct xcb_connection_t;

namespace tindrel {

// Keysym-to-keycode lookup and the modifier bits of an X11 keyboard, read once from the server
// with plain xcb requests (no keysyms helper library needed).
class X11KeyboardMap {
public:
    explicit X11KeyboardMap(xcb_connection_t *connection);

    // 0 when no key produces `keysym`.
    std::uint8_t keycode(std::uint32_t keysym) const;
    // The modifier bit (Mod1..Mod5, Shift, Lock, Control) a key with `keysym` sets; 0 if none.
    std::uint16_t modifierMask(std::uint32_t keysym) const;

private:
    std::uint8_t m_minKeycode = 0;
    int m_keysymsPerKeycode = 0;
    std::vector<std::uint32_t> m_keysyms;
    int m_keycodesPerModifier = 0;
    std::vector<std::uint8_t> m_modifierKeycodes;
};

} // namespace tindrel
