#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QString>

#include <chrono>
#include <functional>

class QTcpServer;
class QTcpSocket;

namespace tindrel::test {

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// What the server does with one request.
struct ScriptedReply {
    enum class Action {
        Answer,         // send status, headers and body
        NeverAnswer,    // keep the connection open and stay silent (client time-outs)
        DropConnection, // close the connection without a byte of reply (connection lost);
                        // Qt sends a request once more when a reused connection drops
    };

    int status = 200;
    HttpHeaders headers;
    QByteArray body;
    std::chrono::milliseconds delay{0}; // before answering or dropping
    Action action = Action::Answer;

    static ScriptedReply json(int status, const QByteArray &body, HttpHeaders headers = {});
    static ScriptedReply text(int status, const QByteArray &body, HttpHeaders headers = {});
    static ScriptedReply neverAnswer();
    static ScriptedReply dropConnection();
};

struct RecordedRequest {
    QByteArray method;
    QByteArray path;  // without the query
    QByteArray query; // after '?', empty when none
    HttpHeaders headers;
    QByteArray body;

    // Case-insensitive; a null array when absent.
    QByteArray header(const QByteArray &name) const;
};

// A small HTTP/1.1 server on 127.0.0.1 for tests and benchmarks: replies are scripted per
// path (a queue, then an optional responder, then 404), every request is recorded. Runs on
// the thread that creates it; keep-alive connections are served one request at a time.
class ScriptedHttpServer : public QObject {
    Q_OBJECT
public:
    using Responder = std::function<ScriptedReply(const RecordedRequest &)>;

    explicit ScriptedHttpServer(QObject *parent = nullptr);
    ~ScriptedHttpServer() override;

    // Listens on 127.0.0.1 (port 0: an ephemeral one). False when the port is taken.
    bool listen(quint16 port = 0);
    quint16 port() const;
    // "http://127.0.0.1:<port>" followed by `pathAndQuery`.
    QString url(const QString &pathAndQuery = {}) const;

    // Replies for the next requests to `path` (no query), in order.
    void enqueue(const QByteArray &path, ScriptedReply reply);
    // Answers requests to `path` once its queue is empty.
    void setResponder(const QByteArray &path, Responder responder);

    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requests(const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }
    // Off: requests are answered but not kept (long benchmark runs).
    void setRecording(bool on) { m_recording = on; }

private:
    struct Connection;
    void onNewConnection();
    void processBuffer(Connection &connection);
    void dispatch(Connection &connection, RecordedRequest request);
    ScriptedReply replyFor(const RecordedRequest &request);
    void answer(QTcpSocket *socket, const ScriptedReply &reply);

    QTcpServer *m_server;
    QHash<QTcpSocket *, Connection *> m_connections;
    QHash<QByteArray, QQueue<ScriptedReply>> m_queues;
    QHash<QByteArray, Responder> m_responders;
    QList<RecordedRequest> m_requests;
    bool m_recording = true;
};

} // namespace tindrel::test
