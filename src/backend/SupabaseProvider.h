#pragma once

#include "supabase/SupabaseClient.h"

#include <QString>
#include <QUrl>

#include <memory>

namespace tindrel {

// The one backend client of the process, built on first use from the resolved backend
// configuration and never released. First use may come from any thread: concurrent callers
// wait for the one construction, and the client is handed to the application's thread, where
// all its operations run.
class SupabaseProvider {
public:
    struct Configuration {
        QUrl baseUrl;
        QString anonKey;
    };

    static SupabaseProvider &shared();

    supabase::SupabaseClient &client() const { return *m_client; }

    // The settings of the process-wide client (storage: a new EphemeralSupabaseAuthStorage).
    static supabase::SupabaseClientOptions clientOptions();

    // Tests build their own; the application uses shared().
    explicit SupabaseProvider(const Configuration &configuration);

private:
    std::unique_ptr<supabase::SupabaseClient> m_client;
};

} // namespace tindrel
