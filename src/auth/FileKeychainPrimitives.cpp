#include "auth/FileKeychainPrimitives.h"

#include "auth/KeychainStatus.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tindrel {

FileKeychainPrimitives::FileKeychainPrimitives(QString directory) : m_directory(std::move(directory)) {}

QString FileKeychainPrimitives::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/keychain");
}

QString FileKeychainPrimitives::itemPath(const QString &service, const QString &account) const
{
    // Service and account may hold any character; a digest of both (length-prefixed, so no
    // two pairs share a name) keeps file names short and safe.
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(s.size()) + ':' + s + QByteArray::number(a.size()) + ':' + a);
    return m_directory + u'/' + QString::fromLatin1(hash.result().toHex()) + QStringLiteral(".item");
}

bool FileKeychainPrimitives::ensureDirectory() const
{
    if (!QDir().mkpath(m_directory))
        return false;
    // Tighten a folder that someone (or an older build) created with a looser mode.
    return ::chmod(QFile::encodeName(m_directory).constData(), S_IRWXU) == 0;
}

qint32 FileKeychainPrimitives::write(const QString &path, const QByteArray &data) const
{
    if (!ensureDirectory())
        return KeychainStatus::ioError;
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";
    // mkstemp creates the file with mode 0600.
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return KeychainStatus::ioError;
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, static_cast<size_t>(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool complete = written == data.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !complete || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return KeychainStatus::ioError;
    }
    return KeychainStatus::success;
}

qint32 FileKeychainPrimitives::update(const QString &service, const QString &account, const QByteArray &data)
{
    const QString path = itemPath(service, account);
    if (!QFile::exists(path))
        return KeychainStatus::itemNotFound;
    return write(path, data);
}

qint32 FileKeychainPrimitives::add(const QString &service, const QString &account, const QByteArray &data)
{
    const QString path = itemPath(service, account);
    if (QFile::exists(path))
        return KeychainStatus::duplicateItem;
    return write(path, data);
}

KeychainCopyResult FileKeychainPrimitives::copy(const QString &service, const QString &account)
{
    QFile file(itemPath(service, account));
    if (!file.exists())
        return {KeychainStatus::itemNotFound, {}};
    if (!file.open(QIODevice::ReadOnly))
        return {KeychainStatus::ioError, {}};
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {KeychainStatus::ioError, {}};
    return {KeychainStatus::success, data};
}

qint32 FileKeychainPrimitives::remove(const QString &service, const QString &account)
{
    const QByteArray path = QFile::encodeName(itemPath(service, account));
    if (::unlink(path.constData()) == 0)
        return KeychainStatus::success;
    return errno == ENOENT ? KeychainStatus::itemNotFound : KeychainStatus::ioError;
}

} // namespace tindrel
