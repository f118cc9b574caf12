#pragma once

#include "auth/KeychainPrimitives.h"

#include <memory>

namespace tindrel {

// The Secret Service (gnome-keyring, KWallet, KeePassXC, ...) through libsecret, behind the
// protected backend. Items carry the attributes "service" and "account" under a schema of
// our own. It never asks the user anything: a call that would need a prompt (a locked
// keyring, a keyring that does not exist yet) fails with interactionNotAllowed, and no
// reachable Secret Service answers missingEntitlement so the file store takes over.
class SecretServiceKeychainPrimitives final : public KeychainPrimitives {
public:
    static constexpr const char *schemaName = "app.tindrel.Keychain";

    SecretServiceKeychainPrimitives();
    ~SecretServiceKeychainPrimitives() override;

    qint32 update(const QString &service, const QString &account, const QByteArray &data) override;
    qint32 add(const QString &service, const QString &account, const QByteArray &data) override;
    KeychainCopyResult copy(const QString &service, const QString &account) override;
    qint32 remove(const QString &service, const QString &account) override;

private:
    struct Connection;
    std::unique_ptr<Connection> m_connection;
};

} // namespace tindrel
