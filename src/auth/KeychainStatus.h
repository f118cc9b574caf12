#pragma once

#include <QtGlobal>

namespace tindrel {

// The secret-store status codes this layer acts on. They keep the values of the platform
// keychain the rest of the product was written against, so callers and logs read the same
// numbers on every platform.
struct KeychainStatus {
    static constexpr qint32 success = 0;
    // A write switches from update to add; a read or delete also tries the file store.
    static constexpr qint32 itemNotFound = -25300;
    static constexpr qint32 duplicateItem = -25299;
    // The answer on time-out, while busy, and whenever the store would need the user
    // (a locked keyring): nothing may ever prompt.
    static constexpr qint32 interactionNotAllowed = -25308;
    // The protected store is unavailable to this process (no session bus, no Secret Service,
    // nowhere to put an item): the operation repeats on the file store.
    static constexpr qint32 missingEntitlement = -34018;
    // The store answered, but with a failure of its own (I/O, D-Bus error).
    static constexpr qint32 ioError = -36;
};

} // namespace tindrel
