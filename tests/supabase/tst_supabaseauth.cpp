#include "LocalBackend.h"
#include "MemorySessionStorage.h"
#include "SupabaseTestSupport.h"

#include "supabase/AuthError.h"
#include "supabase/HttpExchange.h"
#include "supabase/Pkce.h"
#include "supabase/SupabaseClient.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

using namespace supabase;
using tindrel::test::run;

namespace {

const QString seedEmail = QStringLiteral("ada@example.com");
const QString seedPassword = QStringLiteral("correct-horse-1");

// How far the clients' clock runs ahead of the real one; lets a test make a fresh session
// look nearly expired without waiting.
qint64 g_clockShift = 0;

std::unique_ptr<SupabaseClient> makeClient(const QUrl &url, const QString &key,
                                           std::shared_ptr<MemorySessionStorage> storage = nullptr)
{
    SupabaseClientOptions options;
    options.auth.storage = storage ? storage : std::make_shared<MemorySessionStorage>();
    options.auth.autoRefreshTick = std::chrono::milliseconds(50);
    options.global.requestTimeout = std::chrono::seconds(10);
    options.global.clock = [] { return QDateTime::currentDateTimeUtc().addSecs(g_clockShift); };
    return std::make_unique<SupabaseClient>(url, key, options);
}

QList<AuthChangeEvent> drain(const EventStream<AuthStateChange> &stream)
{
    QList<AuthChangeEvent> events;
    while (stream.pending() > 0)
        events << run(stream.next()).get()->event;
    return events;
}

// A signed session as the server would issue it, for tests that need a stored one.
Session fakeSession(qint64 expiresAt)
{
    Session session;
    const QByteArray payload =
        QJsonDocument(QJsonObject{{"exp", expiresAt}, {"sub", "u1"}}).toJson(QJsonDocument::Compact);
    session.accessToken =
        QStringLiteral("eyJhbGciOiJIUzI1NiJ9.%1.sig")
            .arg(QString::fromLatin1(payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)));
    session.refreshToken = QStringLiteral("refresh-token-1");
    session.expiresAt = expiresAt;
    session.expiresIn = 3600;
    return session;
}

} // namespace

class TestSupabaseAuth : public QObject {
    Q_OBJECT

private:
    LocalBackend m_backend;
    bool m_serverUp = false;

    // Stands in for the browser: follows the server's redirects until it is sent to the
    // redirect URL, answering the local sign-in page with `choice` ("approve" or "cancel").
    static QCoro::Task<QUrl> followSignIn(QUrl url, QString redirectPrefix, QString choice = QStringLiteral("approve"))
    {
        QNetworkAccessManager network;
        for (int hop = 0; hop < 10; ++hop) {
            if (url.toString().startsWith(redirectPrefix))
                co_return url;
            QNetworkRequest request(url);
            request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
            QNetworkReply *reply = co_await network.get(request);
            const QByteArray location = reply->rawHeader("Location");
            const QByteArray body = reply->readAll();
            reply->deleteLater();
            if (!location.isEmpty()) {
                url = url.resolved(QUrl::fromEncoded(location));
                continue;
            }
            // The sign-in page: submit its first form with its own fields.
            static const QRegularExpression actionPattern(QStringLiteral("<form[^>]*action=\"([^\"]*)\""));
            static const QRegularExpression inputPattern(
                QStringLiteral("<input[^>]*name=\"([^\"]*)\"[^>]*value=\"([^\"]*)\""));
            const QString html = QString::fromUtf8(body);
            const auto action = actionPattern.match(html);
            if (!action.hasMatch())
                throw std::runtime_error("no redirect and no sign-in form");
            QUrlQuery form;
            for (auto it = inputPattern.globalMatch(html); it.hasNext();) {
                const auto input = it.next();
                // Sign in as the seeded user, who has an account already.
                form.addQueryItem(input.captured(1),
                                  input.captured(1) == QLatin1String("email") ? seedEmail : input.captured(2));
            }
            form.addQueryItem(QStringLiteral("action"), choice);
            QNetworkRequest post(
                url.resolved(QUrl(action.captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&")))));
            post.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
            post.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
            QNetworkReply *posted = co_await network.post(post, form.toString(QUrl::FullyEncoded).toUtf8());
            const QByteArray next = posted->rawHeader("Location");
            const QByteArray answer = posted->readAll();
            posted->deleteLater();
            if (next.isEmpty())
                throw std::runtime_error("the sign-in form did not redirect: " + answer.toStdString());
            url = url.resolved(QUrl::fromEncoded(next));
        }
        throw std::runtime_error("too many redirects");
    }

    static QCoro::Task<QUrl> recordCallback(QCoro::Task<QUrl> inner, QUrl *into)
    {
        const QUrl url = co_await std::move(inner);
        *into = url; // not co_return *into: QCoro would move the value out of it
        co_return url;
    }

    static QCoro::Task<QUrl> failLaunch()
    {
        throw std::runtime_error("browser closed");
        co_return QUrl();
    }

    // Opens the browser only once `gate` yields, standing for a user still in the browser.
    static QCoro::Task<QUrl> signInAfter(EventStream<int> gate, QUrl url, QString redirectPrefix)
    {
        co_await gate.next();
        co_return co_await followSignIn(url, redirectPrefix);
    }

    std::unique_ptr<SupabaseClient> serverClient(std::shared_ptr<MemorySessionStorage> storage = nullptr)
    {
        return makeClient(m_backend.baseUrl(), m_backend.anonKey(), std::move(storage));
    }

    Session signIn(SupabaseClient &client, const QString &email = seedEmail, const QString &password = seedPassword)
    {
        return run(client.auth().signInWithPassword(email, password)).get();
    }

private slots:
    void init() { g_clockShift = 0; }

    void initTestCase()
    {
        m_serverUp = m_backend.start(
            {QStringLiteral("--memory"), QStringLiteral("--test-controls"), QStringLiteral("--password-iterations"),
             QStringLiteral("1000"), QStringLiteral("--seed-user"), seedEmail + u':' + seedPassword,
             QStringLiteral("--seed-user"), QStringLiteral("bob@example.com:bobs-password-2")});
    }

    void pkceChallengeIsS256OfTheVerifier()
    {
        // RFC 7636, appendix B.
        QCOMPARE(pkce::challenge(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
                 QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
        const QString verifier = pkce::generateVerifier();
        QCOMPARE(verifier.size(), 86);
        QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]+$")).match(verifier).hasMatch());
        QVERIFY(verifier != pkce::generateVerifier());
    }

    void authorizationUrlKeepsParameterOrderAndStoresVerifier()
    {
        auto storage = std::make_shared<MemorySessionStorage>();
        auto client = makeClient(QUrl(QStringLiteral("https://abc.example.co")), QStringLiteral("anon"), storage);
        const QUrl url = client->auth().prepareProviderSignIn(
            QStringLiteral("google"), QUrl(QStringLiteral("tindrel://auth-callback")), QStringLiteral("email,openid"),
            {{QStringLiteral("access_type"), QStringLiteral("offline")},
             {QStringLiteral("prompt"), QStringLiteral("select_account")},
             {QStringLiteral("flag"), std::nullopt}});
        QCOMPARE(client->auth().storageKey(), QStringLiteral("sb-abc-auth-token"));
        const auto verifier = storage->retrieve(client->auth().codeVerifierKey());
        QVERIFY(verifier);
        const QString challenge = pkce::challenge(QString::fromUtf8(*verifier));
        QCOMPARE(url.toString(QUrl::RemoveQuery), QStringLiteral("https://abc.example.co/auth/v1/authorize"));
        QCOMPARE(url.query(QUrl::FullyEncoded),
                 QStringLiteral("provider=google&redirect_to=tindrel%3A%2F%2Fauth-callback&scopes=email%2Copenid"
                                "&code_challenge=%1&code_challenge_method=s256&access_type=offline"
                                "&prompt=select_account&flag")
                     .arg(challenge));
    }

    void callbackErrorsLeaveTheSessionAlone_data()
    {
        QTest::addColumn<QString>("callback");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("oauthError");
        QTest::newRow("query") << "tindrel://auth-callback?error=access_denied&error_code=signup_disabled"
                                  "&error_description=Signups+not+allowed"
                               << "Signups not allowed"
                               << "signup_disabled"
                               << "access_denied";
        QTest::newRow("fragment with sb marker")
            << "tindrel://auth-callback#error=server_error&error_code=unexpected_failure"
               "&error_description=Unable%20to%20exchange%20external%20code&sb="
            << "Unable to exchange external code"
            << "unexpected_failure"
            << "server_error";
        QTest::newRow("query wins over fragment")
            << "tindrel://auth-callback?error=access_denied&error_description=From+query#error=server_error"
               "&error_description=From+fragment"
            << "From query"
            << ""
            << "access_denied";
        QTest::newRow("error word only") << "tindrel://auth-callback?error=access_denied"
                                         << "access_denied"
                                         << ""
                                         << "access_denied";
    }
    void callbackErrorsLeaveTheSessionAlone()
    {
        QFETCH(QString, callback);
        QFETCH(QString, message);
        QFETCH(QString, code);
        QFETCH(QString, oauthError);
        auto storage = std::make_shared<MemorySessionStorage>();
        auto client = makeClient(QUrl(QStringLiteral("http://127.0.0.1:9")), QStringLiteral("anon"), storage);
        const Session existing = fakeSession(QDateTime::currentSecsSinceEpoch() + 3600);
        storage->store(client->auth().storageKey(), QJsonDocument(existing.toJson()).toJson());
        storage->store(client->auth().codeVerifierKey(), "pending-verifier");

        const auto outcome = run(client->auth().sessionFromUrl(QUrl(callback)));
        const auto error = errorOf<AuthError>(outcome);
        QVERIFY(error);
        QCOMPARE(error->kind(), AuthError::Kind::CallbackError);
        QCOMPARE(error->message(), message);
        QCOMPARE(error->code(), code);
        QCOMPARE(error->oauthError(), oauthError);
        QCOMPARE(client->auth().currentSession()->accessToken, existing.accessToken);
        QVERIFY(!storage->retrieve(client->auth().codeVerifierKey()));
    }

    void callbacksOfAnotherFlowAreRefused_data()
    {
        QTest::addColumn<QString>("callback");
        QTest::addColumn<QString>("code");
        QTest::newRow("implicit tokens into a PKCE client")
            << "tindrel://auth-callback#access_token=a.b.c&refresh_token=r&expires_in=3600&token_type=bearer"
            << "flow_type_mismatch";
        QTest::newRow("code without a pending sign-in") << "tindrel://auth-callback?code=6f1c2d9e"
                                                        << "pkce_code_verifier_not_found";
    }
    void callbacksOfAnotherFlowAreRefused()
    {
        QFETCH(QString, callback);
        QFETCH(QString, code);
        auto client = makeClient(QUrl(QStringLiteral("http://127.0.0.1:9")), QStringLiteral("anon"));
        const auto error = errorOf<AuthError>(run(client->auth().sessionFromUrl(QUrl(callback))));
        QVERIFY(error);
        QCOMPARE(error->code(), code);
        QVERIFY(!client->auth().currentSession());
    }

    void errorBodiesOfEveryShape_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("retryable");
        QTest::newRow("2024-01-01") << 400
                                    << QByteArray("{\"code\":\"refresh_token_not_found\",\"message\":\"Invalid Refresh "
                                                  "Token: Refresh Token Not Found\"}")
                                    << "Invalid Refresh Token: Refresh Token Not Found"
                                    << "refresh_token_not_found" << false;
        QTest::newRow("legacy")
            << 400
            << QByteArray("{\"code\":400,\"error_code\":\"invalid_credentials\",\"msg\":\"Invalid login credentials\"}")
            << "Invalid login credentials"
            << "invalid_credentials" << false;
        QTest::newRow("oauth") << 400
                               << QByteArray("{\"error\":\"invalid_grant\",\"error_description\":\"Invalid Refresh "
                                             "Token: Refresh Token Not Found\"}")
                               << "Invalid Refresh Token: Refresh Token Not Found"
                               << "invalid_grant" << false;
        QTest::newRow("gateway html") << 502 << QByteArray("<html>Bad Gateway</html>") << "<html>Bad Gateway</html>"
                                      << "" << true;
        QTest::newRow("no answer") << 0 << QByteArray() << "Network error"
                                   << "" << true;
    }
    void errorBodiesOfEveryShape()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        QFETCH(QString, code);
        QFETCH(bool, retryable);
        HttpExchange exchange;
        exchange.status = status;
        exchange.body = body;
        const AuthError error = AuthError::fromExchange(exchange);
        QCOMPARE(error.message(), message);
        QCOMPARE(QString::fromUtf8(error.what()), message);
        QCOMPARE(error.code(), code);
        QCOMPARE(error.status(), status);
        QCOMPARE(error.isRetryable(), retryable);
    }

    void passwordSignIn_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("errorCode");
        QTest::addColumn<QString>("errorText");
        QTest::newRow("right password") << seedPassword << ""
                                        << "";
        QTest::newRow("wrong password") << "wrong-password"
                                        << "invalid_credentials"
                                        << "Invalid login credentials";
        QTest::newRow("empty password") << ""
                                        << "invalid_credentials"
                                        << "Invalid login credentials";
    }
    void passwordSignIn()
    {
        REQUIRE_SERVER();
        QFETCH(QString, password);
        QFETCH(QString, errorCode);
        QFETCH(QString, errorText);
        auto client = serverClient();
        const auto outcome = run(client->auth().signInWithPassword(seedEmail, password));
        if (errorCode.isEmpty()) {
            const Session session = outcome.get();
            QCOMPARE(session.user.email, seedEmail);
            QVERIFY(!session.user.id.isEmpty());
            QCOMPARE(jwtPayload(session.accessToken)->value("sub").toString(), session.user.id);
            QVERIFY(session.expiresAt > QDateTime::currentSecsSinceEpoch());
            QCOMPARE(client->auth().currentSession()->refreshToken, session.refreshToken);
            return;
        }
        const auto error = errorOf<AuthError>(outcome);
        QVERIFY2(error, qPrintable(tindrel::test::errorText(outcome)));
        QCOMPARE(error->code(), errorCode);
        QCOMPARE(error->message(), errorText);
        QCOMPARE(error->status(), 400);
        QVERIFY(!client->auth().currentSession());
    }

    void installedSessionRenews()
    {
        REQUIRE_SERVER();
        auto first = serverClient();
        const Session original = signIn(*first);

        auto second = serverClient();
        const Session installed = run(second->auth().installSession(original.accessToken, original.refreshToken)).get();
        QCOMPARE(installed.user.email, seedEmail);
        QCOMPARE(installed.expiresAt, jwtPayload(original.accessToken)->value("exp").toInteger());

        const Session renewed = run(second->auth().renewSession()).get();
        QVERIFY(renewed.refreshToken != original.refreshToken);
        QCOMPARE(second->auth().currentSession()->refreshToken, renewed.refreshToken);
        QCOMPARE(run(second->auth().fetchUser()).get().email, seedEmail);

        const auto rejected = errorOf<AuthError>(
            run(serverClient()->auth().installSession(QStringLiteral("not-a-jwt"), renewed.refreshToken)));
        QVERIFY(rejected);
        QCOMPARE(rejected->kind(), AuthError::Kind::InvalidJwt);
    }

    void expiredAccessTokenIsRenewedOnInstall()
    {
        REQUIRE_SERVER();
        auto first = serverClient();
        const Session original = signIn(*first);
        g_clockShift = 7200;
        auto second = serverClient();
        auto events = second->auth().authStateChanges();
        const Session installed = run(second->auth().installSession(original.accessToken, original.refreshToken)).get();
        QVERIFY(installed.refreshToken != original.refreshToken);
        QCOMPARE(drain(events),
                 (QList<AuthChangeEvent>{AuthChangeEvent::InitialSession, AuthChangeEvent::TokenRefreshed}));
    }

    void rotatedTokensAndRevokedTokenText()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        const Session first = signIn(*client);
        const Session second = run(client->auth().renewSession()).get();
        const Session third = run(client->auth().renewSession()).get();
        QVERIFY(second.refreshToken != first.refreshToken);
        QVERIFY(third.refreshToken != second.refreshToken);

        // Two rotations behind: reuse, which the server answers by revoking the session.
        const auto reused = errorOf<AuthError>(run(client->auth().renewSession(first.refreshToken)));
        QVERIFY(reused);
        QCOMPARE(reused->code(), QStringLiteral("refresh_token_already_used"));
        QCOMPARE(reused->message(), QStringLiteral("Invalid Refresh Token: Already Used"));
        QVERIFY(reused->isDeadSession());

        const auto unknown = errorOf<AuthError>(run(client->auth().renewSession(QStringLiteral("abcdefghijkl"))));
        QVERIFY(unknown);
        QCOMPARE(unknown->code(), QStringLiteral("refresh_token_not_found"));
        QCOMPARE(unknown->message(), QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
        QCOMPARE(unknown->status(), 400);
    }

    void signOutEndsTheSessionEverywhere()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        auto events = client->auth().authStateChanges();
        const Session session = signIn(*client);
        run(client->auth().signOut()).get();
        QVERIFY(!client->auth().currentSession());
        QCOMPARE(drain(events), (QList<AuthChangeEvent>{AuthChangeEvent::InitialSession, AuthChangeEvent::SignedIn,
                                                        AuthChangeEvent::SignedOut}));

        const auto outcome = run(serverClient()->auth().renewSession(session.refreshToken));
        const auto error = errorOf<AuthError>(outcome);
        QVERIFY(error);
        QCOMPARE(error->status(), 400);
        QVERIFY2(error->message().toLower().contains(QStringLiteral("invalid refresh token")),
                 qPrintable(error->message()));
        // Signing out again without a session is quiet.
        QVERIFY(!run(client->auth().signOut()).error);
    }

    void eventsArriveInOrder()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        auto events = client->auth().authStateChanges();
        QList<AuthChangeEvent> signalled;
        connect(&client->auth(), &SupabaseAuthClient::authStateChanged, this,
                [&signalled](const AuthStateChange &change) { signalled << change.event; });
        const Session session = signIn(*client);
        const Session renewed = run(client->auth().renewSession()).get();
        run(client->auth().signOut()).get();

        QCOMPARE(run(events.next()).get()->event, AuthChangeEvent::InitialSession);
        const auto signedIn = *run(events.next()).get();
        QCOMPARE(signedIn.event, AuthChangeEvent::SignedIn);
        QCOMPARE(signedIn.session->accessToken, session.accessToken);
        const auto refreshed = *run(events.next()).get();
        QCOMPARE(refreshed.event, AuthChangeEvent::TokenRefreshed);
        QCOMPARE(refreshed.session->refreshToken, renewed.refreshToken);
        const auto signedOut = *run(events.next()).get();
        QCOMPARE(signedOut.event, AuthChangeEvent::SignedOut);
        QVERIFY(!signedOut.session);
        QCOMPARE(signalled, (QList<AuthChangeEvent>{AuthChangeEvent::SignedIn, AuthChangeEvent::TokenRefreshed,
                                                    AuthChangeEvent::SignedOut}));

        // A late subscriber starts from the current state.
        auto late = client->auth().authStateChanges();
        const auto initial = *run(late.next()).get();
        QCOMPARE(initial.event, AuthChangeEvent::InitialSession);
        QVERIFY(!initial.session);
    }

    void concurrentRenewalsShareOneRequest()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        const Session session = signIn(*client);
        auto events = client->auth().authStateChanges();
        g_clockShift = session.expiresIn - 30; // inside the renewal margin
        auto a = client->auth().fetchCurrentSession();
        auto b = client->auth().fetchCurrentSession();
        auto c = client->auth().renewSession();
        const Session first = run(std::move(a)).get();
        QVERIFY(first.refreshToken != session.refreshToken);
        QCOMPARE(run(std::move(b)).get().refreshToken, first.refreshToken);
        QCOMPARE(run(std::move(c)).get().refreshToken, first.refreshToken);
        QCOMPARE(client->auth().currentSession()->refreshToken, first.refreshToken);
        QCOMPARE(drain(events),
                 (QList<AuthChangeEvent>{AuthChangeEvent::InitialSession, AuthChangeEvent::TokenRefreshed}));
    }

    void signOutDuringARenewalIsNotUndone()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        signIn(*client);
        // The server ends the session only after the renewal went through.
        m_backend.control("POST", QStringLiteral("/faults"), {{"path", "/auth/v1/logout"}, {"delay_ms", 500}});
        auto renewal = client->auth().renewSession();
        auto signOut = client->auth().signOut(); // removes the local session before its request
        const auto error = errorOf<AuthError>(run(std::move(renewal)));
        QVERIFY(error);
        QCOMPARE(error->kind(), AuthError::Kind::RefreshDiscarded);
        QVERIFY(!run(std::move(signOut)).error);
        QVERIFY(!client->auth().currentSession());
    }

    void automaticRefreshRenewsNearExpiry()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        const Session session = signIn(*client);
        auto events = client->auth().authStateChanges();
        client->auth().startAutoRefresh();
        QTest::qWait(200);
        QCOMPARE(drain(events), QList<AuthChangeEvent>{AuthChangeEvent::InitialSession}); // far from expiry

        g_clockShift = session.expiresIn - 100; // under two minutes left
        const auto refreshed = *run(events.next(), std::chrono::seconds(5)).get();
        QCOMPARE(refreshed.event, AuthChangeEvent::TokenRefreshed);
        g_clockShift = 0;
        client->auth().stopAutoRefresh();
        QVERIFY(!client->auth().isAutoRefreshing());
        QVERIFY(client->auth().currentSession()->refreshToken != session.refreshToken);
    }

    void deadSessionIsDroppedOnlyAfterExpiry()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        const Session session = signIn(*client);
        // Another device ends every session of the user.
        auto other = serverClient();
        run(other->auth().installSession(session.accessToken, session.refreshToken)).get();
        run(other->auth().signOut()).get();

        auto events = client->auth().authStateChanges();
        g_clockShift = session.expiresIn - 30; // still valid: the failed renewal keeps it
        QCOMPARE(run(client->auth().fetchCurrentSession()).get().accessToken, session.accessToken);
        g_clockShift = session.expiresIn + 5; // expired: the dead session goes
        const auto error = errorOf<AuthError>(run(client->auth().fetchCurrentSession()));
        QVERIFY(error);
        QVERIFY(error->isDeadSession());
        QVERIFY(!client->auth().currentSession());
        QCOMPARE(drain(events), (QList<AuthChangeEvent>{AuthChangeEvent::InitialSession, AuthChangeEvent::SignedOut}));
    }

    void providerSignInWithPkce()
    {
        REQUIRE_SERVER();
        auto storage = std::make_shared<MemorySessionStorage>();
        auto client = serverClient(storage);
        auto events = client->auth().authStateChanges();
        const QUrl redirect(QStringLiteral("tindrel://auth-callback"));
        QUrl callback;
        const auto launch = [&callback](const QUrl &authorizationUrl, const std::optional<QUrl> &redirectUrl) {
            return recordCallback(followSignIn(authorizationUrl, redirectUrl->toString()), &callback);
        };
        const Session session = run(client->auth().startProviderSignIn(
                                        QStringLiteral("google"), redirect, std::nullopt,
                                        {{QStringLiteral("prompt"), QStringLiteral("select_account")}}, launch))
                                    .get();
        QCOMPARE(session.user.email, seedEmail);
        QCOMPARE(drain(events), (QList<AuthChangeEvent>{AuthChangeEvent::InitialSession, AuthChangeEvent::SignedIn}));
        QVERIFY(!storage->retrieve(client->auth().codeVerifierKey()));
        QVERIFY2(QUrlQuery(callback).hasQueryItem(QStringLiteral("code")), qPrintable(callback.toString()));

        // The same code again, even with a pending verifier: single use.
        client->auth().prepareProviderSignIn(QStringLiteral("google"), redirect, std::nullopt, {});
        const auto reused = errorOf<AuthError>(run(client->auth().sessionFromUrl(callback)));
        QVERIFY(reused);
        QCOMPARE(reused->code(), QStringLiteral("flow_state_not_found"));
        QCOMPARE(reused->status(), 404);
        QCOMPARE(client->auth().currentSession()->accessToken, session.accessToken);
    }

    void pkceExchangeWithTheWrongVerifierFails()
    {
        REQUIRE_SERVER();
        auto storage = std::make_shared<MemorySessionStorage>();
        auto client = serverClient(storage);
        const QUrl redirect(QStringLiteral("tindrel://auth-callback"));
        const QUrl authorizationUrl =
            client->auth().prepareProviderSignIn(QStringLiteral("google"), redirect, std::nullopt, {});
        const QUrl callback = run(followSignIn(authorizationUrl, redirect.toString())).get();
        storage->store(client->auth().codeVerifierKey(), pkce::generateVerifier().toUtf8());
        const auto error = errorOf<AuthError>(run(client->auth().sessionFromUrl(callback)));
        QVERIFY(error);
        QCOMPARE(error->code(), QStringLiteral("bad_code_verifier"));
        QVERIFY(!client->auth().currentSession());
        QVERIFY(!storage->retrieve(client->auth().codeVerifierKey()));
    }

    void cancelledProviderSignInReportsTheRedirectError()
    {
        REQUIRE_SERVER();
        auto client = serverClient();
        const auto launch = [](const QUrl &authorizationUrl, const std::optional<QUrl> &redirectUrl) {
            return followSignIn(authorizationUrl, redirectUrl->toString(), QStringLiteral("cancel"));
        };
        const auto outcome = run(client->auth().startProviderSignIn(
            QStringLiteral("google"), QUrl(QStringLiteral("tindrel://auth-callback")), std::nullopt, {}, launch));
        const auto error = errorOf<AuthError>(outcome);
        QVERIFY2(error, qPrintable(tindrel::test::errorText(outcome)));
        QCOMPARE(error->kind(), AuthError::Kind::CallbackError);
        QCOMPARE(error->oauthError(), QStringLiteral("access_denied"));
        QVERIFY(!error->message().isEmpty());
        QVERIFY(!client->auth().currentSession());
    }

    void failedLaunchForgetsTheVerifier()
    {
        auto storage = std::make_shared<MemorySessionStorage>();
        auto client = makeClient(QUrl(QStringLiteral("http://127.0.0.1:9")), QStringLiteral("anon"), storage);
        const auto launch = [](const QUrl &, const std::optional<QUrl> &) { return failLaunch(); };
        const auto outcome = run(client->auth().startProviderSignIn(
            QStringLiteral("google"), QUrl(QStringLiteral("tindrel://auth-callback")), std::nullopt, {}, launch));
        QCOMPARE(tindrel::test::errorText(outcome), QStringLiteral("browser closed"));
        QVERIFY(!storage->retrieve(client->auth().codeVerifierKey()));
    }

    void refusedSecondProviderSignInLeavesTheRunningOneAlone()
    {
        REQUIRE_SERVER();
        auto storage = std::make_shared<MemorySessionStorage>();
        auto client = serverClient(storage);
        const QUrl redirect(QStringLiteral("tindrel://auth-callback"));
        EventStream<int> gate;
        const auto slowLaunch = [gate](const QUrl &authorizationUrl, const std::optional<QUrl> &redirectUrl) {
            return signInAfter(gate, authorizationUrl, redirectUrl->toString());
        };
        auto running =
            client->auth().startProviderSignIn(QStringLiteral("google"), redirect, std::nullopt, {}, slowLaunch);
        // A second attempt is refused by the browser step (one attempt at a time).
        const auto refused = [](const QUrl &, const std::optional<QUrl> &) { return failLaunch(); };
        QVERIFY(run(client->auth().startProviderSignIn(QStringLiteral("google"), redirect, std::nullopt, {}, refused))
                    .error);
        gate.push(1);
        const auto outcome = run(std::move(running));
        QVERIFY2(!outcome.error, qPrintable(tindrel::test::errorText(outcome)));
        QCOMPARE(outcome.value->user.email, seedEmail);
        QVERIFY(!storage->retrieve(client->auth().codeVerifierKey()));
    }

    // Destroying the client deletes its HTTP session under pending replies; every waiter,
    // those sharing a renewal included, must still come back, with an error.
    void destroyedClientEndsItsPendingRequests()
    {
        QTcpServer silent; // accepts and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        int accepted = 0;
        connect(&silent, &QTcpServer::newConnection, &silent, [&silent, &accepted] {
            while (silent.hasPendingConnections()) {
                silent.nextPendingConnection();
                ++accepted;
            }
        });
        auto client =
            makeClient(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort())), QStringLiteral("anon"));
        auto renewal = client->auth().renewSession(QStringLiteral("refresh-1"));
        auto sharer = client->auth().renewSession(QStringLiteral("refresh-1"));
        auto call = client->functions().invoke(QStringLiteral("hello"), {});
        QTRY_COMPARE(accepted, 2);
        client.reset();

        const auto renewed = run(std::move(renewal), std::chrono::seconds(5));
        QVERIFY(renewed.finished);
        const auto error = errorOf<AuthError>(renewed);
        QVERIFY(error);
        QVERIFY(error->isRetryable());
        QVERIFY(errorOf<AuthError>(run(std::move(sharer), std::chrono::seconds(5))));
        const auto called = run(std::move(call), std::chrono::seconds(5));
        QVERIFY(called.finished);
        QVERIFY(called.error);
    }

    void sessionMissingWhenNothingStored()
    {
        auto client = makeClient(QUrl(QStringLiteral("http://127.0.0.1:9")), QStringLiteral("anon"));
        const auto error = errorOf<AuthError>(run(client->auth().fetchCurrentSession()));
        QVERIFY(error);
        QCOMPARE(error->kind(), AuthError::Kind::SessionMissing);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestSupabaseAuth)
#include "tst_supabaseauth.moc"
