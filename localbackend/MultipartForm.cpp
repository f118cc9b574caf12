#include "MultipartForm.h"

#include <QRegularExpression>

namespace tindrel::localbackend {
namespace {

QByteArray boundaryOf(const QByteArray &contentType)
{
    if (!contentType.trimmed().toLower().startsWith("multipart/form-data"))
        return {};
    for (const QByteArray &param : contentType.split(';')) {
        const QByteArray trimmed = param.trimmed();
        if (trimmed.toLower().startsWith("boundary=")) {
            QByteArray value = trimmed.mid(9);
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.mid(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

QString dispositionValue(const QByteArray &header, const char *name)
{
    const QRegularExpression pattern(QStringLiteral("(?:^|;)\\s*%1=\"([^\"]*)\"").arg(QLatin1String(name)),
                                     QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(QString::fromUtf8(header));
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

std::optional<MultipartForm> MultipartForm::parse(const QByteArray &contentType, const QByteArray &body)
{
    const QByteArray boundary = boundaryOf(contentType);
    if (boundary.isEmpty() || boundary.size() > 200)
        return std::nullopt;
    const QByteArray delimiter = "--" + boundary;
    MultipartForm form;
    qsizetype position = body.indexOf(delimiter);
    if (position < 0)
        return std::nullopt;
    while (true) {
        position += delimiter.size();
        if (body.mid(position, 2) == "--")
            return form; // closing delimiter
        if (body.mid(position, 2) != "\r\n")
            return std::nullopt;
        position += 2;
        const qsizetype headersEnd = body.indexOf("\r\n\r\n", position);
        if (headersEnd < 0)
            return std::nullopt;
        Part part;
        for (const QByteArray &line : body.mid(position, headersEnd - position).split('\n')) {
            const QByteArray trimmed = line.trimmed();
            const qsizetype colon = trimmed.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = trimmed.left(colon).trimmed().toLower();
            const QByteArray value = trimmed.mid(colon + 1).trimmed();
            if (name == "content-disposition") {
                part.name = dispositionValue(value, "name");
                part.filename = dispositionValue(value, "filename");
            } else if (name == "content-type") {
                part.contentType = value;
            }
        }
        const qsizetype dataStart = headersEnd + 4;
        const qsizetype next = body.indexOf("\r\n" + delimiter, dataStart);
        if (next < 0)
            return std::nullopt;
        part.data = body.mid(dataStart, next - dataStart);
        form.m_parts.append(part);
        position = next + 2;
    }
}

const MultipartForm::Part *MultipartForm::part(const QString &name) const
{
    for (const Part &p : m_parts) {
        if (p.name == name)
            return &p;
    }
    return nullptr;
}

const MultipartForm::Part *MultipartForm::filePart(const QString &name) const
{
    if (const Part *named = part(name))
        return named;
    for (const Part &p : m_parts) {
        if (!p.filename.isEmpty())
            return &p;
    }
    return nullptr;
}

QString MultipartForm::field(const QString &name) const
{
    const Part *p = part(name);
    return p ? QString::fromUtf8(p->data) : QString();
}

} // namespace tindrel::localbackend
