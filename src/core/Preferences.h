#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

namespace tindrel {

// The user defaults store: one place to read and write preferences. Typed reads follow
// the store's own conversions (a number stored as text still reads as a number), so both
// implementations behave alike whatever the backing format keeps of types.
class Preferences {
public:
    virtual ~Preferences() = default;

    virtual bool contains(const QString &key) const = 0;
    virtual QVariant value(const QString &key) const = 0;
    virtual void setValue(const QString &key, const QVariant &value) = 0;
    virtual void remove(const QString &key) = 0;
    // Writes pending changes to permanent storage now.
    virtual void flush() = 0;

    // Missing or unconvertible values read as 0 / 0.0 / false / none.
    qint64 integer(const QString &key) const;
    double real(const QString &key) const;
    bool boolean(const QString &key) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<QStringList> stringList(const QString &key) const;
};

} // namespace tindrel
