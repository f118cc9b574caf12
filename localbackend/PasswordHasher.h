#pragma once

#include <QString>

namespace tindrel::localbackend {

// Salted PBKDF2-HMAC-SHA256. The stored form names its parameters
// ("pbkdf2-sha256$<iterations>$<salt>$<hash>", base64), so the count can grow later
// without invalidating stored passwords.
class PasswordHasher {
public:
    static constexpr int defaultIterations = 60000;

    static QString hash(const QString &password, int iterations = defaultIterations);
    static bool verify(const QString &password, const QString &stored);
};

} // namespace tindrel::localbackend
