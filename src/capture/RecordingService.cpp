#include "capture/RecordingService.h"

#include "capture/AudioRecorder.h"
#include "capture/DefaultAudioInput.h"
#include "capture/RecordingServiceError.h"
#include "core/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <QUuid>

namespace tindrel {

RecordingService::RecordingService(std::shared_ptr<MicrophonePermissionAuthorizing> authorizer, QObject *parent)
    : QObject(parent), m_permissionGate(new MicrophonePermissionGate(std::move(authorizer), this))
{}

RecordingService::~RecordingService() = default;

QCoro::Task<void> RecordingService::startCapture()
{
    QPointer<RecordingService> self(this);
    co_await m_permissionGate->ensureAuthorized();
    if (!self)
        co_return;

    // Qt answers an empty path when TMPDIR names a missing folder; the file would then land
    // in the working directory.
    const QString temporaryDirectory = QDir::tempPath();
    if (temporaryDirectory.isEmpty() || !QFileInfo(temporaryDirectory).isDir()) {
        logLine(u"RecordingService", QStringLiteral("No temporary directory for the recording"));
        throw RecordingServiceError(RecordingServiceError::Code::recordingFileUnwritable,
                                    QStringLiteral("no temporary directory"));
    }
    const QString fileName =
        QStringLiteral("recording-%1.m4a").arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    auto recorder = std::make_unique<AudioRecorder>(QDir(temporaryDirectory).filePath(fileName), m_recordingLimit);
    recorder->start(DefaultAudioInput::device());

    const quint64 generation = ++m_generation;
    const QUrl fileURL = recorder->fileURL();
    connect(recorder.get(), &AudioRecorder::finished, this, [this, generation, fileURL](bool successfully) {
        if (successfully)
            recorderFinished(generation, fileURL);
    });
    // A capture still running is replaced; its destruction completes its file.
    m_recorder = std::move(recorder);
    m_startAt.start();
}

void RecordingService::recorderFinished(quint64 generation, const QUrl &fileURL)
{
    QTimer::singleShot(0, this, [this, generation, fileURL] {
        // A notice from a capture that has since been collected or replaced is stale: acting
        // on it would stop the next capture.
        if (!m_recorder || generation != m_generation)
            return;
        if (onFinish)
            onFinish(fileURL);
    });
}

std::optional<RecordingService::StoppedCapture> RecordingService::stopCapture()
{
    if (!m_recorder)
        return std::nullopt;
    m_recorder->stop();
    StoppedCapture result;
    result.fileURL = m_recorder->fileURL();
    result.duration = m_startAt.isValid() ? static_cast<double>(m_startAt.nsecsElapsed()) / 1e9 : 0.0;
    // Collected late after the limit: the recording is exactly the limit long.
    if (m_recorder->reachedLimit())
        result.duration = std::min(result.duration, m_recorder->recordedDuration());
    m_recorder.reset();
    ++m_generation;
    m_startAt.invalidate();
    return result;
}

std::optional<float> RecordingService::averagePower() const
{
    if (!m_recorder)
        return std::nullopt;
    return m_recorder->averagePower();
}

} // namespace tindrel
