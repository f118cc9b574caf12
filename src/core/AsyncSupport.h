#pragma once

#include "core/CancellationToken.h"
#include "core/Log.h"

#include <QCoroTask>
#include <QCoroTimer>
#include <QTimer>

#include <chrono>
#include <exception>

namespace tindrel {

// Waits `duration`, or less when `token` is cancelled first. Never throws for cancellation:
// callers decide whether a cancelled wait ends their flow.
QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, CancellationToken token = {});

// Starts a fire-and-forget task. Detached tasks would swallow exceptions silently, so
// everything is caught here and logged under `component`.
template<typename Task>
void detachTask(QStringView component, Task &&task)
{
    [](QString name, std::decay_t<Task> inner) -> QCoro::Task<void> {
        try {
            co_await std::move(inner);
        } catch (const CancelledError &) { // NOLINT(bugprone-empty-catch): a cancelled task ends quietly
        } catch (const std::exception &error) {
            logLine(name, QStringLiteral("Background task failed: %1").arg(QString::fromUtf8(error.what())));
        } catch (...) {
            logLine(name, QStringLiteral("Background task failed"));
        }
    }(component.toString(), std::forward<Task>(task));
}

} // namespace tindrel
