#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <optional>

class QHttpServerRequest;

namespace tindrel::localbackend {

// A copy of what the handlers need from one HTTP request, so a request can outlive the
// server's own object (delayed faults, work on another thread).
struct HttpRequest {
    QByteArray method;
    QUrl url;
    QString path;
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    static HttpRequest from(const QHttpServerRequest &request);

    // Case-insensitive; the empty array when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    // The bearer token of "Authorization", or the empty array.
    QByteArray bearerToken() const;
    // The body as a JSON object; none when it is not one.
    std::optional<QJsonObject> jsonObject(QString *error = nullptr) const;
};

} // namespace tindrel::localbackend
