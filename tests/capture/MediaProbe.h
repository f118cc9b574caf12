#pragma once

// Reads back what a recording really contains, with libav, independently of our writer.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QFile>
#include <QString>

namespace tindrel::test {

struct MediaFacts {
    bool opened = false;
    QString codec;
    int sampleRate = 0;
    int channels = 0;
    double duration = 0;          // seconds
    bool indexBeforeData = false; // faststart: "moov" precedes "mdat"
};

inline MediaFacts probeMedia(const QString &path)
{
    MediaFacts facts;
    AVFormatContext *format = nullptr;
    const QByteArray nativePath = QFile::encodeName(path);
    if (avformat_open_input(&format, nativePath.constData(), nullptr, nullptr) < 0)
        return facts;
    if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams == 1) {
        const AVCodecParameters *parameters = format->streams[0]->codecpar;
        facts.opened = true;
        facts.codec = QString::fromLatin1(avcodec_get_name(parameters->codec_id));
        facts.sampleRate = parameters->sample_rate;
        facts.channels = parameters->ch_layout.nb_channels;
        facts.duration = static_cast<double>(format->duration) / AV_TIME_BASE;
    }
    avformat_close_input(&format);

    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        const qsizetype moov = bytes.indexOf("moov");
        const qsizetype mdat = bytes.indexOf("mdat");
        facts.indexBeforeData = moov >= 0 && mdat >= 0 && moov < mdat;
    }
    return facts;
}

} // namespace tindrel::test
