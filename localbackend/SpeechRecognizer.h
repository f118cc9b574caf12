#pragma once

#include <QByteArray>
#include <QString>

namespace tindrel::localbackend {

// Offline speech to text: decodes a compressed recording (AAC in MP4, or anything libav
// reads) to 16 kHz mono, and recognises it with pocketsphinx's US English model. Each call
// builds a fresh decoder, because results depend on a decoder's history; calls may run on
// any thread at the same time.
class SpeechRecognizer {
public:
    struct Result {
        bool ok = false;
        QString text;
        QString error;
        double durationSeconds = 0;
    };

    static QString defaultModelDir();

    explicit SpeechRecognizer(const QString &modelDir = defaultModelDir());

    bool isAvailable() const;
    Result recognize(const QByteArray &audio) const;

    // Decodes to 16 kHz mono signed 16-bit samples; false with `error` set on failure.
    static bool decodeAudio(const QByteArray &audio, QByteArray *samples, QString *error);

private:
    QString m_modelDir;
};

} // namespace tindrel::localbackend
