#pragma once

#include "core/Preferences.h"

#include <QSettings>

namespace tindrel {

// Preferences kept by QSettings in the user's configuration folder.
class SettingsPreferences final : public Preferences {
public:
    SettingsPreferences();
    explicit SettingsPreferences(const QString &filePath);

    bool contains(const QString &key) const override;
    QVariant value(const QString &key) const override;
    void setValue(const QString &key, const QVariant &value) override;
    void remove(const QString &key) override;
    void flush() override;

    QString fileName() const;

private:
    QSettings m_settings;
};

} // namespace tindrel
