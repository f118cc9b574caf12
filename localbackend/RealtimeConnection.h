#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QWebSocket;

namespace tindrel::localbackend {

class AuthApi;
struct BackendContext;
struct TranscriptionRecord;

// One realtime WebSocket speaking Phoenix channels (serializer 1.0.0 or 2.0.0): heartbeats,
// joins with postgres_changes bindings checked against the caller's token, token updates,
// leaves, and INSERT events for the caller's own rows. Closes itself after a minute
// without any frame from the client.
class RealtimeConnection : public QObject {
    Q_OBJECT

public:
    RealtimeConnection(std::unique_ptr<QWebSocket> socket, bool version2, BackendContext &context, AuthApi &auth,
                       const QByteArray &apiKey, int idleTimeoutMs, QObject *parent = nullptr);
    ~RealtimeConnection() override;

    // Sends the change to every channel whose bindings and user match.
    void publishInsert(const QString &table, const TranscriptionRecord &row);
    // Ends channels whose token has expired (system error, then phx_close).
    void checkExpiry();
    void close();

signals:
    void closed();

private:
    struct Binding {
        int id = 0;
        QString event;
        QString schema;
        QString table;
        QString filterColumn; // empty: no filter
        QString filterOperator;
        QStringList filterValues;
    };
    struct Channel {
        QString topic;
        QString joinRef;
        QString userId; // empty for the anonymous role: it sees no rows
        qint64 expiresAt = 0;
        QList<Binding> bindings;
    };

    void onMessage(const QString &text);
    void handleJoin(const QString &topic, const QJsonObject &payload, const QString &ref, const QString &joinRef);
    void handleAccessToken(const QString &topic, const QJsonObject &payload);
    void handleLeave(const QString &topic, const QString &ref);

    // The user id and expiry of a token, or the reason (with its code) it is refused.
    bool verifyToken(const QString &token, QString *userId, qint64 *expiresAt, QString *reason) const;
    void reply(const QString &topic, const QString &ref, const QString &joinRef, const QString &status,
               const QJsonObject &response);
    void push(const QString &topic, const QString &event, const QJsonObject &payload, const QString &ref,
              const QString &joinRef);
    void closeChannel(const QString &topic, const QString &systemError = {});

    std::unique_ptr<QWebSocket> m_socket;
    bool m_version2 = false;
    BackendContext &m_context;
    AuthApi &m_auth;
    QByteArray m_apiKey;
    QTimer m_idle;
    QMap<QString, Channel> m_channels;
    bool m_closed = false;
};

} // namespace tindrel::localbackend
