#pragma once

#include <QString>

namespace supabase {

// Proof key for code exchange: a random verifier kept by the client and the challenge sent
// with the authorisation request (method s256).
namespace pkce {

// 64 random bytes, base64url without padding: 86 characters of [A-Za-z0-9_-].
QString generateVerifier();

// base64url(SHA-256(verifier)) without padding: 43 characters.
QString challenge(const QString &verifier);

inline constexpr const char *challengeMethod = "s256";

} // namespace pkce
} // namespace supabase
