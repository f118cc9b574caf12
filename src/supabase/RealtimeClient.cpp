#include "supabase/RealtimeClient.h"

#include "supabase/RealtimeChannel.h"
#include "supabase/RealtimeError.h"
#include "supabase/SupabaseLog.h"

#include <QJsonDocument>
#include <QNetworkRequest>
#include <QUrlQuery>

namespace supabase {
namespace {
constexpr QStringView component = u"Realtime";
const QString phoenixTopic = QStringLiteral("phoenix");
} // namespace

RealtimeClient::RealtimeClient(std::shared_ptr<const ClientContext> context, RealtimeOptions options,
                               TokenSource tokens, QObject *parent)
    : QObject(parent), m_context(std::move(context)), m_options(std::move(options)), m_tokens(std::move(tokens)),
      m_socket(QString(), QWebSocketProtocol::VersionLatest, this), m_heartbeatTimer(this), m_reconnectTimer(this),
      m_connectDeadline(this), m_socketSignal(this)
{
    // A server that accepts the connection but never answers the upgrade would hold the
    // socket in "connecting" forever.
    m_connectDeadline.setSingleShot(true);
    m_connectDeadline.setInterval(m_options.timeout);
    connect(&m_connectDeadline, &QTimer::timeout, this, [this] {
        if (m_socket.state() == QAbstractSocket::ConnectedState)
            return;
        m_connectTimedOut = true;
        m_connectFailure = QStringLiteral("Connecting timed out");
        m_socket.abort();
        if (m_opening)
            onDisconnected();
    });
    m_heartbeatTimer.setInterval(m_options.heartbeatInterval);
    m_reconnectTimer.setSingleShot(true);
    m_reconnectTimer.setInterval(m_options.reconnectDelay);
    connect(&m_heartbeatTimer, &QTimer::timeout, this, &RealtimeClient::heartbeat);
    connect(&m_reconnectTimer, &QTimer::timeout, this, [this] {
        if (m_socket.state() == QAbstractSocket::UnconnectedState && anyChannelWantsJoined())
            openSocket();
    });
    connect(&m_socket, &QWebSocket::connected, this, &RealtimeClient::onConnected);
    connect(&m_socket, &QWebSocket::disconnected, this, &RealtimeClient::onDisconnected);
    connect(&m_socket, &QWebSocket::textMessageReceived, this, &RealtimeClient::onTextMessage);
    connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError) {
                m_connectFailure = m_socket.errorString();
                // A failed handshake may end without a disconnected signal.
                if (m_socket.state() == QAbstractSocket::UnconnectedState)
                    onDisconnected();
                m_socketSignal.notify();
            });
}

RealtimeClient::~RealtimeClient()
{
    m_closing = true;
    m_socket.disconnect(this);
    for (RealtimeChannel *channel : channels())
        channel->close();
    m_socket.abort();
}

QUrl RealtimeClient::endpointUrl() const
{
    QUrl url = m_context->serviceUrl(QStringLiteral("/realtime/v1/websocket"));
    url.setScheme(url.scheme() == QLatin1String("https") ? QStringLiteral("wss") : QStringLiteral("ws"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("apikey"), QString::fromLatin1(QUrl::toPercentEncoding(m_context->apiKey)));
    if (m_options.logLevel)
        query.addQueryItem(QStringLiteral("log_level"), *m_options.logLevel);
    query.addQueryItem(QStringLiteral("vsn"), QStringLiteral("1.0.0"));
    url.setQuery(query);
    return url;
}

RealtimeChannel *RealtimeClient::channel(const QString &name)
{
    return new RealtimeChannel(this, QStringLiteral("realtime:") + name);
}

QList<RealtimeChannel *> RealtimeClient::channels() const
{
    return findChildren<RealtimeChannel *>(QString(), Qt::FindDirectChildrenOnly);
}

QCoro::Task<void> RealtimeClient::removeChannel(RealtimeChannel *channel)
{
    QPointer<RealtimeChannel> guarded(channel);
    if (guarded && guarded->state() != RealtimeChannel::State::Closed)
        co_await guarded->unsubscribe();
    if (guarded) {
        // A channel that never joined (or is still connecting) has no leave to send, but its
        // readers must still learn the end, and a pending subscribe must not join it.
        guarded->close();
        guarded->deleteLater();
    }
}

bool RealtimeClient::isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

QString RealtimeClient::makeRef() { return QString::number(++m_ref); }

QString RealtimeClient::currentToken() const
{
    if (m_accessToken)
        return *m_accessToken;
    return m_tokens ? m_tokens() : QString();
}

void RealtimeClient::setAuth(const QString &accessToken)
{
    const bool changed = !m_accessToken || *m_accessToken != accessToken;
    m_accessToken = accessToken;
    if (!changed || accessToken.isEmpty())
        return;
    for (RealtimeChannel *channel : channels())
        channel->pushAccessToken(accessToken);
}

void RealtimeClient::push(const QString &topic, const QString &event, const QJsonObject &payload, const QString &ref,
                          const QString &joinRef)
{
    if (!isConnected())
        return;
    QJsonObject message{{QStringLiteral("topic"), topic},
                        {QStringLiteral("event"), event},
                        {QStringLiteral("payload"), payload},
                        {QStringLiteral("ref"), ref.isEmpty() ? QJsonValue() : QJsonValue(ref)},
                        {QStringLiteral("join_ref"), joinRef.isEmpty() ? QJsonValue() : QJsonValue(joinRef)}};
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

QCoro::Task<void> RealtimeClient::connectSocket()
{
    if (isConnected())
        co_return;
    QPointer<RealtimeClient> self(this);
    m_closing = false;
    m_reconnectTimer.stop();
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        openSocket();
    while (self && !isConnected() && m_opening)
        co_await m_socketSignal.wait();
    if (!self)
        throw RealtimeError(RealtimeError::Kind::Closed, QStringLiteral("The realtime client was closed"));
    if (isConnected())
        co_return;
    throw RealtimeError(m_connectTimedOut ? RealtimeError::Kind::TimedOut : RealtimeError::Kind::Connection,
                        QStringLiteral("Could not connect to realtime: %1")
                            .arg(m_connectFailure.value_or(QStringLiteral("the connection closed"))));
}

void RealtimeClient::openSocket()
{
    m_opening = true;
    m_connectTimedOut = false;
    m_connectFailure.reset();
    m_connectDeadline.start();
    QNetworkRequest request(endpointUrl());
    for (const auto &[name, value] : m_options.headers)
        request.setRawHeader(name, value);
    m_socket.open(request);
}

void RealtimeClient::disconnect()
{
    m_closing = true;
    m_reconnectTimer.stop();
    m_heartbeatTimer.stop();
    m_connectDeadline.stop();
    for (RealtimeChannel *channel : channels())
        channel->close();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.close();
}

void RealtimeClient::onConnected()
{
    m_opening = false;
    m_socketUp = true;
    m_connectDeadline.stop();
    m_reconnectAttempts = 0;
    m_pendingHeartbeat.clear();
    m_heartbeatTimer.start();
    m_socketSignal.notify();
    emit connected();
    for (RealtimeChannel *channel : channels())
        channel->rejoin();
}

void RealtimeClient::onDisconnected()
{
    if (!m_opening && !m_socketUp)
        return; // already handled
    m_opening = false;
    m_socketUp = false;
    m_connectDeadline.stop();
    m_heartbeatTimer.stop();
    m_pendingHeartbeat.clear();
    if (!m_connectFailure)
        m_connectFailure = QStringLiteral("The connection closed");
    m_socketSignal.notify();
    emit disconnected();
    if (m_closing)
        return;
    for (RealtimeChannel *channel : channels())
        channel->socketLost();
    scheduleReconnect();
}

void RealtimeClient::scheduleReconnect()
{
    if (!anyChannelWantsJoined() || m_reconnectTimer.isActive())
        return;
    if (m_reconnectAttempts >= m_options.maxRetryAttempts) {
        log(component, QStringLiteral("Giving up after %1 reconnect attempts").arg(m_reconnectAttempts));
        for (RealtimeChannel *channel : channels())
            channel->close();
        return;
    }
    ++m_reconnectAttempts;
    log(component, QStringLiteral("Socket lost; reconnect attempt %1 in %2 ms")
                       .arg(m_reconnectAttempts)
                       .arg(m_options.reconnectDelay.count()));
    m_reconnectTimer.start();
}

bool RealtimeClient::anyChannelWantsJoined() const
{
    for (const RealtimeChannel *channel : channels()) {
        if (channel->m_wantJoined)
            return true;
    }
    return false;
}

void RealtimeClient::heartbeat()
{
    if (!isConnected())
        return;
    if (!m_pendingHeartbeat.isEmpty()) {
        // No reply since the last beat: the connection is dead even if TCP has not noticed.
        log(component, QStringLiteral("Heartbeat timed out; closing the socket"));
        m_pendingHeartbeat.clear();
        m_socket.abort();
        return;
    }
    m_pendingHeartbeat = makeRef();
    push(phoenixTopic, QStringLiteral("heartbeat"), QJsonObject(), m_pendingHeartbeat, {});
}

void RealtimeClient::onTextMessage(const QString &message)
{
    const QJsonObject frame = QJsonDocument::fromJson(message.toUtf8()).object();
    const QString topic = frame.value(QLatin1String("topic")).toString();
    const QString event = frame.value(QLatin1String("event")).toString();
    const QString ref = frame.value(QLatin1String("ref")).toString();
    const QString joinRef = frame.value(QLatin1String("join_ref")).toString();
    const QJsonObject payload = frame.value(QLatin1String("payload")).toObject();
    if (topic == phoenixTopic) {
        if (event == QLatin1String("phx_reply") && ref == m_pendingHeartbeat)
            m_pendingHeartbeat.clear();
        return;
    }
    for (RealtimeChannel *channel : channels()) {
        if (channel->topic() == topic)
            channel->handleMessage(event, payload, ref, joinRef);
    }
}

} // namespace supabase
