#include "auth/KeychainSecurity.h"

#include <QCoroFuture>
#include <QSemaphore>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <pthread.h>
#include <thread>

namespace tindrel {
namespace {

// The serial keychain queue: one thread, created on first use and never stopped, so a call
// stuck in the store at exit cannot hold up the process.
class KeychainWorker {
public:
    static KeychainWorker &shared()
    {
        static KeychainWorker *worker = new KeychainWorker; // never destroyed (see above)
        return *worker;
    }

    void enqueue(std::function<void()> job)
    {
        {
            std::lock_guard locker(m_lock);
            m_jobs.push_back(std::move(job));
        }
        m_wake.notify_one();
    }

private:
    KeychainWorker()
    {
        std::thread thread([this] { run(); });
        pthread_setname_np(thread.native_handle(), "keychain-secur");
        thread.detach();
    }

    [[noreturn]] void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock locker(m_lock);
                m_wake.wait(locker, [this] { return !m_jobs.empty(); });
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
};

std::mutex g_busyLock;
bool g_busy = false;

} // namespace

bool KeychainSecurity::tryMarkBusy()
{
    std::lock_guard locker(g_busyLock);
    if (g_busy)
        return false;
    g_busy = true;
    return true;
}

void KeychainSecurity::clearBusy()
{
    std::lock_guard locker(g_busyLock);
    g_busy = false;
}

bool KeychainSecurity::isBusy()
{
    std::lock_guard locker(g_busyLock);
    return g_busy;
}

void KeychainSecurity::enqueue(std::function<void()> job) { KeychainWorker::shared().enqueue(std::move(job)); }

template<typename T>
T KeychainSecurity::performBlocking(std::chrono::milliseconds limit, T fallback, std::function<T()> operation)
{
    if (!tryMarkBusy())
        return fallback;
    auto box = std::make_shared<KeychainSecurityResultBox<T>>(fallback);
    auto done = std::make_shared<QSemaphore>(0);
    enqueue([operation = std::move(operation), box, done] {
        box->set(operation());
        clearBusy();
        done->release();
    });
    if (done->tryAcquire(1, static_cast<int>(limit.count())))
        return box->get();
    // The call keeps running; its result is dropped and the busy flag stays until it ends.
    return fallback;
}

qint32 KeychainSecurity::perform(std::chrono::milliseconds limit, qint32 fallback, std::function<qint32()> operation)
{
    return performBlocking<qint32>(limit, fallback, std::move(operation));
}

KeychainReadResult KeychainSecurity::perform(std::chrono::milliseconds limit, KeychainReadResult fallback,
                                             std::function<KeychainReadResult()> operation)
{
    return performBlocking<KeychainReadResult>(limit, std::move(fallback), std::move(operation));
}

QCoro::Task<KeychainReadResult> KeychainSecurity::performAsync(std::chrono::milliseconds limit,
                                                               KeychainReadResult fallback,
                                                               std::function<KeychainReadResult()> operation)
{
    if (!tryMarkBusy())
        co_return fallback;
    auto completion = std::make_shared<KeychainSecurityCompletion<KeychainReadResult>>();
    const QFuture<KeychainReadResult> future = completion->future();
    enqueue([operation = std::move(operation), completion] {
        KeychainReadResult result = operation();
        clearBusy();
        completion->complete(std::move(result));
    });
    QTimer::singleShot(limit, Qt::PreciseTimer, [completion, fallback] { completion->complete(fallback); });
    co_return co_await future;
}

} // namespace tindrel
