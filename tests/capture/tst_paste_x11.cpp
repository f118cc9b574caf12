// Clipboard text reaches a text field of a window under the test script's X server through
// the synthetic Ctrl+V and through the xdotool fallback.
#include "capture/AutoPasteError.h"
#include "capture/AutoPasteService.h"
#include "capture/ClipboardService.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QProcess>

using namespace tindrel;

namespace {

class FailingKeystrokes final : public PasteKeystrokeSending {
public:
    void sendPasteKeystroke() override { throw AutoPasteError(QStringLiteral("scripted failure")); }
};

} // namespace

class TestPasteX11 : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QLineEdit> m_field;

private slots:
    void init()
    {
        m_field = std::make_unique<QLineEdit>();
        m_field->resize(400, 40);
        m_field->show();
        m_field->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_field.get()));
        m_field->setFocus();
    }

    void cleanup() { m_field.reset(); }

    void syntheticPasteTypesTheClipboard_data()
    {
        QTest::addColumn<bool>("scriptOnly");
        QTest::addColumn<QString>("heldModifier");
        QTest::newRow("XTest") << false << QString();
        // Shift still held would turn the shortcut into Ctrl+Shift+V.
        QTest::newRow("XTest, Shift held") << false << QStringLiteral("shift");
        QTest::newRow("script fallback") << true << QString();
    }

    void syntheticPasteTypesTheClipboard()
    {
        QFETCH(bool, scriptOnly);
        QFETCH(QString, heldModifier);
        const QString text = QStringLiteral("Transcript from Tindrel · %1").arg(QTest::currentDataTag());
        ClipboardService().copy(text);
        if (!heldModifier.isEmpty())
            QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("keydown"), heldModifier}), 0);

        AutoPasteService service(scriptOnly ? std::make_shared<FailingKeystrokes>() : nullptr);
        if (scriptOnly)
            service.pasteWithFallback();
        else
            service.paste();
        QTRY_COMPARE(m_field->text(), text);
        if (!heldModifier.isEmpty())
            QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("keyup"), heldModifier});
    }
};

TINDREL_TEST_MAIN(TestPasteX11)
#include "tst_paste_x11.moc"
