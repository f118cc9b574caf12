#pragma once

#include "backend/JsonMembers.h"

namespace tindrel {

// The "get_upload_url" reply: where to PUT the recording and the key of the object it makes.
struct GetUploadUrlResponse {
    QString uploadUrl;
    QString storeKey;
    std::optional<QString> requestId;

    static std::optional<GetUploadUrlResponse> decode(const QByteArray &bytes)
    {
        const auto object = json::decodeObject(bytes);
        if (!object)
            return std::nullopt;
        GetUploadUrlResponse reply;
        if (!json::requiredString(*object, u"uploadUrl", reply.uploadUrl)
            || !json::requiredString(*object, u"storeKey", reply.storeKey)
            || !json::optionalString(*object, u"requestId", reply.requestId))
            return std::nullopt;
        return reply;
    }
};

} // namespace tindrel
