#include "capture/X11KeyboardMap.h"

#include <xcb/xcb.h>

#include <cstdlib>

namespace tindrel {

X11KeyboardMap::X11KeyboardMap(xcb_connection_t *connection)
{
    const xcb_setup_t *setup = xcb_get_setup(connection);
    m_minKeycode = setup->min_keycode;
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    auto keyboardCookie = xcb_get_keyboard_mapping(connection, setup->min_keycode, count);
    auto modifierCookie = xcb_get_modifier_mapping(connection);

    if (auto *reply = xcb_get_keyboard_mapping_reply(connection, keyboardCookie, nullptr)) {
        m_keysymsPerKeycode = reply->keysyms_per_keycode;
        const xcb_keysym_t *keysyms = xcb_get_keyboard_mapping_keysyms(reply);
        m_keysyms.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply));
        std::free(reply);
    }
    if (auto *reply = xcb_get_modifier_mapping_reply(connection, modifierCookie, nullptr)) {
        m_keycodesPerModifier = reply->keycodes_per_modifier;
        const xcb_keycode_t *keycodes = xcb_get_modifier_mapping_keycodes(reply);
        m_modifierKeycodes.assign(keycodes, keycodes + xcb_get_modifier_mapping_keycodes_length(reply));
        std::free(reply);
    }
}

std::uint8_t X11KeyboardMap::keycode(std::uint32_t keysym) const
{
    if (m_keysymsPerKeycode <= 0)
        return 0;
    const size_t perKey = static_cast<size_t>(m_keysymsPerKeycode);
    // Unshifted symbols first: "r" is the R key even if some other key has it on a higher level.
    for (size_t column = 0; column < perKey; ++column) {
        for (size_t key = 0; key * perKey + column < m_keysyms.size(); ++key) {
            if (m_keysyms[key * perKey + column] == keysym)
                return static_cast<std::uint8_t>(m_minKeycode + key);
        }
    }
    return 0;
}

std::uint16_t X11KeyboardMap::modifierMask(std::uint32_t keysym) const
{
    const std::uint8_t code = keycode(keysym);
    if (code == 0 || m_keycodesPerModifier <= 0)
        return 0;
    for (size_t i = 0; i < m_modifierKeycodes.size(); ++i) {
        if (m_modifierKeycodes[i] == code)
            return static_cast<std::uint16_t>(1u << (i / static_cast<size_t>(m_keycodesPerModifier)));
    }
    return 0;
}

} // namespace tindrel
