#include "RealtimeClient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>

namespace tindrel::test {
namespace {

// Runs the event loop until `done` holds or the time is up.
template<typename Predicate>
bool waitUntil(Predicate done, int timeoutMs)
{
    // `done` may consume what it looks at, so it is asked exactly once per turn.
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

} // namespace

bool RealtimeClient::open(const QString &baseUrl, const QByteArray &apiKey, const QString &vsn, int timeoutMs)
{
    m_version2 = vsn == QLatin1String("2.0.0");
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket, [this](const QString &text) {
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
        Message message;
        if (doc.isArray()) {
            const QJsonArray frame = doc.array();
            message = {frame[2].toString(), frame[3].toString(), frame[4].toObject(), frame[1], frame[0]};
        } else {
            const QJsonObject frame = doc.object();
            message = {frame.value("topic").toString(), frame.value("event").toString(),
                       frame.value("payload").toObject(), frame.value("ref"), frame.value("join_ref")};
        }
        m_inbox.append(message);
    });
    QString url = baseUrl;
    url.replace(QLatin1String("http://"), QLatin1String("ws://"));
    url += QStringLiteral("/realtime/v1/websocket?vsn=") + vsn;
    if (!apiKey.isEmpty())
        url += QStringLiteral("&apikey=") + QString::fromLatin1(apiKey);
    bool ended = false;
    QObject::connect(&m_socket, &QWebSocket::disconnected, &m_socket, [&ended] { ended = true; });
    m_socket.open(QUrl(url));
    waitUntil([this, &ended] { return ended || m_socket.state() == QAbstractSocket::ConnectedState; }, timeoutMs);
    QObject::disconnect(&m_socket, &QWebSocket::disconnected, &m_socket, nullptr);
    return isConnected();
}

bool RealtimeClient::isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

bool RealtimeClient::waitForDisconnect(int timeoutMs)
{
    return waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

void RealtimeClient::send(const QString &topic, const QString &event, const QJsonObject &payload, const QString &ref,
                          const QString &joinRef)
{
    const QJsonValue ref_ = ref.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(ref);
    const QJsonValue join = joinRef.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(joinRef);
    const QJsonDocument doc =
        m_version2 ? QJsonDocument(QJsonArray{join, ref_, topic, event, payload})
                   : QJsonDocument(QJsonObject{
                       {"topic", topic}, {"event", event}, {"payload", payload}, {"ref", ref_}, {"join_ref", join}});
    m_socket.sendTextMessage(QString::fromUtf8(doc.toJson(QJsonDocument::Compact)));
}

std::optional<RealtimeClient::Message> RealtimeClient::next(int timeoutMs, const QString &event)
{
    std::optional<Message> found;
    waitUntil(
        [&] {
            while (!m_inbox.isEmpty()) {
                Message message = m_inbox.takeFirst();
                if (event.isEmpty() || message.event == event) {
                    found = message;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

} // namespace tindrel::test
