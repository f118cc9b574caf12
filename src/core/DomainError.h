#pragma once

#include <QString>

#include <exception>

namespace tindrel {

// The error value of the history and statistics services: a domain ("HistoryService",
// "StatisticsService"), a code (an HTTP status or a fixed code of the service) and the
// user-facing description screens show verbatim.
class DomainError : public std::exception {
public:
    DomainError(QString domain, qint64 code, QString description)
        : m_domain(std::move(domain)), m_code(code), m_description(std::move(description)),
          m_what(m_description.toUtf8())
    {}

    const QString &domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

    friend bool operator==(const DomainError &a, const DomainError &b)
    {
        return a.m_domain == b.m_domain && a.m_code == b.m_code && a.m_description == b.m_description;
    }

private:
    QString m_domain;
    qint64 m_code;
    QString m_description;
    QByteArray m_what;
};

} // namespace tindrel
