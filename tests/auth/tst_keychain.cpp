// The keychain layer's routing between the two stores, its time limits and its busy flag,
// driven through replaceable store calls; and the file store on its own.
#include "auth/FileKeychainPrimitives.h"
#include "auth/KeychainItem.h"
#include "auth/KeychainSecurity.h"
#include "auth/KeychainStatus.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>

using namespace tindrel;
using namespace std::chrono_literals;

namespace {

// One store in memory. Every call is logged as "<store> <call>"; a call can be given a
// status to answer, a raw copy result, or a gate it waits on before answering.
class FakePrimitives final : public KeychainPrimitives {
public:
    FakePrimitives(QString name, std::shared_ptr<QStringList> log, std::shared_ptr<QMutex> logLock)
        : m_name(std::move(name)), m_log(std::move(log)), m_logLock(std::move(logLock))
    {}

    QMap<QString, QByteArray> items; // key: service + "|" + account
    QMap<QString, qint32> forced;    // call name -> status answered instead
    std::optional<QVariant> copyValue;
    std::shared_ptr<QSemaphore> gate; // when set, every call waits for one release (at most 5 s)
    std::atomic<bool> finished{false};

    qint32 update(const QString &service, const QString &account, const QByteArray &data) override
    {
        enter(u"update");
        if (auto status = forcedStatus(u"update"))
            return *status;
        if (!items.contains(key(service, account)))
            return KeychainStatus::itemNotFound;
        items[key(service, account)] = data;
        return KeychainStatus::success;
    }
    qint32 add(const QString &service, const QString &account, const QByteArray &data) override
    {
        enter(u"add");
        if (auto status = forcedStatus(u"add"))
            return *status;
        if (items.contains(key(service, account)))
            return KeychainStatus::duplicateItem;
        items[key(service, account)] = data;
        return KeychainStatus::success;
    }
    KeychainCopyResult copy(const QString &service, const QString &account) override
    {
        enter(u"copy");
        if (auto status = forcedStatus(u"copy"))
            return {*status, copyValue.value_or(QVariant())};
        if (copyValue)
            return {KeychainStatus::success, *copyValue};
        if (!items.contains(key(service, account)))
            return {KeychainStatus::itemNotFound, {}};
        return {KeychainStatus::success, items.value(key(service, account))};
    }
    qint32 remove(const QString &service, const QString &account) override
    {
        enter(u"remove");
        if (auto status = forcedStatus(u"remove"))
            return *status;
        return items.remove(key(service, account)) ? KeychainStatus::success : KeychainStatus::itemNotFound;
    }

    static QString key(const QString &service, const QString &account) { return service + u'|' + account; }

private:
    void enter(QStringView call)
    {
        {
            QMutexLocker locker(m_logLock.get());
            m_log->append(m_name + u' ' + call.toString());
        }
        // Bounded, so a layer that waits for its calls fails here instead of hanging.
        if (gate)
            gate->tryAcquire(1, 5000);
    }
    std::optional<qint32> forcedStatus(QStringView call) const
    {
        if (forced.contains(call.toString()))
            return forced.value(call.toString());
        return std::nullopt;
    }

    QString m_name;
    std::shared_ptr<QStringList> m_log;
    std::shared_ptr<QMutex> m_logLock;
};

struct Fixture {
    std::shared_ptr<QStringList> log = std::make_shared<QStringList>();
    std::shared_ptr<QMutex> logLock = std::make_shared<QMutex>();
    std::shared_ptr<FakePrimitives> protectedStore = std::make_shared<FakePrimitives>("dp", log, logLock);
    std::shared_ptr<FakePrimitives> fileStore = std::make_shared<FakePrimitives>("file", log, logLock);
    KeychainItem item{QStringLiteral("svc"), QStringLiteral("acct"), {protectedStore, fileStore}};

    QStringList calls() const
    {
        QMutexLocker locker(logLock.get());
        return *log;
    }
    void clearCalls()
    {
        QMutexLocker locker(logLock.get());
        log->clear();
    }
    static QString key() { return FakePrimitives::key(QStringLiteral("svc"), QStringLiteral("acct")); }
};

// A stuck call leaves the busy flag set for every later test until it ends.
bool waitUntilIdle()
{
    QDeadlineTimer deadline(10s);
    while (KeychainSecurity::isBusy() && !deadline.hasExpired())
        QThread::msleep(5);
    return !KeychainSecurity::isBusy();
}

} // namespace

class TestKeychain : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY(waitUntilIdle()); }

    void saveOnAFreshSystemAddsAndClearsTheFileStore()
    {
        Fixture f;
        QVERIFY(f.item.save("secret"));
        QCOMPARE(f.calls(), (QStringList{"dp update", "dp add", "file remove"}));
        QCOMPARE(f.protectedStore->items.value(Fixture::key()), QByteArray("secret"));

        f.clearCalls();
        QVERIFY(f.item.save("second"));
        QCOMPARE(f.calls(), (QStringList{"dp update", "file remove"}));
        QCOMPARE(f.item.read(), std::optional<QByteArray>("second"));
    }

    void fileStoreItemIsReadAsIsAndMovedOnSave()
    {
        Fixture f;
        f.fileStore->items[Fixture::key()] = "legacy";
        QCOMPARE(f.item.read(), std::optional<QByteArray>("legacy"));
        QCOMPARE(f.calls(), (QStringList{"dp copy", "file copy"}));
        QVERIFY(f.fileStore->items.contains(Fixture::key())); // a read moves nothing

        QVERIFY(f.item.save("legacy"));
        QCOMPARE(f.protectedStore->items.value(Fixture::key()), QByteArray("legacy"));
        QVERIFY(!f.fileStore->items.contains(Fixture::key()));
    }

    void statusRouting_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("forcedCall");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QStringList>("calls");

        const int missing = KeychainStatus::missingEntitlement;
        const int locked = KeychainStatus::interactionNotAllowed;
        const int notFound = KeychainStatus::itemNotFound;
        QTest::newRow("save without protected store goes to files")
            << "save"
            << "dp update" << missing << true << QStringList{"dp update", "file update"};
        QTest::newRow("save on a locked keyring writes no file")
            << "save"
            << "dp update" << locked << false << QStringList{"dp update"};
        QTest::newRow("save whose add fails") << "save"
                                              << "dp add" << locked << false << QStringList{"dp update", "dp add"};
        QTest::newRow("save failing in the file store too")
            << "save"
            << "both update" << missing << false << QStringList{"dp update", "file update"};
        QTest::newRow("read on a locked keyring reads no file")
            << "read"
            << "dp copy" << locked << false << QStringList{"dp copy"};
        QTest::newRow("read without protected store reads files")
            << "read"
            << "dp copy" << missing << true << QStringList{"dp copy", "file copy"};
        QTest::newRow("read failing with an I/O error")
            << "read"
            << "dp copy" << int(KeychainStatus::ioError) << false << QStringList{"dp copy"};
        QTest::newRow("delete found") << "delete"
                                      << "" << 0 << true << QStringList{"dp remove", "file remove"};
        QTest::newRow("delete not found") << "delete"
                                          << "dp remove" << notFound << true << QStringList{"dp remove", "file remove"};
        QTest::newRow("delete without protected store")
            << "delete"
            << "dp remove" << missing << true << QStringList{"dp remove", "file remove"};
        QTest::newRow("delete stopped by a locked keyring leaves the file")
            << "delete"
            << "dp remove" << locked << false << QStringList{"dp remove"};
        QTest::newRow("delete stopped by an unexpected status leaves the file")
            << "delete"
            << "dp remove" << -25293 << false << QStringList{"dp remove"};
    }
    void statusRouting()
    {
        QFETCH(QString, operation);
        QFETCH(QString, forcedCall);
        QFETCH(int, status);
        QFETCH(bool, succeeds);
        QFETCH(QStringList, calls);

        Fixture f;
        // The item exists in the file store only, so reads and deletes show which store answered.
        f.fileStore->items[Fixture::key()] = "from file";
        if (forcedCall.isEmpty())
            f.protectedStore->items[Fixture::key()] = "protected";
        if (!forcedCall.isEmpty()) {
            const QString call = forcedCall.section(u' ', 1);
            if (forcedCall.startsWith(u"dp") || forcedCall.startsWith(u"both"))
                f.protectedStore->forced[call] = status;
            if (forcedCall.startsWith(u"both"))
                f.fileStore->forced[call] = KeychainStatus::ioError;
        }
        if (operation == u"save") {
            QCOMPARE(f.item.save("new"), succeeds);
            const bool inFiles = f.fileStore->items.value(Fixture::key()) == "new";
            QCOMPARE(inFiles, succeeds && status == KeychainStatus::missingEntitlement);
        } else if (operation == u"read") {
            QCOMPARE(f.item.read().has_value(), succeeds);
            QCOMPARE(test::run(f.item.readAsync()).get().has_value(), succeeds);
        } else {
            f.item.remove();
            QCOMPARE(!f.fileStore->items.contains(Fixture::key()), succeeds);
            QVERIFY(!f.protectedStore->items.contains(Fixture::key()));
        }
        QCOMPARE(f.calls().mid(0, calls.size()), calls);
        if (operation != u"read")
            QCOMPARE(f.calls().size(), calls.size());
    }

    void onlyByteResultsCountAsData_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("text") << QVariant(QStringLiteral("secret"));
        QTest::newRow("number") << QVariant(42);
        QTest::newRow("nothing") << QVariant();
    }
    void onlyByteResultsCountAsData()
    {
        QFETCH(QVariant, value);
        Fixture f;
        f.protectedStore->copyValue = value;
        f.fileStore->items[Fixture::key()] = "from file";
        QCOMPARE(f.item.read(), std::nullopt);
        QCOMPARE(test::run(f.item.readAsync()).get(), std::nullopt);
        // Status success ends the read: the file store is not asked.
        QCOMPARE(f.calls(), (QStringList{"dp copy", "dp copy"}));
        QCOMPARE(KeychainItem::readResult({0, QByteArray()}).data, std::optional<QByteArray>(QByteArray()));
    }

    void stuckCallTimesOutAndLaterCallsFailAtOnce()
    {
        Fixture f;
        f.protectedStore->items[Fixture::key()] = "secret";
        f.protectedStore->gate = std::make_shared<QSemaphore>(0);

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(f.item.read(), std::nullopt);
        QVERIFY2(timer.elapsed() >= 700, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(KeychainSecurity::isBusy());

        // While the first call hangs, every call answers its fallback without queueing,
        // whatever the item and whatever the operation.
        KeychainItem other(QStringLiteral("svc2"), QStringLiteral("acct"), {f.protectedStore, f.fileStore});
        QCOMPARE(f.item.read(), std::nullopt);
        QCOMPARE(other.read(), std::nullopt);
        QVERIFY(!other.save("x"));
        other.remove();
        QCOMPARE(test::run(f.item.readAsync()).get(), std::nullopt);
        QCOMPARE(f.calls(), (QStringList{"dp copy"}));
        QVERIFY(!f.fileStore->items.contains(Fixture::key()));

        f.protectedStore->gate->release(); // the stuck call ends; its result is dropped
        QVERIFY(waitUntilIdle());
        f.protectedStore->gate.reset();
        QCOMPARE(f.item.read(), std::optional<QByteArray>("secret"));
    }

    void saveStepsAreBoundedOneByOne()
    {
        Fixture f;
        f.protectedStore->gate = std::make_shared<QSemaphore>(0);
        // The update hangs: the save gives up after one limit and reports "not stored",
        // without trying the file store.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!f.item.save("secret"));
        QVERIFY(timer.elapsed() >= 700);
        QCOMPARE(f.calls(), (QStringList{"dp update"}));
        f.protectedStore->gate->release();
        QVERIFY(waitUntilIdle());
        QVERIFY(f.fileStore->items.isEmpty());
    }

    void asyncReadTimesOutAndDropsTheLateResult()
    {
        Fixture f;
        f.protectedStore->items[Fixture::key()] = "secret";
        f.protectedStore->gate = std::make_shared<QSemaphore>(0);

        QThread *resumedOn = nullptr;
        auto read = [](KeychainItem item, QThread *&thread) -> QCoro::Task<std::optional<QByteArray>> {
            auto value = co_await item.readAsync();
            thread = QThread::currentThread();
            co_return value;
        };
        QElapsedTimer timer;
        timer.start();
        const auto outcome = test::run(read(f.item, resumedOn));
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.get(), std::nullopt);
        QVERIFY2(timer.elapsed() >= 950, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(resumedOn, QThread::currentThread());

        // The late answer arrives into a completion that has already been used.
        f.protectedStore->gate->release();
        QVERIFY(waitUntilIdle());
        QTest::qWait(50);
        f.protectedStore->gate.reset();
        QCOMPARE(test::run(f.item.readAsync()).get(), std::optional<QByteArray>("secret"));
        QCOMPARE(f.calls(), (QStringList{"dp copy", "dp copy"}));
    }

    void asyncReadReturnsTheAnswerAndResumesOnTheCaller()
    {
        Fixture f;
        f.fileStore->items[Fixture::key()] = "legacy";
        QThread *resumedOn = nullptr;
        auto read = [](KeychainItem item, QThread *&thread) -> QCoro::Task<std::optional<QByteArray>> {
            auto value = co_await item.readAsync();
            thread = QThread::currentThread();
            co_return value;
        };
        QCOMPARE(test::run(read(f.item, resumedOn)).get(), std::optional<QByteArray>("legacy"));
        QCOMPARE(resumedOn, QThread::currentThread());
        QCOMPARE(f.calls(), (QStringList{"dp copy", "file copy"}));
    }

    void callersOnManyThreadsNeverWaitForEachOther()
    {
        // Overlapping callers either get the answer or the fallback, never a hang or a crash.
        Fixture f;
        f.protectedStore->items[Fixture::key()] = "secret";
        std::atomic<int> answered{0};
        std::atomic<int> fellBack{0};
        QList<QThread *> threads;
        for (int i = 0; i < 8; ++i) {
            threads << QThread::create([&] {
                for (int n = 0; n < 50; ++n)
                    (f.item.read() ? answered : fellBack)++;
            });
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            QVERIFY(thread->wait(30000));
            delete thread;
        }
        QCOMPARE(answered + fellBack, 400);
        QVERIFY(answered > 0);
    }

    // The file store on its own.

    void fileStoreKeepsItemsPrivateAndApart()
    {
        QTemporaryDir root;
        const QString directory = root.filePath(QStringLiteral("data/keychain"));
        QVERIFY(QDir().mkpath(directory));
        QVERIFY(QFile::setPermissions(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                     | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                     | QFile::ExeOther));
        FileKeychainPrimitives store(directory);

        QCOMPARE(store.update("svc", "acct", "x"), KeychainStatus::itemNotFound);
        QCOMPARE(store.copy("svc", "acct").status, KeychainStatus::itemNotFound);
        QCOMPARE(store.remove("svc", "acct"), KeychainStatus::itemNotFound);
        QCOMPARE(store.add("svc", "acct", QByteArray("one\0two", 7)), KeychainStatus::success);
        QCOMPARE(store.add("svc", "acct", "again"), KeychainStatus::duplicateItem);
        QCOMPARE(store.copy("svc", "acct").value.toByteArray(), QByteArray("one\0two", 7));

        // Names that would be unsafe or ambiguous as file names stay separate items.
        const QList<std::pair<QString, QString>> names{
            {"svc/../x", "acct"}, {"sv", "cacct"}, {"svc", "acct\n"}, {QString::fromUtf8("服务"), ""}};
        for (const auto &[service, account] : names)
            QCOMPARE(store.add(service, account, service.toUtf8()), KeychainStatus::success);
        for (const auto &[service, account] : names)
            QCOMPARE(store.copy(service, account).value.toByteArray(), service.toUtf8());
        QCOMPARE(store.update("svc", "acct", "replaced"), KeychainStatus::success);
        QCOMPARE(store.copy("svc", "acct").value.toByteArray(), QByteArray("replaced"));

        const QFileInfo folder(directory);
        QCOMPARE(folder.permissions() & 0x0777, QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        const QFileInfoList files = QDir(directory).entryInfoList(QDir::Files | QDir::Hidden);
        QCOMPARE(files.size(), 1 + names.size()); // no temporary files left behind
        for (const QFileInfo &file : files) {
            QVERIFY(file.fileName().endsWith(u".item"));
            QCOMPARE(file.permissions() & 0x0777, QFile::ReadUser | QFile::WriteUser);
        }
        QCOMPARE(store.remove("svc", "acct"), KeychainStatus::success);
        QCOMPARE(store.copy("svc", "acct").status, KeychainStatus::itemNotFound);
    }

    void fileStoreReportsAnUnwritableFolder()
    {
        QTemporaryDir root;
        QFile blocker(root.filePath(QStringLiteral("keychain")));
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
        blocker.close();
        FileKeychainPrimitives store(blocker.fileName());
        QCOMPARE(store.add("svc", "acct", "x"), KeychainStatus::ioError);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestKeychain)
#include "tst_keychain.moc"
