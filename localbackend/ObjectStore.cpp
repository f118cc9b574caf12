#include "ObjectStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace tindrel::localbackend {

ObjectStore::ObjectStore(const QString &root) : m_root(root) {}

bool ObjectStore::isValidKey(const QString &key)
{
    static const QRegularExpression segment(QStringLiteral("^[A-Za-z0-9._-]{1,200}$"));
    if (key.isEmpty() || key.size() > 1024)
        return false;
    const QStringList parts = key.split(u'/');
    for (const QString &part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String("..") || !segment.match(part).hasMatch())
            return false;
    }
    return true;
}

QString ObjectStore::filePath(const QString &bucket, const QString &key) const
{
    if (m_root.isEmpty() || !isValidKey(bucket) || !isValidKey(key))
        return {};
    return m_root + u'/' + bucket + u'/' + key;
}

bool ObjectStore::write(const QString &bucket, const QString &key, const QByteArray &data)
{
    if (!isValidKey(bucket) || !isValidKey(key))
        return false;
    if (m_root.isEmpty()) {
        m_memory.insert(bucket + u'/' + key, data);
        return true;
    }
    const QString path = filePath(bucket, key);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

std::optional<QByteArray> ObjectStore::read(const QString &bucket, const QString &key) const
{
    if (!isValidKey(bucket) || !isValidKey(key))
        return std::nullopt;
    if (m_root.isEmpty()) {
        const auto it = m_memory.constFind(bucket + u'/' + key);
        if (it == m_memory.constEnd())
            return std::nullopt;
        return *it;
    }
    QFile file(filePath(bucket, key));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool ObjectStore::exists(const QString &bucket, const QString &key) const
{
    if (!isValidKey(bucket) || !isValidKey(key))
        return false;
    if (m_root.isEmpty())
        return m_memory.contains(bucket + u'/' + key);
    return QFileInfo(filePath(bucket, key)).isFile();
}

bool ObjectStore::remove(const QString &bucket, const QString &key)
{
    if (!isValidKey(bucket) || !isValidKey(key))
        return false;
    if (m_root.isEmpty())
        return m_memory.remove(bucket + u'/' + key) > 0;
    return QFile::remove(filePath(bucket, key));
}

} // namespace tindrel::localbackend
