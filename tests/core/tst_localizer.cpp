#include "core/Localizer.h"
#include "support/TestSupport.h"

using tindrel::Localizer;

class TestLocalizer : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { Localizer::setLanguage(QStringLiteral("en")); }

    void lookupFallsBackFromEntryToDefaultToKey_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("defaultValue");
        QTest::addColumn<QString>("expected");
        QTest::newRow("entry of the active language") << "ja"
                                                      << "processing_mode.fast"
                                                      << "Fast Mode"
                                                      << "高速モード";
        QTest::newRow("chinese entry") << "zh-Hans"
                                       << "processing_mode.fast"
                                       << "Fast Mode"
                                       << "快速模式";
        QTest::newRow("no table: default value") << "xx"
                                                 << "processing_mode.fast"
                                                 << "Fast Mode"
                                                 << "Fast Mode";
        QTest::newRow("unknown key: default value") << "en"
                                                    << "no.such.key"
                                                    << "Fallback"
                                                    << "Fallback";
        QTest::newRow("no default: the key") << "en"
                                             << "Start Recording"
                                             << ""
                                             << "Start Recording";
        QTest::newRow("english table overrides a foreign default") << "en"
                                                                   << "settings_language_system"
                                                                   << "系统默认"
                                                                   << "System Default";
    }
    void lookupFallsBackFromEntryToDefaultToKey()
    {
        QFETCH(QString, language);
        QFETCH(QString, key);
        QFETCH(QString, defaultValue);
        QFETCH(QString, expected);
        Localizer::setLanguage(language);
        QCOMPARE(Localizer::lookup(key, defaultValue, QStringLiteral("comment")), expected);
    }

    void fillFormatsPrintfStyle_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("text") << "Hello %@!" << QVariantList{"Ann"} << "Hello Ann!";
        QTest::newRow("integers") << "%d of %lld" << QVariantList{3, qint64(10000000000)} << "3 of 10000000000";
        QTest::newRow("decimal") << "%.1f s" << QVariantList{12.345} << "12.3 s";
        QTest::newRow("percent sign") << "100%% done, %d" << QVariantList{1} << "100% done, 1";
        QTest::newRow("positional") << "%2$@ before %1$@" << QVariantList{"a", "b"} << "b before a";
        QTest::newRow("missing argument is empty") << "[%@]" << QVariantList{} << "[]";
        QTest::newRow("trailing percent") << "50%" << QVariantList{} << "50%";
    }
    void fillFormatsPrintfStyle()
    {
        QFETCH(QString, format);
        QFETCH(QVariantList, arguments);
        QFETCH(QString, expected);
        QCOMPARE(Localizer::fill(format, arguments), expected);
    }

    void resolveLanguagePrefersTheStoredChoice_data()
    {
        QTest::addColumn<QStringList>("apple");
        QTest::addColumn<QStringList>("system");
        QTest::addColumn<QString>("expected");
        QTest::newRow("stored japanese") << QStringList{"ja"} << QStringList{"en-US"} << "ja";
        QTest::newRow("system chinese") << QStringList{} << QStringList{"zh-CN"} << "zh-Hans";
        QTest::newRow("system traditional chinese falls to english") << QStringList{} << QStringList{"zh-TW"} << "en";
        QTest::newRow("second system language") << QStringList{} << QStringList{"de-DE", "ja-JP"} << "ja";
        QTest::newRow("nothing known") << QStringList{"fr"} << QStringList{"de"} << "en";
    }
    void resolveLanguagePrefersTheStoredChoice()
    {
        QFETCH(QStringList, apple);
        QFETCH(QStringList, system);
        QFETCH(QString, expected);
        QCOMPARE(Localizer::resolveLanguage(apple, system), expected);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestLocalizer)
#include "tst_localizer.moc"
