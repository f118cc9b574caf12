#include "HttpRequest.h"

#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QMetaEnum>

namespace tindrel::localbackend {

HttpRequest HttpRequest::from(const QHttpServerRequest &request)
{
    HttpRequest copy;
    const auto methods = QMetaEnum::fromType<QHttpServerRequest::Method>();
    copy.method = QByteArray(methods.valueToKey(static_cast<int>(request.method()))).toUpper();
    copy.url = request.url();
    copy.path = request.url().path(QUrl::FullyDecoded);
    copy.query = request.query();
    copy.headers = request.headers();
    copy.body = request.body();
    return copy;
}

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool HttpRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray HttpRequest::bearerToken() const
{
    const QByteArray value = header("authorization").trimmed();
    if (value.size() < 7 || value.left(7).compare("bearer ", Qt::CaseInsensitive) != 0)
        return {};
    return value.mid(7).trimmed();
}

std::optional<QJsonObject> HttpRequest::jsonObject(QString *error) const
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error)
            *error = parseError.errorString();
        return std::nullopt;
    }
    if (!doc.isObject()) {
        if (error)
            *error = QStringLiteral("expected a JSON object");
        return std::nullopt;
    }
    return doc.object();
}

} // namespace tindrel::localbackend
