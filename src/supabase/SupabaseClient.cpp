#include "supabase/SupabaseClient.h"

#include "supabase/AuthError.h"

#include <QNetworkAccessManager>
#include <QPointer>

namespace supabase {
namespace {

// The current access token for a function call: renewed when due, empty when signed out.
QCoro::Task<QString> accessTokenFor(QPointer<SupabaseAuthClient> auth)
{
    if (!auth)
        co_return QString();
    try {
        const Session session = co_await auth->fetchCurrentSession();
        co_return session.accessToken;
    } catch (const AuthError &error) {
        if (auth && error.isRetryable()) {
            // Offline renewal: the stored token is still the best credential there is.
            if (const auto stored = auth->currentSession())
                co_return stored->accessToken;
        }
        co_return QString();
    }
}

} // namespace

SupabaseClient::SupabaseClient(const QUrl &baseUrl, const QString &apiKey, SupabaseClientOptions options,
                               QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
    auto context = std::make_shared<ClientContext>();
    context->baseUrl = baseUrl;
    context->apiKey = apiKey;
    context->headers = m_options.global.headers;
    context->requestTimeout = m_options.global.requestTimeout;
    context->clock = m_options.global.clock;
    context->network = m_options.global.network;
    if (!context->network)
        context->network = new QNetworkAccessManager(this); // a child, so it follows moveToThread
    m_context = context;

    m_auth = new SupabaseAuthClient(m_context, m_options.auth, this);
    QPointer<SupabaseAuthClient> auth(m_auth);
    m_functions = new FunctionsClient(
        m_context, m_options.functions.region, [auth] { return accessTokenFor(auth); }, this);
    m_realtime = new RealtimeClient(
        m_context, m_options.realtime,
        [auth] {
            const auto session = auth ? auth->currentSession() : std::nullopt;
            return session ? session->accessToken : QString();
        },
        this);
    connect(m_auth, &SupabaseAuthClient::authStateChanged, this, &SupabaseClient::onAuthStateChanged);
}

SupabaseClient::~SupabaseClient()
{
    // The parts use the HTTP session; they go before it does.
    delete m_realtime;
    delete m_functions;
    delete m_auth;
}

void SupabaseClient::onAuthStateChanged(const AuthStateChange &change)
{
    switch (change.event) {
    case AuthChangeEvent::SignedIn:
    case AuthChangeEvent::TokenRefreshed:
    case AuthChangeEvent::MfaChallengeVerified:
    case AuthChangeEvent::PasswordRecovery:
        if (change.session)
            m_realtime->setAuth(change.session->accessToken);
        break;
    case AuthChangeEvent::SignedOut:
        m_realtime->setAuth(QString());
        if (m_options.realtime.disconnectOnSessionLoss)
            m_realtime->disconnect();
        break;
    case AuthChangeEvent::InitialSession:
    case AuthChangeEvent::UserUpdated:
        break;
    }
}

} // namespace supabase
