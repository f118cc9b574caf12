#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace tindrel {

// The answer of one read from one store: its status and, when the status is success and the
// store answered with bytes, the item's data.
struct KeychainReadResult {
    qint32 status = 0;
    std::optional<QByteArray> data;

    friend bool operator==(const KeychainReadResult &, const KeychainReadResult &) = default;
};

} // namespace tindrel
