#pragma once

#include "capture/MicrophonePermissionAuthorizing.h"

#include <QCoroTask>
#include <QObject>

#include <memory>

namespace tindrel {

// Turns the authorisation state into a go-ahead or a RecordingServiceError, and keeps at most
// one permission prompt open. Main thread only.
class MicrophonePermissionGate : public QObject {
    Q_OBJECT
public:
    enum class State { idle, requesting };

    explicit MicrophonePermissionGate(std::shared_ptr<MicrophonePermissionAuthorizing> authorizer,
                                      QObject *parent = nullptr);

    // Succeeds only when access is granted; throws RecordingServiceError otherwise.
    QCoro::Task<void> ensureAuthorized();

    State state() const { return m_state; }
    MicrophonePermissionAuthorizing &authorizer() const { return *m_authorizer; }

private:
    std::shared_ptr<MicrophonePermissionAuthorizing> m_authorizer;
    State m_state = State::idle;
};

} // namespace tindrel
