#pragma once

#include "supabase/HttpExchange.h"

#include <QDateTime>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>

class QNetworkAccessManager;

namespace supabase {

// What the auth, functions and realtime clients of one SupabaseClient share: the project's
// address and key, the HTTP session, the common headers, the time-out and the clock.
struct ClientContext {
    QUrl baseUrl;
    QString apiKey;
    QNetworkAccessManager *network = nullptr;
    HeaderList headers;
    std::chrono::milliseconds requestTimeout{30000};
    std::function<QDateTime()> clock;

    qint64 nowSeconds() const { return (clock ? clock() : QDateTime::currentDateTimeUtc()).toSecsSinceEpoch(); }

    // base URL + path (the base's own path is kept, a trailing slash dropped).
    QUrl serviceUrl(const QString &path) const;

    // A request to `url` carrying "apikey", the global headers and the client information.
    QNetworkRequest request(const QUrl &url) const;

    // New-format keys ("sb_publishable_…") are not JWTs and must never travel as a bearer token.
    bool apiKeyIsJwt() const { return !apiKey.startsWith(QLatin1String("sb_")); }
};

} // namespace supabase
