// Realtime (Phoenix channels) of the local backend: joins, heartbeats, INSERT events for
// the caller's own rows only, token checks, leave and idle close.
#include "BackendProcess.h"
#include "RealtimeClient.h"

#include "support/TestSupport.h"

#include <QJsonArray>

using namespace tindrel::test;

class TestLocalBackendRealtime : public QObject {
    Q_OBJECT

private:
    BackendProcess m_backend;

    static void addProtocolVersions()
    {
        QTest::addColumn<QString>("vsn");
        QTest::newRow("1.0.0") << "1.0.0";
        QTest::newRow("2.0.0") << "2.0.0";
    }

    static QJsonObject joinPayload(const QString &userId, const QByteArray &token)
    {
        const QJsonObject change{{"event", "INSERT"},
                                 {"schema", "public"},
                                 {"table", "transcriptions"},
                                 {"filter", QStringLiteral("user_id=eq.") + userId}};
        return QJsonObject{{"config", QJsonObject{{"broadcast", QJsonObject{{"ack", false}, {"self", false}}},
                                                  {"presence", QJsonObject{{"key", ""}, {"enabled", false}}},
                                                  {"postgres_changes", QJsonArray{change}},
                                                  {"private", false}}},
                           {"access_token", QString::fromLatin1(token)}};
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_backend.start(&error), qPrintable(error));
    }

    void heartbeatIsAnswered_data() { addProtocolVersions(); }

    void heartbeatIsAnswered()
    {
        QFETCH(QString, vsn);
        RealtimeClient client;
        QVERIFY(client.open(m_backend.baseUrl(), m_backend.anonKey(), vsn));
        client.send(QStringLiteral("phoenix"), QStringLiteral("heartbeat"), {}, QStringLiteral("7"));
        const auto reply = client.next();
        QVERIFY(reply);
        QCOMPARE(reply->topic, QStringLiteral("phoenix"));
        QCOMPARE(reply->event, QStringLiteral("phx_reply"));
        QCOMPARE(reply->ref.toString(), QStringLiteral("7"));
        QCOMPARE(reply->payload.value("status").toString(), QStringLiteral("ok"));
    }

    void garbageFramesAreIgnored()
    {
        RealtimeClient client;
        QVERIFY(client.open(m_backend.baseUrl(), m_backend.anonKey()));
        client.sendRaw(QStringLiteral("not json"));
        client.sendRaw(QStringLiteral("[null,null,\"realtime:x\",\"phx_join\",{}]")); // a 2.0.0 frame on 1.0.0
        client.sendRaw(QStringLiteral("{\"topic\":5,\"event\":[],\"payload\":\"x\"}"));
        client.send(
            QStringLiteral("realtime:y"), QStringLiteral("phx_join"),
            QJsonObject{{"config", QJsonObject{{"postgres_changes", QJsonArray{5, "x", QJsonObject{{"event", 7}}}}}}},
            QStringLiteral("1"), QStringLiteral("1"));
        client.send(QStringLiteral("realtime:"), QStringLiteral("phx_join"), {}, QStringLiteral("2"),
                    QStringLiteral("2"));
        client.send(QStringLiteral("phoenix"), QStringLiteral("heartbeat"), {}, QStringLiteral("3"));
        const auto heartbeat = client.next(5000, QStringLiteral("phx_reply"));
        QVERIFY(heartbeat);
        std::optional<RealtimeClient::Message> reply = heartbeat;
        while (reply && reply->ref.toString() != QLatin1String("3"))
            reply = client.next(5000, QStringLiteral("phx_reply"));
        QVERIFY(reply);
        QCOMPARE(reply->payload.value("status").toString(), QStringLiteral("ok"));
    }

    void joinThenInsertReachesOnlyTheOwner_data() { addProtocolVersions(); }

    void joinThenInsertReachesOnlyTheOwner()
    {
        QFETCH(QString, vsn);
        const TestAccount owner = m_backend.newAccount(QStringLiteral("rt"));
        const TestAccount other = m_backend.newAccount(QStringLiteral("rt"));
        RealtimeClient ownerClient;
        RealtimeClient otherClient;
        QVERIFY(ownerClient.open(m_backend.baseUrl(), m_backend.anonKey(), vsn));
        QVERIFY(otherClient.open(m_backend.baseUrl(), m_backend.anonKey(), vsn));
        const QString topic = QStringLiteral("realtime:transcriptions:user:") + owner.id.toUpper();
        // The app filters on the upper-case form of the id; the other user tries to listen
        // to the owner's rows with their own token.
        ownerClient.send(topic, QStringLiteral("phx_join"), joinPayload(owner.id.toUpper(), owner.token),
                         QStringLiteral("3"), QStringLiteral("3"));
        otherClient.send(topic, QStringLiteral("phx_join"), joinPayload(owner.id.toUpper(), other.token),
                         QStringLiteral("3"), QStringLiteral("3"));

        const auto joined = ownerClient.next();
        QVERIFY(joined);
        QCOMPARE(joined->event, QStringLiteral("phx_reply"));
        QCOMPARE(joined->ref.toString(), QStringLiteral("3"));
        QCOMPARE(joined->payload.value("status").toString(), QStringLiteral("ok"));
        const QJsonArray changes = joined->payload.value("response").toObject().value("postgres_changes").toArray();
        QCOMPARE(changes.size(), 1);
        const QJsonObject binding = changes[0].toObject();
        QCOMPARE(binding.value("filter").toString(), QStringLiteral("user_id=eq.") + owner.id.toUpper());
        QCOMPARE(binding.value("table").toString(), QStringLiteral("transcriptions"));
        QVERIFY(binding.value("id").isDouble());
        if (vsn == QLatin1String("1.0.0"))
            QVERIFY(joined->joinRef.isUndefined()); // the 1.0.0 serializer drops join_ref
        else
            QCOMPARE(joined->joinRef.toString(), QStringLiteral("3"));

        const auto subscribed = ownerClient.next();
        QVERIFY(subscribed);
        QCOMPARE(subscribed->event, QStringLiteral("system"));
        QCOMPARE(subscribed->payload.value("message").toString(), QStringLiteral("Subscribed to PostgreSQL"));
        QCOMPARE(subscribed->payload.value("status").toString(), QStringLiteral("ok"));
        QVERIFY(otherClient.next(5000, QStringLiteral("system")));

        const HttpResult done =
            m_backend.transcribe(owner.token, QByteArray(2048, 'a'), QStringLiteral("hello realtime"));
        QCOMPARE(done.status, 200);
        const auto change = ownerClient.next(5000, QStringLiteral("postgres_changes"));
        QVERIFY(change);
        QCOMPARE(change->topic, topic);
        QVERIFY(change->ref.isNull());
        QCOMPARE(change->payload.value("ids").toArray(), QJsonArray{binding.value("id")});
        const QJsonObject data = change->payload.value("data").toObject();
        QCOMPARE(data.value("type").toString(), QStringLiteral("INSERT"));
        QCOMPARE(data.value("table").toString(), QStringLiteral("transcriptions"));
        QVERIFY(!data.contains("old_record"));
        QVERIFY(data.value("commit_timestamp").toString().endsWith(u'Z'));
        const QJsonObject record = data.value("record").toObject();
        QCOMPARE(record.value("text").toString(), QStringLiteral("hello realtime"));
        QCOMPARE(record.value("user_id").toString(), owner.id);
        QCOMPARE(record.value("id").toInteger(), done.json().value("transcription_id").toInteger());

        // Row-level security: the other user's channel hears nothing of it.
        QVERIFY(!otherClient.next(300, QStringLiteral("postgres_changes")));
    }

    void badTokensAreRefused_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QString>("reason");
        QTest::newRow("garbage") << QByteArray("not-a-jwt") << "MalformedJWT";
        QTest::newRow("forged") << QByteArray("eyJhbGciOiJIUzI1NiJ9.eyJyb2xlIjoiYW5vbiIsImV4cCI6OTk5OTk5OTk5OX0.c2ln")
                                << "JwtSignatureError";
    }

    void badTokensAreRefused()
    {
        QFETCH(QByteArray, token);
        QFETCH(QString, reason);
        RealtimeClient client;
        QVERIFY(client.open(m_backend.baseUrl(), m_backend.anonKey()));
        client.send(QStringLiteral("realtime:x"), QStringLiteral("phx_join"), joinPayload(QStringLiteral("u"), token),
                    QStringLiteral("1"), QStringLiteral("1"));
        const auto reply = client.next();
        QVERIFY(reply);
        QCOMPARE(reply->payload.value("status").toString(), QStringLiteral("error"));
        QVERIFY2(reply->payload.value("response").toObject().value("reason").toString().startsWith(reason),
                 qPrintable(reply->payload.value("response").toObject().value("reason").toString()));
    }

    void leaveClosesTheChannel()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("rt"));
        RealtimeClient client;
        QVERIFY(client.open(m_backend.baseUrl(), m_backend.anonKey(), QStringLiteral("2.0.0")));
        client.send(QStringLiteral("realtime:a"), QStringLiteral("phx_join"), joinPayload(account.id, account.token),
                    QStringLiteral("1"), QStringLiteral("1"));
        QVERIFY(client.next(5000, QStringLiteral("system")));
        client.send(QStringLiteral("realtime:a"), QStringLiteral("phx_leave"), {}, QStringLiteral("2"),
                    QStringLiteral("1"));
        const auto reply = client.next();
        QVERIFY(reply);
        QCOMPARE(reply->event, QStringLiteral("phx_reply"));
        QCOMPARE(reply->ref.toString(), QStringLiteral("2"));
        const auto closed = client.next();
        QVERIFY(closed);
        QCOMPARE(closed->event, QStringLiteral("phx_close"));
        QCOMPARE(closed->joinRef.toString(), QStringLiteral("1"));
        // Pushes to a closed channel are refused.
        client.send(QStringLiteral("realtime:a"), QStringLiteral("access_token"), {}, QStringLiteral("3"),
                    QStringLiteral("1"));
        const auto unmatched = client.next();
        QVERIFY(unmatched);
        QCOMPARE(unmatched->payload.value("response").toObject().value("reason").toString(),
                 QStringLiteral("unmatched topic"));
    }

    // A token that stops being valid (a bad update, or expiry on the server's clock) ends
    // the channel: a system error, then phx_close.
    void tokenProblemsEndTheChannel_data()
    {
        QTest::addColumn<bool>("expire");
        QTest::newRow("invalid token update") << false;
        QTest::newRow("token expires") << true;
    }

    void tokenProblemsEndTheChannel()
    {
        QFETCH(bool, expire);
        const TestAccount account = m_backend.newAccount(QStringLiteral("rt"));
        RealtimeClient client;
        QVERIFY(client.open(m_backend.baseUrl(), m_backend.anonKey()));
        client.send(QStringLiteral("realtime:b"), QStringLiteral("phx_join"), joinPayload(account.id, account.token),
                    QStringLiteral("1"), QStringLiteral("1"));
        QVERIFY(client.next(5000, QStringLiteral("system")));
        if (expire) {
            QCOMPARE(m_backend.control(QStringLiteral("/clock"), QJsonObject{{"advance_seconds", 3700}}).status, 200);
        } else {
            client.send(QStringLiteral("realtime:b"), QStringLiteral("access_token"),
                        QJsonObject{{"access_token", "a.b.c"}}, QStringLiteral("2"), QStringLiteral("1"));
        }
        const auto error = client.next();
        const auto closed = client.next();
        if (expire)
            m_backend.control(QStringLiteral("/clock"), QJsonObject{{"advance_seconds", -3700}});
        QVERIFY(error);
        QCOMPARE(error->event, QStringLiteral("system"));
        QCOMPARE(error->payload.value("status").toString(), QStringLiteral("error"));
        QCOMPARE(error->payload.value("extension").toString(), QStringLiteral("system"));
        if (expire) {
            QVERIFY2(error->payload.value("message").toString().startsWith(QLatin1String("Token has expired")),
                     qPrintable(error->payload.value("message").toString()));
        }
        QVERIFY(closed);
        QCOMPARE(closed->event, QStringLiteral("phx_close"));
    }

    // An oversized message ends that socket only, without the server buffering it.
    void oversizedMessageClosesOnlyThatSocket()
    {
        RealtimeClient flooder;
        RealtimeClient bystander;
        QVERIFY(flooder.open(m_backend.baseUrl(), m_backend.anonKey()));
        QVERIFY(bystander.open(m_backend.baseUrl(), m_backend.anonKey()));
        flooder.sendRaw(QString(2 * 1024 * 1024, u'x'));
        QVERIFY(flooder.waitForDisconnect(10000));
        QCOMPARE(flooder.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
        bystander.send(QStringLiteral("phoenix"), QStringLiteral("heartbeat"), {}, QStringLiteral("1"));
        const auto reply = bystander.next(5000, QStringLiteral("phx_reply"));
        QVERIFY(reply);
        QCOMPARE(reply->payload.value("status").toString(), QStringLiteral("ok"));
    }

    void missingApiKeyClosesTheSocket()
    {
        RealtimeClient client;
        client.open(m_backend.baseUrl(), QByteArray());
        QVERIFY(client.waitForDisconnect(5000));
    }

    void plainGetOnTheSocketPathIsRefused()
    {
        QCOMPARE(m_backend.send("GET", QStringLiteral("/realtime/v1/websocket")).status, 400);
    }

    void silentSocketsAreClosed()
    {
        BackendProcess quick({QStringLiteral("--realtime-idle-timeout"), QStringLiteral("0.5")});
        QVERIFY(quick.start());
        RealtimeClient client;
        // A slow machine may see the server give up before the client noticed the socket
        // open; either way the server must be the one that closed it, for idleness.
        client.open(quick.baseUrl(), quick.anonKey());
        QVERIFY(client.waitForDisconnect(10000));
        QCOMPARE(quick.stop(), 0);
        QVERIFY2(quick.output().contains(QStringLiteral("Realtime socket idle; closing")),
                 qPrintable(quick.output().right(2000)));
    }

    // Last: everything above leaves nothing behind (leaks fail the exit code under ASan).
    void stopsCleanly()
    {
        const int code = m_backend.stop();
        QVERIFY2(code == 0,
                 qPrintable(QStringLiteral("exit code %1:\n%2").arg(code).arg(m_backend.output().right(4000))));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestLocalBackendRealtime)
#include "tst_localbackend_realtime.moc"
