#pragma once

#include "supabase/SessionStorage.h"

#include <QMap>
#include <QMutex>

// The session storage the library tests give the client.
class MemorySessionStorage : public supabase::SessionStorage {
public:
    void store(const QString &key, const QByteArray &value) override
    {
        QMutexLocker locker(&m_lock);
        m_values.insert(key, value);
    }
    std::optional<QByteArray> retrieve(const QString &key) override
    {
        QMutexLocker locker(&m_lock);
        const auto it = m_values.constFind(key);
        return it == m_values.cend() ? std::nullopt : std::optional<QByteArray>(*it);
    }
    void remove(const QString &key) override
    {
        QMutexLocker locker(&m_lock);
        m_values.remove(key);
    }

private:
    QMutex m_lock;
    QMap<QString, QByteArray> m_values;
};
