// Every key the code looks up must have an entry in each of the three string tables, so
// that no user ever reads a raw key such as "status.recording".
#include "app/AppLanguage.h"
#include "backend/ProcessingModeService.h"
#include "core/Localizer.h"
#include "support/TestSupport.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QXmlStreamReader>

namespace {

// Call sites: localized("key", ...) and localizedFormat("key", ...), optionally with the
// literal wrapped in QStringLiteral. Keys built at run time are listed by keysFromCatalogues().
QSet<QString> keysUsedBySources()
{
    static const QRegularExpression call(
        QStringLiteral("\\blocalized(?:Format)?\\(\\s*(?:QStringLiteral\\(\\s*)?u?\"((?:[^\"\\\\]|\\\\.)+)\""));
    QSet<QString> keys;
    QDirIterator it(QStringLiteral(TINDREL_SOURCE_DIR "/src"), {"*.cpp", "*.h"}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        for (const auto &match : call.globalMatch(text))
            keys.insert(match.captured(1));
    }
    return keys;
}

QSet<QString> keysFromCatalogues()
{
    QSet<QString> keys;
    for (const auto &model : tindrel::ProcessingModeService::shared().models())
        keys.insert(model.localizationKey);
    return keys;
}

// language suffix -> keys with a non-empty translation
QHash<QString, QSet<QString>> tableKeys()
{
    QHash<QString, QSet<QString>> tables;
    QDirIterator it(QStringLiteral(TINDREL_SOURCE_DIR "/translations"), {"*.ts"}, QDir::Files);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QFileInfo(path).completeBaseName();
        const QString language = name.mid(name.indexOf(u'_') + 1);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QXmlStreamReader xml(&file);
        QString source;
        while (!xml.atEnd()) {
            xml.readNext();
            if (!xml.isStartElement())
                continue;
            if (xml.name() == u"source")
                source = xml.readElementText();
            else if (xml.name() == u"translation" && !xml.readElementText().trimmed().isEmpty())
                tables[language].insert(source);
        }
        if (xml.hasError())
            qWarning() << path << xml.errorString();
    }
    return tables;
}

} // namespace

class TestStringTables : public QObject {
    Q_OBJECT
private slots:
    void everyUsedKeyHasAnEntryInEveryLanguage()
    {
        const QSet<QString> used = keysUsedBySources() | keysFromCatalogues();
        QVERIFY2(used.size() > 5, "the source scan found almost no keys: has the call syntax changed?");
        const auto tables = tableKeys();
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("zh_Hans"), QStringLiteral("ja")}) {
            QStringList missing;
            for (const QString &key : used)
                if (!tables.value(language).contains(key))
                    missing << key;
            missing.sort();
            QVERIFY2(missing.isEmpty(),
                     qPrintable(language + QStringLiteral(": no entry for ") + missing.join(QStringLiteral(", "))));
        }
    }

    void theCompiledTablesAreLoaded()
    {
        // Guards the packaging: the .ts files must reach the binary.
        QCOMPARE(tindrel::Localizer::entry(QStringLiteral("ja"), QStringLiteral("processing_mode.fast")),
                 QStringLiteral("高速モード"));
        QCOMPARE(tindrel::Localizer::entry(QStringLiteral("zh-Hans"), QStringLiteral("settings_language_system")),
                 QStringLiteral("系统默认"));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestStringTables)
#include "tst_stringtables.moc"
