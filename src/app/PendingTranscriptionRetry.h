#pragma once

#include <QUrl>

namespace tindrel {

// Everything needed to run the same transcription again from the retry control.
struct PendingTranscriptionRetry {
    QUrl fileURL;
    double duration = 0;
    // The capture was ended by the recording length limit.
    bool limitReached = false;

    friend bool operator==(const PendingTranscriptionRetry &, const PendingTranscriptionRetry &) = default;
};

} // namespace tindrel
