#pragma once

#include <QList>
#include <QString>

namespace tindrel {

// A quality level the user asks the backend to transcribe with, billed per second of audio.
struct ProcessingModeDefinition {
    QString id;
    QString localizationKey;
    QString defaultName;
    double costPerSecond = 0;

    friend bool operator==(const ProcessingModeDefinition &, const ProcessingModeDefinition &) = default;
};

size_t qHash(const ProcessingModeDefinition &definition, size_t seed = 0) noexcept;

// The fixed catalogue of processing modes the client knows.
class ProcessingModeService {
public:
    static constexpr const char *defaultMode = "fast";

    static const ProcessingModeService &shared();

    const QList<ProcessingModeDefinition> &models() const { return m_models; }
    bool isValid(const QString &mode) const;
    // Unknown identifiers resolve to the "fast" definition.
    const ProcessingModeDefinition &definition(const QString &mode) const;
    QString displayName(const QString &mode) const;
    QString optionLabel(const ProcessingModeDefinition &definition) const;

private:
    ProcessingModeService();
    QList<ProcessingModeDefinition> m_models;
};

} // namespace tindrel
