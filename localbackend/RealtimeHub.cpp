#include "RealtimeHub.h"

#include "BackendContext.h"
#include "RealtimeConnection.h"
#include "Secrets.h"

#include "core/Log.h"

#include <QUrlQuery>
#include <QWebSocket>

namespace tindrel::localbackend {

RealtimeHub::RealtimeHub(BackendContext &context, AuthApi &auth, QObject *parent)
    : QObject(parent), m_context(context), m_auth(auth)
{
    m_expiryCheck.setInterval(1000);
    connect(&m_expiryCheck, &QTimer::timeout, this, [this] {
        for (const auto &connection : std::as_const(m_connections)) {
            if (connection)
                connection->checkExpiry();
        }
    });
    m_expiryCheck.start();
}

RealtimeHub::~RealtimeHub() = default;

void RealtimeHub::accept(std::unique_ptr<QWebSocket> socket)
{
    // Qt closes the socket with "message too big" (1009) when a client exceeds these.
    socket->setMaxAllowedIncomingMessageSize(maxIncomingMessageBytes);
    socket->setMaxAllowedIncomingFrameSize(maxIncomingMessageBytes);
    const QUrlQuery query(socket->requestUrl());
    QByteArray key = query.queryItemValue(QStringLiteral("apikey"), QUrl::FullyDecoded).toUtf8();
    if (key.isEmpty())
        key = socket->request().rawHeader("apikey");
    if (key.isEmpty())
        key = socket->request().rawHeader("x-api-key");
    if (key.isEmpty()
        || (!constantTimeEquals(key, m_context.anonKey) && !constantTimeEquals(key, m_context.serviceKey))) {
        // The upgrade already happened; the close reason carries the service's refusal text.
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                      key.isEmpty() ? QStringLiteral("API key is missing") : QStringLiteral("Invalid API key"));
        socket.release()->deleteLater();
        return;
    }
    const bool version2 = query.queryItemValue(QStringLiteral("vsn")) == QLatin1String("2.0.0");
    auto *connection =
        new RealtimeConnection(std::move(socket), version2, m_context, m_auth, key, m_idleTimeoutMs, this);
    connect(connection, &RealtimeConnection::closed, this, [this, connection] {
        m_connections.removeAll(connection);
        connection->deleteLater();
    });
    m_connections.append(connection);
}

void RealtimeHub::publishInsert(const TranscriptionRecord &row)
{
    for (const auto &connection : std::as_const(m_connections)) {
        if (connection)
            connection->publishInsert(QStringLiteral("transcriptions"), row);
    }
}

int RealtimeHub::disconnectAll()
{
    const auto connections = m_connections;
    for (const auto &connection : connections) {
        if (connection)
            connection->close();
    }
    return static_cast<int>(connections.size());
}

} // namespace tindrel::localbackend
