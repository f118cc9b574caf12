#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace tindrel {

// The synthetic paste keystroke could not be sent (no X11 connection, no XTest extension, no
// key for "v"). Callers then try the script fallback.
class AutoPasteError : public std::exception {
public:
    enum class Code { internalError };

    explicit AutoPasteError(QString detail, Code code = Code::internalError);

    Code code() const { return m_code; }
    // Technical reason for the log; not shown to users.
    const QString &detail() const { return m_detail; }
    QString description() const;
    const char *what() const noexcept override { return m_what.constData(); }

private:
    Code m_code;
    QString m_detail;
    QByteArray m_what;
};

} // namespace tindrel
