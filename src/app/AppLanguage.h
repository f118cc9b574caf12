#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace tindrel {

// The display-language choice; the order is the language picker's.
enum class AppLanguage { system, english, chinese, japanese };

const QList<AppLanguage> &allAppLanguages();
// The string stored under "appLanguage" and written to "AppleLanguages".
QString rawValue(AppLanguage language);
std::optional<AppLanguage> appLanguageFromRawValue(const QString &raw);
QString displayName(AppLanguage language);

} // namespace tindrel
