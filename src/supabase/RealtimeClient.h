#pragma once

#include "supabase/ClientContext.h"
#include "supabase/EventStream.h"
#include "supabase/SupabaseClientOptions.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWebSocket>

#include <functional>
#include <memory>
#include <optional>

namespace supabase {

class RealtimeChannel;

// The realtime socket: Phoenix channels (protocol 1.0.0) over a WebSocket at
// <base>/realtime/v1/websocket. Connects on the first subscription, sends a heartbeat and
// treats a missing reply by the next beat as a dead socket, reconnects after a delay (a
// bounded number of times) and rejoins its channels with the current access token.
// Main thread only.
class RealtimeClient : public QObject {
    Q_OBJECT

public:
    // The access token to join with (the current session's); empty uses the project key.
    using TokenSource = std::function<QString()>;

    RealtimeClient(std::shared_ptr<const ClientContext> context, RealtimeOptions options, TokenSource tokens,
                   QObject *parent = nullptr);
    ~RealtimeClient() override;

    // A new channel "realtime:<name>", owned by this client.
    RealtimeChannel *channel(const QString &name);
    // Unsubscribes (when joined) and deletes the channel.
    QCoro::Task<void> removeChannel(RealtimeChannel *channel);
    QList<RealtimeChannel *> channels() const;

    // Sends a new access token to every joined channel (after each refresh, so the server
    // does not close channels whose token expired). An empty token joins with the project key.
    void setAuth(const QString &accessToken);

    // Opens the socket if needed; throws RealtimeError when it cannot within the time-out.
    QCoro::Task<void> connectSocket();
    // Closes the socket for good: channels close and their streams end; no reconnect.
    void disconnect();
    bool isConnected() const;

    QUrl endpointUrl() const;
    const RealtimeOptions &options() const { return m_options; }

signals:
    void connected();
    void disconnected();

private:
    friend class RealtimeChannel;

    QString makeRef();
    QString currentToken() const;
    void push(const QString &topic, const QString &event, const QJsonObject &payload, const QString &ref,
              const QString &joinRef);
    void openSocket();
    void onConnected();
    void onDisconnected();
    void onTextMessage(const QString &message);
    void heartbeat();
    void scheduleReconnect();
    bool anyChannelWantsJoined() const;

    std::shared_ptr<const ClientContext> m_context;
    RealtimeOptions m_options;
    TokenSource m_tokens;
    std::optional<QString> m_accessToken;
    QWebSocket m_socket;
    QTimer m_heartbeatTimer;
    QTimer m_reconnectTimer;
    QTimer m_connectDeadline;
    quint64 m_ref = 0;
    QString m_pendingHeartbeat;
    bool m_opening = false;
    bool m_socketUp = false;
    bool m_connectTimedOut = false;
    bool m_closing = false;
    int m_reconnectAttempts = 0;
    std::optional<QString> m_connectFailure;
    StreamSignal m_socketSignal;
};

} // namespace supabase
