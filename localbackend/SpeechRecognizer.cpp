#include "SpeechRecognizer.h"

#include <QFileInfo>
#include <QMutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <pocketsphinx.h>
}

#include <cstring>
#include <memory>

namespace tindrel::localbackend {
namespace {

constexpr int sampleRate = 16000;
// Longer input than this is refused rather than decoded into memory.
constexpr qint64 maxSamples = static_cast<qint64>(sampleRate) * 20 * 60;
constexpr int ioBufferSize = 32 * 1024;

struct MemorySource {
    const QByteArray *data = nullptr;
    qint64 position = 0;
};

int readPacket(void *opaque, uint8_t *buffer, int size)
{
    auto *source = static_cast<MemorySource *>(opaque);
    const qint64 left = source->data->size() - source->position;
    if (left <= 0)
        return AVERROR_EOF;
    const int count = static_cast<int>(qMin<qint64>(left, size));
    std::memcpy(buffer, source->data->constData() + source->position, static_cast<size_t>(count));
    source->position += count;
    return count;
}

int64_t seekPacket(void *opaque, int64_t offset, int whence)
{
    auto *source = static_cast<MemorySource *>(opaque);
    const qint64 size = source->data->size();
    if (whence == AVSEEK_SIZE)
        return size;
    qint64 target = offset;
    if ((whence & 3) == SEEK_CUR)
        target = source->position + offset;
    else if ((whence & 3) == SEEK_END)
        target = size + offset;
    if (target < 0 || target > size)
        return -1;
    source->position = target;
    return target;
}

struct FormatCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
struct IoCloser {
    void operator()(AVIOContext *io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct CodecCloser {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct ResamplerCloser {
    void operator()(SwrContext *context) const { swr_free(&context); }
};
struct FrameCloser {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketCloser {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

QString avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

// Appends converted samples; false when the recording is too long.
bool convert(SwrContext *resampler, const AVFrame *frame, QByteArray *samples)
{
    const int inputCount = frame ? frame->nb_samples : 0;
    const int capacity = swr_get_out_samples(resampler, inputCount);
    if (capacity <= 0)
        return true;
    const qsizetype offset = samples->size();
    samples->resize(offset + capacity * 2);
    auto *out = reinterpret_cast<uint8_t *>(samples->data() + offset);
    const int produced = swr_convert(resampler, &out, capacity,
                                     frame ? const_cast<const uint8_t **>(frame->extended_data) : nullptr, inputCount);
    samples->resize(offset + qMax(0, produced) * 2);
    return samples->size() / 2 <= maxSamples;
}

// The input format a resampler was built for.
struct ResamplerInput {
    AVChannelLayout layout{};
    int format = -1;
    int rate = 0;

    ResamplerInput() = default;
    ResamplerInput(const ResamplerInput &) = delete;
    ResamplerInput &operator=(const ResamplerInput &) = delete;
    ~ResamplerInput() { av_channel_layout_uninit(&layout); }

    bool matches(const AVFrame *frame) const
    {
        return frame->format == format && frame->sample_rate == rate
               && av_channel_layout_compare(&layout, &frame->ch_layout) == 0;
    }
    bool take(const AVFrame *frame)
    {
        format = frame->format;
        rate = frame->sample_rate;
        return av_channel_layout_copy(&layout, &frame->ch_layout) >= 0;
    }
};

// pocketsphinx keeps its log settings in globals; one recognition at a time.
QMutex g_recognizerLock;

} // namespace

QString SpeechRecognizer::defaultModelDir() { return QStringLiteral("/usr/share/pocketsphinx/model/en-us"); }

SpeechRecognizer::SpeechRecognizer(const QString &modelDir) : m_modelDir(modelDir) {}

bool SpeechRecognizer::isAvailable() const
{
    return QFileInfo(m_modelDir + QStringLiteral("/en-us")).isDir()
           && QFileInfo(m_modelDir + QStringLiteral("/en-us.lm.bin")).isFile()
           && QFileInfo(m_modelDir + QStringLiteral("/cmudict-en-us.dict")).isFile();
}

bool SpeechRecognizer::decodeAudio(const QByteArray &audio, QByteArray *samples, QString *error)
{
    samples->clear();
    MemorySource source{&audio, 0};
    auto *ioBuffer = static_cast<unsigned char *>(av_malloc(ioBufferSize));
    std::unique_ptr<AVIOContext, IoCloser> io(
        avio_alloc_context(ioBuffer, ioBufferSize, 0, &source, &readPacket, nullptr, &seekPacket));
    if (!io) {
        av_free(ioBuffer);
        *error = QStringLiteral("out of memory");
        return false;
    }
    AVFormatContext *rawFormat = avformat_alloc_context();
    rawFormat->pb = io.get();
    rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Only the audio containers the app uploads: playlist and concat formats would make an
    // upload open other files or URLs on its behalf.
    AVDictionary *openOptions = nullptr;
    av_dict_set(&openOptions, "format_whitelist", "mov,mp3,wav,ogg,matroska", 0);
    int status = avformat_open_input(&rawFormat, nullptr, nullptr, &openOptions);
    av_dict_free(&openOptions);
    if (status < 0) {
        *error = QStringLiteral("The upload is not a readable audio file (%1)").arg(avError(status));
        return false; // avformat_open_input freed the context
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(rawFormat);
    if ((status = avformat_find_stream_info(format.get(), nullptr)) < 0) {
        *error = QStringLiteral("The audio stream cannot be read (%1)").arg(avError(status));
        return false;
    }
    const AVCodec *codec = nullptr;
    const int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (streamIndex < 0 || !codec) {
        *error = QStringLiteral("The file has no audio stream");
        return false;
    }
    std::unique_ptr<AVCodecContext, CodecCloser> decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), format->streams[streamIndex]->codecpar) < 0
        || (status = avcodec_open2(decoder.get(), codec, nullptr)) < 0) {
        *error = QStringLiteral("The audio codec cannot be opened");
        return false;
    }
    AVChannelLayout mono{};
    av_channel_layout_default(&mono, 1);
    // Set up for the format of the frames at hand; decoders may change channel count, rate
    // or sample format between frames (an MP3 switching from stereo to mono), so the
    // resampler is rebuilt whenever the frames stop matching it.
    std::unique_ptr<SwrContext, ResamplerCloser> resampler;
    ResamplerInput input;
    auto follow = [&](const AVFrame *next) -> bool {
        if (resampler && input.matches(next))
            return true;
        if (resampler)
            convert(resampler.get(), nullptr, samples); // what the old one still holds
        resampler.reset();
        SwrContext *rawResampler = nullptr;
        if (!input.take(next)
            || swr_alloc_set_opts2(&rawResampler, &mono, AV_SAMPLE_FMT_S16, sampleRate, &input.layout,
                                   static_cast<AVSampleFormat>(input.format), input.rate, 0, nullptr)
                   < 0
            || swr_init(rawResampler) < 0) {
            swr_free(&rawResampler);
            *error = QStringLiteral("The audio cannot be resampled");
            return false;
        }
        resampler.reset(rawResampler);
        return true;
    };
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());

    auto drain = [&]() -> bool {
        while ((status = avcodec_receive_frame(decoder.get(), frame.get())) >= 0) {
            if (!follow(frame.get())) {
                av_frame_unref(frame.get());
                return false;
            }
            const bool fits = convert(resampler.get(), frame.get(), samples);
            av_frame_unref(frame.get());
            if (!fits) {
                *error = QStringLiteral("The recording is too long");
                return false;
            }
        }
        return true;
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == streamIndex && avcodec_send_packet(decoder.get(), packet.get()) >= 0 && !drain()) {
            av_packet_unref(packet.get());
            return false;
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    if (!drain())
        return false;
    if (resampler)
        convert(resampler.get(), nullptr, samples);
    return true;
}

SpeechRecognizer::Result SpeechRecognizer::recognize(const QByteArray &audio) const
{
    Result result;
    QByteArray samples;
    if (!decodeAudio(audio, &samples, &result.error))
        return result;
    result.durationSeconds = static_cast<double>(samples.size() / 2) / sampleRate;
    if (samples.isEmpty()) {
        result.ok = true;
        return result;
    }
    const QByteArray hmm = (m_modelDir + QStringLiteral("/en-us")).toLocal8Bit();
    const QByteArray lm = (m_modelDir + QStringLiteral("/en-us.lm.bin")).toLocal8Bit();
    const QByteArray dict = (m_modelDir + QStringLiteral("/cmudict-en-us.dict")).toLocal8Bit();

    QMutexLocker locker(&g_recognizerLock);
    cmd_ln_t *config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.constData(), "-lm", lm.constData(), "-dict",
                                   dict.constData(), "-logfn", "/dev/null", nullptr);
    if (!config) {
        result.error = QStringLiteral("The speech model cannot be configured");
        return result;
    }
    // A fresh decoder per recording: results must not depend on earlier ones.
    ps_decoder_t *decoder = ps_init(config);
    if (!decoder) {
        cmd_ln_free_r(config);
        result.error = QStringLiteral("The speech model cannot be loaded");
        return result;
    }
    ps_start_utt(decoder);
    ps_process_raw(decoder, reinterpret_cast<const int16 *>(samples.constData()),
                   static_cast<size_t>(samples.size() / 2), FALSE, TRUE);
    ps_end_utt(decoder);
    int32 score = 0;
    const char *hypothesis = ps_get_hyp(decoder, &score);
    result.text = hypothesis ? QString::fromUtf8(hypothesis).simplified() : QString();
    result.ok = true;
    ps_free(decoder);
    cmd_ln_free_r(config);
    return result;
}

} // namespace tindrel::localbackend
