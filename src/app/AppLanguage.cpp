#include "app/AppLanguage.h"

#include "core/Localizer.h"

namespace tindrel {

const QList<AppLanguage> &allAppLanguages()
{
    static const QList<AppLanguage> all{AppLanguage::system, AppLanguage::english, AppLanguage::chinese,
                                        AppLanguage::japanese};
    return all;
}

QString rawValue(AppLanguage language)
{
    switch (language) {
    case AppLanguage::system:
        return QStringLiteral("system");
    case AppLanguage::english:
        return QStringLiteral("en");
    case AppLanguage::chinese:
        return QStringLiteral("zh-Hans");
    case AppLanguage::japanese:
        return QStringLiteral("ja");
    }
    return QStringLiteral("system");
}

std::optional<AppLanguage> appLanguageFromRawValue(const QString &raw)
{
    for (AppLanguage language : allAppLanguages())
        if (rawValue(language) == raw)
            return language;
    return std::nullopt;
}

QString displayName(AppLanguage language)
{
    switch (language) {
    case AppLanguage::system:
        return localized("settings_language_system", "系统默认", "System default language");
    case AppLanguage::english:
        return localized("settings_language_english", "English", "English language");
    case AppLanguage::chinese:
        return localized("settings_language_chinese", "简体中文", "Simplified Chinese");
    case AppLanguage::japanese:
        return localized("settings_language_japanese", "日本語", "Japanese language");
    }
    return {};
}

} // namespace tindrel
