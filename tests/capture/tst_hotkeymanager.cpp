// What each shortcut does, registration bookkeeping, and the X11 layer on a session without
// an X server (the offscreen platform).
#include "capture/HotkeyManager.h"
#include "capture/X11HotkeyRegistrar.h"
#include "core/Log.h"
#include "support/TestSupport.h"

using namespace tindrel;

namespace {

struct RegistrarLog {
    int registrations = 0;
    int active = 0;
    std::function<void(int)> pressed;
};

class FakeRegistrar final : public HotkeyRegistering {
public:
    explicit FakeRegistrar(RegistrarLog &log) : m_log(log) {}
    void registerHotkeys(std::function<void(int)> pressed) override
    {
        ++m_log.registrations;
        ++m_log.active;
        m_log.pressed = std::move(pressed);
    }
    void unregisterHotkeys() override
    {
        --m_log.active;
        m_log.pressed = nullptr;
    }

private:
    RegistrarLog &m_log;
};

QStringList capturedLines;

} // namespace

class TestHotkeyManager : public QObject {
    Q_OBJECT
private slots:
    void keysCallTheirHandlers_data()
    {
        QTest::addColumn<bool>("withStart");
        QTest::addColumn<bool>("withStop");
        QTest::addColumn<bool>("withToggle");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("expected");
        QTest::newRow("R with toggle calls only toggle") << true << true << true << 1 << "toggle";
        QTest::newRow("R without toggle calls start") << true << true << false << 1 << "start";
        QTest::newRow("S calls stop") << true << true << true << 2 << "stop";
        QTest::newRow("unset handler does nothing") << false << false << false << 1 << "";
        QTest::newRow("unknown number does nothing") << true << true << true << 3 << "";
    }

    void keysCallTheirHandlers()
    {
        QFETCH(bool, withStart);
        QFETCH(bool, withStop);
        QFETCH(bool, withToggle);
        QFETCH(int, number);
        QFETCH(QString, expected);
        RegistrarLog log;
        HotkeyManager manager(std::make_unique<FakeRegistrar>(log));
        QStringList calls;
        if (withStart)
            manager.onStart = [&] { calls << QStringLiteral("start"); };
        if (withStop)
            manager.onStop = [&] { calls << QStringLiteral("stop"); };
        if (withToggle)
            manager.onToggle = [&] { calls << QStringLiteral("toggle"); };
        manager.registerHotkeys();
        log.pressed(number);
        QCOMPARE(calls.join(u','), expected);
    }

    void registrationIsIdempotentAndUndone()
    {
        RegistrarLog log;
        {
            HotkeyManager manager(std::make_unique<FakeRegistrar>(log));
            manager.unregisterHotkeys(); // nothing registered: nothing to undo
            QCOMPARE(log.active, 0);
            manager.registerHotkeys();
            manager.registerHotkeys();
            QCOMPARE(log.registrations, 2);
            QCOMPARE(log.active, 1);
            QVERIFY(manager.isRegistered());
            manager.unregisterHotkeys();
            QCOMPARE(log.active, 0);
            QVERIFY(!log.pressed);
            manager.registerHotkeys();
        }
        // Teardown unregisters.
        QCOMPARE(log.active, 0);
    }

    // No X server: registering does nothing, says so once, and never crashes.
    void withoutX11RegistrationLogsOnce()
    {
        capturedLines.clear();
        setLogSink([](const QString &line) { capturedLines << line; });
        {
            HotkeyManager first;
            first.onToggle = [] { QFAIL("fired without X11"); };
            first.registerHotkeys();
            first.registerHotkeys();
            HotkeyManager second;
            second.registerHotkeys();
        }
        setLogSink(nullptr);
        QCOMPARE(capturedLines,
                 QStringList{QStringLiteral("[HotkeyManager] No X11 display: global hot keys are not available")});
    }
};

TINDREL_TEST_MAIN(TestHotkeyManager)
#include "tst_hotkeymanager.moc"
