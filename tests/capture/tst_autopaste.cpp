// The paste sequence (keystroke, script once on failure) and the clipboard on the offscreen
// platform, where there is no X11 connection to paste through.
#include "capture/AutoPasteError.h"
#include "capture/AutoPasteService.h"
#include "capture/ClipboardService.h"
#include "support/TestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTemporaryDir>

using namespace tindrel;

namespace {

class ScriptedKeystrokes final : public PasteKeystrokeSending {
public:
    explicit ScriptedKeystrokes(bool fails) : m_fails(fails) {}
    int sent = 0;
    void sendPasteKeystroke() override
    {
        ++sent;
        if (m_fails)
            throw AutoPasteError(QStringLiteral("scripted failure"));
    }

private:
    bool m_fails;
};

int linesIn(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(file.readAll().count('\n'));
}

} // namespace

class TestAutoPaste : public QObject {
    Q_OBJECT
private slots:
    void scriptRunsOnlyWhenTheKeystrokeFails_data()
    {
        QTest::addColumn<bool>("keystrokeFails");
        QTest::addColumn<int>("scriptRuns");
        QTest::newRow("keystroke sent") << false << 0;
        QTest::newRow("keystroke failed") << true << 1;
    }

    void scriptRunsOnlyWhenTheKeystrokeFails()
    {
        QFETCH(bool, keystrokeFails);
        QFETCH(int, scriptRuns);
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("runs"));
        auto keystrokes = std::make_shared<ScriptedKeystrokes>(keystrokeFails);
        AutoPasteService service(keystrokes, QStringLiteral("/bin/sh"),
                                 {QStringLiteral("-c"), QStringLiteral("echo run >> \"$0\""), log});
        service.pasteWithFallback();
        QCOMPARE(keystrokes->sent, 1);
        QCOMPARE(linesIn(log), scriptRuns);
    }

    void missingScriptEndsSilently()
    {
        AutoPasteService service(std::make_shared<ScriptedKeystrokes>(true), QStringLiteral("/nonexistent/xdotool"));
        service.pasteWithFallback();
    }

    // Offscreen there is no X11 connection: a clear AutoPasteError, no crash.
    void withoutX11PasteFails()
    {
        AutoPasteService service;
        try {
            service.paste();
            QFAIL("paste() succeeded without X11");
        } catch (const AutoPasteError &error) {
            QCOMPARE(error.code(), AutoPasteError::Code::internalError);
            QVERIFY(!error.description().isEmpty());
        }
    }

    void copyReplacesTheClipboardWithPlainText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("text") << QStringLiteral("Hello, transcript.");
        QTest::newRow("empty") << QString();
        QTest::newRow("multilingual, multi-line") << QStringLiteral("第一行\n二行目 ✓");
    }

    void copyReplacesTheClipboardWithPlainText()
    {
        QFETCH(QString, text);
        auto *previous = new QMimeData;
        previous->setHtml(QStringLiteral("<b>old</b>"));
        previous->setText(QStringLiteral("old"));
        QGuiApplication::clipboard()->setMimeData(previous);

        ClipboardService().copy(text);
        const QMimeData *now = QGuiApplication::clipboard()->mimeData();
        QVERIFY(now);
        QCOMPARE(now->text(), text);
        QVERIFY(!now->hasHtml());
        QCOMPARE(now->formats(), QStringList{QStringLiteral("text/plain")});
    }
};

TINDREL_TEST_MAIN(TestAutoPaste)
#include "tst_autopaste.moc"
