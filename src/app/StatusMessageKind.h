#pragma once

namespace tindrel {

// Colour and icon class of the recording workspace's status line.
enum class StatusMessageKind { info, success, warning, error };

} // namespace tindrel
