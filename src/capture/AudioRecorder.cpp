#include "capture/AudioRecorder.h"

#include "capture/RecordingServiceError.h"
#include "core/Log.h"

#include <QAudioSource>
#include <QFile>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace tindrel {

namespace {
// 20 ms of 16-bit mono audio per read keeps the first buffer and the meter prompt.
constexpr qsizetype bufferBytes = 1764;
} // namespace

AudioRecorder::AudioRecorder(QString filePath, std::chrono::milliseconds maximumDuration, QObject *parent)
    : QObject(parent), m_filePath(std::move(filePath)),
      m_limitSamples(maximumDuration.count() * AacFileWriter::sampleRate / 1000)
{}

AudioRecorder::~AudioRecorder()
{
    // A running QAudioSource destroyed without stop() aborts inside libpulse.
    stop();
}

void AudioRecorder::start(const QAudioDevice &device)
{
    using Code = RecordingServiceError::Code;
    if (device.isNull()) {
        logLine(u"RecordingService", QStringLiteral("No audio input device"));
        throw RecordingServiceError(Code::audioInputUnavailable, QStringLiteral("no audio input device"));
    }
    m_writer.open(m_filePath);

    QAudioFormat format;
    format.setSampleRate(AacFileWriter::sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    m_source = std::make_unique<QAudioSource>(device, format);
    m_source->setBufferSize(bufferBytes);
    m_input = m_source->start();
    if (!m_input || m_source->error() != QAudio::NoError) {
        const QString detail =
            QStringLiteral("%1 (error %2)").arg(device.description()).arg(static_cast<int>(m_source->error()));
        m_source->stop();
        m_source.reset();
        m_input = nullptr;
        m_writer.finish();
        QFile::remove(m_filePath);
        logLine(u"RecordingService", QStringLiteral("Cannot open the audio input: %1").arg(detail));
        throw RecordingServiceError(Code::audioInputUnavailable, detail);
    }
    connect(m_input, &QIODevice::readyRead, this, &AudioRecorder::readAvailable);
    connect(m_source.get(), &QAudioSource::stateChanged, this, [this](QAudio::State state) {
        if (state == QAudio::StoppedState && m_source && m_source->error() != QAudio::NoError) {
            logLine(u"RecordingService",
                    QStringLiteral("The audio input failed (error %1)").arg(static_cast<int>(m_source->error())));
            // Not from inside the source's own signal.
            QTimer::singleShot(0, this, [this] {
                if (isRecording())
                    endBySelf(false);
            });
        }
    });
}

void AudioRecorder::readAvailable()
{
    if (m_input)
        consume(m_input->readAll());
}

void AudioRecorder::consume(const QByteArray &bytes)
{
    if (bytes.isEmpty() || m_reachedLimit)
        return;
    if (!m_firstBufferAt)
        m_firstBufferAt = std::chrono::steady_clock::now();
    QByteArray data = m_oddByte + bytes;
    m_oddByte.clear();
    if (data.size() % 2) {
        m_oddByte = data.right(1);
        data.chop(1);
    }
    qint64 count = data.size() / 2;
    const qint64 room = m_limitSamples - m_writer.samplesWritten();
    const bool limitReached = count >= room;
    count = std::min(count, room);
    const auto *samples = reinterpret_cast<const qint16 *>(data.constData());
    m_writer.write(samples, count);
    m_meter.process(samples, count);
    if (limitReached) {
        m_reachedLimit = true;
        // Not from inside the device's readyRead: stopping destroys the source, and Qt's
        // PulseAudio source still touches itself after that signal returns. Later buffers are
        // dropped by m_reachedLimit, so the file stays exactly the limit long.
        QTimer::singleShot(0, this, [this] {
            if (isRecording())
                endBySelf(true);
        });
    }
}

void AudioRecorder::endBySelf(bool successfully)
{
    stop();
    emit finished(successfully);
}

void AudioRecorder::stop()
{
    if (m_source) {
        // Detached first, so a limit reached by the last buffer does not stop us twice.
        std::unique_ptr<QAudioSource> source = std::move(m_source);
        QIODevice *input = std::exchange(m_input, nullptr);
        disconnect(source.get(), nullptr, this, nullptr);
        if (input) {
            disconnect(input, nullptr, this, nullptr);
            // The last buffer is still with the device; it belongs to the recording.
            consume(input->readAll());
        }
        source->stop();
        // Destroying Qt's PulseAudio source runs pending events, which may stop, replace or
        // destroy this capture while we are still in it; the stopped source goes later.
        source.release()->deleteLater();
    }
    m_writer.finish();
}

double AudioRecorder::recordedDuration() const
{
    return static_cast<double>(m_writer.samplesWritten()) / AacFileWriter::sampleRate;
}

} // namespace tindrel
