// Starts the real executable: it must show its window and quit cleanly, and say clearly
// when there is no display instead of aborting.
#include "support/TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>

namespace {

QString executable() { return QStringLiteral(TINDREL_BINARY_DIR "/bin/tindrel"); }

QProcessEnvironment isolatedEnvironment(const QTemporaryDir &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("TINDREL_QUIT_AFTER_MS", "700");
    return env;
}

} // namespace

class TestLaunch : public QObject {
    Q_OBJECT
private slots:
    void startsShowsTheWindowAndQuits()
    {
        QTemporaryDir home;
        QProcessEnvironment env = isolatedEnvironment(home);
#ifdef TINDREL_LAUNCH_ON_X11
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("no X server (run through scripts/test)");
        env.insert("QT_QPA_PLATFORM", "xcb");
#else
        env.insert("QT_QPA_PLATFORM", "offscreen");
#endif
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(executable(), {});
        QVERIFY2(app.waitForFinished(30000), "the app did not quit");
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QVERIFY2(app.exitCode() == 0, app.readAllStandardError().constData());
    }

#ifndef TINDREL_LAUNCH_ON_X11
    void saysSoWithoutADisplay()
    {
        QTemporaryDir home;
        QProcessEnvironment env = isolatedEnvironment(home);
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(executable(), {});
        QVERIFY(app.waitForFinished(30000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 1);
        QVERIFY(app.readAllStandardError().contains("needs a graphical display"));
    }
#endif
};

TINDREL_TEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
