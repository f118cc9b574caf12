// Global shortcuts on the test script's X server, pressed with xdotool (XTest) like a user.
#include "capture/HotkeyManager.h"
#include "core/Log.h"
#include "support/TestSupport.h"

#include <QProcess>

#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

using namespace tindrel;

namespace {

void xdotool(const QStringList &arguments) { QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), arguments), 0); }

// A registered manager whose handlers count their calls.
struct Counts {
    int start = 0;
    int stop = 0;
    int toggle = 0;
    HotkeyManager manager;

    explicit Counts(bool withToggle = true)
    {
        manager.onStart = [this] { ++start; };
        manager.onStop = [this] { ++stop; };
        if (withToggle)
            manager.onToggle = [this] { ++toggle; };
        manager.registerHotkeys();
    }
};

// Lets the X server's events reach the application.
void settle() { QTest::qWait(150); }

QStringList capturedLines;

using Connection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>;

// A second client of the X server, as another application would be.
Connection otherClient() { return Connection(xcb_connect(nullptr, nullptr), &xcb_disconnect); }

xcb_window_t rootOf(xcb_connection_t *connection)
{
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

xcb_keycode_t keycodeOf(xcb_connection_t *connection, xcb_keysym_t keysym)
{
    const xcb_setup_t *setup = xcb_get_setup(connection);
    auto *mapping = xcb_get_keyboard_mapping_reply(
        connection,
        xcb_get_keyboard_mapping(connection, setup->min_keycode,
                                 static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr);
    if (!mapping)
        return 0;
    xcb_keycode_t code = 0;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping);
    const int length = xcb_get_keyboard_mapping_keysyms_length(mapping);
    for (int i = 0; i < length && !code; ++i) {
        if (syms[i] == keysym)
            code = static_cast<xcb_keycode_t>(setup->min_keycode + i / mapping->keysyms_per_keycode);
    }
    std::free(mapping);
    return code;
}

// Grabs every modifier combination of the key for `connection`; false when another client
// holds any variant of it.
bool grabEveryVariant(xcb_connection_t *connection, xcb_keycode_t key)
{
    xcb_generic_error_t *error =
        xcb_request_check(connection, xcb_grab_key_checked(connection, 1, rootOf(connection), XCB_MOD_MASK_ANY, key,
                                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    std::free(error);
    return !error;
}

// Gives the key back at once (a grab would otherwise last until the server notices the
// disconnect, racing the next test's own grabs).
void releaseEveryVariant(xcb_connection_t *connection, xcb_keycode_t key)
{
    std::free(
        xcb_request_check(connection, xcb_ungrab_key_checked(connection, key, rootOf(connection), XCB_MOD_MASK_ANY)));
}

} // namespace

class TestHotkeysX11 : public QObject {
    Q_OBJECT
private slots:
    void shortcutsFireOncePerPress()
    {
        Counts counts;
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+r")});
        QTRY_COMPARE(counts.toggle, 1);
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+s")});
        QTRY_COMPARE(counts.stop, 1);
        settle();
        QCOMPARE(counts.toggle, 1);
        QCOMPARE(counts.start, 0);
    }

    void startHandlerWithoutToggle()
    {
        Counts counts(false);
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+r")});
        QTRY_COMPARE(counts.start, 1);
    }

    void secondRegistrationLeavesOne()
    {
        Counts counts;
        counts.manager.registerHotkeys();
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+r")});
        QTRY_COMPARE(counts.toggle, 1);
        settle();
        QCOMPARE(counts.toggle, 1);
    }

    void nothingFiresAfterUnregister()
    {
        Counts counts;
        counts.manager.unregisterHotkeys();
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+r"), QStringLiteral("ctrl+shift+s")});
        settle();
        QCOMPARE(counts.toggle + counts.stop + counts.start, 0);
        // The keys are given back: other applications can have them again.
        Connection other = otherClient();
        QVERIFY(!xcb_connection_has_error(other.get()));
        for (xcb_keysym_t keysym : {XK_r, XK_s}) {
            const xcb_keycode_t key = keycodeOf(other.get(), keysym);
            QVERIFY(key);
            QVERIFY2(grabEveryVariant(other.get(), key), "a shortcut is still grabbed after unregisterHotkeys()");
            releaseEveryVariant(other.get(), key);
        }
    }

    void worksWithCapsLockOn()
    {
        Counts counts;
        xdotool({QStringLiteral("key"), QStringLiteral("Caps_Lock")});
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+r")});
        xdotool({QStringLiteral("key"), QStringLiteral("Caps_Lock")});
        QTRY_COMPARE(counts.toggle, 1);
    }

    // Holding the keys auto-repeats; a held shortcut is still one press.
    void holdingTheKeysFiresOnce()
    {
        Counts counts;
        xdotool({QStringLiteral("keydown"), QStringLiteral("ctrl+shift+r"), QStringLiteral("sleep"),
                 QStringLiteral("1"), QStringLiteral("keyup"), QStringLiteral("ctrl+shift+r")});
        QTRY_COMPARE(counts.toggle, 1);
        settle();
        QCOMPARE(counts.toggle, 1);
    }

    // Another client holds Ctrl+Shift+S: that key stays silent, the other works, no crash.
    void keyHeldByAnotherClientIsSkipped()
    {
        Connection connection = otherClient();
        xcb_connection_t *other = connection.get();
        QVERIFY(!xcb_connection_has_error(other));
        // Any modifier combination: the other client takes every variant of the key.
        const xcb_keycode_t sKey = keycodeOf(other, XK_s);
        QVERIFY(sKey);
        QVERIFY(grabEveryVariant(other, sKey));

        capturedLines.clear();
        setLogSink([](const QString &line) { capturedLines << line; });
        Counts counts;
        setLogSink(nullptr);
        QCOMPARE(capturedLines,
                 QStringList{QStringLiteral("[HotkeyManager] Ctrl+Shift+S is held by another application")});

        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+s"), QStringLiteral("ctrl+shift+r")});
        QTRY_COMPARE(counts.toggle, 1);
        settle();
        QCOMPARE(counts.stop, 0);
    }
};

TINDREL_TEST_MAIN(TestHotkeysX11)
#include "tst_hotkeys_x11.moc"
