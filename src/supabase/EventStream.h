#pragma once

#include <QCoroSignal>
#include <QCoroTask>
#include <QObject>

#include <deque>
#include <memory>
#include <optional>

namespace supabase {

// Wakes the readers of an EventStream; templates cannot carry signals themselves.
class StreamSignal : public QObject {
    Q_OBJECT
public:
    explicit StreamSignal(QObject *parent = nullptr) : QObject(parent) {}
signals:
    void changed();
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
        emit m_state->signal.changed();
    }

    void finish() const
    {
        if (m_state->finished)
            return;
        m_state->finished = true;
        emit m_state->signal.changed();
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
            co_await qCoro(&state->signal, &StreamSignal::changed);
        if (state->queue.empty())
            co_return std::nullopt;
        T value = std::move(state->queue.front());
        state->queue.pop_front();
        co_return value;
    }

    std::shared_ptr<State> m_state;
};

} // namespace supabase
