// tindrel-localbackend: an offline stand-in for the hosted backend (see docs/ARCHITECTURE.md).
#include "AuthApi.h"
#include "LocalBackend.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <QSocketNotifier>

#include <csignal>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using tindrel::localbackend::LocalBackend;

namespace {

constexpr quint16 defaultPort = 54329;

#ifdef Q_OS_LINUX
int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so the database is closed properly.
void quitOnTerminationSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
#endif

void print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString &message)
{
    const QByteArray bytes = ("tindrel-localbackend: " + message).toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tindrel-localbackend"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Offline stand-in for Tindrel's hosted backend."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port on 127.0.0.1 (default 54329; 0 = any free port)."),
                                        QStringLiteral("N"));
    const QCommandLineOption dataOption(QStringLiteral("data"), QStringLiteral("Folder for the database and objects."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption memoryOption(QStringLiteral("memory"), QStringLiteral("Keep everything in memory."));
    const QCommandLineOption seedOption(QStringLiteral("seed-user"),
                                        QStringLiteral("Create this account if missing (repeatable)."),
                                        QStringLiteral("EMAIL:PASSWORD"));
    const QCommandLineOption expiryOption(QStringLiteral("jwt-expiry"),
                                          QStringLiteral("Access token lifetime (default 3600)."),
                                          QStringLiteral("SECONDS"));
    const QCommandLineOption controlsOption(QStringLiteral("test-controls"),
                                            QStringLiteral("Serve the test control endpoints."));
    const QCommandLineOption googleOption(QStringLiteral("auto-approve-google"),
                                          QStringLiteral("Skip the Google sign-in page and sign in as EMAIL."),
                                          QStringLiteral("EMAIL"));
    const QCommandLineOption configOption(QStringLiteral("write-config"),
                                          QStringLiteral("Write a bundle configuration for the app to FILE."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption modelOption(QStringLiteral("model-dir"),
                                         QStringLiteral("pocketsphinx model folder (default: the system's en-us)."),
                                         QStringLiteral("DIR"));
    const QCommandLineOption iterationsOption(QStringLiteral("password-iterations"),
                                              QStringLiteral("PBKDF2 rounds for new passwords (tests lower it)."),
                                              QStringLiteral("N"));
    const QCommandLineOption idleOption(QStringLiteral("realtime-idle-timeout"),
                                        QStringLiteral("Close realtime sockets silent this long (default 60)."),
                                        QStringLiteral("SECONDS"));
    const QCommandLineOption parentOption(QStringLiteral("exit-with-parent"),
                                          QStringLiteral("Stop when the starting process ends (test runs)."));
    parser.addOptions({portOption, dataOption, memoryOption, seedOption, expiryOption, controlsOption, googleOption,
                       configOption, modelOption, iterationsOption, idleOption, parentOption});
    parser.process(app);
#ifdef Q_OS_LINUX
    // A crashed test must not leave its server behind.
    if (parser.isSet(parentOption))
        prctl(PR_SET_PDEATHSIG, SIGTERM);
    quitOnTerminationSignals(app);
#endif

    LocalBackend::Options options;
    const bool portGiven = parser.isSet(portOption);
    bool ok = true;
    const uint port = portGiven ? parser.value(portOption).toUInt(&ok) : defaultPort;
    if (!ok || port > 65535)
        return fail(QStringLiteral("--port needs a number from 0 to 65535"));
    options.port = static_cast<quint16>(port);
    options.memory = parser.isSet(memoryOption);
    options.dataDir = parser.isSet(dataOption) ? parser.value(dataOption)
                                               : QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                                     + QStringLiteral("/tindrel-localbackend");
    if (parser.isSet(expiryOption)) {
        options.jwtExpirySeconds = parser.value(expiryOption).toInt(&ok);
        if (!ok || options.jwtExpirySeconds < 1)
            return fail(QStringLiteral("--jwt-expiry needs a positive number of seconds"));
    }
    options.testControls = parser.isSet(controlsOption);
    options.autoApproveGoogleEmail = parser.value(googleOption);
    options.modelDir = parser.value(modelOption);
    if (parser.isSet(idleOption)) {
        const double seconds = parser.value(idleOption).toDouble(&ok);
        if (!ok || seconds <= 0)
            return fail(QStringLiteral("--realtime-idle-timeout needs a positive number of seconds"));
        options.realtimeIdleTimeoutMs = static_cast<int>(seconds * 1000);
    }
    if (parser.isSet(iterationsOption)) {
        options.passwordIterations = parser.value(iterationsOption).toInt(&ok);
        if (!ok || options.passwordIterations < 1)
            return fail(QStringLiteral("--password-iterations needs a positive number"));
    }

    auto backend = std::make_unique<LocalBackend>(options);
    QString error;
    if (!backend->start(&error)) {
        if (portGiven)
            return fail(error);
        // The default port is taken (another backend?): any free port will do.
        print(QStringLiteral("Port %1 is busy; using a free port instead.").arg(port));
        options.port = 0;
        backend = std::make_unique<LocalBackend>(options);
        if (!backend->start(&error))
            return fail(error);
    }

    for (const QString &seed : parser.values(seedOption)) {
        const qsizetype colon = seed.indexOf(u':');
        if (colon <= 0 || colon == seed.size() - 1)
            return fail(QStringLiteral("--seed-user needs EMAIL:PASSWORD"));
        const QString email = seed.left(colon);
        if (backend->auth().createUser(email, seed.mid(colon + 1)))
            print(QStringLiteral("Created account %1").arg(email));
    }

    if (parser.isSet(configOption)) {
        QSaveFile file(parser.value(configOption));
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(backend->bundleConfig()).toJson()) < 0
            || !file.commit())
            return fail(QStringLiteral("cannot write ") + parser.value(configOption));
    }

    print(QStringLiteral("Tindrel local backend listening on %1 anon key: %2")
              .arg(backend->baseUrl(), QString::fromLatin1(backend->anonKey())));
    return app.exec();
}
