#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QWebSocket;

namespace tindrel::localbackend {

class AuthApi;
class RealtimeConnection;
struct BackendContext;
struct TranscriptionRecord;

// The realtime service (`/realtime/v1/websocket`): accepts sockets whose API key is right,
// fans database changes out to them, and re-checks channel tokens every second (so a
// moved test clock takes effect promptly).
class RealtimeHub : public QObject {
public:
    static constexpr int defaultIdleTimeoutMs = 60000;
    // Clients send small JSON messages; anything larger is refused rather than buffered
    // (Qt would otherwise accept messages of up to 2 GiB).
    static constexpr quint64 maxIncomingMessageBytes = 1024 * 1024;

    RealtimeHub(BackendContext &context, AuthApi &auth, QObject *parent = nullptr);
    ~RealtimeHub() override;

    void setIdleTimeout(int milliseconds) { m_idleTimeoutMs = milliseconds; }

    void accept(std::unique_ptr<QWebSocket> socket);
    void publishInsert(const TranscriptionRecord &row);
    // Closes every socket (a simulated restart); returns how many there were.
    int disconnectAll();

private:
    BackendContext &m_context;
    AuthApi &m_auth;
    QList<QPointer<RealtimeConnection>> m_connections;
    QTimer m_expiryCheck;
    int m_idleTimeoutMs = defaultIdleTimeoutMs;
};

} // namespace tindrel::localbackend
