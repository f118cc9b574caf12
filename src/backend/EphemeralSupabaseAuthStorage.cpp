#include "backend/EphemeralSupabaseAuthStorage.h"

namespace tindrel {

void EphemeralSupabaseAuthStorage::store(const QString &key, const QByteArray &value)
{
    QMutexLocker locker(&m_lock);
    m_values.insert(key, value);
}

std::optional<QByteArray> EphemeralSupabaseAuthStorage::retrieve(const QString &key)
{
    QMutexLocker locker(&m_lock);
    const auto it = m_values.constFind(key);
    if (it == m_values.cend())
        return std::nullopt;
    return *it;
}

void EphemeralSupabaseAuthStorage::remove(const QString &key)
{
    QMutexLocker locker(&m_lock);
    m_values.remove(key);
}

} // namespace tindrel
