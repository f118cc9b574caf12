#include "core/SettingsPreferences.h"

namespace tindrel {

SettingsPreferences::SettingsPreferences()
    : m_settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Tindrel"), QStringLiteral("Tindrel"))
{}

SettingsPreferences::SettingsPreferences(const QString &filePath) : m_settings(filePath, QSettings::IniFormat) {}

bool SettingsPreferences::contains(const QString &key) const { return m_settings.contains(key); }

QVariant SettingsPreferences::value(const QString &key) const { return m_settings.value(key); }

void SettingsPreferences::setValue(const QString &key, const QVariant &value) { m_settings.setValue(key, value); }

void SettingsPreferences::remove(const QString &key) { m_settings.remove(key); }

void SettingsPreferences::flush() { m_settings.sync(); }

QString SettingsPreferences::fileName() const { return m_settings.fileName(); }

} // namespace tindrel
