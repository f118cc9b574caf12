#include "backend/ProcessingModeService.h"
#include "core/Localizer.h"
#include "support/TestSupport.h"

#include <QSet>

using namespace tindrel;

class TestProcessingModes : public QObject {
    Q_OBJECT
private slots:
    void init() { Localizer::setLanguage(QStringLiteral("none")); }

    void catalogueIsFixedAndOrdered()
    {
        const auto &models = ProcessingModeService::shared().models();
        QCOMPARE(models.size(), 2);
        QCOMPARE(models[0], (ProcessingModeDefinition{"fast", "processing_mode.fast", "Fast Mode", 1}));
        QCOMPARE(models[1],
                 (ProcessingModeDefinition{"high_accuracy", "processing_mode.high_accuracy", "High Accuracy Mode", 3}));
        QCOMPARE(&ProcessingModeService::shared(), &ProcessingModeService::shared());
    }

    void lookupIsExactAndFallsBackToFast_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<QString>("name");
        QTest::newRow("fast") << "fast" << true << "fast"
                              << "Fast Mode";
        QTest::newRow("high accuracy") << "high_accuracy" << true << "high_accuracy"
                                       << "High Accuracy Mode";
        QTest::newRow("capital F") << "Fast" << false << "fast"
                                   << "Fast Mode";
        QTest::newRow("empty") << "" << false << "fast"
                               << "Fast Mode";
        QTest::newRow("unknown from statistics") << "turbo" << false << "fast"
                                                 << "Fast Mode";
        QTest::newRow("padded") << " fast" << false << "fast"
                                << "Fast Mode";
    }
    void lookupIsExactAndFallsBackToFast()
    {
        QFETCH(QString, mode);
        QFETCH(bool, valid);
        QFETCH(QString, resolved);
        QFETCH(QString, name);
        const auto &service = ProcessingModeService::shared();
        QCOMPARE(service.isValid(mode), valid);
        QCOMPARE(service.definition(mode).id, resolved);
        QCOMPARE(service.displayName(mode), name);
    }

    void optionLabels()
    {
        const auto &service = ProcessingModeService::shared();
        QCOMPARE(service.optionLabel(service.definition("fast")), QString::fromUtf8("Fast Mode \u00b7 1 credit/sec"));
        QCOMPARE(service.optionLabel(service.definition("high_accuracy")),
                 QString::fromUtf8("High Accuracy Mode \u00b7 Pro \u00b7 3 credits/sec"));
        // Any definition other than high accuracy gets the fast label.
        QCOMPARE(service.optionLabel({"other", "k", "Other", 2}), QString::fromUtf8("Fast Mode \u00b7 1 credit/sec"));
        Localizer::setLanguage(QStringLiteral("ja"));
        QCOMPARE(service.displayName(""), QStringLiteral("高速モード"));
    }

    void equalityAndHashCoverAllFields()
    {
        const ProcessingModeDefinition base{"fast", "processing_mode.fast", "Fast Mode", 1};
        auto cost = base;
        cost.costPerSecond = 2;
        auto name = base;
        name.defaultName = "Quick";
        QVERIFY(base != cost);
        QVERIFY(base != name);
        QSet<ProcessingModeDefinition> set{base, cost, name, base};
        QCOMPARE(set.size(), 3);
    }
};

TINDREL_TEST_GUILESS_MAIN(TestProcessingModes)
#include "tst_processingmodes.moc"
