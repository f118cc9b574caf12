#pragma once

#include "supabase/Session.h"

#include <QString>

#include <optional>

namespace supabase {

enum class AuthChangeEvent {
    InitialSession,
    SignedIn,
    SignedOut,
    TokenRefreshed,
    UserUpdated,
    PasswordRecovery,
    MfaChallengeVerified,
};

// The wire name ("INITIAL_SESSION", "SIGNED_IN", …), for logs.
QString authChangeEventName(AuthChangeEvent event);

// One change of the auth client's session, with the session after it (none when signed out).
struct AuthStateChange {
    AuthChangeEvent event;
    std::optional<Session> session;
};

} // namespace supabase
