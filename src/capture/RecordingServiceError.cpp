#include "capture/RecordingServiceError.h"

#include "core/Localizer.h"

namespace tindrel {

RecordingServiceError::RecordingServiceError(Code code, QString detail)
    : m_code(code), m_detail(std::move(detail)), m_what(description().toUtf8())
{}

QString RecordingServiceError::description() const
{
    switch (m_code) {
    case Code::microphonePermissionNotGranted:
        return localized("error.microphone_permission_not_granted");
    case Code::microphonePermissionDenied:
        return localized("error.microphone_permission_denied");
    case Code::microphonePermissionRequestInProgress:
        return localized("error.microphone_permission_request_in_progress");
    case Code::audioInputUnavailable:
        return localized("error.audio_input_unavailable", "The microphone could not be opened.",
                         "Recording error: no usable audio input device");
    case Code::recordingFileUnwritable:
        return localized("error.recording_file_unwritable", "The recording file could not be created.",
                         "Recording error: the temporary audio file cannot be written");
    }
    return {};
}

} // namespace tindrel
