#pragma once

#include <QtGlobal>

namespace tindrel {

// Average power of the most recent buffer in dBFS: 10·log10(mean x²) with full scale at 0,
// floored at -160 (digital silence).
class AudioLevelMeter {
public:
    static constexpr float silence = -160.0f;

    void process(const qint16 *samples, qsizetype count);
    float averagePower() const { return m_averagePower; }
    void reset() { m_averagePower = silence; }

private:
    float m_averagePower = silence;
};

} // namespace tindrel
