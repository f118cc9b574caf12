#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QWebSocket>

#include <optional>

namespace tindrel::test {

// A bare Phoenix-channel client for tests: frames go out as written and come back as
// decoded messages (topic, event, payload, ref, join_ref), whatever the protocol version.
class RealtimeClient {
public:
    struct Message {
        QString topic;
        QString event;
        QJsonObject payload;
        QJsonValue ref;
        QJsonValue joinRef;
    };

    // `vsn` "1.0.0" or "2.0.0"; `apiKey` empty sends none.
    bool open(const QString &baseUrl, const QByteArray &apiKey, const QString &vsn = QStringLiteral("1.0.0"),
              int timeoutMs = 10000);
    bool isConnected() const;
    // Waits until the server closes the socket.
    bool waitForDisconnect(int timeoutMs);
    QWebSocketProtocol::CloseCode closeCode() const { return m_socket.closeCode(); }

    void send(const QString &topic, const QString &event, const QJsonObject &payload, const QString &ref,
              const QString &joinRef = {});
    void sendRaw(const QString &text) { m_socket.sendTextMessage(text); }
    // The next message (waiting up to `timeoutMs`), optionally skipping other events.
    std::optional<Message> next(int timeoutMs = 5000, const QString &event = {});

private:
    QWebSocket m_socket;
    bool m_version2 = false;
    QList<Message> m_inbox;
};

} // namespace tindrel::test
