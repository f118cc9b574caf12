#include "capture/ConsentMicrophonePermissionAuthorizer.h"

#include "core/Log.h"
#include "core/Preferences.h"

namespace tindrel {

namespace {
constexpr auto authorizedValue = "authorized";
constexpr auto deniedValue = "denied";
constexpr auto restrictedValue = "restricted";
} // namespace

ConsentMicrophonePermissionAuthorizer::ConsentMicrophonePermissionAuthorizer(
    Preferences &preferences, std::shared_ptr<MicrophoneConsentPrompting> prompt)
    : m_preferences(preferences), m_prompt(std::move(prompt))
{}

MicrophoneAuthorizationStatus ConsentMicrophonePermissionAuthorizer::authorizationStatus() const
{
    const QString value = m_preferences.string(QString::fromLatin1(preferenceKey)).value_or(QString());
    if (value == QLatin1String(authorizedValue))
        return MicrophoneAuthorizationStatus::authorized;
    if (value == QLatin1String(deniedValue))
        return MicrophoneAuthorizationStatus::denied;
    // An administrator can lock the microphone off by writing this value.
    if (value == QLatin1String(restrictedValue))
        return MicrophoneAuthorizationStatus::restricted;
    return MicrophoneAuthorizationStatus::notDetermined;
}

QCoro::Task<bool> ConsentMicrophonePermissionAuthorizer::requestAccess()
{
    // Copy: the UI may replace the prompt while this one is open.
    auto prompt = m_prompt;
    if (!prompt) {
        logLine(u"RecordingService", QStringLiteral("No consent prompt installed; microphone access not granted"));
        co_return false;
    }
    const std::optional<bool> answer = co_await prompt->askForMicrophoneConsent();
    // Only a real answer is remembered; a dismissed dialog asks again next time.
    if (answer) {
        m_preferences.setValue(QString::fromLatin1(preferenceKey),
                               QString::fromLatin1(*answer ? authorizedValue : deniedValue));
        m_preferences.flush();
    }
    co_return answer.value_or(false);
}

} // namespace tindrel
