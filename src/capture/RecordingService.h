#pragma once

#include "capture/MicrophonePermissionGate.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tindrel {

class AudioRecorder;

// Records the microphone into "recording-<UUID>.m4a" in the temporary directory, one capture
// at a time, after asking the permission gate. A capture ends by itself at the length limit
// and says so through `onFinish`. Main thread only. Files are never deleted here.
class RecordingService : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds maximumRecordingDuration{120};

    struct StoppedCapture {
        QUrl fileURL;
        double duration = 0; // seconds
    };

    explicit RecordingService(std::shared_ptr<MicrophonePermissionAuthorizing> authorizer, QObject *parent = nullptr);
    ~RecordingService() override;

    // Throws RecordingServiceError (permission, no input device, file not writable).
    QCoro::Task<void> startCapture();
    // None when no capture is running (or it was already collected).
    std::optional<StoppedCapture> stopCapture();

    // The meter: average power of the latest buffer in dBFS (-160 for silence); none when idle.
    std::optional<float> averagePower() const;

    // Called on the main thread with the file when a capture ended by itself at the limit.
    // The capture stays assigned until stopCapture() collects it.
    std::function<void(const QUrl &fileURL)> onFinish;

    MicrophonePermissionGate &permissionGate() { return *m_permissionGate; }
    // The running capture, for diagnostics and the benchmark; null when idle.
    const AudioRecorder *recorder() const { return m_recorder.get(); }

    // Shorter limits for tests; the product always uses maximumRecordingDuration.
    void setRecordingLimit(std::chrono::milliseconds limit) { m_recordingLimit = limit; }

private:
    void recorderFinished(quint64 generation, const QUrl &fileURL);

    MicrophonePermissionGate *m_permissionGate;
    std::unique_ptr<AudioRecorder> m_recorder;
    QElapsedTimer m_startAt;
    std::chrono::milliseconds m_recordingLimit = maximumRecordingDuration;
    // Identifies the current capture, so a late notice of an earlier one is dropped.
    quint64 m_generation = 0;
};

} // namespace tindrel
