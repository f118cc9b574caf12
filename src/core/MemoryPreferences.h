#pragma once

#include "core/Preferences.h"

#include <QVariantMap>

namespace tindrel {

// An in-memory store for tests: keeps values with their types and counts flushes.
class MemoryPreferences final : public Preferences {
public:
    MemoryPreferences() = default;
    explicit MemoryPreferences(QVariantMap initial) : m_values(std::move(initial)) {}

    bool contains(const QString &key) const override { return m_values.contains(key); }
    QVariant value(const QString &key) const override { return m_values.value(key); }
    void setValue(const QString &key, const QVariant &value) override { m_values.insert(key, value); }
    void remove(const QString &key) override { m_values.remove(key); }
    void flush() override { ++m_flushCount; }

    const QVariantMap &values() const { return m_values; }
    int flushCount() const { return m_flushCount; }

private:
    QVariantMap m_values;
    int m_flushCount = 0;
};

} // namespace tindrel
