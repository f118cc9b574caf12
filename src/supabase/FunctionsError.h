#pragma once

#include "supabase/HttpExchange.h"

#include <QByteArray>
#include <QString>

#include <exception>

namespace supabase {

// A failed edge-function call. Http: the function (or the platform) answered outside 2xx;
// status and raw body are kept for the caller to decode. Relay: the platform's relay failed
// ("x-relay-error: true"). Fetch: no answer (network error or time-out).
class FunctionsError : public std::exception {
public:
    enum class Kind { Fetch, Relay, Http };

    FunctionsError(Kind kind, QString message, int status = 0, QByteArray body = {}, HeaderList headers = {},
                   bool timedOut = false);

    const char *what() const noexcept override { return m_utf8.constData(); }
    Kind kind() const { return m_kind; }
    QString message() const { return m_message; }
    int status() const { return m_status; }
    QByteArray body() const { return m_body; }
    HeaderList headers() const { return m_headers; }
    bool timedOut() const { return m_timedOut; }
    // The platform's code from "sb-error-code" ("NOT_FOUND", "IDLE_TIMEOUT", …), if any.
    QString platformCode() const;

private:
    Kind m_kind;
    QString m_message;
    int m_status;
    QByteArray m_body;
    HeaderList m_headers;
    bool m_timedOut;
    QByteArray m_utf8;
};

} // namespace supabase
