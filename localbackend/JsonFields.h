#pragma once

#include <QJsonObject>
#include <QString>

namespace tindrel::localbackend {

// Typed reads of request members. Absent or null members give the fallback; a member of
// another type (or a fraction where a whole number is due) also sets `*ok` to false, so a
// handler can check a whole body and answer once.
QString jsonString(const QJsonObject &object, const char *name, bool *ok);
qint64 jsonInteger(const QJsonObject &object, const char *name, qint64 fallback, bool *ok);

} // namespace tindrel::localbackend
