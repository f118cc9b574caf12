#include "supabase/SupabaseAuthClient.h"

#include "supabase/AuthError.h"
#include "supabase/Pkce.h"
#include "supabase/SupabaseLog.h"

#include <QJsonDocument>
#include <QPointer>
#include <QUrlQuery>

namespace supabase {
namespace {

constexpr QStringView component = u"SupabaseAuth";
const QString recoverySuffix = QStringLiteral("/recovery");

QString percentEncoded(const QString &text) { return QString::fromLatin1(QUrl::toPercentEncoding(text)); }

AuthError clientClosed() { return AuthError(AuthError::Kind::Retryable, QStringLiteral("The client was closed")); }

QString encodedQuery(const QList<SupabaseAuthClient::QueryParameter> &parameters)
{
    QStringList pairs;
    for (const auto &parameter : parameters) {
        if (parameter.value)
            pairs << percentEncoded(parameter.name) + u'=' + percentEncoded(*parameter.value);
        else
            pairs << percentEncoded(parameter.name);
    }
    return pairs.join(u'&');
}

// Form-decoded parameters of a query or fragment text.
void collectParameters(const QString &text, QMap<QString, QString> &into)
{
    for (const QString &pair : text.split(u'&', Qt::SkipEmptyParts)) {
        const qsizetype equals = pair.indexOf(u'=');
        QString name = equals < 0 ? pair : pair.left(equals);
        QString value = equals < 0 ? QString() : pair.mid(equals + 1);
        name.replace(u'+', u' ');
        value.replace(u'+', u' ');
        into.insert(QUrl::fromPercentEncoding(name.toUtf8()), QUrl::fromPercentEncoding(value.toUtf8()));
    }
}

} // namespace

// One renewal in flight; later callers with the same refresh token wait for its outcome.
struct SupabaseAuthClient::RefreshFlight {
    QString refreshToken;
    bool done = false;
    std::optional<Session> session;
    std::optional<AuthError> error;
    StreamSignal finished;

    static QCoro::Task<void> wait(std::shared_ptr<RefreshFlight> flight)
    {
        while (!flight->done)
            co_await flight->finished.wait();
    }
};

SupabaseAuthClient::SupabaseAuthClient(std::shared_ptr<const ClientContext> context, AuthOptions options,
                                       QObject *parent)
    : QObject(parent), m_context(std::move(context)), m_options(std::move(options)), m_ticker(this)
{
    Q_ASSERT(m_options.storage);
    m_storageKey = m_options.storageKey.value_or(
        QStringLiteral("sb-%1-auth-token").arg(m_context->baseUrl.host().section(u'.', 0, 0)));
    m_ticker.setInterval(m_options.autoRefreshTick);
    connect(&m_ticker, &QTimer::timeout, this, [this] { autoRefreshTick(); });
}

SupabaseAuthClient::~SupabaseAuthClient()
{
    for (const auto &stream : m_streams)
        stream.finish();
}

std::optional<Session> SupabaseAuthClient::currentSession() const
{
    const auto bytes = m_options.storage->retrieve(m_storageKey);
    if (!bytes)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes);
    if (!document.isObject())
        return std::nullopt;
    return Session::fromJson(document.object(), m_context->nowSeconds());
}

QCoro::Task<HttpExchange> SupabaseAuthClient::send(QByteArray method, QString path, QList<QueryParameter> query,
                                                   std::optional<QJsonObject> body, QString bearer)
{
    QUrl url = m_context->serviceUrl(QStringLiteral("/auth/v1") + path);
    if (!query.isEmpty())
        url.setQuery(encodedQuery(query), QUrl::StrictMode);
    QNetworkRequest request = m_context->request(url);
    request.setRawHeader("Authorization", "Bearer " + (bearer.isEmpty() ? m_context->apiKey : bearer).toUtf8());
    request.setRawHeader("X-Supabase-Api-Version", "2024-01-01");
    QByteArray payload;
    if (body) {
        request.setRawHeader("Content-Type", "application/json;charset=UTF-8");
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
    }
    return HttpExchange::send(m_context->network, request, method, payload, m_context->requestTimeout);
}

Session SupabaseAuthClient::sessionFromReply(const HttpExchange &exchange) const
{
    const auto session = Session::fromJson(QJsonDocument::fromJson(exchange.body).object(), m_context->nowSeconds());
    if (!session)
        throw AuthError(AuthError::Kind::Api, QStringLiteral("The server answered without a session"), exchange.status,
                        QStringLiteral("unexpected_response"));
    return *session;
}

void SupabaseAuthClient::saveSession(const Session &session)
{
    m_options.storage->store(m_storageKey, QJsonDocument(session.toJson()).toJson(QJsonDocument::Compact));
    ++m_generation;
}

void SupabaseAuthClient::removeSession()
{
    m_options.storage->remove(m_storageKey);
    m_options.storage->remove(codeVerifierKey());
    ++m_generation;
}

void SupabaseAuthClient::notify(AuthChangeEvent event, const std::optional<Session> &session)
{
    const AuthStateChange change{event, session};
    std::erase_if(m_streams, [](const EventStream<AuthStateChange> &stream) { return stream.isFinished(); });
    for (const auto &stream : m_streams)
        stream.push(change);
    emit authStateChanged(change);
}

EventStream<AuthStateChange> SupabaseAuthClient::authStateChanges()
{
    EventStream<AuthStateChange> stream;
    stream.push({AuthChangeEvent::InitialSession, currentSession()});
    m_streams.push_back(stream);
    return stream;
}

QCoro::Task<Session> SupabaseAuthClient::fetchCurrentSession()
{
    const auto stored = currentSession();
    if (!stored)
        throw AuthError::sessionMissing();
    if (!stored->expiresWithin(m_context->nowSeconds(), m_options.expiryMargin.count()))
        co_return *stored;
    QPointer<SupabaseAuthClient> self(this);
    try {
        co_return co_await refreshWith(stored->refreshToken);
    } catch (const AuthError &) {
        if (!self)
            throw;
        const auto now = self->currentSession();
        if (now && now->refreshToken == stored->refreshToken && !now->expiresWithin(self->m_context->nowSeconds(), 0))
            co_return *now;
        throw;
    }
}

QCoro::Task<Session> SupabaseAuthClient::signInWithPassword(QString email, QString password)
{
    const QJsonObject body{{QStringLiteral("email"), email},
                           {QStringLiteral("password"), password},
                           {QStringLiteral("gotrue_meta_security"), QJsonObject()}};
    co_return co_await grantSession(QStringLiteral("password"), body, AuthChangeEvent::SignedIn);
}

QCoro::Task<Session> SupabaseAuthClient::grantSession(QString grantType, QJsonObject body, AuthChangeEvent event)
{
    QPointer<SupabaseAuthClient> self(this);
    const HttpExchange exchange =
        co_await send("POST", QStringLiteral("/token"), {{QStringLiteral("grant_type"), grantType}}, body, {});
    if (!self)
        throw clientClosed();
    if (!exchange.succeeded())
        throw AuthError::fromExchange(exchange);
    const Session session = sessionFromReply(exchange);
    saveSession(session);
    notify(event, session);
    co_return session;
}

QCoro::Task<User> SupabaseAuthClient::userFor(QString accessToken)
{
    const HttpExchange exchange = co_await send("GET", QStringLiteral("/user"), {}, std::nullopt, accessToken);
    if (!exchange.succeeded())
        throw AuthError::fromExchange(exchange);
    co_return User::fromJson(QJsonDocument::fromJson(exchange.body).object());
}

QCoro::Task<Session> SupabaseAuthClient::installSession(QString accessToken, QString refreshToken)
{
    if (accessToken.isEmpty() || refreshToken.isEmpty())
        throw AuthError::sessionMissing();
    const auto payload = jwtPayload(accessToken);
    if (!payload)
        throw AuthError(AuthError::Kind::InvalidJwt, QStringLiteral("Invalid JWT structure"), 0,
                        QStringLiteral("invalid_jwt"));
    const qint64 expiresAt = payload->value(QLatin1String("exp")).toInteger();
    const qint64 now = m_context->nowSeconds();
    if (expiresAt <= now)
        co_return co_await refreshWith(refreshToken);

    QPointer<SupabaseAuthClient> self(this);
    const User user = co_await userFor(accessToken);
    if (!self)
        throw clientClosed();
    Session session;
    session.accessToken = accessToken;
    session.refreshToken = refreshToken;
    session.expiresAt = expiresAt;
    session.expiresIn = expiresAt - now;
    session.user = user;
    saveSession(session);
    notify(AuthChangeEvent::SignedIn, session);
    co_return session;
}

QCoro::Task<Session> SupabaseAuthClient::renewSession(QString refreshToken)
{
    QString token = refreshToken;
    if (token.isEmpty()) {
        const auto stored = currentSession();
        if (!stored)
            throw AuthError::sessionMissing();
        token = stored->refreshToken;
    }
    co_return co_await refreshWith(token);
}

QCoro::Task<Session> SupabaseAuthClient::refreshWith(QString refreshToken)
{
    QPointer<SupabaseAuthClient> self(this);
    // Single flight: join a renewal of the same token, wait out one of another token.
    while (m_flight) {
        const auto flight = m_flight;
        co_await RefreshFlight::wait(flight);
        if (flight->refreshToken == refreshToken) {
            if (flight->error)
                throw *flight->error;
            // A copy: QCoro moves what co_return names, and other waiters still read it.
            const Session shared = *flight->session;
            co_return shared;
        }
        if (!self)
            throw clientClosed();
    }

    const auto flight = std::make_shared<RefreshFlight>();
    flight->refreshToken = refreshToken;
    m_flight = flight;
    const quint64 generation = m_generation;
    auto finish = [flight](std::optional<Session> session, std::optional<AuthError> error) {
        flight->session = std::move(session);
        flight->error = std::move(error);
        flight->done = true;
        flight->finished.notify();
    };

    const HttpExchange exchange = co_await send("POST", QStringLiteral("/token"),
                                                {{QStringLiteral("grant_type"), QStringLiteral("refresh_token")}},
                                                QJsonObject{{QStringLiteral("refresh_token"), refreshToken}}, {});
    if (!self) {
        const AuthError error = clientClosed();
        finish(std::nullopt, error);
        throw error;
    }
    m_flight.reset();

    if (!exchange.succeeded()) {
        const AuthError error = AuthError::fromExchange(exchange);
        // A dead refresh token ends the stored session only once its access token has expired;
        // until then the session stays usable.
        const auto stored = currentSession();
        if (error.isDeadSession() && stored && stored->refreshToken == refreshToken
            && stored->expiresWithin(m_context->nowSeconds(), 0)) {
            log(component, QStringLiteral("Session ended by the server: %1").arg(error.code()));
            removeSession();
            notify(AuthChangeEvent::SignedOut, std::nullopt);
        }
        finish(std::nullopt, error);
        throw error;
    }

    std::optional<Session> session;
    try {
        session = sessionFromReply(exchange);
    } catch (const AuthError &error) {
        finish(std::nullopt, error);
        throw;
    }
    // A sign-out or another sign-in while the request ran wins: storing the rotated pair now
    // would bring back a session the user has left.
    if (m_generation != generation) {
        AuthError error(AuthError::Kind::RefreshDiscarded,
                        QStringLiteral("The session changed while it was being refreshed"), 409,
                        QStringLiteral("refresh_discarded"));
        log(component, QStringLiteral("Refresh result discarded: the session changed meanwhile"));
        finish(std::nullopt, error);
        throw error;
    }
    // The server has already rotated the token: store the new pair before anything else runs.
    saveSession(*session);
    finish(session, std::nullopt);
    notify(AuthChangeEvent::TokenRefreshed, session);
    co_return *session;
}

QCoro::Task<User> SupabaseAuthClient::fetchUser()
{
    const auto stored = currentSession();
    if (!stored)
        throw AuthError::sessionMissing();
    QPointer<SupabaseAuthClient> self(this);
    try {
        co_return co_await userFor(stored->accessToken);
    } catch (const AuthError &error) {
        if (self && error.code() == QLatin1String("session_not_found")) {
            self->removeSession();
            self->notify(AuthChangeEvent::SignedOut, std::nullopt);
        }
        throw;
    }
}

QCoro::Task<User> SupabaseAuthClient::updateUser(QJsonObject attributes)
{
    const auto stored = currentSession();
    if (!stored)
        throw AuthError::sessionMissing();
    QPointer<SupabaseAuthClient> self(this);
    const HttpExchange exchange = co_await send("PUT", QStringLiteral("/user"), {}, attributes, stored->accessToken);
    if (!exchange.succeeded())
        throw AuthError::fromExchange(exchange);
    const User user = User::fromJson(QJsonDocument::fromJson(exchange.body).object());
    if (!self)
        co_return user;
    auto session = currentSession();
    if (session && session->accessToken == stored->accessToken) {
        session->user = user;
        saveSession(*session);
    }
    notify(AuthChangeEvent::UserUpdated, session);
    co_return user;
}

QCoro::Task<void> SupabaseAuthClient::signOut(SignOutScope scope)
{
    const auto stored = currentSession();
    if (scope != SignOutScope::Others) {
        removeSession();
        if (stored)
            notify(AuthChangeEvent::SignedOut, std::nullopt);
    }
    if (!stored)
        co_return;
    const QString scopeName = scope == SignOutScope::Global  ? QStringLiteral("global")
                              : scope == SignOutScope::Local ? QStringLiteral("local")
                                                             : QStringLiteral("others");
    const HttpExchange exchange = co_await send(
        "POST", QStringLiteral("/logout"), {{QStringLiteral("scope"), scopeName}}, std::nullopt, stored->accessToken);
    // 401/403/404: the session is already gone on the server, which is what we wanted.
    if (!exchange.succeeded() && exchange.status != 401 && exchange.status != 403 && exchange.status != 404)
        throw AuthError::fromExchange(exchange);
}

QUrl SupabaseAuthClient::prepareProviderSignIn(const QString &provider, const std::optional<QUrl> &redirectUrl,
                                               const std::optional<QString> &scopes,
                                               const QList<QueryParameter> &queryParameters)
{
    QList<QueryParameter> query{{QStringLiteral("provider"), provider}};
    const std::optional<QUrl> redirect = redirectUrl ? redirectUrl : m_options.redirectTo;
    if (redirect)
        query.append({QStringLiteral("redirect_to"), redirect->toString(QUrl::FullyEncoded)});
    if (scopes)
        query.append({QStringLiteral("scopes"), *scopes});
    if (m_options.flowType == AuthFlowType::Pkce) {
        // Stored before the browser opens: the callback may arrive in a later run of the loop.
        const QString verifier = pkce::generateVerifier();
        m_options.storage->store(codeVerifierKey(), verifier.toUtf8());
        query.append({QStringLiteral("code_challenge"), pkce::challenge(verifier)});
        query.append({QStringLiteral("code_challenge_method"), QString::fromLatin1(pkce::challengeMethod)});
    }
    query.append(queryParameters);
    QUrl url = m_context->serviceUrl(QStringLiteral("/auth/v1/authorize"));
    url.setQuery(encodedQuery(query), QUrl::StrictMode);
    return url;
}

QCoro::Task<Session> SupabaseAuthClient::startProviderSignIn(QString provider, std::optional<QUrl> redirectUrl,
                                                             std::optional<QString> scopes,
                                                             QList<QueryParameter> queryParameters, LaunchStep launch)
{
    const auto storage = m_options.storage;
    const QString verifierKey = codeVerifierKey();
    const auto earlierVerifier = storage->retrieve(verifierKey);
    const QUrl authorizationUrl = prepareProviderSignIn(provider, redirectUrl, scopes, queryParameters);
    const auto ourVerifier = storage->retrieve(verifierKey);
    QPointer<SupabaseAuthClient> self(this);
    QUrl callback;
    try {
        callback = co_await launch(authorizationUrl, redirectUrl ? redirectUrl : m_options.redirectTo);
    } catch (...) {
        // The attempt is over; a late callback must not find a verifier to use. The verifier
        // of an attempt still running (the launch step refuses a second one) is put back.
        if (storage->retrieve(verifierKey) == ourVerifier) {
            if (earlierVerifier)
                storage->store(verifierKey, *earlierVerifier);
            else
                storage->remove(verifierKey);
        }
        throw;
    }
    if (!self)
        throw clientClosed();
    co_return co_await sessionFromUrl(callback);
}

QCoro::Task<Session> SupabaseAuthClient::exchangeCodeForSession(QString code)
{
    const auto stored = m_options.storage->retrieve(codeVerifierKey());
    if (!stored || stored->isEmpty())
        throw AuthError(AuthError::Kind::PkceVerifierMissing,
                        QStringLiteral("PKCE code verifier not found in storage. This can happen if the auth flow was "
                                       "initiated in a different client or the sign-in was already completed."),
                        400, QStringLiteral("pkce_code_verifier_not_found"));
    // A code is good for one exchange; so is its verifier, whatever the outcome.
    m_options.storage->remove(codeVerifierKey());
    QString verifier = QString::fromUtf8(*stored);
    const bool recovery = verifier.endsWith(recoverySuffix);
    if (recovery)
        verifier.chop(recoverySuffix.size());

    co_return co_await grantSession(
        QStringLiteral("pkce"),
        QJsonObject{{QStringLiteral("auth_code"), code}, {QStringLiteral("code_verifier"), verifier}},
        recovery ? AuthChangeEvent::PasswordRecovery : AuthChangeEvent::SignedIn);
}

QCoro::Task<Session> SupabaseAuthClient::sessionFromUrl(QUrl callbackUrl)
{
    QMap<QString, QString> parameters;
    collectParameters(callbackUrl.fragment(QUrl::FullyEncoded), parameters);
    QMap<QString, QString> query;
    collectParameters(callbackUrl.query(QUrl::FullyEncoded), query);
    parameters.insert(query); // the query wins

    if (parameters.contains(QStringLiteral("error")) || parameters.contains(QStringLiteral("error_description"))
        || parameters.contains(QStringLiteral("error_code"))) {
        m_options.storage->remove(codeVerifierKey());
        const QString description = parameters.value(QStringLiteral("error_description"));
        const QString oauthError = parameters.value(QStringLiteral("error"));
        throw AuthError(AuthError::Kind::CallbackError,
                        !description.isEmpty()  ? description
                        : !oauthError.isEmpty() ? oauthError
                                                : QStringLiteral("The sign-in failed"),
                        0, parameters.value(QStringLiteral("error_code")), oauthError);
    }
    // Only the flow this client started is accepted: a crafted link with someone else's
    // tokens or code must not sign the user in.
    if (m_options.flowType == AuthFlowType::Pkce) {
        const QString code = parameters.value(QStringLiteral("code"));
        if (code.isEmpty())
            throw AuthError(AuthError::Kind::Api, QStringLiteral("Not a valid PKCE flow URL: no code"), 0,
                            QStringLiteral("flow_type_mismatch"));
        co_return co_await exchangeCodeForSession(code);
    }
    if (parameters.contains(QStringLiteral("code")))
        throw AuthError(AuthError::Kind::Api, QStringLiteral("Not a valid implicit grant flow URL"), 0,
                        QStringLiteral("flow_type_mismatch"));
    co_return co_await sessionFromImplicitParameters(parameters);
}

QCoro::Task<Session> SupabaseAuthClient::sessionFromImplicitParameters(QMap<QString, QString> parameters)
{
    const QString accessToken = parameters.value(QStringLiteral("access_token"));
    const QString refreshToken = parameters.value(QStringLiteral("refresh_token"));
    const qint64 expiresIn = parameters.value(QStringLiteral("expires_in")).toLongLong();
    if (accessToken.isEmpty() || refreshToken.isEmpty() || expiresIn <= 0
        || parameters.value(QStringLiteral("token_type")).isEmpty())
        throw AuthError(AuthError::Kind::Api, QStringLiteral("No session defined in URL"), 0,
                        QStringLiteral("implicit_grant_missing_session"));
    QPointer<SupabaseAuthClient> self(this);
    const User user = co_await userFor(accessToken);
    if (!self)
        throw clientClosed();
    const qint64 now = m_context->nowSeconds();
    Session session;
    session.accessToken = accessToken;
    session.refreshToken = refreshToken;
    session.tokenType = parameters.value(QStringLiteral("token_type"));
    session.expiresIn = expiresIn;
    const qint64 expiresAt = parameters.value(QStringLiteral("expires_at")).toLongLong();
    session.expiresAt = expiresAt > 0 ? expiresAt : now + expiresIn;
    session.providerToken = parameters.value(QStringLiteral("provider_token"));
    session.providerRefreshToken = parameters.value(QStringLiteral("provider_refresh_token"));
    session.user = user;
    saveSession(session);
    const bool recovery = parameters.value(QStringLiteral("type")) == QLatin1String("recovery");
    notify(recovery ? AuthChangeEvent::PasswordRecovery : AuthChangeEvent::SignedIn, session);
    co_return session;
}

void SupabaseAuthClient::startAutoRefresh()
{
    if (m_ticker.isActive())
        return;
    m_ticker.start();
    QTimer::singleShot(0, this, [this] { autoRefreshTick(); });
}

void SupabaseAuthClient::stopAutoRefresh() { m_ticker.stop(); }

QCoro::Task<void> SupabaseAuthClient::autoRefreshTick()
{
    if (m_tickRunning)
        co_return;
    const auto stored = currentSession();
    if (!stored || !stored->expiresWithin(m_context->nowSeconds(), m_options.refreshThreshold.count()))
        co_return;
    m_tickRunning = true;
    QPointer<SupabaseAuthClient> self(this);
    try {
        co_await refreshWith(stored->refreshToken);
    } catch (const AuthError &error) {
        // Network failures and 5xx keep the session; the next tick tries again.
        log(component, QStringLiteral("Automatic refresh failed: %1").arg(error.message()));
    }
    if (self)
        self->m_tickRunning = false;
}

} // namespace supabase
