#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace tindrel::localbackend {

// The text form a Postgres timestamptz column has in JSON replies:
// "2026-05-01T12:30:00.123000+00:00" (microseconds, numeric offset). Fixed width in UTC,
// so these texts also sort and compare in time order.
QString postgresTimestamp(const QDateTime &time);
// RFC 3339 with milliseconds and "Z", as the auth server writes user timestamps and as
// realtime writes commit timestamps.
QString isoTimestamp(const QDateTime &time);
// Reads an ISO 8601 date-time (any offset, optional fraction) or a bare date (its start in
// UTC); none for anything else.
std::optional<QDateTime> parseTimestamp(const QString &text);

} // namespace tindrel::localbackend
