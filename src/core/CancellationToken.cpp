#include "core/CancellationToken.h"

namespace tindrel {

struct CancellationToken::State {
    QMutex lock;
    bool cancelled = false;
    int nextId = 1;
    std::vector<std::pair<int, std::function<void()>>> callbacks;
};

CancellationToken::CancellationToken() : m_state(std::make_shared<State>()) {}

void CancellationToken::cancel() const
{
    std::vector<std::pair<int, std::function<void()>>> callbacks;
    {
        QMutexLocker locker(&m_state->lock);
        if (m_state->cancelled)
            return;
        m_state->cancelled = true;
        callbacks.swap(m_state->callbacks);
    }
    for (auto &entry : callbacks)
        entry.second();
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
    }
    m_state.reset();
    m_id = 0;
}

} // namespace tindrel
