#pragma once

#include "supabase/ClientContext.h"
#include "supabase/FunctionsClient.h"
#include "supabase/RealtimeClient.h"
#include "supabase/SupabaseAuthClient.h"
#include "supabase/SupabaseClientOptions.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace supabase {

// The client of one Supabase project: auth, edge functions and realtime, sharing one HTTP
// session, the project key and the auth session. Every new session is handed to realtime;
// losing it disconnects realtime when the options say so. Lives on the thread that created
// it (the main thread in the application); its parts are called from there only.
class SupabaseClient : public QObject {
    Q_OBJECT

public:
    SupabaseClient(const QUrl &baseUrl, const QString &apiKey, SupabaseClientOptions options,
                   QObject *parent = nullptr);
    ~SupabaseClient() override;

    SupabaseAuthClient &auth() { return *m_auth; }
    FunctionsClient &functions() { return *m_functions; }
    RealtimeClient &realtime() { return *m_realtime; }

    QUrl baseUrl() const { return m_context->baseUrl; }
    const SupabaseClientOptions &options() const { return m_options; }

private:
    void onAuthStateChanged(const AuthStateChange &change);

    SupabaseClientOptions m_options;
    std::shared_ptr<ClientContext> m_context;
    SupabaseAuthClient *m_auth = nullptr;
    FunctionsClient *m_functions = nullptr;
    RealtimeClient *m_realtime = nullptr;
};

} // namespace supabase
