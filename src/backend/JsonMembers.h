#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <optional>

// Strict decoding of reply records: a member of the wrong type fails the whole record, as a
// missing required member does; null counts as absent for optional members.
namespace tindrel::json {

inline std::optional<QJsonObject> decodeObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

inline bool requiredString(const QJsonObject &object, QStringView name, QString &out)
{
    const QJsonValue value = object.value(name);
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

inline bool optionalString(const QJsonObject &object, QStringView name, std::optional<QString> &out)
{
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

} // namespace tindrel::json
