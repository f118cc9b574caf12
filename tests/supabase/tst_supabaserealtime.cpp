#include "LocalBackend.h"
#include "MemorySessionStorage.h"
#include "SupabaseTestSupport.h"

#include "supabase/RealtimeChannel.h"
#include "supabase/RealtimeError.h"
#include "supabase/SupabaseClient.h"
#include "supabase/SupabaseLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>

using namespace supabase;
using namespace std::chrono_literals;
using tindrel::test::run;

namespace {
const QString adaEmail = QStringLiteral("ada@example.com");
const QString bobEmail = QStringLiteral("bob@example.com");
const QString password = QStringLiteral("correct-horse-1");

// Puts a row into the user's transcriptions the way the app does: upload slot, upload,
// transcription of the stored object (the transcript text is queued on the server first).
QCoro::Task<void> insertTranscription(SupabaseClient *client)
{
    FunctionInvokeOptions slotRequest;
    slotRequest.json = QJsonDocument(QJsonObject{
        {"action", "get_upload_url"}, {"filename", "clip.m4a"}, {"file_size", 2048}, {"content_type", "audio/m4a"}});
    const QJsonObject slot =
        (co_await client->functions().invoke(QStringLiteral("transcribe"), slotRequest)).json().object();

    QNetworkRequest upload(QUrl(slot.value("uploadUrl").toString()));
    upload.setRawHeader("Content-Type", "audio/m4a");
    const HttpExchange put = co_await HttpExchange::send(client->findChild<QNetworkAccessManager *>(), upload, "PUT",
                                                         QByteArray(2048, 'a'), 10s);
    if (!put.succeeded())
        throw std::runtime_error("upload failed: " + put.body.toStdString());

    FunctionInvokeOptions transcribe;
    transcribe.json = QJsonDocument(QJsonObject{{"action", "transcribe_stored"},
                                                {"file_key", slot.value("storeKey").toString()},
                                                {"duration", 2.5},
                                                {"mode", "fast"}});
    co_await client->functions().invoke(QStringLiteral("transcribe"), transcribe);
}

struct Account {
    std::unique_ptr<SupabaseClient> client;
    Session session;
    QString userId() const { return session.user.id.toUpper(); }
    // The channel the app watches: this user's own transcriptions topic.
    RealtimeChannel *ownChannel() const
    {
        return client->realtime().channel(QStringLiteral("transcriptions:user:") + userId());
    }
};
} // namespace

class TestSupabaseRealtime : public QObject {
    Q_OBJECT

private:
    LocalBackend m_backend;
    bool m_serverUp = false;

    Account signIn(const QString &email, RealtimeOptions realtime = fastRealtime())
    {
        SupabaseClientOptions options;
        options.auth.storage = std::make_shared<MemorySessionStorage>();
        options.global.requestTimeout = 10s;
        options.realtime = realtime;
        Account account;
        account.client = std::make_unique<SupabaseClient>(m_backend.baseUrl(), m_backend.anonKey(), options);
        account.session = run(account.client->auth().signInWithPassword(email, password)).get();
        return account;
    }

    static RealtimeOptions fastRealtime()
    {
        RealtimeOptions options;
        // Well inside the server's 2 s idle limit, yet a loaded machine has a whole beat to answer.
        options.heartbeatInterval = 1s;
        options.reconnectDelay = 300ms;
        options.timeout = 2s;
        return options;
    }

    // The app's watcher: INSERTs into public.transcriptions for one user.
    static EventStream<QJsonObject> watch(RealtimeChannel *channel, const QString &userId)
    {
        return channel->onPostgresInsert(QStringLiteral("public"), QStringLiteral("transcriptions"),
                                         PostgresFilter{QStringLiteral("user_id"), userId});
    }

    void insert(Account &account, const QString &text)
    {
        m_backend.control("POST", QStringLiteral("/transcripts"), {{"texts", QJsonArray{text}}});
        const auto outcome = run(insertTranscription(account.client.get()));
        QVERIFY2(!outcome.error, qPrintable(tindrel::test::errorText(outcome)));
    }

    static QString nextText(const EventStream<QJsonObject> &stream)
    {
        const auto outcome = run(stream.next(), 10s);
        if (!outcome.finished || !outcome.value || !*outcome.value)
            return QStringLiteral("<no event>");
        return (**outcome.value).value("text").toString();
    }

private slots:
    void initTestCase()
    {
        m_serverUp = m_backend.start({QStringLiteral("--memory"), QStringLiteral("--test-controls"),
                                      QStringLiteral("--password-iterations"), QStringLiteral("1000"),
                                      QStringLiteral("--realtime-idle-timeout"), QStringLiteral("2"),
                                      QStringLiteral("--seed-user"), adaEmail + u':' + password,
                                      QStringLiteral("--seed-user"), bobEmail + u':' + password});
    }

    void insertsArriveForOurUserOnly()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        Account bob = signIn(bobEmail);
        RealtimeChannel *channel = ada.ownChannel();
        QCOMPARE(channel->topic(), QStringLiteral("realtime:transcriptions:user:") + ada.userId());
        const auto inserts = watch(channel, ada.userId());
        // Bob listens to Ada's rows with his own token: the server sends him none of them.
        RealtimeChannel *snoop = bob.client->realtime().channel(QStringLiteral("transcriptions:user:") + ada.userId());
        const auto snooped = watch(snoop, ada.userId());
        QVERIFY(!run(channel->subscribe()).error);
        QVERIFY(!run(snoop->subscribe()).error);
        QCOMPARE(channel->state(), RealtimeChannel::State::Joined);

        insert(bob, QStringLiteral("bob speaks"));
        insert(ada, QStringLiteral("ada speaks"));
        // Events are ordered on the socket: had Bob's row come through, it would come first.
        QCOMPARE(nextText(inserts), QStringLiteral("ada speaks"));
        QTest::qWait(300);
        QCOMPARE(inserts.pending(), std::size_t(0));
        QCOMPARE(snooped.pending(), std::size_t(0));
    }

    void heartbeatKeepsTheSocketAlivePastTheIdleLimit()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        RealtimeChannel *channel = ada.ownChannel();
        const auto inserts = watch(channel, ada.userId());
        QSignalSpy drops(&ada.client->realtime(), &RealtimeClient::disconnected);
        QVERIFY(!run(channel->subscribe()).error);
        QTest::qWait(5000); // the server closes sockets silent for 2 s
        QCOMPARE(drops.count(), 0);
        insert(ada, QStringLiteral("still here"));
        QCOMPARE(nextText(inserts), QStringLiteral("still here"));
    }

    void droppedSocketReconnectsAndRejoins_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("server closes the socket") << "disconnect";
        QTest::newRow("idle close without heartbeats") << "silence";
        QTest::newRow("server stops answering") << "pause";
    }
    void droppedSocketReconnectsAndRejoins()
    {
        REQUIRE_SERVER();
        QFETCH(QString, how);
        RealtimeOptions options = fastRealtime();
        if (how == QLatin1String("silence"))
            options.heartbeatInterval = 60s;
        Account ada = signIn(adaEmail, options);
        RealtimeChannel *channel = ada.ownChannel();
        const auto inserts = watch(channel, ada.userId());
        QSignalSpy drops(&ada.client->realtime(), &RealtimeClient::disconnected);
        QSignalSpy connects(&ada.client->realtime(), &RealtimeClient::connected);
        QVERIFY(!run(channel->subscribe()).error);

        if (how == QLatin1String("disconnect")) {
            QCOMPARE(m_backend.control("POST", QStringLiteral("/realtime/disconnect")).value("closed").toInt() >= 1,
                     true);
        } else if (how == QLatin1String("pause")) {
            // Open sockets, no answers: only the missing heartbeat reply shows it.
            m_backend.pause();
            QTRY_VERIFY_WITH_TIMEOUT(drops.count() >= 1, 5000);
            m_backend.resume();
        }
        QTRY_VERIFY_WITH_TIMEOUT(drops.count() >= 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(connects.count() >= 2 && channel->state() == RealtimeChannel::State::Joined, 10000);
        insert(ada, QStringLiteral("after the drop"));
        QCOMPARE(nextText(inserts), QStringLiteral("after the drop"));
        QVERIFY(!inserts.isFinished());
    }

    void reconnectingGivesUpAfterTheLastAttempt()
    {
        REQUIRE_SERVER();
        LocalBackend doomed;
        QVERIFY2(doomed.start({QStringLiteral("--memory"), QStringLiteral("--password-iterations"),
                               QStringLiteral("1000"), QStringLiteral("--seed-user"), adaEmail + u':' + password}),
                 qPrintable(doomed.error()));
        SupabaseClientOptions options;
        options.auth.storage = std::make_shared<MemorySessionStorage>();
        options.realtime = fastRealtime();
        SupabaseClient client(doomed.baseUrl(), doomed.anonKey(), options);
        const Session session = run(client.auth().signInWithPassword(adaEmail, password)).get();
        RealtimeChannel *channel = client.realtime().channel(QStringLiteral("transcriptions:user:") + session.user.id);
        const auto inserts = watch(channel, session.user.id);
        QVERIFY(!run(channel->subscribe()).error);
        QSignalSpy connects(&client.realtime(), &RealtimeClient::connected);

        static QStringList lines;
        lines.clear();
        setLogHandler(
            [](QStringView component, const QString &message) { lines << component.toString() + u' ' + message; });
        doomed.stop();
        QTRY_VERIFY_WITH_TIMEOUT(inserts.isFinished(), 10000);
        setLogHandler({});
        QCOMPARE(channel->state(), RealtimeChannel::State::Closed);
        QCOMPARE(connects.count(), 0);
        QCOMPARE(lines.filter(QStringLiteral("Socket lost; reconnect attempt")).size(), 5);
        QVERIFY(lines.contains(QStringLiteral("Realtime Giving up after 5 reconnect attempts")));
    }

    void refreshedTokenIsPushedToJoinedChannels()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        RealtimeChannel *channel = ada.ownChannel();
        const auto inserts = watch(channel, ada.userId());
        QVERIFY(!run(channel->subscribe()).error);
        QSignalSpy states(channel, &RealtimeChannel::stateChanged);

        // Near the join token's expiry on the server's clock, renew; then let it pass.
        m_backend.control("POST", QStringLiteral("/clock"), {{"advance_seconds", ada.session.expiresIn - 60}});
        run(ada.client->auth().renewSession()).get();
        m_backend.control("POST", QStringLiteral("/clock"), {{"advance_seconds", 120}});
        // The server checks token expiry before it handles any frame of the socket: once a
        // later join is answered, a channel still on the old token would have been closed.
        RealtimeChannel *probe = ada.client->realtime().channel(QStringLiteral("probe"));
        QVERIFY(!run(probe->subscribe()).error);
        insert(ada, QStringLiteral("fresh token"));
        const QString text = nextText(inserts);
        m_backend.control("POST", QStringLiteral("/clock"), {{"advance_seconds", -(ada.session.expiresIn + 60)}});
        QCOMPARE(text, QStringLiteral("fresh token"));
        QCOMPARE(states.count(), 0); // never closed by the server
    }

    void unsubscribeStopsEvents()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        RealtimeChannel *channel = ada.ownChannel();
        const auto inserts = watch(channel, ada.userId());
        RealtimeChannel *other =
            ada.client->realtime().channel(QStringLiteral("transcriptions:user:") + ada.userId() + u'2');
        const auto stillListening = watch(other, ada.userId());
        QVERIFY(!run(channel->subscribe()).error);
        QVERIFY(!run(other->subscribe()).error);

        QVERIFY(!run(channel->unsubscribe()).error);
        QCOMPARE(channel->state(), RealtimeChannel::State::Closed);
        QVERIFY(inserts.isFinished());
        insert(ada, QStringLiteral("after leaving"));
        QCOMPARE(nextText(stillListening), QStringLiteral("after leaving"));
        QCOMPARE(run(inserts.next()).get(), std::nullopt);
        QVERIFY(ada.client->realtime().isConnected());

        QPointer<RealtimeChannel> removed(other);
        QVERIFY(!run(ada.client->realtime().removeChannel(other)).error);
        QVERIFY(stillListening.isFinished());
        QTRY_VERIFY(!removed);
        QCOMPARE(ada.client->realtime().channels(), QList<RealtimeChannel *>{channel});
    }

    void removingAChannelThatNeverJoinedEndsItsStreams()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        RealtimeClient &realtime = ada.client->realtime();
        RealtimeChannel *idle = realtime.channel(QStringLiteral("idle"));
        const auto idleInserts = watch(idle, ada.userId());
        RealtimeChannel *connecting = realtime.channel(QStringLiteral("connecting"));
        const auto connectingInserts = watch(connecting, ada.userId());
        auto subscribing = connecting->subscribe(); // still waiting for the socket

        auto idleRemoval = realtime.removeChannel(idle);
        auto connectingRemoval = realtime.removeChannel(connecting);
        QVERIFY(!run(std::move(idleRemoval)).error);
        QVERIFY(!run(std::move(connectingRemoval)).error);
        const auto error = errorOf<RealtimeError>(run(std::move(subscribing)));
        QVERIFY(error);
        QCOMPARE(error->kind(), RealtimeError::Kind::Closed);
        // A reader waiting for the next event learns that none will come.
        QVERIFY(idleInserts.isFinished());
        QVERIFY(connectingInserts.isFinished());
        QTRY_VERIFY(realtime.channels().isEmpty());
    }

    void deletedChannelEndsItsStreams()
    {
        SupabaseClientOptions options;
        options.auth.storage = std::make_shared<MemorySessionStorage>();
        SupabaseClient client(QUrl(QStringLiteral("http://127.0.0.1:9")), QStringLiteral("anon"), options);
        RealtimeChannel *channel = client.realtime().channel(QStringLiteral("deleted"));
        const auto inserts = channel->onPostgresInsert(QStringLiteral("public"), QStringLiteral("transcriptions"));
        auto reading = inserts.next();
        delete channel;
        const auto outcome = run(std::move(reading), 3s);
        QVERIFY(outcome.finished);
        QVERIFY(!outcome.error);
        QCOMPARE(*outcome.value, std::nullopt);
        QVERIFY(inserts.isFinished());
    }

    void closeOfAnEarlierJoinOfTheTopicLeavesTheNewOneAlone()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        const QString topic = QStringLiteral("transcriptions:user:") + ada.userId();
        RealtimeChannel *old = ada.client->realtime().channel(topic);
        watch(old, ada.userId());
        QVERIFY(!run(old->subscribe()).error);
        // Watching again: the old channel leaves while the new one joins. The server's close
        // of the old join comes after the new join was sent.
        auto leaving = old->unsubscribe();
        RealtimeChannel *renewed = ada.client->realtime().channel(topic);
        const auto inserts = watch(renewed, ada.userId());
        const auto outcome = run(renewed->subscribe());
        QVERIFY2(!outcome.error, qPrintable(tindrel::test::errorText(outcome)));
        QVERIFY(!run(std::move(leaving)).error);
        QCOMPARE(renewed->state(), RealtimeChannel::State::Joined);
        insert(ada, QStringLiteral("watched again"));
        QCOMPARE(nextText(inserts), QStringLiteral("watched again"));
    }

    void refusedOrUnansweredJoinFailsTheSubscribe()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        RealtimeChannel *channel = ada.ownChannel();
        watch(channel, ada.userId());
        ada.client->realtime().setAuth(QStringLiteral("not.a-valid.token"));
        const auto refused = errorOf<RealtimeError>(run(channel->subscribe()));
        QVERIFY(refused);
        QCOMPARE(refused->kind(), RealtimeError::Kind::JoinRefused);
        QVERIFY2(!refused->message().isEmpty(), "the server's reason is kept");
        QCOMPARE(channel->state(), RealtimeChannel::State::Errored);

        ada.client->realtime().setAuth(ada.session.accessToken);
        RealtimeChannel *late = ada.client->realtime().channel(QStringLiteral("late"));
        watch(late, ada.userId());
        m_backend.pause();
        const auto timedOut = errorOf<RealtimeError>(run(late->subscribe()));
        m_backend.resume();
        QVERIFY(timedOut);
        QCOMPARE(timedOut->kind(), RealtimeError::Kind::TimedOut);
    }

    void signOutDisconnects()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        RealtimeChannel *channel = ada.ownChannel();
        const auto inserts = watch(channel, ada.userId());
        QVERIFY(!run(channel->subscribe()).error);
        run(ada.client->auth().signOut()).get();
        QVERIFY(!ada.client->realtime().isConnected());
        QVERIFY(inserts.isFinished());
        QCOMPARE(channel->state(), RealtimeChannel::State::Closed);
    }

    void unsubscribeWhileConnectingSendsNoJoin()
    {
        REQUIRE_SERVER();
        Account ada = signIn(adaEmail);
        RealtimeChannel *channel = ada.ownChannel();
        const auto inserts = watch(channel, ada.userId());
        auto subscribing = channel->subscribe(); // waits for the socket
        QVERIFY(!run(channel->unsubscribe()).error);
        const auto error = errorOf<RealtimeError>(run(std::move(subscribing)));
        QVERIFY(error);
        QCOMPARE(error->kind(), RealtimeError::Kind::Closed);
        // The caller was told the channel is closed: it must not be joined behind its back.
        QCOMPARE(channel->state(), RealtimeChannel::State::Closed);
        QTest::qWait(300);
        QCOMPARE(channel->state(), RealtimeChannel::State::Closed);
    }

    // The client goes away while a subscribe waits for the socket or for the join reply:
    // the subscribe ends with an error instead of waiting forever.
    void destroyingTheClientEndsAPendingSubscribe_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("while connecting") << false;
        QTest::newRow("while joining") << true;
    }
    void destroyingTheClientEndsAPendingSubscribe()
    {
        QFETCH(bool, connected);
        QTcpServer silent; // accepts connections, never answers the upgrade
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        if (connected)
            REQUIRE_SERVER();
        SupabaseClientOptions options;
        options.auth.storage = std::make_shared<MemorySessionStorage>();
        options.realtime = fastRealtime();
        options.realtime.timeout = 60s; // only the destruction may end the wait
        const QUrl base =
            connected ? m_backend.baseUrl() : QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()));
        auto client = std::make_unique<SupabaseClient>(base, m_backend.anonKey(), options);
        if (connected) {
            QVERIFY(!run(client->realtime().connectSocket()).error);
            m_backend.pause(); // the join is never answered
        }
        RealtimeChannel *channel = client->realtime().channel(QStringLiteral("pending"));
        const auto inserts = channel->onPostgresInsert(QStringLiteral("public"), QStringLiteral("transcriptions"));
        auto subscribing = channel->subscribe();
        QTest::qWait(100);
        client.reset();
        const auto outcome = run(std::move(subscribing), 3s);
        if (connected)
            m_backend.resume();
        QVERIFY(outcome.finished);
        const auto error = errorOf<RealtimeError>(outcome);
        QVERIFY(error);
        QCOMPARE(error->kind(), RealtimeError::Kind::Closed);
        QVERIFY(inserts.isFinished());
    }

    void unreachableServerFailsTheSubscribe()
    {
        SupabaseClientOptions options;
        options.auth.storage = std::make_shared<MemorySessionStorage>();
        options.realtime = fastRealtime();
        SupabaseClient client(QUrl(QStringLiteral("http://127.0.0.1:9")), QStringLiteral("anon"), options);
        QCOMPARE(client.realtime().endpointUrl().toString(),
                 QStringLiteral("ws://127.0.0.1:9/realtime/v1/websocket?apikey=anon&vsn=1.0.0"));
        RealtimeChannel *channel = client.realtime().channel(QStringLiteral("nowhere"));
        const auto error = errorOf<RealtimeError>(run(channel->subscribe()));
        QVERIFY(error);
        QCOMPARE(error->kind(), RealtimeError::Kind::Connection);
        QTest::qWait(500); // a failed subscribe leaves nothing that reconnects
        QVERIFY(!client.realtime().isConnected());
    }
};

TINDREL_TEST_GUILESS_MAIN(TestSupabaseRealtime)
#include "tst_supabaserealtime.moc"
