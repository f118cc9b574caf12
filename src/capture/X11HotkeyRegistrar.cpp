#include "capture/X11HotkeyRegistrar.h"

#include "capture/X11KeyboardMap.h"
#include "core/Log.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace tindrel {

namespace {

constexpr std::uint16_t shortcutModifiers = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT;
// Modifiers that decide which shortcut was typed; lock keys and mouse buttons do not.
constexpr std::uint16_t relevantModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

xcb_connection_t *applicationConnection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    // The offscreen platform offers the interface without a display.
    if (!x11 || !x11->display())
        return nullptr;
    return x11->connection();
}

} // namespace

X11HotkeyRegistrar::~X11HotkeyRegistrar() { unregisterHotkeys(); }

void X11HotkeyRegistrar::registerHotkeys(std::function<void(int number)> pressed)
{
    unregisterHotkeys();
    m_connection = applicationConnection();
    if (!m_connection) {
        static bool said = false;
        if (!said) {
            said = true;
            logLine(u"HotkeyManager", QStringLiteral("No X11 display: global hot keys are not available"));
        }
        return;
    }
    m_pressed = std::move(pressed);
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;

    const X11KeyboardMap keyboard(m_connection);
    const std::uint16_t numLock = keyboard.modifierMask(XK_Num_Lock);
    std::vector<std::uint16_t> variants{0, XCB_MOD_MASK_LOCK};
    if (numLock != 0) {
        variants.push_back(numLock);
        variants.push_back(static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLock));
    }
    const std::pair<int, std::uint32_t> shortcuts[] = {{1, XK_r}, {2, XK_s}};

    for (size_t i = 0; i < m_keys.size(); ++i) {
        Key &key = m_keys[i];
        key = Key{};
        key.number = shortcuts[i].first;
        key.keycode = keyboard.keycode(shortcuts[i].second);
        if (key.keycode == 0)
            continue;
        bool refused = false;
        for (std::uint16_t variant : variants) {
            const auto modifiers = static_cast<std::uint16_t>(shortcutModifiers | variant);
            const xcb_void_cookie_t cookie = xcb_grab_key_checked(m_connection, 1, m_root, modifiers, key.keycode,
                                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t *error = xcb_request_check(m_connection, cookie)) {
                std::free(error);
                refused = true;
            } else {
                key.grabbedModifiers.push_back(modifiers);
            }
        }
        if (refused) {
            logLine(u"HotkeyManager", QStringLiteral("Ctrl+Shift+%1 is held by another application")
                                          .arg(key.number == 1 ? QChar(u'R') : QChar(u'S')));
        }
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
    m_filterInstalled = true;
}

void X11HotkeyRegistrar::unregisterHotkeys()
{
    if (m_filterInstalled) {
        if (auto *app = QCoreApplication::instance())
            app->removeNativeEventFilter(this);
        m_filterInstalled = false;
    }
    if (m_connection) {
        for (Key &key : m_keys) {
            for (std::uint16_t modifiers : key.grabbedModifiers)
                xcb_ungrab_key(m_connection, key.keycode, m_root, modifiers);
            key = Key{};
        }
        xcb_flush(m_connection);
    }
    m_connection = nullptr;
    m_pressed = nullptr;
}

bool X11HotkeyRegistrar::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t" || !m_pressed)
        return false;
    auto *event = static_cast<xcb_generic_event_t *>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    // Press and release events share one layout.
    auto *keyEvent = reinterpret_cast<xcb_key_press_event_t *>(event);
    // Only our grabs report the root window as the event window; keys typed into the
    // application's own windows pass through untouched.
    if (keyEvent->event != m_root)
        return false;
    for (Key &key : m_keys) {
        if (key.keycode == 0 || keyEvent->detail != key.keycode || key.grabbedModifiers.empty())
            continue;
        if (type == XCB_KEY_RELEASE) {
            key.held = false;
            key.lastReleaseTime = keyEvent->time;
            return false;
        }
        if ((keyEvent->state & relevantModifiers) != shortcutModifiers)
            return false;
        // Auto-repeat arrives as more presses (detectable repeat) or as release/press pairs
        // with one timestamp; either way only the first press of a hold counts.
        const bool repeat = key.held || (key.lastReleaseTime != 0 && keyEvent->time == key.lastReleaseTime);
        key.held = true;
        if (!repeat) {
            // The handler may unregister (and so clear m_pressed): call a copy.
            auto pressed = m_pressed;
            pressed(key.number);
        }
        return true;
    }
    return false;
}

} // namespace tindrel
