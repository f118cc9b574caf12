#include "PasswordHasher.h"

#include "Secrets.h"

#include <QPasswordDigestor>
#include <QStringList>

namespace tindrel::localbackend {
namespace {

constexpr int keyLength = 32;
constexpr int saltLength = 16;

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, iterations,
                                              keyLength);
}

} // namespace

QString PasswordHasher::hash(const QString &password, int iterations)
{
    const QByteArray salt = randomBytes(saltLength);
    return QStringLiteral("pbkdf2-sha256$%1$%2$%3")
        .arg(iterations)
        .arg(QString::fromLatin1(salt.toBase64()), QString::fromLatin1(derive(password, salt, iterations).toBase64()));
}

bool PasswordHasher::verify(const QString &password, const QString &stored)
{
    const QStringList parts = stored.split(u'$');
    if (parts.size() != 4 || parts[0] != QLatin1String("pbkdf2-sha256"))
        return false;
    bool ok = false;
    const int iterations = parts[1].toInt(&ok);
    if (!ok || iterations < 1)
        return false;
    const QByteArray salt = QByteArray::fromBase64(parts[2].toLatin1());
    const QByteArray expected = QByteArray::fromBase64(parts[3].toLatin1());
    const QByteArray actual = derive(password, salt, iterations);
    return !expected.isEmpty() && constantTimeEquals(actual, expected);
}

} // namespace tindrel::localbackend
