#include "RealtimeConnection.h"

#include "AuthApi.h"
#include "BackendContext.h"
#include "Database.h"
#include "JsonFields.h"
#include "Jwt.h"
#include "Timestamp.h"

#include "core/Log.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QWebSocket>
#include <QtEndian>

namespace tindrel::localbackend {
namespace {

const QString component = QStringLiteral("LocalBackend");

QJsonValue refValue(const QString &ref) { return ref.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(ref); }

QString refText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toInteger());
    return {};
}

// The same parameters always get the same id (the service hashes the parameter map).
int bindingId(const QJsonObject &params)
{
    const QByteArray digest =
        QCryptographicHash::hash(QJsonDocument(params).toJson(QJsonDocument::Compact), QCryptographicHash::Sha1);
    return static_cast<int>(qFromBigEndian<quint32>(digest.constData()) & 0x7FFFFFF);
}

// "column=op.value" with op eq, neq or in ("in.(a,b)").
bool parseFilter(const QString &filter, QString *column, QString *op, QStringList *values)
{
    const qsizetype equals = filter.indexOf(u'=');
    const qsizetype dot = filter.indexOf(u'.', equals + 1);
    if (equals <= 0 || dot < 0)
        return false;
    *column = filter.left(equals).trimmed();
    *op = filter.mid(equals + 1, dot - equals - 1);
    const QString value = filter.mid(dot + 1);
    if (*op == QLatin1String("eq") || *op == QLatin1String("neq")) {
        *values = QStringList{value};
        return true;
    }
    if (*op == QLatin1String("in") && value.startsWith(u'(') && value.endsWith(u')')) {
        *values = value.mid(1, value.size() - 2).split(u',');
        for (QString &v : *values)
            v = v.trimmed();
        return true;
    }
    return false;
}

QString columnText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toInteger());
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return {};
}

} // namespace

RealtimeConnection::RealtimeConnection(std::unique_ptr<QWebSocket> socket, bool version2, BackendContext &context,
                                       AuthApi &auth, const QByteArray &apiKey, int idleTimeoutMs, QObject *parent)
    : QObject(parent), m_socket(std::move(socket)), m_version2(version2), m_context(context), m_auth(auth),
      m_apiKey(apiKey)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        logLine(component, QStringLiteral("Realtime socket idle; closing"));
        close();
    });
    m_idle.start();
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, &RealtimeConnection::onMessage);
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, [this] { m_idle.start(); });
    connect(m_socket.get(), &QWebSocket::pong, this, [this] { m_idle.start(); });
    connect(m_socket.get(), &QWebSocket::disconnected, this, [this] {
        if (m_closed)
            return;
        m_closed = true;
        m_idle.stop();
        emit closed();
    });
}

RealtimeConnection::~RealtimeConnection()
{
    if (m_socket)
        m_socket->disconnect(this);
}

void RealtimeConnection::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_idle.stop();
    m_socket->close(QWebSocketProtocol::CloseCodeNormal);
    emit closed();
}

void RealtimeConnection::onMessage(const QString &text)
{
    m_idle.start();
    QString topic;
    QString event;
    QJsonObject payload;
    QString ref;
    QString joinRef;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (m_version2 && doc.isArray() && doc.array().size() == 5) {
        const QJsonArray frame = doc.array();
        joinRef = refText(frame[0]);
        ref = refText(frame[1]);
        topic = frame[2].toString();
        event = frame[3].toString();
        payload = frame[4].toObject();
    } else if (!m_version2 && doc.isObject()) {
        const QJsonObject frame = doc.object();
        topic = frame.value(QStringLiteral("topic")).toString();
        event = frame.value(QStringLiteral("event")).toString();
        payload = frame.value(QStringLiteral("payload")).toObject();
        ref = refText(frame.value(QStringLiteral("ref")));
        joinRef = refText(frame.value(QStringLiteral("join_ref")));
    } else {
        logLine(component, QStringLiteral("Realtime frame ignored: not a message of this protocol version"));
        return;
    }
    if (topic.isEmpty() || event.isEmpty())
        return;
    checkExpiry();

    if (topic == QLatin1String("phoenix") && event == QLatin1String("heartbeat")) {
        reply(topic, ref, {}, QStringLiteral("ok"), {});
        return;
    }
    if (event == QLatin1String("phx_join")) {
        handleJoin(topic, payload, ref, joinRef.isEmpty() ? ref : joinRef);
        return;
    }
    if (!m_channels.contains(topic)) {
        reply(topic, ref, joinRef, QStringLiteral("error"), QJsonObject{{"reason", "unmatched topic"}});
        return;
    }
    if (event == QLatin1String("access_token"))
        handleAccessToken(topic, payload);
    else if (event == QLatin1String("phx_leave"))
        handleLeave(topic, ref);
    else if (!ref.isEmpty())
        reply(topic, ref, m_channels.value(topic).joinRef, QStringLiteral("ok"), {});
}

bool RealtimeConnection::verifyToken(const QString &token, QString *userId, qint64 *expiresAt, QString *reason) const
{
    QString error;
    const auto claims = Jwt::verify(token.toUtf8(), m_context.jwtSecret, &error);
    if (!claims) {
        *reason = token.count(u'.') == 2 ? QStringLiteral("JwtSignatureError: Failed to validate JWT signature")
                                         : QStringLiteral("MalformedJWT: The token provided is not a valid JWT");
        return false;
    }
    if (!claims->value(QStringLiteral("role")).isString() || !claims->value(QStringLiteral("exp")).isDouble()) {
        *reason = QStringLiteral("InvalidJWTToken: Fields `role` and `exp` are required in JWT");
        return false;
    }
    *expiresAt = claims->value(QStringLiteral("exp")).toInteger();
    const qint64 now = m_context.nowSeconds();
    if (*expiresAt <= now) {
        *reason = QStringLiteral("InvalidJWTToken: Token has expired %1 seconds ago").arg(now - *expiresAt);
        return false;
    }
    userId->clear();
    if (claims->value(QStringLiteral("role")).toString() == QLatin1String("authenticated")) {
        // Row access follows the auth server: a signed-out session sees nothing.
        const Authentication auth = m_auth.authenticate(token.toUtf8());
        if (!auth.ok()) {
            *reason = QStringLiteral("Unauthorized: ") + auth.message;
            return false;
        }
        *userId = auth.user->id;
    }
    return true;
}

void RealtimeConnection::handleJoin(const QString &topic, const QJsonObject &payload, const QString &ref,
                                    const QString &joinRef)
{
    if (!topic.startsWith(QLatin1String("realtime:")) || topic.size() == 9) {
        reply(topic, ref, joinRef, QStringLiteral("error"),
              QJsonObject{{"reason", "TopicNameRequired: You must provide a topic name"}});
        return;
    }
    // A second join on a topic replaces the first channel.
    if (m_channels.contains(topic))
        closeChannel(topic);

    QString token = payload.value(QStringLiteral("access_token")).toString();
    if (token.isEmpty() || token.startsWith(QLatin1String("sb_")))
        token = QString::fromLatin1(m_apiKey);
    Channel channel;
    channel.topic = topic;
    channel.joinRef = joinRef;
    QString reason;
    if (!verifyToken(token, &channel.userId, &channel.expiresAt, &reason)) {
        reply(topic, ref, joinRef, QStringLiteral("error"), QJsonObject{{"reason", reason}});
        return;
    }

    const QJsonValue changes =
        payload.value(QStringLiteral("config")).toObject().value(QStringLiteral("postgres_changes"));
    QJsonArray echoed;
    QString invalid;
    for (const QJsonValue &value : changes.toArray()) {
        const QJsonObject params = value.toObject();
        Binding binding;
        bool typesOk = value.isObject();
        binding.event = jsonString(params, "event", &typesOk);
        binding.schema = jsonString(params, "schema", &typesOk);
        binding.table = jsonString(params, "table", &typesOk);
        const QString filter = jsonString(params, "filter", &typesOk);
        if (!typesOk) {
            invalid = QStringLiteral("Invalid postgres_changes parameters");
            continue;
        }
        binding.event = binding.event.toUpper();
        static const QStringList events{QStringLiteral("INSERT"), QStringLiteral("UPDATE"), QStringLiteral("DELETE"),
                                        QStringLiteral("*")};
        if (!events.contains(binding.event) || binding.schema.isEmpty())
            invalid = QStringLiteral("Invalid postgres_changes parameters");
        else if (!filter.isEmpty()
                 && !parseFilter(filter, &binding.filterColumn, &binding.filterOperator, &binding.filterValues))
            invalid = QStringLiteral("Unable to parse the filter ") + filter;
        binding.id = bindingId(params);
        QJsonObject entry = params;
        entry.insert(QStringLiteral("id"), binding.id);
        echoed.append(entry);
        channel.bindings.append(binding);
    }
    m_channels.insert(topic, channel);
    reply(topic, ref, joinRef, QStringLiteral("ok"), QJsonObject{{"postgres_changes", echoed}});
    if (echoed.isEmpty())
        return;
    const QString name = topic.mid(9);
    QJsonObject system{{"extension", "postgres_changes"}, {"channel", name}};
    if (invalid.isEmpty()) {
        system.insert(QStringLiteral("status"), QStringLiteral("ok"));
        system.insert(QStringLiteral("message"), QStringLiteral("Subscribed to PostgreSQL"));
    } else {
        system.insert(QStringLiteral("status"), QStringLiteral("error"));
        system.insert(QStringLiteral("message"), invalid);
        m_channels[topic].bindings.clear();
    }
    // The subscription is confirmed after the join reply, as the service does.
    QTimer::singleShot(0, this, [this, topic, joinRef, system] {
        if (!m_closed && m_channels.value(topic).joinRef == joinRef)
            push(topic, QStringLiteral("system"), system, {}, joinRef);
    });
}

void RealtimeConnection::handleAccessToken(const QString &topic, const QJsonObject &payload)
{
    const QJsonValue value = payload.value(QStringLiteral("access_token"));
    const QString token = value.toString();
    if (!value.isString() || token.isEmpty() || token.startsWith(QLatin1String("sb_")))
        return;
    Channel &channel = m_channels[topic];
    QString userId;
    qint64 expiresAt = 0;
    QString reason;
    if (!verifyToken(token, &userId, &expiresAt, &reason)) {
        const qsizetype colon = reason.indexOf(QLatin1String(": "));
        closeChannel(topic, colon < 0 ? reason : reason.mid(colon + 2));
        return;
    }
    channel.userId = userId;
    channel.expiresAt = expiresAt;
}

void RealtimeConnection::handleLeave(const QString &topic, const QString &ref)
{
    reply(topic, ref, m_channels.value(topic).joinRef, QStringLiteral("ok"), {});
    closeChannel(topic);
}

void RealtimeConnection::closeChannel(const QString &topic, const QString &systemError)
{
    const Channel channel = m_channels.take(topic);
    if (!systemError.isEmpty()) {
        push(topic, QStringLiteral("system"),
             QJsonObject{
                 {"extension", "system"}, {"status", "error"}, {"message", systemError}, {"channel", topic.mid(9)}},
             {}, channel.joinRef);
    }
    push(topic, QStringLiteral("phx_close"), {}, channel.joinRef, channel.joinRef);
}

void RealtimeConnection::checkExpiry()
{
    const qint64 now = m_context.nowSeconds();
    const QStringList topics = m_channels.keys();
    for (const QString &topic : topics) {
        const qint64 expiresAt = m_channels.value(topic).expiresAt;
        if (expiresAt > 0 && expiresAt <= now)
            closeChannel(topic, QStringLiteral("Token has expired %1 seconds ago").arg(now - expiresAt));
    }
}

void RealtimeConnection::reply(const QString &topic, const QString &ref, const QString &joinRef, const QString &status,
                               const QJsonObject &response)
{
    push(topic, QStringLiteral("phx_reply"), QJsonObject{{"status", status}, {"response", response}}, ref, joinRef);
}

void RealtimeConnection::push(const QString &topic, const QString &event, const QJsonObject &payload,
                              const QString &ref, const QString &joinRef)
{
    if (m_closed)
        return;
    QJsonDocument frame;
    if (m_version2) {
        frame = QJsonDocument(QJsonArray{refValue(joinRef), refValue(ref), topic, event, payload});
    } else {
        // The 1.0.0 serializer has no join_ref.
        frame = QJsonDocument(
            QJsonObject{{"topic", topic}, {"event", event}, {"payload", payload}, {"ref", refValue(ref)}});
    }
    m_socket->sendTextMessage(QString::fromUtf8(frame.toJson(QJsonDocument::Compact)));
}

void RealtimeConnection::publishInsert(const QString &table, const TranscriptionRecord &row)
{
    const QJsonObject record = row.toJson();
    static const QJsonArray columns = [] {
        QJsonArray list;
        const QList<QPair<const char *, const char *>> types{{"id", "int8"},
                                                             {"user_id", "uuid"},
                                                             {"text", "text"},
                                                             {"duration", "int8"},
                                                             {"audio_url", "text"},
                                                             {"created_at", "timestamptz"},
                                                             {"audio_deleted_at", "timestamptz"},
                                                             {"text_deleted_at", "timestamptz"},
                                                             {"mode", "text"},
                                                             {"file_size", "int8"},
                                                             {"status", "text"}};
        for (const auto &[name, type] : types)
            list.append(QJsonObject{{"name", name}, {"type", type}});
        return list;
    }();
    for (auto it = m_channels.cbegin(); it != m_channels.cend(); ++it) {
        const Channel &channel = it.value();
        // Row-level security: a channel only ever sees its own user's rows.
        if (channel.userId.isEmpty() || channel.userId.compare(row.userId, Qt::CaseInsensitive) != 0)
            continue;
        QJsonArray ids;
        for (const Binding &binding : channel.bindings) {
            if (binding.event != QLatin1String("INSERT") && binding.event != QLatin1String("*"))
                continue;
            if (binding.schema != QLatin1String("public") && binding.schema != QLatin1String("*"))
                continue;
            if (!binding.table.isEmpty() && binding.table != table && binding.table != QLatin1String("*"))
                continue;
            if (!binding.filterColumn.isEmpty()) {
                const QString actual = columnText(record.value(binding.filterColumn));
                // UUIDs compare without regard to case, as Postgres parses them.
                const bool listed =
                    std::any_of(binding.filterValues.cbegin(), binding.filterValues.cend(),
                                [&actual](const QString &v) { return v.compare(actual, Qt::CaseInsensitive) == 0; });
                if (binding.filterOperator == QLatin1String("neq") ? listed : !listed)
                    continue;
            }
            if (!ids.contains(binding.id))
                ids.append(binding.id);
        }
        if (ids.isEmpty())
            continue;
        const QJsonObject data{{"schema", "public"},
                               {"table", table},
                               {"commit_timestamp", isoTimestamp(m_context.now())},
                               {"type", "INSERT"},
                               {"columns", columns},
                               {"record", record},
                               {"errors", QJsonValue(QJsonValue::Null)}};
        push(channel.topic, QStringLiteral("postgres_changes"), QJsonObject{{"ids", ids}, {"data", data}}, {}, {});
    }
}

} // namespace tindrel::localbackend
