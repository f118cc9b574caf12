// The edge-function request frame and the device identifier behind it.
#include "auth/KeychainStoring.h"
#include "backend/DeviceIdentifier.h"
#include "backend/RequestFrame.h"
#include "core/BundleInfo.h"
#include "support/TestSupport.h"

#include <QRegularExpression>

using namespace tindrel;

namespace {

const QRegularExpression upperUuid(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

// A keychain item in memory that counts how it is used.
class FakeKeychain final : public KeychainStoring {
public:
    mutable std::optional<QByteArray> stored;
    bool saveSucceeds = true;
    mutable int reads = 0;
    mutable int saves = 0;

    bool save(const QByteArray &data) const override
    {
        ++saves;
        if (saveSucceeds)
            stored = data;
        return saveSucceeds;
    }
    std::optional<QByteArray> read() const override
    {
        ++reads;
        return stored;
    }
    QCoro::Task<std::optional<QByteArray>> readAsync() const override { co_return read(); }
    void remove() const override { stored.reset(); }
};

QProcessEnvironment environmentWith(const QStringList &variables)
{
    QProcessEnvironment environment;
    for (const QString &variable : variables)
        environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    return environment;
}

const RequestFrameContext context{QStringLiteral("DEVICE-1"), QJsonObject{{"CFBundleShortVersionString", "2.3.1"}}};

} // namespace

class TestRequestFrame : public QObject {
    Q_OBJECT
private slots:
    void headersInOrderAndReturnedId()
    {
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:9/functions/v1/history")));
        request.setRawHeader("apikey", "key");
        request.setRawHeader("X-Request-Id", "stale");
        request.setRawHeader("X-Device-Id", "stale");
        request.setRawHeader("X-Client-Platform", "stale");
        const QString id = applyCommonHeaders(request, QStringLiteral("tok"), QString::fromLatin1(clientPlatform),
                                              std::nullopt, context);
        QVERIFY(upperUuid.match(id).hasMatch());
        QCOMPARE(request.rawHeader("Authorization"), QByteArray("Bearer tok"));
        QCOMPARE(request.rawHeader("X-Request-Id"), id.toUtf8());
        QCOMPARE(request.rawHeader("X-Device-Id"), QByteArray("DEVICE-1"));
        QCOMPARE(request.rawHeader("X-Client-Platform"), QByteArray("macos"));
        QCOMPARE(request.rawHeader("X-App-Version"), QByteArray("2.3.1"));
        QCOMPARE(request.rawHeader("apikey"), QByteArray("key"));
    }

    void authorization_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("token") << QByteArray() << "abc.def" << QByteArray("Bearer abc.def");
        QTest::newRow("empty token") << QByteArray() << "" << QByteArray("Bearer ");
        QTest::newRow("existing header kept") << QByteArray("Bearer caller") << "abc" << QByteArray("Bearer caller");
        QTest::newRow("token with a line break is not sent")
            << QByteArray() << "abc\r\nX-Injected: 1" << QByteArray("Bearer ");
    }
    void authorization()
    {
        QFETCH(QByteArray, existing);
        QFETCH(QString, token);
        QFETCH(QByteArray, sent);
        QNetworkRequest request;
        if (!existing.isEmpty())
            request.setRawHeader("Authorization", existing);
        applyCommonHeaders(request, token, QStringLiteral("macos"), std::nullopt, context);
        QCOMPARE(request.rawHeader("Authorization"), sent);
    }

    void requestId_data()
    {
        QTest::addColumn<std::optional<QString>>("given");
        QTest::addColumn<QString>("sent"); // empty: a fresh UUID
        QTest::newRow("none") << std::optional<QString>() << "";
        QTest::newRow("empty") << std::optional<QString>("") << "";
        QTest::newRow("blank") << std::optional<QString>("   ") << "";
        QTest::newRow("newlines only") << std::optional<QString>("\n\t\n") << "";
        QTest::newRow("own id") << std::optional<QString>("REQ-1") << "REQ-1";
        QTest::newRow("padded id kept as sent") << std::optional<QString>("  abc  ") << "  abc  ";
        QTest::newRow("line break inside replaced") << std::optional<QString>("abc\r\nX-Injected: 1") << "";
    }
    void requestId()
    {
        QFETCH(std::optional<QString>, given);
        QFETCH(QString, sent);
        QNetworkRequest request;
        const QString id = applyCommonHeaders(request, QStringLiteral("t"), QStringLiteral("macos"), given, context);
        QCOMPARE(request.rawHeader("X-Request-Id"), id.toUtf8());
        if (sent.isEmpty())
            QVERIFY2(upperUuid.match(id).hasMatch(), qPrintable(id));
        else
            QCOMPARE(id, sent);
    }

    void appVersion_data()
    {
        QTest::addColumn<std::optional<QJsonObject>>("bundle");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QByteArray>("sent"); // empty: no header
        QTest::newRow("version") << std::optional(QJsonObject{{"CFBundleShortVersionString", "1.4"}}) << QByteArray()
                                 << QByteArray("1.4");
        QTest::newRow("padded version sent untrimmed")
            << std::optional(QJsonObject{{"CFBundleShortVersionString", " 1.4 "}}) << QByteArray()
            << QByteArray(" 1.4 ");
        QTest::newRow("version with a line break left out")
            << std::optional(QJsonObject{{"CFBundleShortVersionString", "1.4\r\nX-Injected: 1"}}) << QByteArray()
            << QByteArray();
        QTest::newRow("no version key") << std::optional(QJsonObject{{"CFBundleVersion", "7"}}) << QByteArray()
                                        << QByteArray();
        QTest::newRow("no bundle") << std::optional<QJsonObject>() << QByteArray() << QByteArray();
        QTest::newRow("blank version") << std::optional(QJsonObject{{"CFBundleShortVersionString", " \n"}})
                                       << QByteArray() << QByteArray();
        QTest::newRow("number, not text")
            << std::optional(QJsonObject{{"CFBundleShortVersionString", 2}}) << QByteArray() << QByteArray();
        QTest::newRow("header already set") << std::optional(QJsonObject{{"CFBundleShortVersionString", "1.4"}})
                                            << QByteArray("0.9") << QByteArray("0.9");
    }
    void appVersion()
    {
        QFETCH(std::optional<QJsonObject>, bundle);
        QFETCH(QByteArray, existing);
        QFETCH(QByteArray, sent);
        QNetworkRequest request;
        if (!existing.isEmpty())
            request.setRawHeader("X-App-Version", existing);
        applyCommonHeaders(request, QStringLiteral("t"), QStringLiteral("macos"), std::nullopt,
                           {QStringLiteral("D"), bundle});
        QCOMPARE(request.hasRawHeader("X-App-Version"), !sent.isEmpty());
        QCOMPARE(request.rawHeader("X-App-Version"), sent);
    }

    void processFrameUsesTheTestDeviceAndTheBundleVersion()
    {
        // This process is a test host: the frame's own context never reaches the keychain.
        QNetworkRequest request;
        applyCommonHeaders(request, QStringLiteral("t"), QString::fromLatin1(clientPlatform));
        QCOMPARE(request.rawHeader("X-Device-Id"), QByteArray("tindrel-test-device"));
        QCOMPARE(request.rawHeader("X-App-Version"),
                 BundleInfo::main()->value(u"CFBundleShortVersionString").toString().toUtf8());
    }

    // The device identifier.

    void testingValueNeverTouchesTheKeychain_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("testing");
        QTest::newRow("test host") << QStringList{"XCTestConfigurationFilePath=/tmp/x.xctestconfiguration"}
                                   << QStringList{"tindrel"} << true;
        QTest::newRow("test host, empty value")
            << QStringList{"XCTestConfigurationFilePath="} << QStringList{"tindrel"} << true;
        QTest::newRow("our test runner") << QStringList{"TINDREL_TEST_HOST=1"} << QStringList{"tindrel"} << true;
        QTest::newRow("UI testing") << QStringList{} << QStringList{"tindrel", "-uiTestingSkipAuth"} << true;
        QTest::newRow("ordinary launch") << QStringList{"HOME=/home/u"} << QStringList{"tindrel", "-other"} << false;
        QTest::newRow("our marker empty") << QStringList{"TINDREL_TEST_HOST="} << QStringList{"tindrel"} << false;
    }
    void testingValueNeverTouchesTheKeychain()
    {
        QFETCH(QStringList, environment);
        QFETCH(QStringList, arguments);
        QFETCH(bool, testing);
        FakeKeychain keychain;
        keychain.stored = "STORED-ID";
        const QString id = DeviceIdentifier::resolve(environmentWith(environment), arguments, keychain);
        QCOMPARE(id, testing ? QStringLiteral("tindrel-test-device") : QStringLiteral("STORED-ID"));
        QCOMPARE(keychain.reads, testing ? 0 : 1);
        QCOMPARE(keychain.saves, 0);
    }

    void storedIdentifierOrANewOne_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("stored");
        QTest::addColumn<bool>("kept");
        QTest::newRow("stored") << std::optional<QByteArray>("5F0C-ID") << true;
        QTest::newRow("non-ASCII text") << std::optional<QByteArray>("gerät-é") << true;
        QTest::newRow("absent or timed out") << std::optional<QByteArray>() << false;
        QTest::newRow("empty value") << std::optional<QByteArray>("") << false;
        QTest::newRow("not UTF-8") << std::optional<QByteArray>("\xff\xfe") << false;
        QTest::newRow("line break would split the header") << std::optional<QByteArray>("ID\r\nX: 1") << false;
    }
    void storedIdentifierOrANewOne()
    {
        QFETCH(std::optional<QByteArray>, stored);
        QFETCH(bool, kept);
        FakeKeychain keychain;
        keychain.stored = stored;
        const QString id = DeviceIdentifier::resolve({}, {QStringLiteral("tindrel")}, keychain);
        if (kept) {
            QCOMPARE(id.toUtf8(), *stored);
            QCOMPARE(keychain.saves, 0);
        } else {
            QVERIFY2(upperUuid.match(id).hasMatch(), qPrintable(id));
            QCOMPARE(keychain.saves, 1);
            QCOMPARE(keychain.stored, std::optional<QByteArray>(id.toUtf8()));
        }
    }

    void failedWriteStillGivesAnIdentifier()
    {
        FakeKeychain keychain;
        keychain.saveSucceeds = false;
        const QString id = DeviceIdentifier::resolve({}, {}, keychain);
        QVERIFY(upperUuid.match(id).hasMatch());
        QCOMPARE(keychain.saves, 1);
    }

    void keychainAccountNamesTheBundle()
    {
        QCOMPARE(DeviceIdentifier::keychainAccount(QJsonObject{{"CFBundleIdentifier", "app.tindrel.desktop"}}),
                 QStringLiteral("deviceId@app.tindrel.desktop@direct-distribution"));
        QCOMPARE(DeviceIdentifier::keychainAccount(QJsonObject{}),
                 QStringLiteral("deviceId@unknown-app@direct-distribution"));
        QCOMPARE(DeviceIdentifier::keychainAccount(std::nullopt),
                 QStringLiteral("deviceId@unknown-app@direct-distribution"));
        QCOMPARE(deviceIdentifier(), QStringLiteral("tindrel-test-device"));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestRequestFrame)
#include "tst_requestframe.moc"
