// The consent dialog of the UI answers the authorizer, and only real answers are remembered.
#include "capture/ConsentMicrophonePermissionAuthorizer.h"
#include "core/MemoryPreferences.h"
#include "support/TestSupport.h"
#include "ui/MicrophoneConsentDialog.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

using namespace tindrel;

class TestMicrophoneConsentDialog : public QObject {
    Q_OBJECT
private slots:
    void answerIsRemembered_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("granted");
        QTest::addColumn<QVariant>("remembered");
        QTest::newRow("allow") << "allow" << true << QVariant(QStringLiteral("authorized"));
        QTest::newRow("don't allow") << "deny" << false << QVariant(QStringLiteral("denied"));
        QTest::newRow("escape") << "escape" << false << QVariant(QStringLiteral("denied"));
    }

    void answerIsRemembered()
    {
        QFETCH(QString, action);
        QFETCH(bool, granted);
        QFETCH(QVariant, remembered);
        MemoryPreferences preferences;
        auto dialog = std::make_shared<MicrophoneConsentDialog>();
        ConsentMicrophonePermissionAuthorizer authorizer(preferences, dialog);

        auto request = authorizer.requestAccess();
        QMessageBox *box = dialog->currentDialog();
        QVERIFY(box);
        QTRY_VERIFY(box->isVisible());
        QCOMPARE(box->buttons().size(), 2);
        QVERIFY(!box->text().isEmpty());
        if (action == u"escape") {
            QTest::keyClick(box, Qt::Key_Escape);
        } else {
            const QString label = action == u"allow" ? QStringLiteral("Allow") : QStringLiteral("Don't Allow");
            QAbstractButton *button = nullptr;
            for (QAbstractButton *candidate : box->buttons()) {
                if (candidate->text() == label)
                    button = candidate;
            }
            QVERIFY(button);
            button->click();
        }
        const auto outcome = test::run(std::move(request));
        QCOMPARE(outcome.get(), granted);
        QCOMPARE(preferences.value(QStringLiteral("microphoneConsent")), remembered);
        QTRY_VERIFY(!dialog->currentDialog());
    }
};

TINDREL_TEST_MAIN(TestMicrophoneConsentDialog)
#include "tst_microphoneconsentdialog.moc"
