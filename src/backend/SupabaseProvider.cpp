#include "backend/SupabaseProvider.h"

#include "backend/BackendConfiguration.h"
#include "backend/EphemeralSupabaseAuthStorage.h"
#include "core/BundleInfo.h"
#include "core/Log.h"
#include "supabase/SupabaseLog.h"

#include <QCoreApplication>
#include <QThread>

namespace tindrel {

using namespace std::chrono_literals;

supabase::SupabaseClientOptions SupabaseProvider::clientOptions()
{
    supabase::SupabaseClientOptions options;
    options.auth.storage = std::make_shared<EphemeralSupabaseAuthStorage>();
    options.auth.flowType = supabase::AuthFlowType::Pkce;
    options.auth.autoRefreshToken = true;
    options.realtime.heartbeatInterval = 25s;
    options.realtime.reconnectDelay = 7s;
    options.realtime.timeout = 10s;
    options.realtime.disconnectOnSessionLoss = true;
    options.realtime.connectOnSubscribe = true;
    options.realtime.maxRetryAttempts = 5;
    return options;
}

SupabaseProvider::SupabaseProvider(const Configuration &configuration)
{
    supabase::setLogHandler([](QStringView component, const QString &message) { logLine(component, message); });
    m_client =
        std::make_unique<supabase::SupabaseClient>(configuration.baseUrl, configuration.anonKey, clientOptions());
    // Built on whichever thread came first; it works on the application's thread.
    if (QCoreApplication *app = QCoreApplication::instance(); app && QThread::currentThread() != app->thread())
        m_client->moveToThread(app->thread());
    logLine(u"SupabaseProvider", QStringLiteral("Supabase client initialized successfully"));
}

SupabaseProvider &SupabaseProvider::shared()
{
    // Never released: the client lives until the process exits. The resolution logs the
    // configuration lines and stops the program on an unusable URL.
    static SupabaseProvider *const instance = [] {
        const BackendConfiguration configuration = BackendConfiguration::resolveOrStop(BundleInfo::main());
        return new SupabaseProvider(Configuration{configuration.baseURL, configuration.anonKey});
    }();
    return *instance;
}

} // namespace tindrel
