#include "core/AsyncSupport.h"

namespace tindrel {

QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, CancellationToken token)
{
    if (token.isCancelled())
        co_return;
    QTimer timer;
    timer.setSingleShot(true);
    // Restarting at zero ends the wait through the timer's own signal, on the timer's thread;
    // the queued call is dropped when the wait has already ended and the timer is gone.
    auto registration = token.onCancel([&timer] {
        QMetaObject::invokeMethod(
            &timer, [&timer] { timer.start(0); }, Qt::QueuedConnection);
    });
    timer.start(duration);
    co_await timer;
}

} // namespace tindrel
