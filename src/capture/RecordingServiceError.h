#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace tindrel {

// Why a capture could not start. The first three come from the permission gate; the last two
// stand for the recorder's own failures (no input device, no file), so a failed start is
// always reported with a clear description instead of leaving an empty file behind.
class RecordingServiceError : public std::exception {
public:
    enum class Code {
        microphonePermissionNotGranted,
        microphonePermissionDenied,
        microphonePermissionRequestInProgress,
        audioInputUnavailable,
        recordingFileUnwritable,
    };

    // `detail` is a technical reason for the log (never shown); the description is localised.
    explicit RecordingServiceError(Code code, QString detail = {});

    Code code() const { return m_code; }
    const QString &detail() const { return m_detail; }
    QString description() const;
    const char *what() const noexcept override { return m_what.constData(); }

private:
    Code m_code;
    QString m_detail;
    QByteArray m_what;
};

} // namespace tindrel
