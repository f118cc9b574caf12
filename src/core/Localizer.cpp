#include "core/Localizer.h"

#include <QDir>
#include <QHash>
#include <QLocale>
#include <QReadWriteLock>
#include <QTranslator>

#include <memory>
#include <vector>

namespace tindrel {
namespace {

constexpr const char *kContext = "Localizable";

struct Tables {
    QReadWriteLock lock;
    QString active;
    // Loaded lazily, one set of area tables per language, then kept for the process.
    QHash<QString, std::shared_ptr<std::vector<std::unique_ptr<QTranslator>>>> byLanguage;
};

Tables &tables()
{
    static Tables instance;
    return instance;
}

QString fileSuffix(const QString &language)
{
    QString suffix = language;
    suffix.replace(u'-', u'_');
    return suffix;
}

std::shared_ptr<std::vector<std::unique_ptr<QTranslator>>> translatorsFor(const QString &language)
{
    Tables &t = tables();
    {
        QReadLocker read(&t.lock);
        if (auto it = t.byLanguage.constFind(language); it != t.byLanguage.constEnd())
            return it.value();
    }
    auto loaded = std::make_shared<std::vector<std::unique_ptr<QTranslator>>>();
    if (Localizer::supportedLanguages().contains(language)) {
        const QString suffix = u'_' + fileSuffix(language) + QStringLiteral(".qm");
        const QDir dir(QStringLiteral(":/i18n"));
        for (const QString &name : dir.entryList({u'*' + suffix}, QDir::Files, QDir::Name)) {
            auto translator = std::make_unique<QTranslator>();
            if (translator->load(dir.filePath(name)))
                loaded->push_back(std::move(translator));
        }
    }
    QWriteLocker write(&t.lock);
    return *t.byLanguage.insert(language, loaded);
}

// Reads one conversion at format[i] (just after '%'); returns the index after it.
qsizetype readConversion(const QString &format, qsizetype i, int &position, QString &directive)
{
    position = -1;
    qsizetype j = i;
    int number = 0;
    bool digits = false;
    while (j < format.size() && format[j].isDigit()) {
        number = number * 10 + format[j].digitValue();
        digits = true;
        ++j;
    }
    if (digits && j < format.size() && format[j] == u'$') {
        position = number;
        i = j + 1;
    }
    j = i;
    while (j < format.size() && QStringView(u"0123456789.-+ #").contains(format[j]))
        ++j;
    while (j < format.size() && QStringView(u"hlqLzjt").contains(format[j]))
        ++j;
    if (j < format.size())
        ++j;
    directive = format.mid(i, j - i);
    return j;
}

QString render(const QString &directive, const QVariant &value)
{
    const QChar conversion = directive.isEmpty() ? QChar() : directive.back();
    if (conversion == u'@' || conversion == u's')
        return value.toString();
    if (conversion == u'd' || conversion == u'i' || conversion == u'u')
        return QString::number(value.toLongLong());
    if (conversion == u'f') {
        int precision = 6;
        if (const qsizetype dot = directive.indexOf(u'.'); dot >= 0) {
            bool ok = false;
            const int parsed = directive.mid(dot + 1, directive.size() - dot - 2).toInt(&ok);
            precision = ok ? parsed : 0;
        }
        return QString::number(value.toDouble(), 'f', precision);
    }
    return value.toString();
}

} // namespace

const QStringList &Localizer::supportedLanguages()
{
    static const QStringList languages{QStringLiteral("en"), QStringLiteral("zh-Hans"), QStringLiteral("ja")};
    return languages;
}

QString Localizer::resolveLanguage(const QStringList &appleLanguages, const QStringList &systemLanguages)
{
    const auto match = [](const QString &tag) -> QString {
        const QString lower = tag.toLower().replace(u'_', u'-');
        if (lower.startsWith(u"zh"))
            return (lower.contains(u"hant") || lower.endsWith(u"-tw") || lower.endsWith(u"-hk"))
                       ? QString()
                       : QStringLiteral("zh-Hans");
        if (lower == u"ja" || lower.startsWith(u"ja-"))
            return QStringLiteral("ja");
        if (lower == u"en" || lower.startsWith(u"en-"))
            return QStringLiteral("en");
        return {};
    };
    if (!appleLanguages.isEmpty())
        if (const QString chosen = match(appleLanguages.first()); !chosen.isEmpty())
            return chosen;
    for (const QString &tag : systemLanguages)
        if (const QString chosen = match(tag); !chosen.isEmpty())
            return chosen;
    return QStringLiteral("en");
}

void Localizer::setLanguage(const QString &language)
{
    Tables &t = tables();
    QWriteLocker write(&t.lock);
    t.active = language;
}

QString Localizer::language()
{
    Tables &t = tables();
    QReadLocker read(&t.lock);
    return t.active;
}

QString Localizer::entry(const QString &language, const QString &key)
{
    const QByteArray utf8 = key.toUtf8();
    for (const auto &translator : *translatorsFor(language)) {
        const QString text = translator->translate(kContext, utf8.constData());
        if (!text.isEmpty())
            return text;
    }
    return {};
}

QString Localizer::lookup(const QString &key, const QString &defaultValue, const QString &)
{
    if (const QString text = entry(language(), key); !text.isNull())
        return text;
    return defaultValue.isEmpty() ? key : defaultValue;
}

QString Localizer::fill(const QString &format, const QVariantList &arguments)
{
    QString out;
    out.reserve(format.size() + 16);
    int next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] != u'%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        if (format[i + 1] == u'%') {
            out += u'%';
            ++i;
            continue;
        }
        int position = -1;
        QString directive;
        const qsizetype end = readConversion(format, i + 1, position, directive);
        const int index = position > 0 ? position - 1 : next++;
        out += index < arguments.size() ? render(directive, arguments.at(index)) : QString();
        i = end - 1;
    }
    return out;
}

} // namespace tindrel
