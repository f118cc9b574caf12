#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace tindrel {

// The recording could not be read (missing, unreadable, not a local file).
class FileReadError : public std::exception {
public:
    FileReadError(QString fileName, QString reason);

    const QString &fileName() const { return m_fileName; }
    // The operating system's reason, for the log.
    const QString &reason() const { return m_reason; }

    QString description() const;
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_fileName;
    QString m_reason;
    QByteArray m_what;
};

} // namespace tindrel
