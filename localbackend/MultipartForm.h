#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace tindrel::localbackend {

// A parsed multipart/form-data body.
class MultipartForm {
public:
    struct Part {
        QString name;
        QString filename;
        QByteArray contentType;
        QByteArray data;
    };

    // None when the content type has no boundary or the body does not follow it.
    static std::optional<MultipartForm> parse(const QByteArray &contentType, const QByteArray &body);

    const Part *part(const QString &name) const;
    // The first part that carries a file name (or the part named `name`).
    const Part *filePart(const QString &name) const;
    QString field(const QString &name) const;

private:
    QList<Part> m_parts;
};

} // namespace tindrel::localbackend
