#include "core/AsyncSupport.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QThread>

#include <atomic>

using namespace tindrel;
using namespace std::chrono_literals;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
// Locals of a returned function stay poisoned, so a coroutine that writes into a frame it
// outlived is reported.
extern "C" const char *__asan_default_options() { return "detect_stack_use_after_return=1"; }
#endif
#endif

namespace {

QCoro::Task<int> waitThenFlag(CancellationToken token, bool *ended)
{
    co_await sleepFor(std::chrono::hours(1), token);
    *ended = true;
    co_return 1;
}

// The outcome lives in this function's frame, gone when the task ends.
bool finishedInTime(CancellationToken token, bool *ended)
{
    return test::run(waitThenFlag(std::move(token), ended), std::chrono::milliseconds(20)).finished;
}

} // namespace

class TestCancellation : public QObject {
    Q_OBJECT
private slots:
    void sleepEndsEarlyWhenCancelled()
    {
        CancellationToken token;
        QTimer::singleShot(50, [token] { token.cancel(); });
        QElapsedTimer clock;
        clock.start();
        test::run(sleepFor(10s, token)).get();
        QVERIFY(clock.elapsed() < 5000);
    }

    void sleepRunsItsCourseWithoutCancel()
    {
        QElapsedTimer clock;
        clock.start();
        test::run(sleepFor(100ms)).get();
        QVERIFY(clock.elapsed() >= 90);
    }

    void cancelFromAnotherThreadWakesTheWaiter()
    {
        CancellationToken token;
        std::unique_ptr<QThread> thread(QThread::create([token] {
            QThread::msleep(30);
            token.cancel();
        }));
        thread->start();
        test::run(sleepFor(10s, token)).get();
        thread->wait();
        QVERIFY(token.isCancelled());
    }

    void callbacksRunOnceAndRegistrationsUnregister()
    {
        CancellationToken token;
        int kept = 0;
        int dropped = 0;
        auto keep = token.onCancel([&] { ++kept; });
        {
            auto drop = token.onCancel([&] { ++dropped; });
        }
        token.cancel();
        token.cancel();
        QCOMPARE(kept, 1);
        QCOMPARE(dropped, 0);
        int late = 0;
        auto lateRegistration = token.onCancel([&] { ++late; });
        QCOMPARE(late, 1);
    }

    // A waiter that ends on its own unregisters while another thread may be running its
    // callback; the callback's captures (the waiter's locals) must outlive that run.
    void resetWaitsForACallbackRunningOnAnotherThread()
    {
        CancellationToken token;
        QSemaphore started;
        QSemaphore proceed;
        std::atomic<bool> done = false;
        auto registration = token.onCancel([&] {
            started.release();
            proceed.acquire();
            done = true;
        });
        std::unique_ptr<QThread> canceller(QThread::create([token] { token.cancel(); }));
        canceller->start();
        started.acquire();
        std::unique_ptr<QThread> releaser(QThread::create([&proceed] {
            QThread::msleep(100);
            proceed.release();
        }));
        releaser->start();
        registration.reset();
        QVERIFY(done);
        canceller->wait();
        releaser->wait();
    }

    // The owner of a token may go away in a callback of that very token.
    void callbackMayDestroyTheToken()
    {
        auto token = std::make_unique<CancellationToken>();
        int later = 0;
        auto first = token->onCancel([&] { token.reset(); });
        auto second = token->onCancel([&] { ++later; });
        token->cancel();
        QVERIFY(!token);
        QCOMPARE(later, 1);
    }

    // A task still running when the test helper gives up ends later, after the helper's frame
    // is gone.
    void runOutlivedByItsTask()
    {
        CancellationToken token;
        bool ended = false;
        QVERIFY(!finishedInTime(token, &ended));
        token.cancel();
        QTRY_VERIFY(ended);
    }

    void detachedTaskFailuresAreCaught()
    {
        static QStringList lines;
        setLogSink([](const QString &line) { lines << line; });
        detachTask(u"Test", []() -> QCoro::Task<void> {
            co_await sleepFor(1ms);
            throw std::runtime_error("boom");
        }());
        QTRY_COMPARE(lines.size(), 1);
        QCOMPARE(lines.first(), QStringLiteral("[Test] Background task failed: boom"));
        setLogSink(nullptr);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestCancellation)
#include "tst_cancellation.moc"
