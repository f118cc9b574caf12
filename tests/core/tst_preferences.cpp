#include "core/MemoryPreferences.h"
#include "core/SettingsPreferences.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>

using namespace tindrel;

class TestPreferences : public QObject {
    Q_OBJECT
private slots:
    // The settings file keeps no types; typed reads must survive a restart all the same.
    void typedReadsSurviveAReload()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("prefs.ini"));
        {
            SettingsPreferences prefs(path);
            prefs.setValue(QStringLiteral("historyPageSize"), qint64(25));
            prefs.setValue(QStringLiteral("historyFontSize"), 14.5);
            prefs.setValue(QStringLiteral("alwaysOnTop"), false);
            prefs.setValue(QStringLiteral("showDeletedRecords"), true);
            prefs.setValue(QStringLiteral("processingMode"), QStringLiteral("high_accuracy"));
            prefs.setValue(QStringLiteral("AppleLanguages"), QStringList{QStringLiteral("ja")});
            prefs.flush();
        }
        SettingsPreferences prefs(path);
        QCOMPARE(prefs.integer(QStringLiteral("historyPageSize")), 25);
        QCOMPARE(prefs.real(QStringLiteral("historyFontSize")), 14.5);
        QVERIFY(prefs.contains(QStringLiteral("alwaysOnTop")));
        QCOMPARE(prefs.boolean(QStringLiteral("alwaysOnTop")), false);
        QCOMPARE(prefs.boolean(QStringLiteral("showDeletedRecords")), true);
        QCOMPARE(prefs.string(QStringLiteral("processingMode")), QStringLiteral("high_accuracy"));
        QCOMPARE(prefs.stringList(QStringLiteral("AppleLanguages")), QStringList{QStringLiteral("ja")});
        QCOMPARE(prefs.string(QStringLiteral("missing")), std::nullopt);
        QCOMPARE(prefs.integer(QStringLiteral("missing")), 0);
    }

    void unconvertibleValuesReadAsZero()
    {
        MemoryPreferences prefs(
            {{QStringLiteral("n"), QStringLiteral("abc")}, {QStringLiteral("d"), QStringLiteral("7.5")}});
        QCOMPARE(prefs.integer(QStringLiteral("n")), 0);
        QCOMPARE(prefs.real(QStringLiteral("d")), 7.5);
        QCOMPARE(prefs.integer(QStringLiteral("d")), 7);
    }

    // A hand-edited settings file may hold any number; none may make a read undefined.
    void integersOutOfRangeReadAsZero_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("huge") << QStringLiteral("1e300");
        QTest::newRow("huge negative") << QStringLiteral("-1e300");
        QTest::newRow("not a number") << QStringLiteral("nan");
        QTest::newRow("infinite") << QStringLiteral("inf");
    }
    void integersOutOfRangeReadAsZero()
    {
        QFETCH(QString, text);
        MemoryPreferences prefs({{QStringLiteral("historyPageSize"), text}});
        QCOMPARE(prefs.integer(QStringLiteral("historyPageSize")), 0);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestPreferences)
#include "tst_preferences.moc"
