#pragma once

#include <QNetworkRequest>
#include <QString>

#include <optional>

namespace tindrel {

// The value every caller passes as the client platform.
inline constexpr const char *clientPlatform = "macos";

// Completes an edge-function request that already has its URL, method, content headers and
// "apikey": Authorization (unless present), X-Request-Id, X-Device-Id, X-Client-Platform and
// X-App-Version (unless present). Returns the request id put on the request. Never fails.
QString applyCommonHeaders(QNetworkRequest &request, const QString &accessToken, const QString &platform,
                           const std::optional<QString> &requestId = std::nullopt);

// An upper-case canonical UUID, as used for request identifiers.
QString makeRequestIdentifier();

} // namespace tindrel
