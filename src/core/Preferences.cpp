#include "core/Preferences.h"

namespace tindrel {

qint64 Preferences::integer(const QString &key) const
{
    const QVariant v = value(key);
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    if (ok)
        return n;
    const double d = v.toDouble(&ok);
    // Converting a double outside qint64's range (or NaN) is undefined; such a value is unusable.
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (!ok || !(d > -limit && d < limit))
        return 0;
    return static_cast<qint64>(d);
}

double Preferences::real(const QString &key) const
{
    bool ok = false;
    const double d = value(key).toDouble(&ok);
    return ok ? d : 0.0;
}

bool Preferences::boolean(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString().trimmed().toLower();
        return s == u"true" || s == u"yes" || s.toLongLong() != 0;
    }
    return v.toBool();
}

std::optional<QString> Preferences::string(const QString &key) const
{
    const QVariant v = value(key);
    if (!v.isValid() || v.typeId() == QMetaType::QStringList || v.typeId() == QMetaType::QVariantList
        || v.typeId() == QMetaType::QVariantMap)
        return std::nullopt;
    return v.toString();
}

std::optional<QStringList> Preferences::stringList(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QStringList || v.typeId() == QMetaType::QVariantList)
        return v.toStringList();
    // A single-element list may come back from a text store as a plain string.
    if (v.typeId() == QMetaType::QString)
        return QStringList{v.toString()};
    return std::nullopt;
}

} // namespace tindrel
