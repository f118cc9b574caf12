#include "LocalBackend.h"
#include "MemorySessionStorage.h"
#include "SupabaseTestSupport.h"

#include "supabase/FunctionsError.h"
#include "supabase/SupabaseClient.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace supabase;
using tindrel::test::run;

namespace {
const QString seedEmail = QStringLiteral("ada@example.com");
const QString seedPassword = QStringLiteral("correct-horse-1");

FunctionInvokeOptions historyPage()
{
    FunctionInvokeOptions options;
    options.json = QJsonDocument(QJsonObject{{"limit", 5}, {"offset", 0}});
    return options;
}
} // namespace

class TestSupabaseFunctions : public QObject {
    Q_OBJECT

private:
    LocalBackend m_backend;
    bool m_serverUp = false;
    std::unique_ptr<SupabaseClient> m_client;

    QJsonObject lastRequestTo(const QString &path) const
    {
        const QJsonArray requests = m_backend.control("GET", QStringLiteral("/requests")).value("requests").toArray();
        for (qsizetype i = requests.size() - 1; i >= 0; --i) {
            if (requests.at(i).toObject().value("path").toString() == path)
                return requests.at(i).toObject();
        }
        return {};
    }

private slots:
    void initTestCase()
    {
        m_serverUp = m_backend.start({QStringLiteral("--memory"), QStringLiteral("--test-controls"),
                                      QStringLiteral("--password-iterations"), QStringLiteral("1000"),
                                      QStringLiteral("--seed-user"), seedEmail + u':' + seedPassword});
    }

    void init()
    {
        if (!m_serverUp)
            return;
        SupabaseClientOptions options;
        options.auth.storage = std::make_shared<MemorySessionStorage>();
        options.global.requestTimeout = std::chrono::seconds(10);
        m_client = std::make_unique<SupabaseClient>(m_backend.baseUrl(), m_backend.anonKey(), options);
        m_backend.control("DELETE", QStringLiteral("/faults"));
    }

    void signedInCallCarriesTheSessionToken()
    {
        REQUIRE_SERVER();
        const Session session = run(m_client->auth().signInWithPassword(seedEmail, seedPassword)).get();
        FunctionInvokeOptions options = historyPage();
        options.query = {{QStringLiteral("trace"), QStringLiteral("a b&c")}};
        options.headers = {{"X-Request-Id", "REQ-1"}};
        const FunctionResponse response = run(m_client->functions().invoke(QStringLiteral("history"), options)).get();
        QCOMPARE(response.status, 200);
        QVERIFY(response.json().object().contains(QStringLiteral("pageInfo")));
        QCOMPARE(response.header("x-request-id"), QByteArray("REQ-1"));

        const QJsonObject sent = lastRequestTo(QStringLiteral("/functions/v1/history"));
        QCOMPARE(sent.value("method").toString(), QStringLiteral("POST"));
        QCOMPARE(sent.value("query").toObject().value("trace").toString(), QStringLiteral("a b&c"));
        const QJsonObject headers = sent.value("headers").toObject();
        QVERIFY(headers.contains(QStringLiteral("apikey")));
        QVERIFY(headers.value("authorization").toString().startsWith(QStringLiteral("Bearer ")));
        QCOMPARE(headers.value("content-type").toString(), QStringLiteral("application/json"));
        QCOMPARE(sent.value("json").toObject().value("limit").toInt(), 5);
        Q_UNUSED(session);
    }

    void nonSuccessAnswersCarryStatusAndBody_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("function");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("bodyText");
        QTest::addColumn<QString>("platformCode");
        QTest::newRow("signed out: the project key is no user") << false << "history" << 401 << "unauthorized"
                                                                << "";
        QTest::newRow("unknown function") << true << "no-such-function" << 404 << "Requested function was not found"
                                          << "NOT_FOUND";
        QTest::newRow("function's own error") << true << "presign-download" << 400 << "invalid_request"
                                              << "";
    }
    void nonSuccessAnswersCarryStatusAndBody()
    {
        REQUIRE_SERVER();
        QFETCH(bool, signedIn);
        QFETCH(QString, function);
        QFETCH(int, status);
        QFETCH(QString, bodyText);
        QFETCH(QString, platformCode);
        if (signedIn)
            run(m_client->auth().signInWithPassword(seedEmail, seedPassword)).get();
        FunctionInvokeOptions options = historyPage();
        if (function == QLatin1String("presign-download")) {
            options.method = "GET";
            options.json.reset();
        }
        const auto outcome = run(m_client->functions().invoke(function, options));
        const auto error = errorOf<FunctionsError>(outcome);
        QVERIFY2(error, qPrintable(tindrel::test::errorText(outcome)));
        QCOMPARE(error->kind(), FunctionsError::Kind::Http);
        QCOMPARE(error->status(), status);
        QVERIFY2(QString::fromUtf8(error->body()).contains(bodyText), error->body().constData());
        QCOMPARE(error->platformCode(), platformCode);
    }

    void relayErrorIsReportedBeforeTheStatus()
    {
        REQUIRE_SERVER();
        run(m_client->auth().signInWithPassword(seedEmail, seedPassword)).get();
        m_backend.control("POST", QStringLiteral("/faults"),
                          {{"path", "/functions/v1/history"},
                           {"status", 200},
                           {"body", "relay down"},
                           {"headers", QJsonObject{{"x-relay-error", "true"}}}});
        const auto error =
            errorOf<FunctionsError>(run(m_client->functions().invoke(QStringLiteral("history"), historyPage())));
        QVERIFY(error);
        QCOMPARE(error->kind(), FunctionsError::Kind::Relay);
        QCOMPARE(error->body(), QByteArray("relay down"));
    }

    void slowFunctionTimesOut()
    {
        REQUIRE_SERVER();
        run(m_client->auth().signInWithPassword(seedEmail, seedPassword)).get();
        m_backend.control("POST", QStringLiteral("/faults"), {{"path", "/functions/v1/history"}, {"delay_ms", 3000}});
        FunctionInvokeOptions options = historyPage();
        options.timeout = std::chrono::milliseconds(300);
        const auto error =
            errorOf<FunctionsError>(run(m_client->functions().invoke(QStringLiteral("history"), options)));
        QVERIFY(error);
        QCOMPARE(error->kind(), FunctionsError::Kind::Fetch);
        QVERIFY(error->timedOut());
        QCOMPARE(error->status(), 0);
    }

    void droppedConnectionIsAFetchError()
    {
        REQUIRE_SERVER();
        run(m_client->auth().signInWithPassword(seedEmail, seedPassword)).get();
        // Qt resends a request once when a kept-alive connection closes before any answer
        // (the server may have closed it as idle), so both sends are dropped.
        m_backend.control("POST", QStringLiteral("/faults"),
                          {{"path", "/functions/v1/history"}, {"drop", true}, {"count", 2}});
        const auto error =
            errorOf<FunctionsError>(run(m_client->functions().invoke(QStringLiteral("history"), historyPage())));
        QVERIFY(error);
        QCOMPARE(error->kind(), FunctionsError::Kind::Fetch);
        QVERIFY(!error->timedOut());
        // Nothing is retried: the next call goes through.
        QCOMPARE(run(m_client->functions().invoke(QStringLiteral("history"), historyPage())).get().status, 200);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestSupabaseFunctions)
#include "tst_supabasefunctions.moc"
