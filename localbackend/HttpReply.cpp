#include "HttpReply.h"

#include <QJsonDocument>

namespace tindrel::localbackend {

HttpReply HttpReply::json(int status, const QJsonObject &object)
{
    return text(status, QJsonDocument(object).toJson(QJsonDocument::Compact), "application/json");
}

HttpReply HttpReply::json(int status, const QJsonArray &array)
{
    return text(status, QJsonDocument(array).toJson(QJsonDocument::Compact), "application/json");
}

HttpReply HttpReply::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    HttpReply reply;
    reply.status = status;
    reply.body = body;
    reply.headers.append({"Content-Type", contentType});
    return reply;
}

HttpReply HttpReply::empty(int status)
{
    HttpReply reply;
    reply.status = status;
    return reply;
}

HttpReply &HttpReply::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
    return *this;
}

HttpReply &HttpReply::setHeader(const QByteArray &name, const QByteArray &value)
{
    headers.removeIf([&name](const auto &header) { return header.first.compare(name, Qt::CaseInsensitive) == 0; });
    headers.append({name, value});
    return *this;
}

QByteArray HttpReply::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

} // namespace tindrel::localbackend
