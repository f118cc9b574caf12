#include "LocalBackend.h"
#include "MemorySessionStorage.h"
#include "support/TestSupport.h"

#include "supabase/AuthError.h"
#include "supabase/HttpExchange.h"
#include "supabase/Pkce.h"
#include "supabase/SupabaseClient.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QUrlQuery>

using namespace supabase;
using tindrel::test::run;

namespace {

const QString seedEmail = QStringLiteral("ada@example.com");
const QString seedPassword = QStringLiteral("correct-horse-1");

std::unique_ptr<SupabaseClient> makeClient(const QUrl &url, const QString &key,
                                           std::shared_ptr<MemorySessionStorage> storage = nullptr)
{
    SupabaseClientOptions options;
    options.auth.storage = storage ? storage : std::make_shared<MemorySessionStorage>();
    options.global.requestTimeout = std::chrono::seconds(10);
    return std::make_unique<SupabaseClient>(url, key, options);
}

template<typename T>
std::optional<AuthError> authErrorOf(const tindrel::test::Outcome<T> &outcome)
{
    if (!outcome.error)
        return std::nullopt;
    try {
        std::rethrow_exception(outcome.error);
    } catch (const AuthError &error) {
        return error;
    } catch (...) {
    }
    return std::nullopt;
}

// A signed session as the server would issue it, for tests that need a stored one.
Session fakeSession(qint64 expiresAt)
{
    Session session;
    const QByteArray payload = QJsonDocument(QJsonObject{{"exp", expiresAt}, {"sub", "u1"}}).toJson(QJsonDocument::Compact);
    session.accessToken = QStringLiteral("eyJhbGciOiJIUzI1NiJ9.%1.sig")
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

    // Standalone launch step: follows the server's redirects like a browser until it is sent
    // to the redirect URL, approving the local sign-in page's form on the way.
    static QCoro::Task<QUrl> followSignIn(QUrl url, QString redirectPrefix)
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
                form.addQueryItem(input.captured(1), input.captured(2).toHtmlEscaped());
            }
            QNetworkRequest post(url.resolved(QUrl(action.captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&")))));
            post.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
            post.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
            QNetworkReply *posted = co_await network.post(post, form.toString(QUrl::FullyEncoded).toUtf8());
            const QByteArray next = posted->rawHeader("Location");
            posted->deleteLater();
            if (next.isEmpty())
                throw std::runtime_error("the sign-in form did not redirect");
            url = url.resolved(QUrl::fromEncoded(next));
        }
        throw std::runtime_error("too many redirects");
    }

    void requireServer()
    {
        if (!m_serverUp)
            QSKIP(qPrintable(QStringLiteral("local backend unavailable: ") + m_backend.error()));
    }

private slots:
    void initTestCase()
    {
        m_serverUp = m_backend.start({QStringLiteral("--memory"), QStringLiteral("--test-controls"),
                                      QStringLiteral("--seed-user"), seedEmail + u':' + seedPassword,
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
                               << "Signups not allowed" << "signup_disabled" << "access_denied";
        QTest::newRow("fragment with sb marker")
            << "tindrel://auth-callback#error=server_error&error_code=unexpected_failure"
               "&error_description=Unable%20to%20exchange%20external%20code&sb="
            << "Unable to exchange external code" << "unexpected_failure" << "server_error";
        QTest::newRow("query wins over fragment")
            << "tindrel://auth-callback?error=access_denied&error_description=From+query#error=server_error"
               "&error_description=From+fragment"
            << "From query" << "" << "access_denied";
        QTest::newRow("error word only") << "tindrel://auth-callback?error=access_denied" << "access_denied" << ""
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
        const auto error = authErrorOf(outcome);
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
        const auto error = authErrorOf(run(client->auth().sessionFromUrl(QUrl(callback))));
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
                                    << QByteArray("{\"code\":\"refresh_token_not_found\",\"message\":\"Invalid Refresh Token: Refresh Token Not Found\"}")
                                    << "Invalid Refresh Token: Refresh Token Not Found" << "refresh_token_not_found" << false;
        QTest::newRow("legacy") << 400
                                << QByteArray("{\"code\":400,\"error_code\":\"invalid_credentials\",\"msg\":\"Invalid login credentials\"}")
                                << "Invalid login credentials" << "invalid_credentials" << false;
        QTest::newRow("oauth") << 400
                               << QByteArray("{\"error\":\"invalid_grant\",\"error_description\":\"Invalid Refresh Token: Refresh Token Not Found\"}")
                               << "Invalid Refresh Token: Refresh Token Not Found" << "invalid_grant" << false;
        QTest::newRow("gateway html") << 502 << QByteArray("<html>Bad Gateway</html>") << "<html>Bad Gateway</html>"
                                      << "" << true;
        QTest::newRow("no answer") << 0 << QByteArray() << "Network error" << "" << true;
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

    void sessionMissingWhenNothingStored()
    {
        auto client = makeClient(QUrl(QStringLiteral("http://127.0.0.1:9")), QStringLiteral("anon"));
        const auto error = authErrorOf(run(client->auth().fetchCurrentSession()));
        QVERIFY(error);
        QCOMPARE(error->kind(), AuthError::Kind::SessionMissing);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestSupabaseAuth)
#include "tst_supabaseauth.moc"
