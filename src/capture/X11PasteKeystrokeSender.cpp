#include "capture/X11PasteKeystrokeSender.h"

#include "capture/AutoPasteError.h"

#include <QGuiApplication>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <vector>

namespace tindrel {

namespace {

Display *applicationDisplay()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

// Keycodes of held Shift, Control, Alt and Super keys. Lock keys stay as they are.
std::vector<KeyCode> heldModifierKeys(Display *display)
{
    std::vector<KeyCode> held;
    char keys[32] = {};
    XQueryKeymap(display, keys);
    XModifierKeymap *map = XGetModifierMapping(display);
    if (!map)
        return held;
    for (int modifier : {ShiftMapIndex, ControlMapIndex, Mod1MapIndex, Mod4MapIndex, Mod5MapIndex}) {
        for (int i = 0; i < map->max_keypermod; ++i) {
            const KeyCode code = map->modifiermap[modifier * map->max_keypermod + i];
            if (code != 0 && (keys[code / 8] & (1 << (code % 8))))
                held.push_back(code);
        }
    }
    XFreeModifiermap(map);
    return held;
}

} // namespace

void X11PasteKeystrokeSender::sendPasteKeystroke()
{
    Display *display = applicationDisplay();
    if (!display)
        throw AutoPasteError(QStringLiteral("no X11 connection"));
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor))
        throw AutoPasteError(QStringLiteral("the X server has no XTest extension"));
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode v = XKeysymToKeycode(display, XK_v);
    // A zero keycode would be a protocol error, and Xlib's default handler ends the process.
    if (control == 0 || v == 0)
        throw AutoPasteError(QStringLiteral("the keyboard map has no Control or V key"));

    for (KeyCode code : heldModifierKeys(display))
        XTestFakeKeyEvent(display, code, False, CurrentTime);
    XTestFakeKeyEvent(display, control, True, CurrentTime);
    XTestFakeKeyEvent(display, v, True, CurrentTime);
    XTestFakeKeyEvent(display, v, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);
    XFlush(display);
}

} // namespace tindrel
