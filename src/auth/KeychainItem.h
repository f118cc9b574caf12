#pragma once

#include "auth/KeychainPrimitives.h"
#include "auth/KeychainReadResult.h"
#include "auth/KeychainStoring.h"

#include <QString>

#include <memory>

namespace tindrel {

// A generic-password item (service, account) of the keychain. Two stores stand behind it:
// the protected one (the Secret Service) is where items are written; the file store is used
// when the protected one is unavailable to the process, and items found only there move to
// the protected store at their next save. Every store call runs on the keychain worker with a
// time limit (KeychainSecurity), so no operation blocks longer than 750 ms per step.
class KeychainItem final : public KeychainStoring {
public:
    enum class Backend { dataProtection, defaultKeychain };

    // The primitive calls of the two stores; tests pass their own.
    struct Primitives {
        std::shared_ptr<KeychainPrimitives> dataProtection;
        std::shared_ptr<KeychainPrimitives> defaultKeychain;

        const std::shared_ptr<KeychainPrimitives> &of(Backend backend) const
        {
            return backend == Backend::dataProtection ? dataProtection : defaultKeychain;
        }
    };

    // The Secret Service and the file store under the application's data directory, created
    // once per process.
    static const Primitives &systemPrimitives();

    KeychainItem(QString service, QString account, Primitives primitives = systemPrimitives());

    QString service;
    QString account;

    bool save(const QByteArray &data) const override;
    std::optional<QByteArray> read() const override;
    QCoro::Task<std::optional<QByteArray>> readAsync() const override;
    void remove() const override;

    // A copy's raw result as a read result: data only when the store answered bytes.
    static KeychainReadResult readResult(const KeychainCopyResult &copy);

private:
    qint32 write(Backend backend, const QByteArray &data) const;
    KeychainReadResult copy(Backend backend) const;
    qint32 removeFrom(Backend backend) const;

    Primitives m_primitives;
};

} // namespace tindrel
