// The keychain against real stores: gnome-keyring in the test session's D-Bus, the file
// store in a process without a Secret Service, and private sessions whose keyring is locked
// or missing (each in a child process of this binary, with the display still set so that a
// prompt would hang the call).
#include "auth/FileKeychainPrimitives.h"
#include "auth/KeychainItem.h"
#include "auth/KeychainSecurity.h"
#include "auth/KeychainStatus.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#undef signals
#include <libsecret/secret.h>
#define signals Q_SIGNALS

using namespace tindrel;

namespace {

constexpr const char *childVariable = "TINDREL_KEYCHAIN_CHILD";

QString uniqueService() { return QStringLiteral("tindrel.test.") + QUuid::createUuid().toString(QUuid::WithoutBraces); }

FileKeychainPrimitives fileStore() { return FileKeychainPrimitives(FileKeychainPrimitives::defaultDirectory()); }

// What another Secret Service client sees for (service, account); none when it finds nothing.
std::optional<QByteArray> secretToolLookup(const QString &service, const QString &account)
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"), {"lookup", "service", service, "account", account});
    if (!tool.waitForFinished(10000) || tool.exitCode() != 0)
        return std::nullopt;
    return tool.readAllStandardOutput();
}

bool secretServiceRunning()
{
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus)
        return false;
    GVariant *reply =
        g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"),
                                    G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return owned;
}

// Locking needs no prompt (unlocking does, which is why this runs in a private session).
bool lockDefaultKeyring()
{
    SecretService *service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    if (!service)
        return false;
    SecretCollection *collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    bool locked = false;
    if (collection) {
        GList *objects = g_list_append(nullptr, collection);
        locked = secret_service_lock_sync(service, objects, nullptr, nullptr, nullptr) == 1;
        g_list_free(objects);
        g_object_unref(collection);
    }
    g_object_unref(service);
    return locked;
}

// Runs this binary again as the named child; passes when the child's own checks pass.
void runChild(const QString &scenario, QProcessEnvironment environment, const QStringList &wrapper = {})
{
    environment.insert(QString::fromLatin1(childVariable), scenario);
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    QStringList command = wrapper;
    command << QCoreApplication::applicationFilePath();
    child.start(command.takeFirst(), command);
    QVERIFY2(child.waitForFinished(60000), "child did not finish");
    const QByteArray output = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
    qInfo().noquote() << QString::fromUtf8(output).split(u'\n').filter(QStringLiteral("QINFO")).join(u'\n');
}

QProcessEnvironment privateHome(const QTemporaryDir &root)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString home = root.filePath(QStringLiteral("home"));
    const QString runtime = root.filePath(QStringLiteral("run"));
    QDir().mkpath(home);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    return environment;
}

} // namespace

class TestKeychainDesktop : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("needs the D-Bus session and keyring of scripts/test-env");
    }

    void secretServiceRoundTrip()
    {
        const QString service = uniqueService();
        const KeychainItem item(service, QStringLiteral("acct"));
        QCOMPARE(item.read(), std::nullopt);

        QVERIFY(item.save("first secret"));
        QCOMPARE(item.read(), std::optional<QByteArray>("first secret"));
        QCOMPARE(secretToolLookup(service, "acct"), std::optional<QByteArray>("first secret"));
        QVERIFY(!QFile::exists(fileStore().itemPath(service, "acct")));

        const QByteArray binary("\x00\xff\x01 token\n", 9);
        QVERIFY(item.save(binary));
        QCOMPARE(test::run(item.readAsync()).get(), std::optional<QByteArray>(binary));
        const KeychainItem otherAccount(service, QStringLiteral("other"));
        QCOMPARE(otherAccount.read(), std::nullopt);

        item.remove();
        QCOMPARE(item.read(), std::nullopt);
        QCOMPARE(secretToolLookup(service, "acct"), std::nullopt);
        QVERIFY(!KeychainSecurity::isBusy());
    }

    void fileStoreItemMovesIntoTheSecretService()
    {
        const QString service = uniqueService();
        auto files = fileStore();
        QCOMPARE(files.add(service, "acct", "legacy"), KeychainStatus::success);

        const KeychainItem item(service, QStringLiteral("acct"));
        QCOMPARE(item.read(), std::optional<QByteArray>("legacy"));
        QVERIFY(item.save("legacy"));
        QVERIFY(!QFile::exists(files.itemPath(service, "acct")));
        QCOMPARE(secretToolLookup(service, "acct"), std::optional<QByteArray>("legacy"));
        item.remove();
    }

    void withoutSecretServiceItemsLiveInTheFileStore()
    {
        QTemporaryDir root;
        QProcessEnvironment environment = privateHome(root);
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + root.filePath(QStringLiteral("no-bus")));
        runChild(QStringLiteral("no-secret-service"), environment);
    }

    void lockedKeyringNeverPromptsNorFallsBackToFiles()
    {
        QTemporaryDir root;
        runChild(QStringLiteral("locked-keyring"), privateHome(root), {QStringLiteral("dbus-run-session"), "--"});
    }

    void missingKeyringUsesTheFileStore()
    {
        QTemporaryDir root;
        runChild(QStringLiteral("no-keyring"), privateHome(root), {QStringLiteral("dbus-run-session"), "--"});
    }
};

// A process whose session bus does not exist.
class NoSecretServiceChild : public QObject {
    Q_OBJECT
private slots:
    void itemsLiveInThePrivateFileStore()
    {
        const KeychainItem item(QStringLiteral("svc"), QStringLiteral("acct"));
        const auto files = fileStore();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(item.save("secret"));
        qInfo("no Secret Service: save %lld ms", static_cast<long long>(timer.elapsed()));
        QFileInfo file(files.itemPath("svc", "acct"));
        QVERIFY(file.exists());
        QCOMPARE(file.permissions() & QFileDevice::Permissions(0x0777), QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(QFileInfo(files.directory()).permissions() & QFileDevice::Permissions(0x0777),
                 QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        QCOMPARE(item.read(), std::optional<QByteArray>("secret"));
        QVERIFY(item.save("replaced"));
        QCOMPARE(test::run(item.readAsync()).get(), std::optional<QByteArray>("replaced"));
        item.remove();
        QVERIFY(!QFile::exists(file.filePath()));
        QCOMPARE(item.read(), std::nullopt);
    }
};

// A private session with its own gnome-keyring (from a private home): locked after an item
// was stored, or never given a keyring at all.
class PrivateSessionChild : public QObject {
    Q_OBJECT
public:
    explicit PrivateSessionChild(bool withKeyring) : m_withKeyring(withKeyring) {}

private slots:
    void initTestCase()
    {
        if (m_withKeyring) {
            // Started unlocked with a password on standard input, so it has a default keyring.
            m_daemon.start(QStringLiteral("gnome-keyring-daemon"),
                           {"--foreground", "--unlock", "--components=secrets"});
            QVERIFY(m_daemon.waitForStarted());
            m_daemon.write("private-password");
            m_daemon.closeWriteChannel();
            QTRY_VERIFY_WITH_TIMEOUT(secretServiceRunning(), 10000);
        }
    }
    void cleanupTestCase()
    {
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            m_daemon.waitForFinished(5000);
        }
    }

    void lockedKeyring()
    {
        if (!m_withKeyring)
            QSKIP("scenario without a keyring");
        const KeychainItem stored(QStringLiteral("svc"), QStringLiteral("stored"));
        const KeychainItem absent(QStringLiteral("svc"), QStringLiteral("absent"));
        QVERIFY(stored.save("in keyring"));
        // A copy in the file store that a locked keyring must not expose or replace.
        auto files = fileStore();
        QCOMPARE(files.add("svc", "stored", "in file"), KeychainStatus::success);
        QVERIFY(lockDefaultKeyring());

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(stored.read(), std::nullopt);
        qInfo("locked keyring: read %lld ms", static_cast<long long>(timer.restart()));
        QCOMPARE(test::run(stored.readAsync()).get(), std::nullopt);
        qInfo("locked keyring: readAsync %lld ms", static_cast<long long>(timer.restart()));
        QVERIFY(!stored.save("new"));
        qInfo("locked keyring: save over a stored item %lld ms", static_cast<long long>(timer.restart()));
        QVERIFY(!absent.save("new"));
        qInfo("locked keyring: save of a new item %lld ms", static_cast<long long>(timer.restart()));
        stored.remove();
        qInfo("locked keyring: delete %lld ms", static_cast<long long>(timer.restart()));

        // Nothing hangs in the worker, nothing was written to or removed from the file store.
        QVERIFY(!KeychainSecurity::isBusy());
        QCOMPARE(files.copy("svc", "stored").value.toByteArray(), QByteArray("in file"));
        QCOMPARE(files.copy("svc", "absent").status, KeychainStatus::itemNotFound);
    }

    void noKeyring()
    {
        if (m_withKeyring)
            QSKIP("scenario with a keyring");
        // The bus starts gnome-keyring on demand, but it has no keyring to put items in and
        // making one would ask for a password: the item goes to the file store.
        const KeychainItem item(QStringLiteral("svc"), QStringLiteral("acct"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(item.save("secret"));
        qInfo("no keyring: save %lld ms", static_cast<long long>(timer.restart()));
        QVERIFY(secretServiceRunning());
        QVERIFY(QFile::exists(fileStore().itemPath("svc", "acct")));
        QCOMPARE(item.read(), std::optional<QByteArray>("secret"));
        qInfo("no keyring: read %lld ms", static_cast<long long>(timer.restart()));
        item.remove();
        QCOMPARE(item.read(), std::nullopt);
        QVERIFY(!KeychainSecurity::isBusy());
    }

private:
    bool m_withKeyring;
    QProcess m_daemon;
};

int main(int argc, char *argv[])
{
    tindrel::test::prepareTestHost();
    QCoreApplication app(argc, argv);
    const QByteArray child = qgetenv(childVariable);
    QTEST_SET_MAIN_SOURCE_PATH
    if (child == "no-secret-service") {
        NoSecretServiceChild test;
        return QTest::qExec(&test, argc, argv);
    }
    if (child == "locked-keyring" || child == "no-keyring") {
        PrivateSessionChild test(child == "locked-keyring");
        return QTest::qExec(&test, argc, argv);
    }
    TestKeychainDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychain_desktop.moc"
