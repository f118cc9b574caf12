#include "supabase/AuthChangeEvent.h"

namespace supabase {

QString authChangeEventName(AuthChangeEvent event)
{
    switch (event) {
    case AuthChangeEvent::InitialSession:
        return QStringLiteral("INITIAL_SESSION");
    case AuthChangeEvent::SignedIn:
        return QStringLiteral("SIGNED_IN");
    case AuthChangeEvent::SignedOut:
        return QStringLiteral("SIGNED_OUT");
    case AuthChangeEvent::TokenRefreshed:
        return QStringLiteral("TOKEN_REFRESHED");
    case AuthChangeEvent::UserUpdated:
        return QStringLiteral("USER_UPDATED");
    case AuthChangeEvent::PasswordRecovery:
        return QStringLiteral("PASSWORD_RECOVERY");
    case AuthChangeEvent::MfaChallengeVerified:
        return QStringLiteral("MFA_CHALLENGE_VERIFIED");
    }
    return {};
}

} // namespace supabase
