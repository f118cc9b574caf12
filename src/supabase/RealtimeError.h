#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace supabase {

// A failed realtime operation: the socket could not connect, the server refused the join
// (its reason text, e.g. "InvalidJWTToken: Token has expired 12 seconds ago"), or no answer
// came in time.
class RealtimeError : public std::exception {
public:
    enum class Kind { Connection, JoinRefused, TimedOut, Closed };

    RealtimeError(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)), m_utf8(m_message.toUtf8())
    {}

    const char *what() const noexcept override { return m_utf8.constData(); }
    Kind kind() const { return m_kind; }
    QString message() const { return m_message; }

private:
    Kind m_kind;
    QString m_message;
    QByteArray m_utf8;
};

} // namespace supabase
