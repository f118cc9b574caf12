#pragma once

#include "backend/JsonMembers.h"

namespace tindrel {

// The "upload_via_proxy" reply: the key of the object the function stored.
struct ProxyUploadResponse {
    QString storeKey;

    static std::optional<ProxyUploadResponse> decode(const QByteArray &bytes)
    {
        const auto object = json::decodeObject(bytes);
        ProxyUploadResponse reply;
        if (!object || !json::requiredString(*object, u"storeKey", reply.storeKey))
            return std::nullopt;
        return reply;
    }
};

} // namespace tindrel
