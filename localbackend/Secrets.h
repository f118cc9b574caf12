#pragma once

#include <QByteArray>

namespace tindrel::localbackend {

// Random material and comparisons for tokens, salts and signatures.
QByteArray randomBytes(int count);
// `count` random bytes as unpadded base64url text.
QByteArray randomToken(int count);
// Compares without an early exit, so timing reveals nothing about where two secrets differ.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

} // namespace tindrel::localbackend
