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
        std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, nullptr),
                                                                                &xcb_disconnect);
        xcb_connection_t *other = connection.get();
        QVERIFY(!xcb_connection_has_error(other));
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
        // Any modifier combination: the other client takes every variant of the key.
        xcb_keycode_t sKey = 0;
        {
            const xcb_setup_t *setup = xcb_get_setup(other);
            auto *mapping = xcb_get_keyboard_mapping_reply(
                other,
                xcb_get_keyboard_mapping(other, setup->min_keycode,
                                         static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
                nullptr);
            QVERIFY(mapping);
            const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping);
            const int length = xcb_get_keyboard_mapping_keysyms_length(mapping);
            for (int i = 0; i < length && !sKey; ++i) {
                if (syms[i] == XK_s)
                    sKey = static_cast<xcb_keycode_t>(setup->min_keycode + i / mapping->keysyms_per_keycode);
            }
            std::free(mapping);
        }
        QVERIFY(sKey);
        auto *error = xcb_request_check(other, xcb_grab_key_checked(other, 1, root, XCB_MOD_MASK_ANY, sKey,
                                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        QVERIFY(!error);

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
