#include "core/CancellationToken.h"

#include <QThread>
#include <QWaitCondition>

namespace tindrel {

struct CancellationToken::State {
    QMutex lock;
    bool cancelled = false;
    int nextId = 1;
    std::vector<std::pair<int, std::function<void()>>> callbacks;
    // The callback cancel() is running, so that unregistering it from another thread can wait
    // until it is done with what it captured.
    int runningId = 0;
    Qt::HANDLE runningThread = nullptr;
    QWaitCondition callbackDone;
};

CancellationToken::CancellationToken() : m_state(std::make_shared<State>()) {}

void CancellationToken::cancel() const
{
    // A callback may end the life of the token it was called through.
    const std::shared_ptr<State> state = m_state;
    QMutexLocker locker(&state->lock);
    if (state->cancelled)
        return;
    state->cancelled = true;
    // One at a time, each taken out under the lock: a registration reset meanwhile either
    // removes its callback before it runs or waits for it to finish.
    while (!state->callbacks.empty()) {
        auto entry = std::move(state->callbacks.front());
        state->callbacks.erase(state->callbacks.begin());
        state->runningId = entry.first;
        state->runningThread = QThread::currentThreadId();
        locker.unlock();
        entry.second();
        entry.second = nullptr;
        locker.relock();
        state->runningId = 0;
        state->runningThread = nullptr;
        state->callbackDone.wakeAll();
    }
}

bool CancellationToken::isCancelled() const
{
    QMutexLocker locker(&m_state->lock);
    return m_state->cancelled;
}

CancellationToken::Registration CancellationToken::onCancel(std::function<void()> callback) const
{
    Registration registration;
    {
        QMutexLocker locker(&m_state->lock);
        if (!m_state->cancelled) {
            const int id = m_state->nextId++;
            m_state->callbacks.emplace_back(id, std::move(callback));
            registration.m_state = m_state;
            registration.m_id = id;
            return registration;
        }
    }
    callback();
    return registration;
}

CancellationToken::Registration &CancellationToken::Registration::operator=(Registration &&other) noexcept
{
    if (this != &other) {
        reset();
        m_state = std::move(other.m_state);
        m_id = other.m_id;
        other.m_id = 0;
    }
    return *this;
}

CancellationToken::Registration::~Registration() { reset(); }

void CancellationToken::Registration::reset()
{
    if (auto state = m_state.lock()) {
        QMutexLocker locker(&state->lock);
        std::erase_if(state->callbacks, [this](const auto &entry) { return entry.first == m_id; });
        // Running on another thread: what it captured must outlive it. (On this thread it is
        // our caller, so waiting would never end.)
        while (m_id != 0 && state->runningId == m_id && state->runningThread != QThread::currentThreadId())
            state->callbackDone.wait(&state->lock);
    }
    m_state.reset();
    m_id = 0;
}

} // namespace tindrel
