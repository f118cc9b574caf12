#pragma once

#include "capture/AacFileWriter.h"
#include "capture/AudioLevelMeter.h"

#include <QAudioDevice>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QAudioSource;
class QIODevice;

namespace tindrel {

// One capture: the default microphone (44.1 kHz, mono, 16-bit, through PulseAudio) encoded
// into an AAC file, with a level meter, ending by itself after `maximumDuration` of audio.
// Main thread only. The file is complete after stop(), after the limit and after destruction.
class AudioRecorder : public QObject {
    Q_OBJECT
public:
    AudioRecorder(QString filePath, std::chrono::milliseconds maximumDuration, QObject *parent = nullptr);
    ~AudioRecorder() override;

    // Opens the file and the device; throws RecordingServiceError (recordingFileUnwritable,
    // audioInputUnavailable). A failed start leaves no file behind.
    void start(const QAudioDevice &device);
    // Takes what the device still holds, stops it and completes the file. Idempotent.
    void stop();

    bool isRecording() const { return m_source != nullptr; }
    bool reachedLimit() const { return m_reachedLimit; }
    QUrl fileURL() const { return QUrl::fromLocalFile(m_filePath); }
    double recordedDuration() const;
    float averagePower() const { return m_meter.averagePower(); }
    // When the first buffer of audio arrived; none before it does.
    std::optional<std::chrono::steady_clock::time_point> firstBufferAt() const { return m_firstBufferAt; }

signals:
    // The recording ended by itself: true at the length limit, false when the device failed.
    void finished(bool successfully);

private:
    void readAvailable();
    void consume(const QByteArray &bytes);
    void endBySelf(bool successfully);

    QString m_filePath;
    qint64 m_limitSamples;
    AacFileWriter m_writer;
    AudioLevelMeter m_meter;
    std::unique_ptr<QAudioSource> m_source;
    QIODevice *m_input = nullptr;
    QByteArray m_oddByte;
    std::optional<std::chrono::steady_clock::time_point> m_firstBufferAt;
    bool m_reachedLimit = false;
};

} // namespace tindrel
