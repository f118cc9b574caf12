#include "backend/EphemeralSupabaseAuthStorage.h"
#include "backend/SupabaseProvider.h"
#include "core/Log.h"
#include "supabase/SupabaseLog.h"
#include "support/TestSupport.h"

#include <QMutex>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

using namespace tindrel;

namespace {
QMutex g_linesLock;
QStringList g_lines;
void captureLine(const QString &line)
{
    QMutexLocker locker(&g_linesLock);
    g_lines << line;
}
} // namespace

class TestSupabaseProvider : public QObject {
    Q_OBJECT
private slots:
    void ephemeralStorageStoresReplacesAndRemoves()
    {
        EphemeralSupabaseAuthStorage storage;
        QVERIFY(!storage.retrieve(QStringLiteral("k")));
        storage.remove(QStringLiteral("k")); // absent: not an error
        storage.store(QStringLiteral("k"), "one");
        storage.store(QStringLiteral("k"), "two");
        QCOMPARE(*storage.retrieve(QStringLiteral("k")), QByteArray("two"));
        storage.store(QStringLiteral("empty"), QByteArray());
        QVERIFY(storage.retrieve(QStringLiteral("empty")));
        storage.remove(QStringLiteral("k"));
        QVERIFY(!storage.retrieve(QStringLiteral("k")));
    }

    void ephemeralStorageIsSafeAcrossThreads()
    {
        EphemeralSupabaseAuthStorage storage;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&storage, t] {
                const QString key = QStringLiteral("key-%1").arg(t % 2);
                for (int i = 0; i < 2000; ++i) {
                    storage.store(key, QByteArray::number(i));
                    (void)storage.retrieve(key);
                    if (i % 7 == 0)
                        storage.remove(key);
                }
                storage.store(QStringLiteral("done-%1").arg(t), "yes");
            });
        }
        for (auto &thread : threads)
            thread.join();
        for (int t = 0; t < 4; ++t)
            QCOMPARE(*storage.retrieve(QStringLiteral("done-%1").arg(t)), QByteArray("yes"));
    }

    void clientOptionsAreTheProcessSettings()
    {
        const auto options = SupabaseProvider::clientOptions();
        QVERIFY(dynamic_cast<EphemeralSupabaseAuthStorage *>(options.auth.storage.get()));
        QVERIFY(options.auth.storage != SupabaseProvider::clientOptions().auth.storage);
        QCOMPARE(options.auth.flowType, supabase::AuthFlowType::Pkce);
        QVERIFY(options.auth.autoRefreshToken);
        QVERIFY(!options.auth.storageKey);
        QVERIFY(!options.auth.redirectTo);
        QCOMPARE(options.realtime.heartbeatInterval, std::chrono::milliseconds(25000));
        QCOMPARE(options.realtime.reconnectDelay, std::chrono::milliseconds(7000));
        QCOMPARE(options.realtime.timeout, std::chrono::milliseconds(10000));
        QVERIFY(options.realtime.disconnectOnSessionLoss);
        QVERIFY(options.realtime.connectOnSubscribe);
        QCOMPARE(options.realtime.maxRetryAttempts, 5);
        QVERIFY(!options.realtime.logLevel);
        QVERIFY(options.global.headers.isEmpty());
        QVERIFY(!options.functions.region);
    }

    void sharedInstanceIsBuiltOnceForConcurrentFirstUsers()
    {
        setLogSink(captureLine);
        std::vector<std::thread> threads;
        std::vector<SupabaseProvider *> seen(4, nullptr);
        for (std::size_t t = 0; t < seen.size(); ++t)
            threads.emplace_back([&seen, t] { seen[t] = &SupabaseProvider::shared(); });
        for (auto &thread : threads)
            thread.join();
        setLogSink(nullptr);
        for (SupabaseProvider *provider : seen)
            QCOMPARE(provider, &SupabaseProvider::shared());

        auto &client = SupabaseProvider::shared().client();
        QCOMPARE(client.thread(), QThread::currentThread());
        QCOMPARE(client.auth().thread(), QThread::currentThread());
        QCOMPARE(client.baseUrl(), QUrl(QStringLiteral("http://127.0.0.1:54329")));
        QCOMPARE(g_lines.filter(QStringLiteral("[SupabaseProvider] Initializing with SupabaseURL=")).size(), 1);
        QCOMPARE(g_lines.filter(QStringLiteral("[SupabaseProvider] Supabase client initialized successfully")).size(),
                 1);
        // Library lines reach the application log.
        setLogSink(captureLine);
        supabase::log(u"Realtime", QStringLiteral("probe"));
        setLogSink(nullptr);
        QVERIFY(g_lines.contains(QStringLiteral("[Realtime] probe")));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestSupabaseProvider)
#include "tst_supabaseprovider.moc"
