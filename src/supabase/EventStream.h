#pragma once

#include <QCoroTask>
#include <QObject>
#include <QTimer>

#include <coroutine>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace supabase {

// Wakes coroutines waiting for a change. Each waiter is resumed once, from the event loop,
// never inside notify(). (QCoro 0.8's signal awaiter touches freed memory when a signal
// fires twice before the first resumption runs, so it is not used for this.) A waiter
// whose notifier is destroyed is still resumed, so that it can see (through its QPointer)
// that its owner is gone instead of waiting forever; it must not touch the owner before.
class StreamSignal : public QObject {
public:
    explicit StreamSignal(QObject *parent = nullptr) : QObject(parent) {}
    ~StreamSignal() override { notify(); }

    struct Awaiter {
        StreamSignal *notifier;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) { notifier->m_waiters.push_back(handle); }
        void await_resume() const noexcept {}
    };
    Awaiter wait() { return Awaiter{this}; }

    void notify()
    {
        // Queued on this thread's loop, not on this object: a resumption pending when the
        // notifier is destroyed must still happen.
        for (std::coroutine_handle<> handle : std::exchange(m_waiters, {}))
            QTimer::singleShot(0, [handle] { handle.resume(); });
    }

private:
    std::vector<std::coroutine_handle<>> m_waiters;
};

// An asynchronous sequence of values: the producer pushes and finishes, a reader awaits
// next() until it yields nothing. Copies share one queue. Either side may finish the stream,
// which is how a reader stops listening (QCoro tasks cannot be cancelled). Main thread only.
template<typename T>
class EventStream {
public:
    EventStream() : m_state(std::make_shared<State>()) {}

    void push(T value) const
    {
        if (m_state->finished)
            return;
        m_state->queue.push_back(std::move(value));
        m_state->signal.notify();
    }

    void finish() const
    {
        if (m_state->finished)
            return;
        m_state->finished = true;
        m_state->signal.notify();
    }

    bool isFinished() const { return m_state->finished; }
    std::size_t pending() const { return m_state->queue.size(); }

    // The next value; nothing once the stream is finished and drained. The task keeps the
    // queue alive, so a reader may outlive the producer.
    QCoro::Task<std::optional<T>> next() const { return nextOf(m_state); }

private:
    struct State {
        std::deque<T> queue;
        bool finished = false;
        StreamSignal signal;
    };

    static QCoro::Task<std::optional<T>> nextOf(std::shared_ptr<State> state)
    {
        while (state->queue.empty() && !state->finished)
            co_await state->signal.wait();
        if (state->queue.empty())
            co_return std::nullopt;
        T value = std::move(state->queue.front());
        state->queue.pop_front();
        co_return value;
    }

    std::shared_ptr<State> m_state;
};

} // namespace supabase
