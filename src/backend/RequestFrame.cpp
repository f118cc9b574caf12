// Provisional frame: the device identifier and version rules arrive with the secret-storage work.
#include "backend/RequestFrame.h"

#include <QUuid>

namespace tindrel {

QString makeRequestIdentifier()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString applyCommonHeaders(QNetworkRequest &request, const QString &accessToken, const QString &platform,
                           const std::optional<QString> &requestId)
{
    if (!request.hasRawHeader("Authorization"))
        request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    const QString id = (requestId && !requestId->trimmed().isEmpty()) ? *requestId : makeRequestIdentifier();
    request.setRawHeader("X-Request-Id", id.toUtf8());
    request.setRawHeader("X-Client-Platform", platform.toUtf8());
    return id;
}

} // namespace tindrel
