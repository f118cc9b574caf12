#pragma once

#include "supabase/AuthChangeEvent.h"
#include "supabase/ClientContext.h"
#include "supabase/EventStream.h"
#include "supabase/Session.h"
#include "supabase/SupabaseClientOptions.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace supabase {

enum class SignOutScope { Global, Local, Others };

// The auth part of the client: sign-in (password, provider with PKCE), session install and
// renewal, sign-out, callback URLs, the stream of session changes and the automatic refresh.
// Lives on the thread that created it; call it from there only. Its session is kept in the
// SessionStorage of the options, which may be touched from any thread. The coroutines take
// their arguments by value: a reference would dangle after the first wait.
class SupabaseAuthClient : public QObject {
    Q_OBJECT

public:
    struct QueryParameter {
        QString name;
        std::optional<QString> value;
    };
    // Opens the authorisation URL (usually in a browser) and returns the callback URL the
    // browser was sent to. The second argument is the redirect URL of the sign-in.
    using LaunchStep =
        std::function<QCoro::Task<QUrl>(const QUrl &authorizationUrl, const std::optional<QUrl> &redirectUrl)>;

    SupabaseAuthClient(std::shared_ptr<const ClientContext> context, AuthOptions options, QObject *parent = nullptr);
    ~SupabaseAuthClient() override;

    // The stored session as it is, without renewing it.
    std::optional<Session> currentSession() const;

    // The stored session, renewed first when it expires within the options' margin. Throws
    // AuthError (SessionMissing when there is none). A failed renewal still yields the stored
    // session while its access token has not expired.
    QCoro::Task<Session> fetchCurrentSession();

    QCoro::Task<Session> signInWithPassword(QString email, QString password);

    // Makes the given tokens the session: renews at once when the access token has expired,
    // else checks it with the server. Nothing is stored when the server rejects them.
    QCoro::Task<Session> installSession(QString accessToken, QString refreshToken);

    // Renews with `refreshToken` (the stored session's when empty). Concurrent renewals of one
    // token share a single request; the rotated pair is stored before anyone sees it.
    QCoro::Task<Session> renewSession(QString refreshToken = {});

    // The user behind the current session, asked of the server.
    QCoro::Task<User> fetchUser();
    // Changes the user (e-mail, password, "data"); emits UserUpdated.
    QCoro::Task<User> updateUser(QJsonObject attributes);

    // Ends the session on the server. The local session is removed first (except for scope
    // Others), so nothing uses it while the call runs; 401/403/404 answers are not errors.
    QCoro::Task<void> signOut(SignOutScope scope = SignOutScope::Global);
    QCoro::Task<void> endRemoteSession() { return signOut(SignOutScope::Global); }

    // The authorisation URL for a provider sign-in. In the PKCE flow a new verifier is stored
    // first. Parameters keep their order after the fixed ones.
    QUrl prepareProviderSignIn(const QString &provider, const std::optional<QUrl> &redirectUrl,
                               const std::optional<QString> &scopes, const QList<QueryParameter> &queryParameters);

    // prepareProviderSignIn, the launch step, then the session from the callback URL.
    QCoro::Task<Session> startProviderSignIn(QString provider, std::optional<QUrl> redirectUrl,
                                             std::optional<QString> scopes, QList<QueryParameter> queryParameters,
                                             LaunchStep launch);

    // Exchanges a PKCE code with the stored verifier; the verifier is used once.
    QCoro::Task<Session> exchangeCodeForSession(QString code);

    // Completes a sign-in from a callback URL: parameters from the query and the fragment (the
    // query wins); error parameters fail with CallbackError and leave the session alone; a
    // URL of the other flow type is refused.
    QCoro::Task<Session> sessionFromUrl(QUrl callbackUrl);

    void startAutoRefresh();
    void stopAutoRefresh();
    bool isAutoRefreshing() const { return m_ticker.isActive(); }

    // A new stream of session changes; its first value is InitialSession with the stored session.
    EventStream<AuthStateChange> authStateChanges();

    QString storageKey() const { return m_storageKey; }
    QString codeVerifierKey() const { return m_storageKey + QStringLiteral("-code-verifier"); }

signals:
    void authStateChanged(const supabase::AuthStateChange &change);

private:
    struct RefreshFlight;

    QCoro::Task<Session> refreshWith(QString refreshToken);
    QCoro::Task<Session> grantSession(QString grantType, QJsonObject body, AuthChangeEvent event);
    QCoro::Task<HttpExchange> send(QByteArray method, QString path, QList<QueryParameter> query,
                                   std::optional<QJsonObject> body, QString bearer);
    QCoro::Task<User> userFor(QString accessToken);
    QCoro::Task<Session> sessionFromImplicitParameters(QMap<QString, QString> parameters);
    QCoro::Task<void> autoRefreshTick();
    Session sessionFromReply(const HttpExchange &exchange) const;
    void saveSession(const Session &session);
    void removeSession();
    void notify(AuthChangeEvent event, const std::optional<Session> &session);

    std::shared_ptr<const ClientContext> m_context;
    AuthOptions m_options;
    QString m_storageKey;
    QTimer m_ticker;
    bool m_tickRunning = false;
    quint64 m_generation = 0; // changes with every save or removal of the session
    std::shared_ptr<RefreshFlight> m_flight;
    std::vector<EventStream<AuthStateChange>> m_streams;
};

} // namespace supabase
