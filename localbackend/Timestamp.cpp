#include "Timestamp.h"

#include <QRegularExpression>

namespace tindrel::localbackend {

QString postgresTimestamp(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QStringLiteral("000+00:00");
}

QString isoTimestamp(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

std::optional<QDateTime> parseTimestamp(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.size() == 10) {
        const QDate date = QDate::fromString(trimmed, Qt::ISODate);
        if (date.isValid())
            return QDateTime(date, QTime(0, 0), Qt::UTC);
        return std::nullopt;
    }
    QDateTime time = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
    if (!time.isValid()) {
        // Postgres writes microseconds; Qt reads at most milliseconds.
        static const QRegularExpression fraction(QStringLiteral("(\\.\\d{3})\\d+"));
        QString shortened = trimmed;
        shortened.replace(fraction, QStringLiteral("\\1"));
        time = QDateTime::fromString(shortened, Qt::ISODateWithMs);
    }
    if (!time.isValid())
        return std::nullopt;
    if (time.timeSpec() == Qt::LocalTime)
        time.setTimeSpec(Qt::UTC);
    return time.toUTC();
}

} // namespace tindrel::localbackend
