// The auth server subset of the local backend, spoken to over HTTP as a client would.
#include "BackendProcess.h"

#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QUuid>

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

const QByteArray verifier = "3fa9c1d2e4b5a6978877665544332211aabbccddeeff00112233445566778899";

QByteArray challengeFor(const QByteArray &codeVerifier)
{
    return QCryptographicHash::hash(codeVerifier, QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString authorizePath(const QString &redirect = QStringLiteral("tindrel://auth-callback"),
                      const QByteArray &challenge = challengeFor(verifier))
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("provider"), QStringLiteral("google"));
    query.addQueryItem(QStringLiteral("redirect_to"), QString::fromLatin1(QUrl::toPercentEncoding(redirect)));
    query.addQueryItem(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("s256"));
    return QStringLiteral("/auth/v1/authorize?") + query.toString(QUrl::FullyEncoded);
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
        const HttpResult reply = m_backend.postJson(
            QStringLiteral("/auth/v1/token?grant_type=password"),
            QJsonObject{{"email", email}, {"password", "secret-pass"}, {"gotrue_meta_security", QJsonObject{}}}, dated);
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
                                        << "invalid_credentials"
                                        << "Invalid login credentials";
        QTest::newRow("unknown user") << "password" << QByteArray(R"({"email":"ghost@example.com","password":"x"})")
                                      << 400 << "invalid_credentials"
                                      << "Invalid login credentials";
        QTest::newRow("no email or phone")
            << "password" << QByteArray(R"({"password":"x"})") << 400 << "validation_failed"
            << "missing email or phone";
        QTest::newRow("email not a string")
            << "password" << QByteArray(R"({"email":42,"password":"x"})") << 400 << "bad_json"
            << "";
        QTest::newRow("not json") << "password" << QByteArray("email=a") << 400 << "bad_json"
                                  << "";
        QTest::newRow("json array") << "password" << QByteArray("[1,2]") << 400 << "bad_json"
                                    << "";
        QTest::newRow("unknown grant") << "magic" << QByteArray("{}") << 400 << "invalid_credentials"
                                       << "unsupported_grant_type";
        QTest::newRow("short refresh token")
            << "refresh_token" << QByteArray(R"({"refresh_token":"abc"})") << 400 << "validation_failed"
            << "Refresh token is not valid";
        QTest::newRow("unknown refresh token")
            << "refresh_token" << QByteArray(R"({"refresh_token":"abcdefghijklmnopqrstuvwxyz0123"})") << 400
            << "refresh_token_not_found"
            << "Invalid Refresh Token: Refresh Token Not Found";
        QTest::newRow("pkce without verifier")
            << "pkce" << QByteArray(R"({"auth_code":"x"})") << 400 << "validation_failed"
            << "invalid request: both auth code and code verifier should be non-empty";
        QTest::newRow("pkce unknown code")
            << "pkce" << QByteArray(R"({"auth_code":"00000000-0000-4000-8000-000000000000","code_verifier":"v"})")
            << 404 << "flow_state_not_found"
            << "invalid flow state, no valid flow state found";
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
        for (const QString &path :
             {QStringLiteral("/auth/v1/token?grant_type=password"), QStringLiteral("/functions/v1/history")}) {
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

    // A database that refuses writes must never yield tokens for a session it did not store,
    // nor lose the session a refresh or sign-out could not change.
    void refusedWritesFailWithoutHandingOutTokens()
    {
        const QString email = newUser();
        const QJsonObject session = m_backend.signIn(email, QStringLiteral("secret-pass"));
        const QString access = session.value("access_token").toString();
        const QString refreshToken = session.value("refresh_token").toString();
        QCOMPARE(m_backend.control(QStringLiteral("/database"), QJsonObject{{"read_only", true}}).status, 204);
        auto writable = qScopeGuard([this] {
            m_backend.control(QStringLiteral("/database"), QJsonObject{{"read_only", false}});
        });

        auto verifyFailure = [](const HttpResult &result) {
            QCOMPARE(result.status, 500);
            QCOMPARE(result.json().value("code").toString(), QStringLiteral("unexpected_failure"));
            QVERIFY(!result.json().contains("access_token"));
        };
        const QJsonObject credentials{{"email", email}, {"password", "secret-pass"}};
        verifyFailure(m_backend.postJson(QStringLiteral("/auth/v1/token?grant_type=password"), credentials, dated));
        const HttpResult legacy = m_backend.postJson(QStringLiteral("/auth/v1/token?grant_type=password"), credentials);
        QCOMPARE(legacy.status, 500);
        QCOMPARE(legacy.json().value("error_code").toString(), QStringLiteral("unexpected_failure"));
        verifyFailure(refresh(refreshToken));
        verifyFailure(m_backend.send("POST", QStringLiteral("/auth/v1/logout"), {}, bearer(access)));
        verifyFailure(m_backend.send("GET", authorizePath(), {}, dated));

        writable.dismiss();
        QCOMPARE(m_backend.control(QStringLiteral("/database"), QJsonObject{{"read_only", false}}).status, 204);
        QCOMPARE(m_backend.send("GET", QStringLiteral("/auth/v1/user"), {}, bearer(access)).status, 200);
        const HttpResult renewed = refresh(refreshToken);
        QCOMPARE(renewed.status, 200);
        QVERIFY(renewed.json().value("refresh_token").toString() != refreshToken);
        QCOMPARE(m_backend.postJson(QStringLiteral("/auth/v1/token?grant_type=password"), credentials, dated).status,
                 200);
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
        const QString path =
            scope.isEmpty() ? QStringLiteral("/auth/v1/logout") : QStringLiteral("/auth/v1/logout?scope=") + scope;
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
            const QString token =
                m_backend.signIn(newUser(), QStringLiteral("secret-pass")).value("access_token").toString();
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

    // The browser part of Google sign-in: the stand-in page, its form, the redirect with a
    // code; then the app's exchange of that code, which works once and only with the verifier.
    void pkceSignInRoundTrip()
    {
        const HttpResult page = m_backend.send("GET", authorizePath(), {}, {{"apikey", {}}});
        QCOMPARE(page.status, 200);
        QVERIFY(page.header("Content-Type").startsWith("text/html"));
        const auto flow = QRegularExpression(QStringLiteral("name=\"flow_id\" value=\"([^\"]+)\""))
                              .match(QString::fromUtf8(page.body));
        QVERIFY(flow.hasMatch());
        QVERIFY(page.body.contains("method=\"post\""));

        const HttpResult approved = m_backend.send(
            "POST", QStringLiteral("/auth/v1/callback"),
            "flow_id=" + flow.captured(1).toLatin1() + "&email=pkce.person%40example.com&name=Pat+Doe&action=approve",
            {{"Content-Type", "application/x-www-form-urlencoded"}, {"apikey", {}}});
        QCOMPARE(approved.status, 302);
        const QUrl location(QString::fromUtf8(approved.header("Location")));
        QCOMPARE(location.scheme(), QStringLiteral("tindrel"));
        QCOMPARE(location.host(), QStringLiteral("auth-callback"));
        const QString code = QUrlQuery(location).queryItemValue(QStringLiteral("code"));
        QVERIFY(!QUuid::fromString(code).isNull());

        auto exchange = [this, &code](const QByteArray &codeVerifier) {
            return m_backend.postJson(
                QStringLiteral("/auth/v1/token?grant_type=pkce"),
                QJsonObject{{"auth_code", code}, {"code_verifier", QString::fromLatin1(codeVerifier)}}, dated);
        };
        const HttpResult wrong = exchange(verifier + "x");
        QCOMPARE(wrong.status, 400);
        QCOMPARE(wrong.json().value("code").toString(), QStringLiteral("bad_code_verifier"));
        const HttpResult session = exchange(verifier);
        QCOMPARE(session.status, 200);
        QCOMPARE(session.json().value("user").toObject().value("email").toString(),
                 QStringLiteral("pkce.person@example.com"));
        QVERIFY(!session.json().value("refresh_token").toString().isEmpty());
        const HttpResult again = exchange(verifier);
        QCOMPARE(again.status, 404);
        QCOMPARE(again.json().value("code").toString(), QStringLiteral("flow_state_not_found"));
    }

    void authorizeValidatesItsParameters_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("unknown provider") << "/auth/v1/authorize?provider=myspace&redirect_to=tindrel%3A%2F%2Fx";
        QTest::newRow("challenge without method")
            << QStringLiteral("/auth/v1/authorize?provider=google&code_challenge=")
                   + QString::fromLatin1(challengeFor(verifier));
        QTest::newRow("short challenge")
            << "/auth/v1/authorize?provider=google&code_challenge=abc&code_challenge_method=s256";
        QTest::newRow("bad characters") << "/auth/v1/authorize?provider=google&code_challenge=" + QString(43, u'%')
                                               + "25&code_challenge_method=s256";
        QTest::newRow("unknown method")
            << QStringLiteral("/auth/v1/authorize?provider=google&code_challenge_method=md5&code_challenge=")
                   + QString::fromLatin1(challengeFor(verifier));
    }

    void authorizeValidatesItsParameters()
    {
        QFETCH(QString, path);
        const HttpResult reply = m_backend.send("GET", path, {}, {{"apikey", {}}});
        QCOMPARE(reply.status, 400);
        QCOMPARE(reply.header("x-sb-error-code"), QByteArray("validation_failed"));
    }

    void signInPageCancelAndExpiry()
    {
        auto startFlow = [this](const QString &redirect) {
            const HttpResult page = m_backend.send("GET", authorizePath(redirect), {}, {{"apikey", {}}});
            return QRegularExpression(QStringLiteral("name=\"flow_id\" value=\"([^\"]+)\""))
                .match(QString::fromUtf8(page.body))
                .captured(1);
        };
        auto submit = [this](const QString &flowId, const QByteArray &action) {
            return m_backend.send("POST", QStringLiteral("/auth/v1/callback"),
                                  "flow_id=" + flowId.toLatin1() + "&email=late%40example.com&action=" + action,
                                  {{"Content-Type", "application/x-www-form-urlencoded"}, {"apikey", {}}});
        };
        // Cancel: the error travels in the query and in the fragment.
        const HttpResult cancelled = submit(startFlow(QStringLiteral("http://127.0.0.1:53682/cb?x=1")), "cancel");
        QCOMPARE(cancelled.status, 302);
        const QUrl target(QString::fromUtf8(cancelled.header("Location")));
        QCOMPARE(target.port(), 53682);
        QCOMPARE(QUrlQuery(target).queryItemValue(QStringLiteral("error")), QStringLiteral("access_denied"));
        QCOMPARE(QUrlQuery(target).queryItemValue(QStringLiteral("x")), QStringLiteral("1"));
        QCOMPARE(QUrlQuery(target.fragment()).queryItemValue(QStringLiteral("error")), QStringLiteral("access_denied"));

        // A target outside the allowed ones falls back to the site address.
        const HttpResult elsewhere = submit(startFlow(QStringLiteral("https://evil.example/steal")), "approve");
        QVERIFY(elsewhere.header("Location").startsWith(m_backend.baseUrl().toLatin1() + "/?code="));

        // Codes die five minutes after the flow started.
        const HttpResult approved = submit(startFlow(QStringLiteral("tindrel://auth-callback")), "approve");
        const QString code =
            QUrlQuery(QUrl(QString::fromUtf8(approved.header("Location")))).queryItemValue(QStringLiteral("code"));
        m_backend.control(QStringLiteral("/clock"), QJsonObject{{"advance_seconds", 301}});
        const HttpResult late = m_backend.postJson(
            QStringLiteral("/auth/v1/token?grant_type=pkce"),
            QJsonObject{{"auth_code", code}, {"code_verifier", QString::fromLatin1(verifier)}}, dated);
        m_backend.control(QStringLiteral("/clock"), QJsonObject{{"advance_seconds", -301}});
        QCOMPARE(late.status, 422);
        QCOMPARE(late.json().value("code").toString(), QStringLiteral("flow_state_expired"));
    }

    void autoApprovalSkipsThePage()
    {
        BackendProcess quick({QStringLiteral("--auto-approve-google"), QStringLiteral("auto@example.com")});
        QVERIFY(quick.start());
        const HttpResult reply = quick.send("GET", authorizePath(), {}, {{"apikey", {}}});
        QCOMPARE(reply.status, 302);
        const QString code =
            QUrlQuery(QUrl(QString::fromUtf8(reply.header("Location")))).queryItemValue(QStringLiteral("code"));
        const HttpResult session =
            quick.postJson(QStringLiteral("/auth/v1/token?grant_type=pkce"),
                           QJsonObject{{"auth_code", code}, {"code_verifier", QString::fromLatin1(verifier)}});
        QCOMPARE(session.status, 200);
        QCOMPARE(session.json().value("user").toObject().value("email").toString(), QStringLiteral("auto@example.com"));

        // Without a challenge the tokens come back in the fragment (implicit flow).
        const HttpResult implicit = quick.send(
            "GET", QStringLiteral("/auth/v1/authorize?provider=google&redirect_to=http%3A%2F%2F127.0.0.1%3A5000%2Fcb"),
            {}, {{"apikey", {}}});
        QCOMPARE(implicit.status, 302);
        const QUrlQuery fragment(QUrl(QString::fromUtf8(implicit.header("Location"))).fragment());
        QCOMPARE(fragment.queryItemValue(QStringLiteral("token_type")), QStringLiteral("bearer"));
        QVERIFY(!fragment.queryItemValue(QStringLiteral("refresh_token")).isEmpty());
        const HttpResult me = quick.send("GET", QStringLiteral("/auth/v1/user"), {},
                                         bearer(fragment.queryItemValue(QStringLiteral("access_token"))));
        QCOMPARE(me.status, 200);
    }

    // The file the run command hands to the app as its bundle configuration.
    void writesABundleConfiguration()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("bundle.json"));
        BackendProcess other({QStringLiteral("--write-config"), path});
        QVERIFY(other.start());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(config.value("SupabaseURL").toString(), other.baseUrl());
        QCOMPARE(config.value("SupabaseAnonKey").toString().toLatin1(), other.anonKey());
        QCOMPARE(config.value("SupabaseRedirectURI").toString(), QStringLiteral("tindrel://auth-callback"));
        QCOMPARE(config.value("CFBundleURLTypes").toArray().first().toObject().value("CFBundleURLSchemes").toArray(),
                 QJsonArray{"tindrel"});
        QVERIFY(!config.value("CFBundleShortVersionString").toString().isEmpty());
    }

    void functionsCheckTheCaller_data()
    {
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QString>("function");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("platformCode");
        QTest::newRow("no authorization")
            << QByteArray() << "history" << 401 << QByteArray("UNAUTHORIZED_NO_AUTH_HEADER");
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
            authorization = "Bearer "
                            + m_backend.signIn(newUser(), QStringLiteral("secret-pass"))
                                  .value("access_token")
                                  .toString()
                                  .toLatin1();
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

    // Last: everything above leaves nothing behind (leaks fail the exit code under ASan).
    void stopsCleanly()
    {
        const int code = m_backend.stop();
        QVERIFY2(code == 0,
                 qPrintable(QStringLiteral("exit code %1:\n%2").arg(code).arg(m_backend.output().right(4000))));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestLocalBackendAuth)
#include "tst_localbackend_auth.moc"
