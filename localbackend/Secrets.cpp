#include "Secrets.h"

#include <QRandomGenerator>

namespace tindrel::localbackend {

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return bytes;
}

QByteArray randomToken(int count)
{
    return randomBytes(count).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace tindrel::localbackend
