#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace tindrel {

// Encodes 16-bit mono PCM into AAC-LC inside an MPEG-4 audio file (.m4a, "ipod" muxer with
// faststart, so players and HTTP range readers find the index first). The file is complete
// and playable once finish() has run; the destructor finishes an open file.
class AacFileWriter {
public:
    static constexpr int sampleRate = 44100;
    // Mono speech at the encoder's "high" quality.
    static constexpr int bitRate = 96000;

    AacFileWriter();
    ~AacFileWriter();
    AacFileWriter(const AacFileWriter &) = delete;
    AacFileWriter &operator=(const AacFileWriter &) = delete;

    // Creates the file and writes its header; throws RecordingServiceError
    // (recordingFileUnwritable) when the file or the encoder cannot be set up.
    void open(const QString &path);
    // Appends samples; encoder failures are logged once and the rest is dropped, so a
    // capture never ends in a crash or a half-written index.
    void write(const qint16 *samples, qsizetype count);
    // Flushes the encoder and writes the index. Idempotent.
    void finish();

    bool isOpen() const { return m_format != nullptr; }
    qint64 samplesWritten() const { return m_samplesWritten; }

private:
    void encodePending(bool flushPartialFrame);
    bool sendFrame(const float *samples, int count);
    bool drainPackets();
    void release();

    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_codec = nullptr;
    AVStream *m_stream = nullptr;
    AVFrame *m_frame = nullptr;
    AVPacket *m_packet = nullptr;
    std::vector<float> m_pending;
    qint64 m_samplesWritten = 0;
    qint64 m_nextPts = 0;
    bool m_failed = false;
    bool m_smallLastFrame = false;
    QString m_path;
};

} // namespace tindrel
