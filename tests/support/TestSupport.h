#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

namespace tindrel::test {

// Marks the process as a test host (so nothing touches the user's real stores) and sends
// QStandardPaths to test locations. Called by TINDREL_TEST_MAIN before the application exists.
void prepareTestHost();

// The outcome of a coroutine: its value, or the exception it threw.
template<typename T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
    bool finished = false;

    // Rethrows the error, if any, so QVERIFY_THROWS_EXCEPTION-style checks can use it.
    T get() const
    {
        if (error)
            std::rethrow_exception(error);
        if (!value)
            throw std::runtime_error("task did not finish");
        return *value;
    }
};

template<>
struct Outcome<void> {
    std::exception_ptr error;
    bool finished = false;
    void get() const
    {
        if (error)
            std::rethrow_exception(error);
        if (!finished)
            throw std::runtime_error("task did not finish");
    }
};

// Runs `task` on this thread's event loop until it finishes or `timeout` passes.
// (QCoro::waitFor hangs when the task throws; this returns the exception as a value.)
// A task still running at the time-out goes on later: it reports into state of its own,
// never into this call's finished frame.
template<typename T>
Outcome<T> run(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(30))
{
    struct Shared {
        Outcome<T> outcome;
        QEventLoop *loop = nullptr;
    };
    auto shared = std::make_shared<Shared>();
    QEventLoop loop;
    shared->loop = &loop;
    auto wrapper = [](QCoro::Task<T> inner, std::shared_ptr<Shared> state) -> QCoro::Task<void> {
        try {
            if constexpr (std::is_void_v<T>)
                co_await std::move(inner);
            else
                state->outcome.value = co_await std::move(inner);
        } catch (...) {
            state->outcome.error = std::current_exception();
        }
        state->outcome.finished = true;
        if (state->loop)
            state->loop->quit();
    }(std::move(task), shared);
    if (!shared->outcome.finished) {
        // Blocks until events arrive (the deadline timer is one) instead of polling.
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(timeout);
        while (!shared->outcome.finished && deadline.isActive())
            loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    shared->loop = nullptr;
    if (!shared->outcome.finished)
        qWarning("tindrel::test::run: task did not finish within %lld ms", static_cast<long long>(timeout.count()));
    return std::move(shared->outcome);
}

// Type-erased error text of an outcome ("" when it succeeded).
template<typename T>
QString errorText(const Outcome<T> &outcome)
{
    if (!outcome.error)
        return {};
    try {
        std::rethrow_exception(outcome.error);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown exception");
    }
}

} // namespace tindrel::test

#ifdef QT_WIDGETS_LIB
#include <QApplication>
#define TINDREL_TEST_APPLICATION QApplication
#else
#include <QGuiApplication>
#define TINDREL_TEST_APPLICATION QGuiApplication
#endif

// A test main that marks the test host first; QApplication when the test links Widgets.
#define TINDREL_TEST_MAIN(TestObject)                                                                                  \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        tindrel::test::prepareTestHost();                                                                              \
        TINDREL_TEST_APPLICATION app(argc, argv);                                                                      \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }

#define TINDREL_TEST_GUILESS_MAIN(TestObject)                                                                          \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        tindrel::test::prepareTestHost();                                                                              \
        QCoreApplication app(argc, argv);                                                                              \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
