#pragma once

#include <QCoroTask>

namespace tindrel {

enum class MicrophoneAuthorizationStatus { notDetermined, restricted, denied, authorized };

// The seam between the permission gate and whoever decides about microphone access, so tests
// can script the answers.
class MicrophonePermissionAuthorizing {
public:
    virtual ~MicrophonePermissionAuthorizing() = default;

    virtual MicrophoneAuthorizationStatus authorizationStatus() const = 0;
    // Asks the user; true when access was granted.
    virtual QCoro::Task<bool> requestAccess() = 0;
};

} // namespace tindrel
