#include "capture/MicrophonePermissionGate.h"

#include "capture/RecordingServiceError.h"

#include <QPointer>

namespace tindrel {

MicrophonePermissionGate::MicrophonePermissionGate(std::shared_ptr<MicrophonePermissionAuthorizing> authorizer,
                                                   QObject *parent)
    : QObject(parent), m_authorizer(std::move(authorizer))
{}

QCoro::Task<void> MicrophonePermissionGate::ensureAuthorized()
{
    using Code = RecordingServiceError::Code;
    // A second start while the prompt is open fails at once rather than joining it.
    if (m_state == State::requesting)
        throw RecordingServiceError(Code::microphonePermissionRequestInProgress);

    switch (m_authorizer->authorizationStatus()) {
    case MicrophoneAuthorizationStatus::authorized:
        co_return;
    case MicrophoneAuthorizationStatus::restricted:
    case MicrophoneAuthorizationStatus::denied:
        throw RecordingServiceError(Code::microphonePermissionDenied);
    case MicrophoneAuthorizationStatus::notDetermined:
        break;
    }

    m_state = State::requesting;
    QPointer<MicrophonePermissionGate> self(this);
    // The frame keeps the authorizer alive even if the gate goes away during the prompt.
    auto authorizer = m_authorizer;
    bool granted = false;
    try {
        granted = co_await authorizer->requestAccess();
    } catch (...) {
        if (self)
            m_state = State::idle;
        throw;
    }
    if (self)
        m_state = State::idle;
    if (!granted)
        throw RecordingServiceError(Code::microphonePermissionNotGranted);
}

} // namespace tindrel
