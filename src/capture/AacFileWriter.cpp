#include "capture/AacFileWriter.h"

#include "capture/RecordingServiceError.h"
#include "core/Log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <QFile>

#include <algorithm>
#include <cstring>

namespace tindrel {

namespace {

QString avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

[[noreturn]] void fail(const QString &detail)
{
    logLine(u"RecordingService", QStringLiteral("Cannot create the recording file: %1").arg(detail));
    throw RecordingServiceError(RecordingServiceError::Code::recordingFileUnwritable, detail);
}

} // namespace

AacFileWriter::AacFileWriter() = default;

AacFileWriter::~AacFileWriter() { finish(); }

void AacFileWriter::open(const QString &path)
{
    finish();
    m_path = path;
    m_failed = false;
    m_samplesWritten = 0;
    m_nextPts = 0;
    m_pending.clear();

    // libav's progress notes ("second pass", "Qavg") would end up in the app's output.
    if (av_log_get_level() > AV_LOG_WARNING)
        av_log_set_level(AV_LOG_WARNING);
    const QByteArray nativePath = QFile::encodeName(path);
    int status = avformat_alloc_output_context2(&m_format, nullptr, "ipod", nativePath.constData());
    if (status < 0 || !m_format)
        fail(QStringLiteral("no MPEG-4 audio muxer (%1)").arg(avError(status)));

    const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    m_stream = avformat_new_stream(m_format, nullptr);
    m_codec = encoder ? avcodec_alloc_context3(encoder) : nullptr;
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (!encoder || !m_stream || !m_codec || !m_frame || !m_packet) {
        release();
        fail(QStringLiteral("no AAC encoder"));
    }
    m_smallLastFrame = (encoder->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;

    m_codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_codec->sample_rate = sampleRate;
    m_codec->bit_rate = bitRate;
    m_codec->time_base = AVRational{1, sampleRate};
    av_channel_layout_default(&m_codec->ch_layout, 1);
    if (m_format->oformat->flags & AVFMT_GLOBALHEADER)
        m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    if ((status = avcodec_open2(m_codec, encoder, nullptr)) < 0
        || (status = avcodec_parameters_from_context(m_stream->codecpar, m_codec)) < 0) {
        release();
        fail(QStringLiteral("AAC encoder: %1").arg(avError(status)));
    }
    m_stream->time_base = m_codec->time_base;

    if ((status = avio_open(&m_format->pb, nativePath.constData(), AVIO_FLAG_WRITE)) < 0) {
        release();
        fail(QStringLiteral("%1: %2").arg(path, avError(status)));
    }
    AVDictionary *options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    status = avformat_write_header(m_format, &options);
    av_dict_free(&options);
    if (status < 0) {
        release();
        QFile::remove(path);
        fail(QStringLiteral("%1: %2").arg(path, avError(status)));
    }

    m_frame->format = AV_SAMPLE_FMT_FLTP;
    m_frame->sample_rate = sampleRate;
    av_channel_layout_default(&m_frame->ch_layout, 1);
}

void AacFileWriter::write(const qint16 *samples, qsizetype count)
{
    if (!m_format || count <= 0)
        return;
    m_samplesWritten += count;
    if (m_failed)
        return;
    const size_t start = m_pending.size();
    m_pending.resize(start + static_cast<size_t>(count));
    for (qsizetype i = 0; i < count; ++i)
        m_pending[start + static_cast<size_t>(i)] = static_cast<float>(samples[i]) / 32768.0f;
    encodePending(false);
}

void AacFileWriter::encodePending(bool flushPartialFrame)
{
    const size_t frameSize = static_cast<size_t>(m_codec->frame_size);
    size_t offset = 0;
    while (!m_failed && m_pending.size() - offset >= frameSize) {
        sendFrame(m_pending.data() + offset, static_cast<int>(frameSize));
        offset += frameSize;
    }
    if (flushPartialFrame && !m_failed && offset < m_pending.size()) {
        const int rest = static_cast<int>(m_pending.size() - offset);
        if (m_smallLastFrame) {
            sendFrame(m_pending.data() + offset, rest);
        } else {
            std::vector<float> padded(frameSize, 0.0f);
            std::copy_n(m_pending.data() + offset, rest, padded.data());
            sendFrame(padded.data(), static_cast<int>(frameSize));
        }
        offset = m_pending.size();
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool AacFileWriter::sendFrame(const float *samples, int count)
{
    av_frame_unref(m_frame);
    m_frame->format = AV_SAMPLE_FMT_FLTP;
    m_frame->sample_rate = sampleRate;
    av_channel_layout_default(&m_frame->ch_layout, 1);
    m_frame->nb_samples = count;
    int status = av_frame_get_buffer(m_frame, 0);
    if (status >= 0) {
        std::memcpy(m_frame->data[0], samples, sizeof(float) * static_cast<size_t>(count));
        m_frame->pts = m_nextPts;
        m_nextPts += count;
        status = avcodec_send_frame(m_codec, m_frame);
    }
    if (status < 0) {
        m_failed = true;
        logLine(u"RecordingService", QStringLiteral("Audio encoding failed: %1").arg(avError(status)));
        return false;
    }
    return drainPackets();
}

bool AacFileWriter::drainPackets()
{
    for (;;) {
        int status = avcodec_receive_packet(m_codec, m_packet);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            return true;
        if (status >= 0) {
            av_packet_rescale_ts(m_packet, m_codec->time_base, m_stream->time_base);
            m_packet->stream_index = m_stream->index;
            status = av_interleaved_write_frame(m_format, m_packet);
        }
        if (status < 0) {
            m_failed = true;
            logLine(u"RecordingService", QStringLiteral("Writing the recording failed: %1").arg(avError(status)));
            return false;
        }
    }
}

void AacFileWriter::finish()
{
    if (!m_format)
        return;
    // A stop before the first buffer would leave a file without an audio track, which
    // players and the upload reject; one frame of silence keeps it a valid recording.
    if (m_samplesWritten == 0 && m_pending.empty())
        m_pending.assign(static_cast<size_t>(m_codec->frame_size), 0.0f);
    encodePending(true);
    if (!m_failed && avcodec_send_frame(m_codec, nullptr) >= 0)
        drainPackets();
    // The index is written even after an encoder failure, so what was encoded stays playable.
    const int status = av_write_trailer(m_format);
    if (status < 0)
        logLine(u"RecordingService", QStringLiteral("Finishing the recording failed: %1").arg(avError(status)));
    release();
}

void AacFileWriter::release()
{
    if (m_format && m_format->pb)
        avio_closep(&m_format->pb);
    avformat_free_context(m_format);
    m_format = nullptr;
    m_stream = nullptr;
    avcodec_free_context(&m_codec);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    m_pending.clear();
}

} // namespace tindrel
