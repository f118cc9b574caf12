#pragma once

#include "auth/KeychainPrimitives.h"

namespace tindrel {

// The file store behind the default-keychain backend, used when no Secret Service is
// reachable: one file per item in a private folder (mode 0700, files 0600). Every write goes
// to a temporary file that is renamed over the item, so a crash never leaves half an item.
class FileKeychainPrimitives final : public KeychainPrimitives {
public:
    explicit FileKeychainPrimitives(QString directory);

    // "<application data directory>/keychain".
    static QString defaultDirectory();

    const QString &directory() const { return m_directory; }
    // The file that holds (service, account); exposed so tests can check modes and contents.
    QString itemPath(const QString &service, const QString &account) const;

    qint32 update(const QString &service, const QString &account, const QByteArray &data) override;
    qint32 add(const QString &service, const QString &account, const QByteArray &data) override;
    KeychainCopyResult copy(const QString &service, const QString &account) override;
    qint32 remove(const QString &service, const QString &account) override;

private:
    bool ensureDirectory() const;
    qint32 write(const QString &path, const QByteArray &data) const;

    QString m_directory;
};

} // namespace tindrel
