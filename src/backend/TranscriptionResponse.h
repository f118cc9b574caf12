#pragma once

#include "backend/JsonMembers.h"

namespace tindrel {

// The "transcribe_stored" reply. Deployments name the transcript "text" or "transcription";
// some report a failure in "error" with a success status.
struct TranscriptionResponse {
    std::optional<QString> text;
    std::optional<QString> transcription;
    std::optional<QString> error;

    static std::optional<TranscriptionResponse> decode(const QByteArray &bytes)
    {
        const auto object = json::decodeObject(bytes);
        if (!object)
            return std::nullopt;
        TranscriptionResponse reply;
        if (!json::optionalString(*object, u"text", reply.text)
            || !json::optionalString(*object, u"transcription", reply.transcription)
            || !json::optionalString(*object, u"error", reply.error))
            return std::nullopt;
        return reply;
    }
};

} // namespace tindrel
