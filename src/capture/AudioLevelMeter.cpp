#include "capture/AudioLevelMeter.h"

#include <algorithm>
#include <cmath>

namespace tindrel {

void AudioLevelMeter::process(const qint16 *samples, qsizetype count)
{
    if (count <= 0)
        return;
    double sum = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const double x = samples[i] / 32768.0;
        sum += x * x;
    }
    const double mean = sum / static_cast<double>(count);
    m_averagePower = mean > 0 ? std::max(silence, static_cast<float>(10.0 * std::log10(mean))) : silence;
}

} // namespace tindrel
