#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace supabase {

// Where the auth client keeps the session and the PKCE verifier. The application decides
// whether it survives the process. Implementations must be safe to call from any thread and
// must not fail.
class SessionStorage {
public:
    virtual ~SessionStorage() = default;
    virtual void store(const QString &key, const QByteArray &value) = 0;
    virtual std::optional<QByteArray> retrieve(const QString &key) = 0;
    virtual void remove(const QString &key) = 0;
};

} // namespace supabase
