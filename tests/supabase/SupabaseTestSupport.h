#pragma once

#include "support/TestSupport.h"

#include <exception>
#include <optional>

// The error of type E a coroutine ended with; nothing when it succeeded or threw another type.
template<typename E, typename T>
std::optional<E> errorOf(const tindrel::test::Outcome<T> &outcome)
{
    if (!outcome.error)
        return std::nullopt;
    try {
        std::rethrow_exception(outcome.error);
    } catch (const E &error) {
        return error;
    } catch (...) {
    }
    return std::nullopt;
}

// Skips a test when the local backend did not start (QSKIP returns from the calling
// function, so this has to be a macro). Expects members m_serverUp and m_backend.
#define REQUIRE_SERVER()                                                                                               \
    if (!m_serverUp)                                                                                                   \
    QSKIP(qPrintable(QStringLiteral("local backend unavailable: ") + m_backend.error()))
