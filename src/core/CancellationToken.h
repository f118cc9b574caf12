#pragma once

#include <QMutex>

#include <functional>
#include <memory>
#include <vector>

namespace tindrel {

// Cooperative cancellation for coroutines: QCoro tasks cannot be cancelled from outside,
// so a flow checks its token after each co_await and registers callbacks that end what it
// waits for (abort a reply, stop a timer). Copies share one state; a default-constructed
// token is never cancelled.
class CancellationToken {
public:
    struct State;

    CancellationToken();

    void cancel() const;
    bool isCancelled() const;

    // Runs `callback` on cancel (at once if already cancelled). Callbacks run on the thread
    // that cancels. The returned handle unregisters when destroyed; once reset() returns, the
    // callback has either finished or will never run, so it may capture locals.
    class Registration {
    public:
        Registration() = default;
        Registration(Registration &&) noexcept = default;
        Registration &operator=(Registration &&) noexcept;
        ~Registration();
        void reset();

    private:
        friend class CancellationToken;
        std::weak_ptr<CancellationToken::State> m_state;
        int m_id = 0;
    };
    [[nodiscard]] Registration onCancel(std::function<void()> callback) const;

private:
    std::shared_ptr<State> m_state;
};

// Thrown by flows that stop because their token was cancelled. Never shown to users.
struct CancelledError : std::exception {
    const char *what() const noexcept override { return "cancelled"; }
};

} // namespace tindrel
