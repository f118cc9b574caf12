#pragma once

#include "auth/KeychainReadResult.h"

#include <QCoroTask>
#include <QFuture>
#include <QPromise>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace tindrel {

// A result handed from the keychain worker to a caller that may already have given up;
// it starts as the caller's fallback.
template<typename T>
class KeychainSecurityResultBox {
public:
    explicit KeychainSecurityResultBox(T fallback) : m_value(std::move(fallback)) {}
    void set(T value)
    {
        std::lock_guard locker(m_lock);
        m_value = std::move(value);
    }
    T get() const
    {
        std::lock_guard locker(m_lock);
        return m_value;
    }

private:
    mutable std::mutex m_lock;
    T m_value;
};

// The one-shot completion of an asynchronous keychain call: the worker and the timer race to
// complete it, the first one wins and the other finds nothing left to complete.
template<typename T>
class KeychainSecurityCompletion {
public:
    KeychainSecurityCompletion() : m_promise(std::in_place) { m_promise->start(); }
    QFuture<T> future() { return m_promise->future(); }
    void complete(T value)
    {
        std::optional<QPromise<T>> taken;
        {
            std::lock_guard locker(m_lock);
            taken.swap(m_promise);
        }
        if (taken) {
            taken->addResult(std::move(value));
            taken->finish();
        }
    }

private:
    std::mutex m_lock;
    std::optional<QPromise<T>> m_promise;
};

// The lower layer of the keychain: runs store calls one at a time on a dedicated worker
// thread, each bounded in time. A process-wide busy flag is set from the moment a call is
// queued until it has run; while it is set every further call answers its fallback at once
// instead of queueing behind a store that does not answer (a locked keyring, a hung daemon).
class KeychainSecurity {
public:
    static constexpr std::chrono::milliseconds blockingLimit{750};
    static constexpr std::chrono::milliseconds asyncLimit{1000};

    // Blocks the caller (any thread) at most `limit`; `fallback` on time-out or while busy.
    static qint32 perform(std::chrono::milliseconds limit, qint32 fallback, std::function<qint32()> operation);
    static KeychainReadResult perform(std::chrono::milliseconds limit, KeychainReadResult fallback,
                                      std::function<KeychainReadResult()> operation);

    // Suspends the caller instead (it needs a running event loop); never throws. A result that
    // arrives after `limit` is dropped.
    static QCoro::Task<KeychainReadResult> performAsync(std::chrono::milliseconds limit, KeychainReadResult fallback,
                                                        std::function<KeychainReadResult()> operation);

    // True while a call is queued or running (tests wait for a stuck call to finish).
    static bool isBusy();

private:
    static bool tryMarkBusy();
    static void clearBusy();
    static void enqueue(std::function<void()> job);
    template<typename T>
    static T performBlocking(std::chrono::milliseconds limit, T fallback, std::function<T()> operation);
};

} // namespace tindrel
