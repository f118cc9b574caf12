// The auth server subset of the local backend, spoken to over HTTP as a client would.
#include "BackendProcess.h"

#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace tindrel::test;

namespace {

const HeaderList dated{{"X-Supabase-Api-Version", "2024-01-01"}};

QJsonObject jwtClaims(const QString &token)
{
    const QStringList parts = token.split(u'.');
    if (parts.size() != 3)
        return {};
    return QJsonDocument::fromJson(QByteArray::fromBase64(parts[1].toLatin1(), QByteArray::Base64UrlEncoding)).object();
}

HeaderList bearer(const QString &token, const HeaderList &more = dated)
{
    HeaderList headers = more;
    headers.append({"Authorization", "Bearer " + token.toLatin1()});
    return headers;
}

} // namespace

class TestLocalBackendAuth : public QObject {
    Q_OBJECT

private:
    BackendProcess m_backend;
    int m_users = 0;

    // A fresh account per test, so tests do not share sessions.
    QString newUser(const QString &password = QStringLiteral("secret-pass"))
    {
        const QString email = QStringLiteral("user%1@example.com").arg(++m_users);
        m_backend.createUser(email, password);
        return email;
    }

    HttpResult refresh(const QString &token)
    {
        return m_backend.postJson(QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                                  QJsonObject{{"refresh_token", token}}, dated);
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_backend.start(&error), qPrintable(error));
    }

    void passwordGrantReturnsASession()
    {
        const QString email = newUser();
        const HttpResult reply = m_backend.postJson(QStringLiteral("/auth/v1/token?grant_type=password"),
                                                    QJsonObject{{"email", email}, {"password", "secret-pass"},
                                                                {"gotrue_meta_security", QJsonObject{}}},
                                                    dated);
        QCOMPARE(reply.status, 200);
        const QJsonObject session = reply.json();
        QCOMPARE(session.value("token_type").toString(), QStringLiteral("bearer"));
        QCOMPARE(session.value("expires_in").toInt(), 3600);
        QVERIFY(session.value("refresh_token").toString().size() >= 12);
        const QJsonObject user = session.value("user").toObject();
        for (const char *member : {"id", "aud", "app_metadata", "user_metadata", "created_at", "identities"})
            QVERIFY2(user.contains(QLatin1String(member)), member);
        QCOMPARE(user.value("email").toString(), email);

        const QJsonObject claims = jwtClaims(session.value("access_token").toString());
        QCOMPARE(claims.value("sub").toString(), user.value("id").toString());
        QCOMPARE(claims.value("role").toString(), QStringLiteral("authenticated"));
        QCOMPARE(claims.value("aud").toString(), QStringLiteral("authenticated"));
        QCOMPARE(claims.value("exp").toInteger(), session.value("expires_at").toInteger());
        QVERIFY(!claims.value("session_id").toString().isEmpty());

        const HttpResult me = m_backend.send("GET", QStringLiteral("/auth/v1/user"), {},
                                             bearer(session.value("access_token").toString()));
        QCOMPARE(me.status, 200);
        QCOMPARE(me.json().value("id").toString(), user.value("id").toString());
    }

    void tokenErrors_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("wrong password") << "password" << QByteArray(R"({"email":"%1","password":"nope"})") << 400
                                        << "invalid_credentials" << "Invalid login credentials";
        QTest::newRow("unknown user") << "password" << QByteArray(R"({"email":"ghost@example.com","password":"x"})")
                                      << 400 << "invalid_credentials" << "Invalid login credentials";
        QTest::newRow("no email or phone") << "password" << QByteArray(R"({"password":"x"})") << 400
                                           << "validation_failed" << "missing email or phone";
        QTest::newRow("email not a string") << "password" << QByteArray(R"({"email":42,"password":"x"})") << 400
                                            << "bad_json" << "";
        QTest::newRow("not json") << "password" << QByteArray("email=a") << 400 << "bad_json" << "";
        QTest::newRow("json array") << "password" << QByteArray("[1,2]") << 400 << "bad_json" << "";
        QTest::newRow("unknown grant") << "magic" << QByteArray("{}") << 400 << "invalid_credentials"
                                       << "unsupported_grant_type";
        QTest::newRow("short refresh token") << "refresh_token" << QByteArray(R"({"refresh_token":"abc"})") << 400
                                             << "validation_failed" << "Refresh token is not valid";
        QTest::newRow("unknown refresh token")
            << "refresh_token" << QByteArray(R"({"refresh_token":"abcdefghijklmnopqrstuvwxyz0123"})") << 400
            << "refresh_token_not_found" << "Invalid Refresh Token: Refresh Token Not Found";
        QTest::newRow("pkce without verifier") << "pkce" << QByteArray(R"({"auth_code":"x"})") << 400
                                               << "validation_failed"
                                               << "invalid request: both auth code and code verifier should be non-empty";
        QTest::newRow("pkce unknown code")
            << "pkce" << QByteArray(R"({"auth_code":"00000000-0000-4000-8000-000000000000","code_verifier":"v"})")
            << 404 << "flow_state_not_found" << "invalid flow state, no valid flow state found";
    }

    // Both error shapes: the dated one the clients ask for and the legacy one.
    void tokenErrors()
    {
        QFETCH(QString, query);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        QFETCH(QString, message);
        const QString email = newUser();
        body.replace("%1", email.toUtf8());
        const QString path = QStringLiteral("/auth/v1/token?grant_type=") + query;

        const HttpResult dated = m_backend.send("POST", path, body, {{"X-Supabase-Api-Version", "2024-01-01"}});
        QCOMPARE(dated.status, status);
        QCOMPARE(dated.json().value("code").toString(), code);
        if (!message.isEmpty())
            QCOMPARE(dated.json().value("message").toString(), message);
        QCOMPARE(dated.header("x-sb-error-code"), code.toUtf8());
        QCOMPARE(dated.header("X-Supabase-Api-Version"), QByteArray("2024-01-01"));

        const HttpResult legacy = m_backend.send("POST", path, body);
        QCOMPARE(legacy.status, status);
        QCOMPARE(legacy.json().value("code").toInt(), status);
        QCOMPARE(legacy.json().value("error_code").toString(), code);
        if (!message.isEmpty())
            QCOMPARE(legacy.json().value("msg").toString(), message);
    }

    void apiKeyIsRequired_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QByteArray() << "No API key found in request";
        QTest::newRow("wrong") << QByteArray("not-the-key") << "Invalid API key";
    }

    void apiKeyIsRequired()
    {
        QFETCH(QByteArray, key);
        QFETCH(QString, message);
        for (const QString &path : {QStringLiteral("/auth/v1/token?grant_type=password"),
                                   QStringLiteral("/functions/v1/history")}) {
            const HttpResult reply = m_backend.send("POST", path, "{}", {{"apikey", key}});
            QCOMPARE(reply.status, 401);
            QCOMPARE(reply.json().value("message").toString(), message);
        }
    }

    void refreshRotatesAndToleratesTheLastToken()
    {
        const QString email = newUser();
        const QJsonObject first = m_backend.signIn(email, QStringLiteral("secret-pass"));
        const QString t1 = first.value("refresh_token").toString();

        const HttpResult second = refresh(t1);
        QCOMPARE(second.status, 200);
        const QString t2 = second.json().value("refresh_token").toString();
        QVERIFY(t2 != t1);
        QCOMPARE(jwtClaims(second.json().value("access_token").toString()).value("session_id"),
                 jwtClaims(first.value("access_token").toString()).value("session_id"));

        // A client that lost the reply presents t1 again: it gets the current token, t2.
        const HttpResult replay = refresh(t1);
        QCOMPARE(replay.status, 200);
        QCOMPARE(replay.json().value("refresh_token").toString(), t2);

        const HttpResult third = refresh(t2);
        QCOMPARE(third.status, 200);
        const QString t3 = third.json().value("refresh_token").toString();

        // t1 is now two generations old: reuse ends the whole session.
        const HttpResult reused = refresh(t1);
        QCOMPARE(reused.status, 400);
        QCOMPARE(reused.json().value("code").toString(), QStringLiteral("refresh_token_already_used"));
        QCOMPARE(reused.json().value("message").toString(), QStringLiteral("Invalid Refresh Token: Already Used"));
        QCOMPARE(refresh(t3).json().value("code").toString(), QStringLiteral("refresh_token_not_found"));
        const HttpResult me = m_backend.send("GET", QStringLiteral("/auth/v1/user"), {},
                                             bearer(third.json().value("access_token").toString()));
        QCOMPARE(me.status, 403);
        QCOMPARE(me.json().value("code").toString(), QStringLiteral("session_not_found"));
    }

    void logoutScopes_data()
    {
        QTest::addColumn<QString>("scope");
        QTest::addColumn<bool>("callerSurvives");
        QTest::addColumn<bool>("otherSurvives");
        QTest::newRow("global") << "global" << false << false;
        QTest::newRow("default is global") << "" << false << false;
        QTest::newRow("local") << "local" << false << true;
        QTest::newRow("others") << "others" << true << false;
    }

    void logoutScopes()
    {
        QFETCH(QString, scope);
        QFETCH(bool, callerSurvives);
        QFETCH(bool, otherSurvives);
        const QString email = newUser();
        const QJsonObject caller = m_backend.signIn(email, QStringLiteral("secret-pass"));
        const QJsonObject other = m_backend.signIn(email, QStringLiteral("secret-pass"));
        const QString path = scope.isEmpty() ? QStringLiteral("/auth/v1/logout")
                                             : QStringLiteral("/auth/v1/logout?scope=") + scope;
        const HttpResult out = m_backend.send("POST", path, {}, bearer(caller.value("access_token").toString()));
        QCOMPARE(out.status, 204);
        QVERIFY(out.body.isEmpty());

        // A live session answers /user and refreshes; a dead one fails both ways, with the
        // codes clients act on.
        auto verifyState = [this](const QJsonObject &session, bool survives) {
            const HttpResult me = m_backend.send("GET", QStringLiteral("/auth/v1/user"), {},
                                                 bearer(session.value("access_token").toString()));
            const HttpResult renewed = refresh(session.value("refresh_token").toString());
            QCOMPARE(me.status, survives ? 200 : 403);
            QCOMPARE(renewed.status, survives ? 200 : 400);
            if (!survives) {
                QCOMPARE(me.json().value("code").toString(), QStringLiteral("session_not_found"));
                QCOMPARE(renewed.json().value("code").toString(), QStringLiteral("refresh_token_not_found"));
            }
        };
        verifyState(caller, callerSurvives);
        verifyState(other, otherSurvives);
    }

    void logoutAndUserRejectBadTokens_data()
    {
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::newRow("no bearer") << QByteArray() << 401 << "no_authorization";
        QTest::newRow("garbage") << QByteArray("Bearer abc.def") << 403 << "bad_jwt";
        QTest::newRow("anonymous key") << QByteArray("anon") << 403 << "bad_jwt";
        QTest::newRow("tampered") << QByteArray("tampered") << 403 << "bad_jwt";
    }

    void logoutAndUserRejectBadTokens()
    {
        QFETCH(QByteArray, authorization);
        QFETCH(int, status);
        QFETCH(QString, code);
        if (authorization == "anon") {
            authorization = "Bearer " + m_backend.anonKey();
        } else if (authorization == "tampered") {
            const QString token = m_backend.signIn(newUser(), QStringLiteral("secret-pass")).value("access_token").toString();
            QByteArray forged = token.toLatin1();
            forged[forged.size() - 3] = forged[forged.size() - 3] == 'A' ? 'B' : 'A';
            authorization = "Bearer " + forged;
        }
        HeaderList headers = dated;
        if (!authorization.isEmpty())
            headers.append({"Authorization", authorization});
        const HttpResult user = m_backend.send("GET", QStringLiteral("/auth/v1/user"), {}, headers);
        QCOMPARE(user.status, status);
        QCOMPARE(user.json().value("code").toString(), code);
        const HttpResult out = m_backend.send("POST", QStringLiteral("/auth/v1/logout"), {}, headers);
        QCOMPARE(out.status, status);
    }

    void unknownLogoutScopeIsRefused()
    {
        const QJsonObject session = m_backend.signIn(newUser(), QStringLiteral("secret-pass"));
        const HttpResult out = m_backend.send("POST", QStringLiteral("/auth/v1/logout?scope=everyone"), {},
                                              bearer(session.value("access_token").toString()));
        QCOMPARE(out.status, 400);
        QCOMPARE(out.json().value("message").toString(), QStringLiteral("Unsupported logout scope \"everyone\""));
    }

    void expiredAccessTokenIsRefusedButRefreshWorks()
    {
        const QJsonObject session = m_backend.signIn(newUser(), QStringLiteral("secret-pass"));
        QCOMPARE(m_backend.control(QStringLiteral("/clock"), QJsonObject{{"advance_seconds", 3700}}).status, 200);
        const HttpResult me = m_backend.send("GET", QStringLiteral("/auth/v1/user"), {},
                                             bearer(session.value("access_token").toString()));
        QCOMPARE(me.status, 403);
        QCOMPARE(me.json().value("code").toString(), QStringLiteral("bad_jwt"));
        QVERIFY(me.json().value("message").toString().contains(QLatin1String("token is expired")));
        const HttpResult renewed = refresh(session.value("refresh_token").toString());
        QCOMPARE(renewed.status, 200);
        const HttpResult again = m_backend.send("GET", QStringLiteral("/auth/v1/user"), {},
                                                bearer(renewed.json().value("access_token").toString()));
        QCOMPARE(again.status, 200);
    }

    void functionsCheckTheCaller_data()
    {
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QString>("function");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("platformCode");
        QTest::newRow("no authorization") << QByteArray() << "history" << 401 << QByteArray("UNAUTHORIZED_NO_AUTH_HEADER");
        QTest::newRow("not a jwt") << QByteArray("Bearer nonsense") << "history" << 401
                                   << QByteArray("UNAUTHORIZED_INVALID_JWT_FORMAT");
        QTest::newRow("anonymous key") << QByteArray("anon") << "history" << 401 << QByteArray();
        QTest::newRow("unknown function") << QByteArray("user") << "nothing-here" << 404 << QByteArray("NOT_FOUND");
        QTest::newRow("signed in") << QByteArray("user") << "history" << 200 << QByteArray();
    }

    void functionsCheckTheCaller()
    {
        QFETCH(QByteArray, authorization);
        QFETCH(QString, function);
        QFETCH(int, status);
        QFETCH(QByteArray, platformCode);
        if (authorization == "anon")
            authorization = "Bearer " + m_backend.anonKey();
        else if (authorization == "user")
            authorization = "Bearer " + m_backend.signIn(newUser(), QStringLiteral("secret-pass")).value("access_token").toString().toLatin1();
        HeaderList headers{{"Content-Type", "application/json"}, {"X-Request-Id", "REQ-1"}};
        if (!authorization.isEmpty())
            headers.append({"Authorization", authorization});
        const HttpResult reply = m_backend.send("POST", QStringLiteral("/functions/v1/") + function,
                                                R"({"limit":10,"offset":0,"include_deleted":false})", headers);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.header("sb-error-code"), platformCode);
        if (status == 200) {
            QCOMPARE(reply.header("X-Request-Id"), QByteArray("REQ-1"));
            QCOMPARE(reply.json().value("data").toArray().size(), 0);
            QCOMPARE(reply.json().value("pageInfo").toObject().value("totalCount").toInt(), 0);
        }
    }
};

TINDREL_TEST_GUILESS_MAIN(TestLocalBackendAuth)
#include "tst_localbackend_auth.moc"
