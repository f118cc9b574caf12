#pragma once

#include "core/CancellationToken.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>

namespace tindrel {

// Turns one finished recording into its transcript through the "transcribe" edge function:
// ask for an upload URL, PUT the file to storage (retried, then uploaded through the function
// itself), then ask for the transcription of the stored object (retried on gateway and
// connectivity failures). Holds nothing between calls.
class TranscribeService : public QObject {
    Q_OBJECT
public:
    // Called before each retry with (retry number, maximum retries): (1, 2), then (2, 2).
    using RetryCallback = std::function<void(int retry, int maximum)>;
    // Waits between attempts; the real one ends early when the token is cancelled.
    using Sleeper = std::function<QCoro::Task<void>(std::chrono::milliseconds, CancellationToken)>;

    static constexpr int maximumRetries = 2;
    static constexpr qint64 proxyUploadLimit = 6 * 1024 * 1024;

    struct Timing {
        std::chrono::milliseconds requestTimeout{60'000};
        // Retry n waits n times the step.
        std::chrono::milliseconds uploadRetryStep{800};
        std::chrono::milliseconds transcriptionRetryStep{900};
        Sleeper sleep; // empty: sleepFor
    };

    struct Request {
        QUrl fileUrl;
        double duration = 0;
        QString mode;
        QString baseUrl; // used verbatim
        QString anonKey;
        QString accessToken;
        RetryCallback onUploadRetry;
        RetryCallback onTranscriptionRetry;
    };

    explicit TranscribeService(QObject *parent = nullptr);
    TranscribeService(Timing timing, QObject *parent = nullptr);

    const Timing &timing() const { return m_timing; }

    // The transcript text. Throws TranscribeError, FileReadError, TransportError, or
    // CancelledError for requests made after `token` was cancelled: cancelling shortens the
    // waits but the sequence runs on, each request failing like any other failure.
    QCoro::Task<QString> transcribe(Request request, CancellationToken token = {});

    // "audio/m4a" and friends by the file's extension; "application/octet-stream" otherwise.
    static QString contentTypeForFile(const QString &fileName);

private:
    Timing m_timing;
    QNetworkAccessManager m_session;
};

} // namespace tindrel
