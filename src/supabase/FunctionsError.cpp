#include "supabase/FunctionsError.h"

namespace supabase {

FunctionsError::FunctionsError(Kind kind, QString message, int status, QByteArray body, HeaderList headers,
                               bool timedOut)
    : m_kind(kind), m_message(std::move(message)), m_status(status), m_body(std::move(body)),
      m_headers(std::move(headers)), m_timedOut(timedOut), m_utf8(m_message.toUtf8())
{}

QString FunctionsError::platformCode() const { return QString::fromUtf8(headerValue(m_headers, "sb-error-code")); }

} // namespace supabase
