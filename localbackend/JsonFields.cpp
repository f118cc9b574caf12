#include "JsonFields.h"

#include <cmath>

namespace tindrel::localbackend {

QString jsonString(const QJsonObject &object, const char *name, bool *ok)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isUndefined() || value.isNull())
        return {};
    if (!value.isString()) {
        *ok = false;
        return {};
    }
    return value.toString();
}

qint64 jsonInteger(const QJsonObject &object, const char *name, qint64 fallback, bool *ok)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isUndefined() || value.isNull())
        return fallback;
    const double number = value.toDouble(std::nan(""));
    // Beyond 2^53 doubles stop being whole numbers one can trust.
    if (!value.isDouble() || !std::isfinite(number) || std::floor(number) != number || std::fabs(number) > 9e15) {
        *ok = false;
        return fallback;
    }
    return static_cast<qint64>(number);
}

} // namespace tindrel::localbackend
