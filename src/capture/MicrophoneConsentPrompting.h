#pragma once

#include <QCoroTask>

#include <optional>

namespace tindrel {

// The "ask the user" step of the consent authorizer. The UI layer supplies a dialog; the
// services never show one themselves.
class MicrophoneConsentPrompting {
public:
    virtual ~MicrophoneConsentPrompting() = default;

    // true = allowed, false = refused, none = dismissed without an answer.
    virtual QCoro::Task<std::optional<bool>> askForMicrophoneConsent() = 0;
};

} // namespace tindrel
