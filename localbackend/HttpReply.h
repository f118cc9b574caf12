#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>

namespace tindrel::localbackend {

// One HTTP answer: status, headers (Content-Length is added when it is sent) and body.
struct HttpReply {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    static HttpReply json(int status, const QJsonObject &object);
    static HttpReply json(int status, const QJsonArray &array);
    static HttpReply text(int status, const QByteArray &body,
                          const QByteArray &contentType = "text/plain; charset=utf-8");
    static HttpReply empty(int status);

    HttpReply &withHeader(const QByteArray &name, const QByteArray &value);
    // Replaces every header of that name (case-insensitive).
    HttpReply &setHeader(const QByteArray &name, const QByteArray &value);
    QByteArray header(const QByteArray &name) const;
};

} // namespace tindrel::localbackend
