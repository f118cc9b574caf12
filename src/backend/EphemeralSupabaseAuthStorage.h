#pragma once

#include "supabase/SessionStorage.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>

namespace tindrel {

// The backend client's session storage: an in-memory map that dies with the process. Keeping
// tokens across launches is the authentication service's business (keychain). The client may
// call it from any thread; one lock serialises every operation.
class EphemeralSupabaseAuthStorage : public supabase::SessionStorage {
public:
    void store(const QString &key, const QByteArray &value) override;
    std::optional<QByteArray> retrieve(const QString &key) override;
    void remove(const QString &key) override;

private:
    QMutex m_lock;
    QHash<QString, QByteArray> m_values;
};

} // namespace tindrel
