// Which backend the app talks to: bundle values, the fallback to the compiled-in defaults,
// the provider's log lines, and the stop on a URL that cannot work.
#include "backend/BackendConfiguration.h"
#include "core/BundleInfo.h"
#include "core/Log.h"
#include "support/TestSupport.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

using namespace tindrel;

namespace {

QStringList g_lines;
void captureLine(const QString &line) { g_lines << line; }

const BackendConfiguration defaults{
    QStringLiteral("https://default.example.supabase.co"), QStringLiteral("default-anon-key"), {}};
constexpr const char *stopVariable = "TINDREL_TEST_RESOLVE_AND_STOP";
const QString warning = QStringLiteral(
    "[SupabaseProvider] WARN: Missing or unexpanded Info.plist SupabaseURL/AnonKey. Falling back to defaults. URL=");

} // namespace

class TestBackendConfiguration : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        g_lines.clear();
        setLogSink(captureLine);
    }
    void cleanup() { setLogSink(nullptr); }

    void resolution_data()
    {
        QTest::addColumn<std::optional<QJsonObject>>("bundle");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("lines");

        const QString configured = QStringLiteral("https://project.example.co");
        const QString jwt = QStringLiteral("eyJ.abc.def");
        const QStringList usedConfigured{"[SupabaseProvider] Initializing with SupabaseURL=" + configured,
                                         "[SupabaseProvider] AnonKey length: 11"};
        const QStringList usedDefaults{"[SupabaseProvider] Initializing with SupabaseURL=" + defaults.url,
                                       "[SupabaseProvider] AnonKey length: 16"};
        QTest::newRow("configured") << std::optional(QJsonObject{{"SupabaseURL", configured}, {"SupabaseAnonKey", jwt}})
                                    << configured << jwt << usedConfigured;
        QTest::newRow("trimmed") << std::optional(
            QJsonObject{{"SupabaseURL", " " + configured + "\n"}, {"SupabaseAnonKey", "\t" + jwt + " "}})
                                 << configured << jwt << usedConfigured;
        QTest::newRow("unexpanded URL") << std::optional(
            QJsonObject{{"SupabaseURL", "$(SUPABASE_URL)"}, {"SupabaseAnonKey", jwt}})
                                        << defaults.url << defaults.anonKey
                                        << (QStringList{warning + "$(SUPABASE_URL)"} + usedDefaults);
        QTest::newRow("empty key replaces the URL too")
            << std::optional(QJsonObject{{"SupabaseURL", configured}, {"SupabaseAnonKey", ""}}) << defaults.url
            << defaults.anonKey << (QStringList{warning + configured} + usedDefaults);
        QTest::newRow("blank URL") << std::optional(QJsonObject{{"SupabaseURL", "  "}, {"SupabaseAnonKey", jwt}})
                                   << defaults.url << defaults.anonKey << (QStringList{warning} + usedDefaults);
        QTest::newRow("values that are not text")
            << std::optional(QJsonObject{{"SupabaseURL", 1}, {"SupabaseAnonKey", true}}) << defaults.url
            << defaults.anonKey << (QStringList{warning} + usedDefaults);
        QTest::newRow("no bundle") << std::optional<QJsonObject>() << defaults.url << defaults.anonKey
                                   << (QStringList{warning} + usedDefaults);
    }
    void resolution()
    {
        QFETCH(std::optional<QJsonObject>, bundle);
        QFETCH(QString, url);
        QFETCH(QString, key);
        QFETCH(QStringList, lines);
        const auto resolution = BackendConfiguration::resolve(bundle, defaults);
        QVERIFY(resolution.configuration);
        QVERIFY(resolution.fatalMessage.isEmpty());
        QCOMPARE(resolution.configuration->url, url);
        QCOMPARE(resolution.configuration->anonKey, key);
        QCOMPARE(resolution.configuration->baseURL, QUrl(url));
        QCOMPARE(g_lines, lines);
    }

    void unusableURL_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("message");
        QTest::newRow("no host") << "https:"
                                 << QString::fromUtf8(
                                        "无效的 SupabaseURL (Host is nil): https: - Check .xcconfig SLASH expansion");
        QTest::newRow("path only") << "project.example.co"
                                   << QString::fromUtf8("无效的 SupabaseURL (Host is nil): project.example.co - Check "
                                                        ".xcconfig SLASH expansion");
        QTest::newRow("does not parse") << "https://exa mple.co"
                                        << QString::fromUtf8("无效的 SupabaseURL (Parse Failed): https://exa mple.co");
    }
    void unusableURL()
    {
        QFETCH(QString, url);
        QFETCH(QString, message);
        const QJsonObject bundle{{"SupabaseURL", url}, {"SupabaseAnonKey", "key"}};
        const auto resolution = BackendConfiguration::resolve(bundle, defaults);
        QVERIFY(!resolution.configuration);
        QCOMPARE(resolution.fatalMessage, message);
        QCOMPARE(g_lines.first(), "[SupabaseProvider] Initializing with SupabaseURL=" + url);

        // The program itself stops with the message (in a child, which is this binary again).
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("Info.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(bundle).toJson());
        file.close();
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(stopVariable), file.fileName());
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        const QString output = QString::fromUtf8(child.readAllStandardOutput() + child.readAllStandardError());
        QVERIFY2(child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0, qPrintable(output));
        QVERIFY2(output.contains(message), qPrintable(output));
        QVERIFY2(!output.contains(QStringLiteral("not reached")), qPrintable(output));
    }
};

int main(int argc, char *argv[])
{
    tindrel::test::prepareTestHost();
    QCoreApplication app(argc, argv);
    if (const QString path = qEnvironmentVariable(stopVariable); !path.isEmpty()) {
        BackendConfiguration::resolveOrStop(BundleInfo::load(path));
        std::puts("not reached");
        return 0;
    }
    TestBackendConfiguration test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_backendconfiguration.moc"
