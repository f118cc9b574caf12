#include "TestControls.h"

#include "AuthApi.h"
#include "BackendContext.h"
#include "Database.h"
#include "FunctionsApi.h"
#include "Timestamp.h"

#include <QJsonDocument>

namespace tindrel::localbackend {
namespace {

HttpReply badRequest(const QString &message)
{
    return HttpReply::json(400, QJsonObject{{"error", "bad_request"}, {"message", message}});
}

// Header values that are credentials are replaced; their presence and form stay visible.
QString redactedHeader(const QByteArray &name, const QByteArray &value)
{
    const QByteArray lower = name.toLower();
    if (lower == "authorization") {
        const qsizetype space = value.indexOf(' ');
        const QByteArray scheme = space < 0 ? value : value.left(space);
        const bool hasToken = space >= 0 && !value.mid(space + 1).trimmed().isEmpty();
        return QString::fromLatin1(scheme) + (hasToken ? QStringLiteral(" [redacted]") : QStringLiteral(" "));
    }
    if (lower == "apikey" || lower == "cookie" || lower == "x-api-key")
        return value.isEmpty() ? QString() : QStringLiteral("[redacted]");
    return QString::fromUtf8(value);
}

bool isSecretField(const QString &name)
{
    static const QStringList secret{QStringLiteral("password"), QStringLiteral("refresh_token"),
                                    QStringLiteral("access_token"), QStringLiteral("code_verifier"),
                                    QStringLiteral("auth_code")};
    return secret.contains(name);
}

QJsonValue redactedJson(const QJsonValue &value)
{
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            it.value() = isSecretField(it.key()) ? QJsonValue(QStringLiteral("[redacted]")) : redactedJson(it.value());
        return object;
    }
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue &item : value.toArray())
            array.append(redactedJson(item));
        return array;
    }
    return value;
}

} // namespace

TestControls::TestControls(BackendContext &context, AuthApi &auth, FunctionsApi &functions)
    : m_context(context), m_auth(auth), m_functions(functions)
{}

void TestControls::record(const HttpRequest &request)
{
    QJsonObject headers;
    for (const auto &[name, value] : request.headers)
        headers.insert(QString::fromLatin1(name).toLower(), redactedHeader(name, value));
    QJsonObject query;
    for (const auto &[key, value] : request.query.queryItems(QUrl::FullyDecoded))
        query.insert(key, key == QLatin1String("apikey") || key == QLatin1String("token") ? QStringLiteral("[redacted]")
                                                                                          : value);
    QJsonObject entry{{"method", QString::fromLatin1(request.method)},
                      {"path", request.path},
                      {"query", query},
                      {"headers", headers},
                      {"body_size", request.body.size()},
                      {"time", isoTimestamp(m_context.now())}};
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &error);
    if (!request.body.isEmpty() && error.error == QJsonParseError::NoError)
        entry.insert(QStringLiteral("json"),
                     redactedJson(doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array())));
    m_log.append(entry);
    while (m_log.size() > logCapacity)
        m_log.removeFirst();
}

std::optional<TestControls::Fault> TestControls::takeFault(const HttpRequest &request)
{
    for (qsizetype i = 0; i < m_faults.size(); ++i) {
        Fault &fault = m_faults[i];
        const bool pathMatches =
            fault.path.endsWith(u'*') ? request.path.startsWith(fault.path.chopped(1)) : request.path == fault.path;
        if (!pathMatches || (!fault.method.isEmpty() && fault.method != request.method))
            continue;
        Fault due = fault;
        if (--fault.remaining <= 0)
            m_faults.removeAt(i);
        return due;
    }
    return std::nullopt;
}

HttpReply TestControls::handle(const QString &subPath, const HttpRequest &request)
{
    const QByteArray &method = request.method;
    std::optional<QJsonObject> body;
    if (method == "POST") {
        QString error;
        body = request.jsonObject(&error);
        if (!body)
            return badRequest(QStringLiteral("JSON object expected: ") + error);
    }
    if (subPath == QLatin1String("/faults") && body)
        return addFault(*body);
    if (subPath == QLatin1String("/faults") && method == "DELETE") {
        m_faults.clear();
        return HttpReply::empty(204);
    }
    if (subPath == QLatin1String("/requests") && method == "GET")
        return HttpReply::json(200, QJsonObject{{"requests", m_log}});
    if (subPath == QLatin1String("/requests") && method == "DELETE") {
        m_log = QJsonArray();
        return HttpReply::empty(204);
    }
    if (subPath == QLatin1String("/transcripts") && body) {
        QStringList texts;
        for (const QJsonValue &value : body->value(QStringLiteral("texts")).toArray()) {
            if (!value.isString())
                return badRequest(QStringLiteral("texts must be strings"));
            texts.append(value.toString());
        }
        m_functions.queueTranscripts(texts);
        return HttpReply::empty(204);
    }
    if (subPath == QLatin1String("/users") && body)
        return createUser(*body);
    if (subPath == QLatin1String("/user-flags") && body)
        return setFlags(*body);
    if (subPath == QLatin1String("/clock") && body) {
        m_context.clockOffsetSeconds += body->value(QStringLiteral("advance_seconds")).toInteger();
        return HttpReply::json(
            200, QJsonObject{{"now", isoTimestamp(m_context.now())}, {"offset_seconds", m_context.clockOffsetSeconds}});
    }
    if (subPath == QLatin1String("/database") && body) {
        if (!m_context.db->setReadOnly(body->value(QStringLiteral("read_only")).toBool()))
            return HttpReply::json(500, QJsonObject{{"error", "failed"}, {"message", "Could not change the database"}});
        return HttpReply::empty(204);
    }
    if (subPath == QLatin1String("/realtime/disconnect") && method == "POST") {
        const int closed = m_realtimeDisconnect ? m_realtimeDisconnect() : 0;
        return HttpReply::json(200, QJsonObject{{"closed", closed}});
    }
    return HttpReply::json(404, QJsonObject{{"error", "not_found"}, {"message", "Unknown test control"}});
}

HttpReply TestControls::addFault(const QJsonObject &body)
{
    Fault fault;
    fault.path = body.value(QStringLiteral("path")).toString();
    if (fault.path.isEmpty())
        return badRequest(QStringLiteral("path is required"));
    fault.method = body.value(QStringLiteral("method")).toString().toUpper().toLatin1();
    fault.remaining = qMax(1, body.value(QStringLiteral("count")).toInt(1));
    if (body.value(QStringLiteral("status")).isDouble())
        fault.status = body.value(QStringLiteral("status")).toInt();
    const QJsonValue replyBody = body.value(QStringLiteral("body"));
    if (replyBody.isString())
        fault.body = replyBody.toString().toUtf8();
    else if (replyBody.isObject())
        fault.body = QJsonDocument(replyBody.toObject()).toJson(QJsonDocument::Compact);
    else if (replyBody.isArray())
        fault.body = QJsonDocument(replyBody.toArray()).toJson(QJsonDocument::Compact);
    const QJsonObject headers = body.value(QStringLiteral("headers")).toObject();
    for (auto it = headers.begin(); it != headers.end(); ++it)
        fault.headers.append(qMakePair(it.key().toUtf8(), it.value().toString().toUtf8()));
    if (!replyBody.isString() && !replyBody.isUndefined() && !replyBody.isNull()) {
        bool hasType = false;
        for (const auto &header : fault.headers)
            hasType = hasType || header.first.compare("content-type", Qt::CaseInsensitive) == 0;
        if (!hasType)
            fault.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    }
    fault.delayMs = qBound(0, body.value(QStringLiteral("delay_ms")).toInt(), 120000);
    fault.drop = body.value(QStringLiteral("drop")).toBool();
    m_faults.append(fault);
    return HttpReply::empty(204);
}

HttpReply TestControls::createUser(const QJsonObject &body)
{
    const QString email = body.value(QStringLiteral("email")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    QString id;
    if (password.isEmpty() || !m_auth.createUser(email, password, &id))
        return badRequest(QStringLiteral("Could not create this user (taken or invalid)"));
    return HttpReply::json(200, QJsonObject{{"id", id}, {"email", email.toLower()}});
}

HttpReply TestControls::setFlags(const QJsonObject &body)
{
    Database &db = *m_context.db;
    auto user = body.contains(QStringLiteral("user_id"))
                    ? db.userById(body.value(QStringLiteral("user_id")).toString())
                    : db.userByEmail(body.value(QStringLiteral("email")).toString());
    if (!user)
        return HttpReply::json(404, QJsonObject{{"error", "not_found"}, {"message", "No such user"}});
    QJsonObject flags = user->flags;
    const QJsonObject changes = body.value(QStringLiteral("flags")).toObject();
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it.value().isNull())
            flags.remove(it.key());
        else
            flags.insert(it.key(), it.value());
    }
    db.setUserFlags(user->id, flags);
    return HttpReply::json(200, QJsonObject{{"id", user->id}, {"flags", flags}});
}

} // namespace tindrel::localbackend
