#pragma once

#include <QAudioDevice>
#include <QByteArray>

namespace tindrel {

// The sound server's default source. Qt 6.4 ignores PulseAudio's default and returns the first
// source it lists, so the name is asked from libpulse and matched against Qt's devices.
class DefaultAudioInput {
public:
    // The default source's name, or empty when no sound server answers within a second.
    static QByteArray serverDefaultSourceName();
    // The matching device; Qt's own default when the server does not answer or names a
    // source Qt does not list.
    static QAudioDevice device();
};

} // namespace tindrel
