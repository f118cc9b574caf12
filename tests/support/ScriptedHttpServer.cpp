#include "support/ScriptedHttpServer.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace tindrel::test {

ScriptedReply ScriptedReply::json(int status, const QByteArray &body, HttpHeaders headers)
{
    headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return {status, std::move(headers), body};
}

ScriptedReply ScriptedReply::text(int status, const QByteArray &body, HttpHeaders headers)
{
    headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/plain; charset=utf-8")));
    return {status, std::move(headers), body};
}

ScriptedReply ScriptedReply::neverAnswer()
{
    ScriptedReply reply;
    reply.action = Action::NeverAnswer;
    return reply;
}

ScriptedReply ScriptedReply::dropConnection()
{
    ScriptedReply reply;
    reply.action = Action::DropConnection;
    return reply;
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

struct ScriptedHttpServer::Connection {
    QByteArray buffer;
    bool busy = false; // a reply is pending (delayed or never sent)
};

ScriptedHttpServer::ScriptedHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onNewConnection);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        it.key()->disconnect(this);
        delete it.value();
    }
}

bool ScriptedHttpServer::listen(quint16 port) { return m_server->listen(QHostAddress::LocalHost, port); }

quint16 ScriptedHttpServer::port() const { return m_server->serverPort(); }

QString ScriptedHttpServer::url(const QString &pathAndQuery) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port()) + pathAndQuery;
}

void ScriptedHttpServer::enqueue(const QByteArray &path, ScriptedReply reply)
{
    m_queues[path].enqueue(std::move(reply));
}

void ScriptedHttpServer::setResponder(const QByteArray &path, Responder responder)
{
    m_responders.insert(path, std::move(responder));
}

QList<RecordedRequest> ScriptedHttpServer::requests(const QByteArray &path) const
{
    QList<RecordedRequest> matching;
    for (const auto &request : m_requests)
        if (request.path == path)
            matching << request;
    return matching;
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        m_connections.insert(socket, new Connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            Connection *connection = m_connections.value(socket);
            if (!connection)
                return;
            connection->buffer += socket->readAll();
            processBuffer(*connection);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            delete m_connections.take(socket);
            socket->deleteLater();
        });
    }
}

void ScriptedHttpServer::processBuffer(Connection &connection)
{
    while (!connection.busy) {
        const qsizetype headerEnd = connection.buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = connection.buffer.left(headerEnd).split('\n');
        RecordedRequest request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        const QByteArray target = requestLine.value(1);
        const qsizetype question = target.indexOf('?');
        request.path = question < 0 ? target : target.left(question);
        request.query = question < 0 ? QByteArray() : target.mid(question + 1);
        qsizetype contentLength = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        const qsizetype bodyStart = headerEnd + 4;
        if (connection.buffer.size() - bodyStart < contentLength)
            return;
        request.body = connection.buffer.mid(bodyStart, contentLength);
        connection.buffer.remove(0, bodyStart + contentLength);
        dispatch(connection, std::move(request));
    }
}

ScriptedReply ScriptedHttpServer::replyFor(const RecordedRequest &request)
{
    auto queue = m_queues.find(request.path);
    if (queue != m_queues.end() && !queue->isEmpty())
        return queue->dequeue();
    if (const auto responder = m_responders.find(request.path); responder != m_responders.end())
        return (*responder)(request);
    return ScriptedReply::text(404, "no scripted reply for " + request.path);
}

void ScriptedHttpServer::dispatch(Connection &connection, RecordedRequest request)
{
    QTcpSocket *socket = m_connections.key(&connection);
    const ScriptedReply reply = replyFor(request);
    if (m_recording)
        m_requests.append(std::move(request));
    connection.busy = true;
    if (reply.action == ScriptedReply::Action::NeverAnswer)
        return;
    if (reply.delay.count() <= 0) {
        answer(socket, reply);
        return;
    }
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(reply.delay, this, [this, guard, reply] {
        if (guard)
            answer(guard, reply);
    });
}

void ScriptedHttpServer::answer(QTcpSocket *socket, const ScriptedReply &reply)
{
    Connection *connection = m_connections.value(socket);
    if (!connection)
        return;
    if (reply.action == ScriptedReply::Action::DropConnection) {
        // Later: closing emits disconnected() at once, which frees the connection under our
        // callers. It stays busy, so nothing else is read from it.
        QMetaObject::invokeMethod(socket, &QTcpSocket::disconnectFromHost, Qt::QueuedConnection);
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
    for (const auto &[name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n";
    socket->write(head);
    socket->write(reply.body);
    connection->busy = false;
    processBuffer(*connection);
}

} // namespace tindrel::test
