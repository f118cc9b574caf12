#pragma once

#include "supabase/EventStream.h"
#include "supabase/RealtimeError.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <optional>
#include <vector>

namespace supabase {

class RealtimeClient;

// One equality filter of a database-change listener: column = value.
struct PostgresFilter {
    QString column;
    QString value;
};

// A channel on the realtime socket (topic "realtime:<name>"). Register listeners, then
// subscribe; events arrive on the listeners' streams until unsubscribe. Owned by its client;
// main thread only.
class RealtimeChannel : public QObject {
    Q_OBJECT

public:
    enum class State { Closed, Joining, Joined, Leaving, Errored };

    ~RealtimeChannel() override;

    QString topic() const { return m_topic; }
    State state() const { return m_state; }

    // A listener for rows inserted into schema.table (matching the filter when given); the
    // stream yields each inserted row. Register before subscribing.
    EventStream<QJsonObject> onPostgresInsert(const QString &schema, const QString &table,
                                              const std::optional<PostgresFilter> &filter = std::nullopt);

    // Joins with the current access token. Completes once the server confirms the join and,
    // with database listeners, reports "Subscribed to PostgreSQL". Throws RealtimeError on a
    // refusal or when the client's time-out passes first.
    QCoro::Task<void> subscribe();

    // Leaves the channel and ends the listeners' streams.
    QCoro::Task<void> unsubscribe();

signals:
    void stateChanged(supabase::RealtimeChannel::State state);

private:
    friend class RealtimeClient;
    RealtimeChannel(RealtimeClient *client, const QString &topic);

    struct Binding {
        QString event;
        QString schema;
        QString table;
        QString filter;
        std::optional<qint64> serverId;
        EventStream<QJsonObject> stream;
    };

    // Called by the client.
    void handleMessage(const QString &event, const QJsonObject &payload, const QString &ref, const QString &joinRef);
    void rejoin();
    void pushAccessToken(const QString &token);
    void socketLost();
    void close();

    void sendJoin();
    void setState(State state);
    void fail(const RealtimeError &error);
    void onJoinTimeout();
    void scheduleRejoin();
    void finishStreams();

    QPointer<RealtimeClient> m_client;
    QString m_topic;
    State m_state = State::Closed;
    bool m_wantJoined = false;
    bool m_postgresReady = false;
    QString m_joinRef;
    QString m_leaveRef;
    bool m_subscribing = false;
    std::optional<RealtimeError> m_failure;
    int m_rejoinAttempts = 0;
    std::vector<Binding> m_bindings;
    QTimer m_joinTimer;
    QTimer m_rejoinTimer;
    StreamSignal m_progress;
};

} // namespace supabase
