#pragma once

#include <QJsonObject>
#include <QNetworkRequest>
#include <QString>

#include <optional>

namespace tindrel {

// The value every caller passes as the client platform.
inline constexpr const char *clientPlatform = "macos";

// The process-wide values the frame puts on each request; tests pass their own.
struct RequestFrameContext {
    QString deviceIdentifier;
    std::optional<QJsonObject> bundleInfo;

    // deviceIdentifier() and BundleInfo::main().
    static RequestFrameContext process();
};

// Completes an edge-function request that already has its URL, method, content headers and
// "apikey": Authorization (unless present), X-Request-Id, X-Device-Id, X-Client-Platform and
// X-App-Version (unless present). Returns the request id put on the request. Never fails.
QString applyCommonHeaders(QNetworkRequest &request, const QString &accessToken, const QString &platform,
                           const std::optional<QString> &requestId = std::nullopt);
QString applyCommonHeaders(QNetworkRequest &request, const QString &accessToken, const QString &platform,
                           const std::optional<QString> &requestId, const RequestFrameContext &context);

// An upper-case canonical UUID, as used for request identifiers.
QString makeRequestIdentifier();

// False for text with control characters (line breaks above all), which Qt would write into
// the request as they are and so split the header.
bool isSafeHeaderValue(QStringView value);

} // namespace tindrel
