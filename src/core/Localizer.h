#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

namespace tindrel {

// The application's string tables. Every user-visible text is looked up by
// (key, default value, translator comment): the entry of the active language wins,
// else the default value, else the key itself.
//
// Tables are Qt translation files (translations/<area>_<language>.ts, context
// "Localizable", source text = key), compiled into the binary.
class Localizer {
public:
    // Languages that have tables, by the raw values the preferences store.
    static const QStringList &supportedLanguages();

    // Picks the table for the launch: the first "AppleLanguages" entry when given,
    // else the system's UI languages; English when nothing matches.
    static QString resolveLanguage(const QStringList &appleLanguages, const QStringList &systemLanguages);

    // Selects the active table ("en", "zh-Hans", "ja"). Any other value selects no
    // table at all, so lookups fall back to default values (useful in tests).
    static void setLanguage(const QString &language);
    static QString language();

    // The table's own entry for a key in a language, or a null string when there is none.
    static QString entry(const QString &language, const QString &key);

    static QString lookup(const QString &key, const QString &defaultValue = {}, const QString &comment = {});

    // printf-style filling: %@ text, %d / %lld integers, %.Nf decimals, %% a percent
    // sign; positional forms (%1$@) let a translation reorder arguments.
    static QString fill(const QString &format, const QVariantList &arguments);
};

// The call sites the string-table coverage test scans for: keep the first argument a literal.
inline QString localized(const QString &key, const QString &defaultValue = {}, const QString &comment = {})
{
    return Localizer::lookup(key, defaultValue, comment);
}

inline QString localizedFormat(const QString &key, const QString &defaultValue, const QString &comment,
                               const QVariantList &arguments)
{
    return Localizer::fill(Localizer::lookup(key, defaultValue, comment), arguments);
}

} // namespace tindrel
