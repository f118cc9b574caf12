#include "app/AppState.h"
#include "core/BundleInfo.h"
#include "core/Localizer.h"
#include "core/SettingsPreferences.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// A Qt GUI application aborts without a display; say why instead.
bool hasDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal") || platform.startsWith("vnc"))
        return true;
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

} // namespace

int main(int argc, char *argv[])
{
    if (!hasDisplay()) {
        std::fputs("Tindrel needs a graphical display, and none was found (DISPLAY and WAYLAND_DISPLAY are unset).\n"
                   "Start it from a desktop session, or set QT_QPA_PLATFORM=offscreen to run without a window.\n",
                   stderr);
        return EXIT_FAILURE;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tindrel"));
    QApplication::setOrganizationName(QStringLiteral("Tindrel"));
    QApplication::setApplicationVersion(QStringLiteral(TINDREL_VERSION));

    tindrel::SettingsPreferences preferences;
    // The interface language is fixed for the process at launch; a change applies at the next one.
    tindrel::Localizer::setLanguage(tindrel::Localizer::resolveLanguage(
        preferences.stringList(QStringLiteral("AppleLanguages")).value_or(QStringList{}),
        QLocale::system().uiLanguages()));

    tindrel::AppState state(preferences, tindrel::BundleInfo::main(), QApplication::arguments());
    tindrel::MainWindow window(state);
    window.show();

    // For smoke tests: quit on our own after the given number of milliseconds.
    if (const int quitAfter = qEnvironmentVariableIntValue("TINDREL_QUIT_AFTER_MS"); quitAfter > 0)
        QTimer::singleShot(quitAfter, &app, &QApplication::quit);

    return QApplication::exec();
}
