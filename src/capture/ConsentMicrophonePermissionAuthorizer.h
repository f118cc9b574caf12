#pragma once

#include "capture/MicrophoneConsentPrompting.h"
#include "capture/MicrophonePermissionAuthorizing.h"

#include <memory>

namespace tindrel {

class Preferences;

// Linux desktops have no system-wide microphone permission, so access is the user's own
// consent: asked once, remembered in the preference "microphoneConsent" ("authorized" or
// "denied"; absent = not asked yet). A refusal is not asked again.
class ConsentMicrophonePermissionAuthorizer final : public MicrophonePermissionAuthorizing {
public:
    static constexpr const char *preferenceKey = "microphoneConsent";

    explicit ConsentMicrophonePermissionAuthorizer(Preferences &preferences,
                                                   std::shared_ptr<MicrophoneConsentPrompting> prompt = {});

    // The UI installs its dialog once it exists.
    void setPrompt(std::shared_ptr<MicrophoneConsentPrompting> prompt) { m_prompt = std::move(prompt); }

    MicrophoneAuthorizationStatus authorizationStatus() const override;
    QCoro::Task<bool> requestAccess() override;

private:
    Preferences &m_preferences;
    std::shared_ptr<MicrophoneConsentPrompting> m_prompt;
};

} // namespace tindrel
