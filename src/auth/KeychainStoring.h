#pragma once

#include <QByteArray>
#include <QCoroTask>

#include <optional>

namespace tindrel {

// One small secret in the keychain. No operation throws, hangs or prompts: failures read as
// "not stored" or "nothing there".
class KeychainStoring {
public:
    virtual ~KeychainStoring() = default;

    // True when the data ended up stored (blocking).
    virtual bool save(const QByteArray &data) const = 0;
    // The data; nothing when absent, unreadable or timed out (blocking).
    virtual std::optional<QByteArray> read() const = 0;
    // As read(), suspending instead of blocking; resumes on the caller's thread.
    virtual QCoro::Task<std::optional<QByteArray>> readAsync() const = 0;
    // Removes the item; failures are ignored (blocking). (The product calls this "delete".)
    virtual void remove() const = 0;
};

} // namespace tindrel
