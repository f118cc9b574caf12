#include "PendingResponse.h"

namespace tindrel::localbackend {

PendingResponse::PendingResponse(QHttpServerResponder &&responder)
    : m_responder(std::move(responder)), m_socket(m_responder.socket())
{}

bool PendingResponse::isConnected() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }

void PendingResponse::send(const HttpReply &reply)
{
    if (m_done || !isConnected())
        return;
    m_done = true;
    m_responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
    for (const auto &[name, value] : reply.headers)
        m_responder.writeHeader(name, value);
    m_responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    m_responder.writeBody(reply.body);
}

void PendingResponse::drop()
{
    if (m_done || !isConnected())
        return;
    m_done = true;
    m_socket->abort();
}

} // namespace tindrel::localbackend
