#pragma once

#include "HttpReply.h"

#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpSocket>

namespace tindrel::localbackend {

// A responder kept for a later answer (delayed faults, transcription on a worker thread).
// The server's responder holds a raw socket that dies when the client leaves; this guards
// it, so a late answer to a vanished client is dropped instead of crashing the server.
class PendingResponse {
public:
    explicit PendingResponse(QHttpServerResponder &&responder);

    bool isConnected() const;
    // Sends once; later calls and calls after the client left do nothing.
    void send(const HttpReply &reply);
    // Closes the connection without an answer (a simulated network failure).
    void drop();

private:
    QHttpServerResponder m_responder;
    QPointer<QTcpSocket> m_socket;
    bool m_done = false;
};

} // namespace tindrel::localbackend
