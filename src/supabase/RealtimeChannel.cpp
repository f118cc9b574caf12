#include "supabase/RealtimeChannel.h"

#include "supabase/RealtimeClient.h"
#include "supabase/SupabaseLog.h"

#include <QJsonArray>

namespace supabase {
namespace {
constexpr QStringView component = u"Realtime";
const QString subscribedMessage = QStringLiteral("Subscribed to PostgreSQL");
} // namespace

RealtimeChannel::RealtimeChannel(RealtimeClient *client, const QString &topic)
    : QObject(client), m_client(client), m_topic(topic), m_joinTimer(this), m_rejoinTimer(this), m_progress(this)
{
    m_joinTimer.setSingleShot(true);
    m_joinTimer.setInterval(client->options().timeout);
    m_rejoinTimer.setSingleShot(true);
    m_rejoinTimer.setInterval(client->options().reconnectDelay);
    connect(&m_joinTimer, &QTimer::timeout, this, &RealtimeChannel::onJoinTimeout);
    connect(&m_rejoinTimer, &QTimer::timeout, this, [this] {
        if (m_wantJoined && m_client && m_client->isConnected())
            sendJoin();
    });
}

// Deleted directly, not through its client: readers must still learn that nothing more comes.
RealtimeChannel::~RealtimeChannel() { finishStreams(); }

EventStream<QJsonObject> RealtimeChannel::onPostgresInsert(const QString &schema, const QString &table,
                                                           const std::optional<PostgresFilter> &filter)
{
    Binding binding;
    binding.event = QStringLiteral("INSERT");
    binding.schema = schema;
    binding.table = table;
    if (filter)
        binding.filter = filter->column + QStringLiteral("=eq.") + filter->value;
    m_bindings.push_back(binding);
    return binding.stream;
}

void RealtimeChannel::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
    m_progress.notify();
}

void RealtimeChannel::sendJoin()
{
    if (!m_client)
        return;
    QJsonArray changes;
    for (const Binding &binding : m_bindings) {
        QJsonObject entry{{QStringLiteral("event"), binding.event},
                          {QStringLiteral("schema"), binding.schema},
                          {QStringLiteral("table"), binding.table}};
        if (!binding.filter.isEmpty())
            entry.insert(QStringLiteral("filter"), binding.filter);
        changes.append(entry);
    }
    const QJsonObject config{
        {QStringLiteral("broadcast"), QJsonObject{{QStringLiteral("ack"), false}, {QStringLiteral("self"), false}}},
        {QStringLiteral("presence"),
         QJsonObject{{QStringLiteral("key"), QString()}, {QStringLiteral("enabled"), false}}},
        {QStringLiteral("postgres_changes"), changes},
        {QStringLiteral("private"), false}};
    QJsonObject payload{{QStringLiteral("config"), config}};
    const QString token = m_client->currentToken();
    if (!token.isEmpty())
        payload.insert(QStringLiteral("access_token"), token);

    m_joinRef = m_client->makeRef();
    m_postgresReady = m_bindings.empty();
    setState(State::Joining);
    m_joinTimer.start();
    m_client->push(m_topic, QStringLiteral("phx_join"), payload, m_joinRef, m_joinRef);
}

QCoro::Task<void> RealtimeChannel::subscribe()
{
    if (!m_client)
        throw RealtimeError(RealtimeError::Kind::Closed, QStringLiteral("The realtime client was closed"));
    if (m_state == State::Joined && m_postgresReady)
        co_return;
    if (!m_client->options().connectOnSubscribe && !m_client->isConnected())
        throw RealtimeError(RealtimeError::Kind::Connection, QStringLiteral("The realtime socket is not connected"));
    QPointer<RealtimeChannel> self(this);
    m_wantJoined = true;
    m_subscribing = true;
    m_failure.reset();
    m_rejoinAttempts = 0;
    const auto closed = [] {
        return RealtimeError(RealtimeError::Kind::Closed, QStringLiteral("The channel was closed"));
    };
    try {
        co_await m_client->connectSocket();
    } catch (const RealtimeError &) {
        if (self) {
            m_wantJoined = false;
            m_subscribing = false;
            setState(State::Errored);
        }
        throw;
    }
    if (!self)
        throw closed();
    // Closed or unsubscribed while the socket was opening: joining now would leave a channel
    // on the server that the caller has already been told is gone.
    if (m_failure) {
        m_subscribing = false;
        throw *m_failure;
    }
    // Connecting rejoins every channel that wants to be joined; join only if that did not.
    if (m_state != State::Joining && m_state != State::Joined)
        sendJoin();
    while (self && !m_failure && !(m_state == State::Joined && m_postgresReady))
        co_await m_progress.wait();
    if (!self)
        throw closed();
    m_subscribing = false;
    if (m_failure)
        throw *m_failure;
}

void RealtimeChannel::onJoinTimeout()
{
    const bool waitingForJoin = m_state == State::Joining || (m_state == State::Joined && !m_postgresReady);
    if (m_subscribing) {
        fail(RealtimeError(RealtimeError::Kind::TimedOut, QStringLiteral("Subscribing to %1 timed out").arg(m_topic)));
    } else if (waitingForJoin) {
        if (m_client)
            m_client->push(m_topic, QStringLiteral("phx_leave"), {}, m_client->makeRef(), m_joinRef);
        setState(State::Errored);
        scheduleRejoin();
    }
}

void RealtimeChannel::fail(const RealtimeError &error)
{
    m_joinTimer.stop();
    if (m_subscribing) {
        // The caller learns of it; the server is told we are gone.
        m_wantJoined = false;
        m_failure = error;
        if (m_client && m_state != State::Closed)
            m_client->push(m_topic, QStringLiteral("phx_leave"), {}, m_client->makeRef(), m_joinRef);
        setState(State::Errored);
        m_progress.notify();
        return;
    }
    log(component, QStringLiteral("Rejoining %1 failed: %2").arg(m_topic, error.message()));
    setState(State::Errored);
    scheduleRejoin();
}

void RealtimeChannel::scheduleRejoin()
{
    if (!m_wantJoined || !m_client || !m_client->isConnected() || m_rejoinTimer.isActive())
        return; // without a socket the reconnect rejoins
    if (m_rejoinAttempts >= m_client->options().maxRetryAttempts) {
        log(component, QStringLiteral("Giving up on %1 after %2 rejoin attempts").arg(m_topic).arg(m_rejoinAttempts));
        close();
        return;
    }
    ++m_rejoinAttempts;
    m_rejoinTimer.start();
}

void RealtimeChannel::rejoin()
{
    if (m_wantJoined)
        sendJoin();
}

void RealtimeChannel::socketLost()
{
    m_rejoinTimer.stop();
    if (m_state == State::Closed)
        return;
    setState(m_wantJoined ? State::Errored : State::Closed);
}

void RealtimeChannel::pushAccessToken(const QString &token)
{
    if (m_client && m_state == State::Joined)
        m_client->push(m_topic, QStringLiteral("access_token"), {{QStringLiteral("access_token"), token}},
                       m_client->makeRef(), m_joinRef);
}

void RealtimeChannel::handleMessage(const QString &event, const QJsonObject &payload, const QString &ref,
                                    const QString &joinRef)
{
    // Pushes for an earlier join of this topic (protocol 1.0.0 servers send no join_ref).
    if (!joinRef.isEmpty() && joinRef != m_joinRef)
        return;

    if (event == QLatin1String("phx_reply")) {
        if (ref == m_leaveRef && m_state == State::Leaving) {
            setState(State::Closed);
            return;
        }
        if (ref != m_joinRef || m_state != State::Joining)
            return;
        const QJsonObject response = payload.value(QLatin1String("response")).toObject();
        if (payload.value(QLatin1String("status")).toString() != QLatin1String("ok")) {
            const QString reason = response.value(QLatin1String("reason")).toString();
            fail(RealtimeError(RealtimeError::Kind::JoinRefused,
                               reason.isEmpty() ? QStringLiteral("The server refused to join %1").arg(m_topic)
                                                : reason));
            return;
        }
        // The server echoes the listeners in the order sent, each with the id its events carry.
        const QJsonArray changes = response.value(QLatin1String("postgres_changes")).toArray();
        bool matches = changes.size() == static_cast<qsizetype>(m_bindings.size());
        for (qsizetype i = 0; matches && i < changes.size(); ++i) {
            const QJsonObject entry = changes.at(i).toObject();
            Binding &binding = m_bindings[static_cast<std::size_t>(i)];
            matches = entry.value(QLatin1String("event")).toString() == binding.event
                      && entry.value(QLatin1String("schema")).toString() == binding.schema
                      && entry.value(QLatin1String("table")).toString() == binding.table
                      && entry.value(QLatin1String("filter")).toString() == binding.filter;
            if (matches)
                binding.serverId = entry.value(QLatin1String("id")).toInteger();
        }
        if (!matches) {
            fail(RealtimeError(RealtimeError::Kind::JoinRefused,
                               QStringLiteral("mismatch between server and client bindings for postgres changes")));
            return;
        }
        m_rejoinAttempts = 0;
        if (m_postgresReady)
            m_joinTimer.stop();
        setState(State::Joined);
        return;
    }

    if (event == QLatin1String("system")) {
        const QString status = payload.value(QLatin1String("status")).toString();
        const QString message = payload.value(QLatin1String("message")).toString();
        if (payload.value(QLatin1String("extension")).toString() != QLatin1String("postgres_changes")) {
            if (status == QLatin1String("error"))
                log(component, QStringLiteral("%1: %2").arg(m_topic, message));
            return;
        }
        if (status == QLatin1String("ok") && message == subscribedMessage) {
            m_postgresReady = true;
            if (m_state == State::Joined)
                m_joinTimer.stop();
            m_progress.notify();
        } else if (status == QLatin1String("error") && !m_postgresReady && m_subscribing) {
            fail(RealtimeError(RealtimeError::Kind::JoinRefused, message));
        }
        return;
    }

    if (event == QLatin1String("postgres_changes")) {
        if (m_state != State::Joined)
            return;
        const QJsonObject data = payload.value(QLatin1String("data")).toObject();
        if (data.value(QLatin1String("type")).toString() != QLatin1String("INSERT"))
            return;
        const QJsonObject record = data.value(QLatin1String("record")).toObject();
        const QJsonArray ids = payload.value(QLatin1String("ids")).toArray();
        for (const Binding &binding : m_bindings) {
            if (binding.serverId && ids.contains(QJsonValue(*binding.serverId)))
                binding.stream.push(record);
        }
        return;
    }

    if (event == QLatin1String("phx_close") || event == QLatin1String("phx_error")) {
        // Without join_ref (protocol 1.0.0) these carry the join's ref in "ref": the close of
        // an earlier join of this topic (a leave, a replaced duplicate) is not ours.
        if (joinRef.isEmpty() && !ref.isEmpty() && ref != m_joinRef)
            return;
        if (m_state == State::Leaving) {
            setState(State::Closed);
            return;
        }
        if (m_subscribing && m_state == State::Joining) {
            fail(RealtimeError(RealtimeError::Kind::JoinRefused, QStringLiteral("The server closed %1").arg(m_topic)));
            return;
        }
        if (m_wantJoined) {
            log(component, QStringLiteral("The server closed %1; rejoining").arg(m_topic));
            setState(State::Errored);
            scheduleRejoin();
        } else {
            setState(State::Closed);
        }
    }
}

QCoro::Task<void> RealtimeChannel::unsubscribe()
{
    m_wantJoined = false;
    m_rejoinTimer.stop();
    m_joinTimer.stop();
    QPointer<RealtimeChannel> self(this);
    if (m_client && m_client->isConnected() && (m_state == State::Joined || m_state == State::Joining)) {
        m_leaveRef = m_client->makeRef();
        setState(State::Leaving);
        m_client->push(m_topic, QStringLiteral("phx_leave"), {}, m_leaveRef, m_joinRef);
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, this, [this] { setState(State::Closed); });
        deadline.start(m_client->options().timeout);
        while (self && m_state == State::Leaving)
            co_await m_progress.wait();
    }
    if (self)
        close();
}

void RealtimeChannel::close()
{
    m_wantJoined = false;
    m_joinTimer.stop();
    m_rejoinTimer.stop();
    setState(State::Closed);
    finishStreams();
    if (m_subscribing && !m_failure) {
        m_failure = RealtimeError(RealtimeError::Kind::Closed, QStringLiteral("The channel was closed"));
        m_progress.notify();
    }
}

void RealtimeChannel::finishStreams()
{
    for (const Binding &binding : m_bindings)
        binding.stream.finish();
}

} // namespace supabase
