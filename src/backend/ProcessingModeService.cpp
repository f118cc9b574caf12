#include "backend/ProcessingModeService.h"

#include "core/Localizer.h"

#include <QHashFunctions>

namespace tindrel {

size_t qHash(const ProcessingModeDefinition &definition, size_t seed) noexcept
{
    return qHashMulti(seed, definition.id, definition.localizationKey, definition.defaultName,
                      definition.costPerSecond);
}

ProcessingModeService::ProcessingModeService()
    : m_models{
        {QStringLiteral("fast"), QStringLiteral("processing_mode.fast"), QStringLiteral("Fast Mode"), 1},
        {QStringLiteral("high_accuracy"), QStringLiteral("processing_mode.high_accuracy"),
         QStringLiteral("High Accuracy Mode"), 3},
    }
{}

const ProcessingModeService &ProcessingModeService::shared()
{
    static const ProcessingModeService instance;
    return instance;
}

bool ProcessingModeService::isValid(const QString &mode) const
{
    for (const auto &model : m_models)
        if (model.id == mode)
            return true;
    return false;
}

const ProcessingModeDefinition &ProcessingModeService::definition(const QString &mode) const
{
    for (const auto &model : m_models)
        if (model.id == mode)
            return model;
    return m_models.front();
}

QString ProcessingModeService::displayName(const QString &mode) const
{
    const ProcessingModeDefinition &resolved = definition(mode);
    return localized(resolved.localizationKey, resolved.defaultName, QStringLiteral("Processing mode name"));
}

QString ProcessingModeService::optionLabel(const ProcessingModeDefinition &definition) const
{
    if (definition.id == u"high_accuracy")
        return localized("processing_mode.high_accuracy_option", "High Accuracy Mode · Pro · 3 credits/sec",
                         "Processing mode option and rate");
    return localized("processing_mode.fast_option", "Fast Mode · 1 credit/sec", "Processing mode option and rate");
}

} // namespace tindrel
