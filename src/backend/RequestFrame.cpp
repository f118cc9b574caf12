#include "backend/RequestFrame.h"

#include "backend/DeviceIdentifier.h"
#include "core/BundleInfo.h"

#include <QUuid>

namespace tindrel {

RequestFrameContext RequestFrameContext::process() { return {tindrel::deviceIdentifier(), BundleInfo::main()}; }

QString makeRequestIdentifier() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

bool isSafeHeaderValue(QStringView value)
{
    for (const QChar c : value) {
        if ((c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

QString applyCommonHeaders(QNetworkRequest &request, const QString &accessToken, const QString &platform,
                           const std::optional<QString> &requestId)
{
    return applyCommonHeaders(request, accessToken, platform, requestId, RequestFrameContext::process());
}

QString applyCommonHeaders(QNetworkRequest &request, const QString &accessToken, const QString &platform,
                           const std::optional<QString> &requestId, const RequestFrameContext &context)
{
    // Values are sent exactly as given, so one with a line break is left out (or replaced)
    // rather than allowed to add headers of its own.
    if (!request.hasRawHeader("Authorization")) {
        const QString token = isSafeHeaderValue(accessToken) ? accessToken : QString();
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    }

    const bool usable = requestId && !requestId->trimmed().isEmpty() && isSafeHeaderValue(*requestId);
    const QString id = usable ? *requestId : makeRequestIdentifier();
    request.setRawHeader("X-Request-Id", id.toUtf8());
    request.setRawHeader("X-Device-Id", context.deviceIdentifier.toUtf8());
    if (isSafeHeaderValue(platform))
        request.setRawHeader("X-Client-Platform", platform.toUtf8());

    if (!request.hasRawHeader("X-App-Version") && context.bundleInfo) {
        const QJsonValue version = context.bundleInfo->value(u"CFBundleShortVersionString");
        if (version.isString() && !version.toString().trimmed().isEmpty() && isSafeHeaderValue(version.toString()))
            request.setRawHeader("X-App-Version", version.toString().toUtf8());
    }
    return id;
}

} // namespace tindrel
