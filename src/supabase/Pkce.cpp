#include "supabase/Pkce.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace supabase::pkce {

QString generateVerifier()
{
    QByteArray bytes(64, Qt::Uninitialized);
    // The system generator draws from the operating system's CSPRNG.
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString challenge(const QString &verifier)
{
    const QByteArray digest = QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace supabase::pkce
