#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

namespace tindrel::localbackend {

// Stored objects as files under one folder: "<root>/<bucket>/<key>". Keys are checked
// before they touch the file system, and writes go to a temporary file that is renamed
// into place, so an object is either complete or absent.
class ObjectStore {
public:
    // `root` empty: objects are kept in memory only (the --memory mode).
    explicit ObjectStore(const QString &root);

    // A key is one or more segments of [A-Za-z0-9._-], no "." or ".." segment, no empty one.
    static bool isValidKey(const QString &key);

    bool write(const QString &bucket, const QString &key, const QByteArray &data);
    std::optional<QByteArray> read(const QString &bucket, const QString &key) const;
    bool exists(const QString &bucket, const QString &key) const;
    bool remove(const QString &bucket, const QString &key);
    // The file of an object, for readers that decode it (empty in memory mode).
    QString filePath(const QString &bucket, const QString &key) const;

private:
    QString m_root;
    QHash<QString, QByteArray> m_memory;
};

} // namespace tindrel::localbackend
