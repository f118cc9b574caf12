#include "SpeechRecognizer.h"

#include <QFileInfo>

namespace tindrel::localbackend {

QString SpeechRecognizer::defaultModelDir() { return QStringLiteral("/usr/share/pocketsphinx/model/en-us"); }

SpeechRecognizer::SpeechRecognizer(const QString &modelDir)
    : m_modelDir(modelDir)
{
}

bool SpeechRecognizer::isAvailable() const { return false; }

SpeechRecognizer::Result SpeechRecognizer::recognize(const QByteArray &) const
{
    return {false, {}, QStringLiteral("Speech recognition is not available"), 0};
}

bool SpeechRecognizer::decodeAudio(const QByteArray &, QByteArray *, QString *error)
{
    *error = QStringLiteral("not available");
    return false;
}

} // namespace tindrel::localbackend
