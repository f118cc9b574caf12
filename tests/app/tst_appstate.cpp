#include "app/AppState.h"
#include "core/BuildConfig.h"
#include "core/Localizer.h"
#include "core/MemoryPreferences.h"
#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>

using namespace tindrel;

namespace {

const QDateTime kNow = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);

QJsonObject bundleWithSchemes(const QStringList &schemes)
{
    QJsonArray types;
    types.append(QJsonObject{{"CFBundleURLSchemes", QJsonArray::fromStringList(schemes)}});
    return QJsonObject{{"CFBundleURLTypes", types}};
}

QString token(const QJsonObject &claims)
{
    const QByteArray payload = QJsonDocument(claims)
                                   .toJson(QJsonDocument::Compact)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    return QStringLiteral("eyJhbGciOiJIUzI1NiJ9.") + QString::fromLatin1(payload) + QStringLiteral(".sig");
}

struct Fixture {
    MemoryPreferences prefs;
    std::unique_ptr<AppState> state;
    explicit Fixture(QVariantMap store = {}, std::optional<QJsonObject> bundle = std::nullopt,
                     QStringList arguments = {})
        : prefs(std::move(store))
    {
        state = std::make_unique<AppState>(prefs, std::move(bundle), std::move(arguments), [] { return kNow; });
    }
};

} // namespace

class TestAppState : public QObject {
    Q_OBJECT
private slots:
    void constructionReadsAndRepairsTheStore_data()
    {
        QTest::addColumn<QVariantMap>("store");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<qint64>("pageSize");
        QTest::addColumn<double>("historyFont");
        QTest::addColumn<double>("transcriptFont");
        QTest::addColumn<bool>("showDeleted");
        QTest::addColumn<QVariantMap>("storeAfter");

        const QVariantMap written{{"processingMode", "fast"}, {"alwaysOnTop", false}};
        auto with = [&](QVariantMap extra) {
            QVariantMap m = written;
            m.insert(extra);
            return m;
        };

        QTest::newRow("first launch") << QVariantMap{} << "fast" << qint64(10) << 13.0 << 16.0 << true << written;
        QTest::newRow("legacy known mode migrates")
            << QVariantMap{{"transcriptionModel", "high_accuracy"}, {"processingModeMigrationCount", 4}}
            << "high_accuracy" << qint64(10) << 13.0 << 16.0 << true
            << with({{"processingMode", "high_accuracy"}, {"processingModeMigrationCount", 5}});
        QTest::newRow("legacy unknown mode counts twice")
            << QVariantMap{{"transcriptionModel", "whisper-1"}} << "fast" << qint64(10) << 13.0 << 16.0 << true
            << with({{"processingModeMigrationCount", 1}, {"processingModeUnknownMigrationCount", 1}});
        QTest::newRow("current key wins over legacy")
            << QVariantMap{{"processingMode", "high_accuracy"}, {"transcriptionModel", "fast"}} << "high_accuracy"
            << qint64(10) << 13.0 << 16.0 << true << with({{"processingMode", "high_accuracy"}});
        QTest::newRow("unknown current mode repaired without counters")
            << QVariantMap{{"processingMode", "turbo"}} << "fast" << qint64(10) << 13.0 << 16.0 << true << written;
        QTest::newRow("non-positive sizes ignored and left as stored")
            << QVariantMap{{"historyPageSize", 0}, {"historyFontSize", -2.0}, {"transcriptionFontSize", 0.0}} << "fast"
            << qint64(10) << 13.0 << 16.0 << true
            << with({{"historyPageSize", 0}, {"historyFontSize", -2.0}, {"transcriptionFontSize", 0.0}});
        QTest::newRow("negative page size") << QVariantMap{{"historyPageSize", -5}} << "fast" << qint64(10) << 13.0
                                            << 16.0 << true << with({{"historyPageSize", -5}});
        QTest::newRow("positive sizes used")
            << QVariantMap{{"historyPageSize", 25}, {"historyFontSize", 15.5}, {"transcriptionFontSize", 20.0}}
            << "fast" << qint64(25) << 15.5 << 20.0 << true
            << with({{"historyPageSize", 25}, {"historyFontSize", 15.5}, {"transcriptionFontSize", 20.0}});
        QTest::newRow("showDeletedRecords false") << QVariantMap{{"showDeletedRecords", false}} << "fast" << qint64(10)
                                                  << 13.0 << 16.0 << false << with({{"showDeletedRecords", false}});
        QTest::newRow("showDeletedRecords as text from a settings file")
            << QVariantMap{{"showDeletedRecords", "false"}} << "fast" << qint64(10) << 13.0 << 16.0 << false
            << with({{"showDeletedRecords", false}});
        QTest::newRow("stored language applied without prompt")
            << QVariantMap{{"appLanguage", "ja"}} << "fast" << qint64(10) << 13.0 << 16.0 << true
            << with({{"appLanguage", "ja"}, {"AppleLanguages", QStringList{"ja"}}});
        QTest::newRow("unrecognised language becomes system")
            << QVariantMap{{"appLanguage", "klingon"}, {"AppleLanguages", QStringList{"tlh"}}} << "fast" << qint64(10)
            << 13.0 << 16.0 << true << written;
    }
    void constructionReadsAndRepairsTheStore()
    {
        QFETCH(QVariantMap, store);
        QFETCH(QString, mode);
        QFETCH(qint64, pageSize);
        QFETCH(double, historyFont);
        QFETCH(double, transcriptFont);
        QFETCH(bool, showDeleted);
        QFETCH(QVariantMap, storeAfter);

        Fixture f(store);
        QCOMPARE(f.state->processingMode(), mode);
        QCOMPARE(f.state->historyPageSize(), pageSize);
        QCOMPARE(f.state->historyFontSize(), historyFont);
        QCOMPARE(f.state->transcriptionFontSize(), transcriptFont);
        QCOMPARE(f.state->showDeletedRecords(), showDeleted);
        QCOMPARE(f.state->showRestartAlert(), false);
        QCOMPARE(f.state->suppressLanguageAlert(), false);
        QCOMPARE(f.prefs.values(), storeAfter);
    }

    void defaultsWithoutBundle()
    {
        Fixture f;
        QCOMPARE(f.state->supabaseURL(), QString::fromUtf8(build::defaultSupabaseURL));
        QCOMPARE(f.state->supabaseAnonKey(), QString::fromUtf8(build::defaultSupabaseAnonKey));
        QCOMPARE(f.state->supabaseRedirectURI(), QString());
        QCOMPARE(f.state->accessToken(), QString());
        QCOMPARE(f.state->autoPasteEnabled(), true);
        QCOMPARE(f.state->appLanguage(), AppLanguage::system);
        QCOMPARE(f.state->statusMessage(), std::nullopt);
    }

    void bundleValuesIgnoredWhenUnexpandedOrEmpty_data()
    {
        QTest::addColumn<QJsonValue>("url");
        QTest::addColumn<QJsonValue>("key");
        QTest::addColumn<bool>("urlUsed");
        QTest::addColumn<bool>("keyUsed");
        QTest::newRow("both used") << QJsonValue("https://example.test") << QJsonValue("anon") << true << true;
        QTest::newRow("unexpanded") << QJsonValue("$(SUPABASE_URL)") << QJsonValue("$(KEY)") << false << false;
        QTest::newRow("empty") << QJsonValue("") << QJsonValue("") << false << false;
        QTest::newRow("wrong types") << QJsonValue(42) << QJsonValue(true) << false << false;
        QTest::newRow("unparsable url") << QJsonValue("http://exa mple.test:x") << QJsonValue("k") << false << true;
    }
    void bundleValuesIgnoredWhenUnexpandedOrEmpty()
    {
        QFETCH(QJsonValue, url);
        QFETCH(QJsonValue, key);
        QFETCH(bool, urlUsed);
        QFETCH(bool, keyUsed);
        Fixture f({}, QJsonObject{{"SupabaseURL", url}, {"SupabaseAnonKey", key}});
        QCOMPARE(f.state->supabaseURL(), urlUsed ? url.toString() : QString::fromUtf8(build::defaultSupabaseURL));
        QCOMPARE(f.state->supabaseAnonKey(),
                 keyUsed ? key.toString() : QString::fromUtf8(build::defaultSupabaseAnonKey));
    }

    void redirectURIValidation_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QStringList>("schemes");
        QTest::addColumn<bool>("accepted");
        const QStringList ours{"tindrel"};
        QTest::newRow("exact form") << "tindrel://auth-callback" << ours << true;
        QTest::newRow("case-insensitive host and scheme") << "TinDrel://Auth-Callback" << ours << true;
        QTest::newRow("with path") << "tindrel://auth-callback/done" << ours << false;
        QTest::newRow("trailing slash") << "tindrel://auth-callback/" << ours << false;
        QTest::newRow("with query") << "tindrel://auth-callback?x=1" << ours << false;
        QTest::newRow("with fragment") << "tindrel://auth-callback#x" << ours << false;
        QTest::newRow("with port") << "tindrel://auth-callback:8080" << ours << false;
        QTest::newRow("with user") << "tindrel://me@auth-callback" << ours << false;
        QTest::newRow("other host") << "tindrel://callback" << ours << false;
        QTest::newRow("unregistered scheme") << "other://auth-callback" << ours << false;
        QTest::newRow("unexpanded") << "$(SCHEME)://auth-callback" << ours << false;
        QTest::newRow("registered scheme unexpanded") << "tindrel://auth-callback" << QStringList{"$(SCHEME)"} << false;
        QTest::newRow("second scheme registered") << "alt://auth-callback" << QStringList{"tindrel", "alt"} << true;
        QTest::newRow("empty") << "" << ours << false;
    }
    void redirectURIValidation()
    {
        QFETCH(QString, uri);
        QFETCH(QStringList, schemes);
        QFETCH(bool, accepted);
        QJsonObject bundle = bundleWithSchemes(schemes);
        bundle.insert("SupabaseRedirectURI", uri);
        Fixture f({}, bundle);
        QCOMPARE(f.state->supabaseRedirectURI(), accepted ? uri : QString());
    }

    void buildTimeTokenClaims_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("accepted");
        const qint64 now = kNow.toSecsSinceEpoch();
        QTest::newRow("exp in 20 s") << token({{"role", "authenticated"}, {"sub", "u"}, {"exp", now + 20}}) << false;
        QTest::newRow("exp in 30 s") << token({{"role", "authenticated"}, {"sub", "u"}, {"exp", now + 30}}) << false;
        QTest::newRow("exp in 60 s") << token({{"role", "authenticated"}, {"sub", "u"}, {"exp", now + 60}}) << true;
        QTest::newRow("no exp") << token({{"role", "authenticated"}, {"sub", "u"}}) << true;
        QTest::newRow("non-numeric exp") << token({{"role", "authenticated"}, {"sub", "u"}, {"exp", "soon"}}) << true;
        QTest::newRow("role anon") << token({{"role", "anon"}, {"sub", "u"}}) << false;
        QTest::newRow("no sub") << token({{"role", "authenticated"}}) << false;
        QTest::newRow("numeric sub") << token({{"role", "authenticated"}, {"sub", 7}}) << false;
        QTest::newRow("one part") << "abc" << false;
        QTest::newRow("payload not json") << "a.bm90IGpzb24.c" << false;
        QTest::newRow("payload not base64") << "a.!!!.c" << false;
    }
    void buildTimeTokenClaims()
    {
        QFETCH(QString, value);
        QFETCH(bool, accepted);
        Fixture f({}, QJsonObject{{"SupabaseAccessToken", value}});
        QCOMPARE(f.state->accessToken(), accepted ? value : QString());
    }

    void languageChoiceWritesPreferencesAndPrompts()
    {
        Fixture f;
        QSignalSpy prompt(f.state.get(), &AppState::showRestartAlertChanged);
        f.state->setAppLanguage(AppLanguage::japanese);
        QCOMPARE(f.prefs.value("appLanguage"), QVariant("ja"));
        QCOMPARE(f.prefs.value("AppleLanguages").toStringList(), QStringList{"ja"});
        QVERIFY(f.state->showRestartAlert());
        QVERIFY(f.prefs.flushCount() >= 1);

        f.state->setShowRestartAlert(false);
        f.state->setAppLanguage(AppLanguage::system);
        QVERIFY(!f.prefs.contains("appLanguage"));
        QVERIFY(!f.prefs.contains("AppleLanguages"));
        QVERIFY(f.state->showRestartAlert());
        QCOMPARE(prompt.count(), 3);
    }

    void resetRestoresDefaultsAndPromptsEvenForSystem()
    {
        Fixture f({{"historyPageSize", 30}, {"processingMode", "high_accuracy"}, {"showDeletedRecords", false}});
        f.state->setAutoPasteEnabled(false);
        f.state->setAlwaysOnTop(true);
        f.state->resetPreferences();
        QCOMPARE(f.state->historyPageSize(), 10);
        QCOMPARE(f.state->processingMode(), QStringLiteral("fast"));
        QCOMPARE(f.state->autoPasteEnabled(), true);
        QCOMPARE(f.state->showRestartAlert(), true);
        const QVariantMap expected{{"historyPageSize", 10},    {"historyFontSize", 13.0},
                                   {"processingMode", "fast"}, {"transcriptionFontSize", 16.0},
                                   {"alwaysOnTop", false},     {"showDeletedRecords", true}};
        QCOMPARE(f.prefs.values(), expected);
    }

    void preferenceIsWrittenBeforeObserversHear()
    {
        Fixture f;
        QVariant seen;
        connect(f.state.get(), &AppState::historyPageSizeChanged, this,
                [&] { seen = f.prefs.value("historyPageSize"); });
        f.state->setHistoryPageSize(42);
        QCOMPARE(seen.toLongLong(), 42);
    }

    void resolvedProcessingModeRepairs()
    {
        Fixture f({{"processingMode", "high_accuracy"}});
        QCOMPARE(f.state->resolvedProcessingMode(), QStringLiteral("high_accuracy"));
        f.state->setProcessingMode("legacy-mode");
        QCOMPARE(f.state->resolvedProcessingMode(), QStringLiteral("fast"));
        QCOMPARE(f.prefs.value("processingMode"), QVariant("fast"));
    }

    void uiTestingSwitchSignsInWithPlaceholders()
    {
        Fixture f({}, std::nullopt, {"tindrel", "-uiTestingSkipAuth"});
        QCOMPARE(f.state->accessToken(), QString::fromUtf8(AppState::uiTestingAccessToken));
        QCOMPARE(f.state->userEmail(), QString::fromUtf8(AppState::uiTestingUserEmail));
    }

    void languageLabels()
    {
        QCOMPARE(allAppLanguages().size(), 4);
        QCOMPARE(appLanguageFromRawValue("zh-Hans"), AppLanguage::chinese);
        QCOMPARE(appLanguageFromRawValue("zh"), std::nullopt);
        Localizer::setLanguage("none");
        QCOMPARE(displayName(AppLanguage::system), QString::fromUtf8("系统默认"));
        Localizer::setLanguage("en");
        QCOMPARE(displayName(AppLanguage::system), QStringLiteral("System Default"));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
