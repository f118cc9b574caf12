#pragma once

#include <QDateTime>

#include <functional>

namespace tindrel {

// The current time, injectable so date logic (token expiry, retention, "today") is testable.
using Clock = std::function<QDateTime()>;

inline Clock systemClock()
{
    return [] { return QDateTime::currentDateTimeUtc(); };
}

} // namespace tindrel
