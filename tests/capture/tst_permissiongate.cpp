// The permission gate with our consent authorizer and a scripted user: one prompt, answers
// remembered, refusals not asked again, overlapping starts refused.
#include "capture/ConsentMicrophonePermissionAuthorizer.h"
#include "capture/MicrophonePermissionGate.h"
#include "capture/RecordingService.h"
#include "capture/RecordingServiceError.h"
#include "core/Localizer.h"
#include "core/MemoryPreferences.h"
#include "support/TestSupport.h"

#include <QCoroSignal>

using namespace tindrel;
using Code = RecordingServiceError::Code;

namespace {

// The user: answers each prompt with the next scripted answer, at once or when told to.
class ScriptedUser : public QObject, public MicrophoneConsentPrompting {
    Q_OBJECT
public:
    std::vector<std::optional<bool>> answers;
    bool waitForRelease = false;
    int prompts = 0;

    QCoro::Task<std::optional<bool>> askForMicrophoneConsent() override
    {
        ++prompts;
        if (waitForRelease)
            co_await qCoro(this, &ScriptedUser::released);
        const auto answer = answers.empty() ? std::nullopt : answers.front();
        if (!answers.empty())
            answers.erase(answers.begin());
        co_return answer;
    }

signals:
    void released();
};

std::optional<Code> errorCode(const test::Outcome<void> &outcome)
{
    if (!outcome.error)
        return std::nullopt;
    try {
        std::rethrow_exception(outcome.error);
    } catch (const RecordingServiceError &error) {
        return error.code();
    } catch (...) {
    }
    return std::nullopt;
}

struct Fixture {
    MemoryPreferences preferences;
    std::shared_ptr<ScriptedUser> user = std::make_shared<ScriptedUser>();
    std::shared_ptr<ConsentMicrophonePermissionAuthorizer> authorizer =
        std::make_shared<ConsentMicrophonePermissionAuthorizer>(preferences, user);
    MicrophonePermissionGate gate{authorizer};

    explicit Fixture(QVariantMap stored = {}) : preferences(std::move(stored)) {}
    std::optional<Code> ensure() { return errorCode(test::run(gate.ensureAuthorized())); }
    QVariant remembered() const { return preferences.value(QStringLiteral("microphoneConsent")); }
};

} // namespace

class TestPermissionGate : public QObject {
    Q_OBJECT
private slots:
    void storedAnswerDecidesWithoutPrompt_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<std::optional<Code>>("expected");
        QTest::newRow("authorized") << "authorized" << std::optional<Code>();
        QTest::newRow("denied") << "denied" << std::optional<Code>(Code::microphonePermissionDenied);
        QTest::newRow("restricted") << "restricted" << std::optional<Code>(Code::microphonePermissionDenied);
    }

    void storedAnswerDecidesWithoutPrompt()
    {
        QFETCH(QString, stored);
        QFETCH(std::optional<Code>, expected);
        Fixture f({{QStringLiteral("microphoneConsent"), stored}});
        QCOMPARE(f.ensure(), expected);
        QCOMPARE(f.ensure(), expected);
        QCOMPARE(f.user->prompts, 0);
    }

    void firstAnswerIsAskedOnceAndRemembered_data()
    {
        QTest::addColumn<std::optional<bool>>("answer");
        QTest::addColumn<std::optional<Code>>("first");
        QTest::addColumn<std::optional<Code>>("later");
        QTest::addColumn<QVariant>("remembered");
        QTest::addColumn<int>("prompts");
        QTest::newRow("allowed") << std::optional<bool>(true) << std::optional<Code>() << std::optional<Code>()
                                 << QVariant(QStringLiteral("authorized")) << 1;
        QTest::newRow("refused: not granted, then denied without asking")
            << std::optional<bool>(false) << std::optional<Code>(Code::microphonePermissionNotGranted)
            << std::optional<Code>(Code::microphonePermissionDenied) << QVariant(QStringLiteral("denied")) << 1;
        // Closing the dialog is no answer: nothing is remembered and the next start asks again.
        QTest::newRow("dismissed: asked again")
            << std::optional<bool>() << std::optional<Code>(Code::microphonePermissionNotGranted)
            << std::optional<Code>(Code::microphonePermissionNotGranted) << QVariant() << 2;
    }

    void firstAnswerIsAskedOnceAndRemembered()
    {
        QFETCH(std::optional<bool>, answer);
        QFETCH(std::optional<Code>, first);
        QFETCH(std::optional<Code>, later);
        QFETCH(QVariant, remembered);
        QFETCH(int, prompts);
        Fixture f;
        f.user->answers = {answer, answer};
        QCOMPARE(f.authorizer->authorizationStatus(), MicrophoneAuthorizationStatus::notDetermined);
        QCOMPARE(f.ensure(), first);
        QCOMPARE(f.remembered(), remembered);
        QCOMPARE(f.ensure(), later);
        QCOMPARE(f.user->prompts, prompts);
        QCOMPARE(f.gate.state(), MicrophonePermissionGate::State::idle);
        if (remembered.isValid())
            QVERIFY(f.preferences.flushCount() > 0);
    }

    void startWhilePromptIsOpenFailsAtOnce()
    {
        Fixture f;
        f.user->waitForRelease = true;
        f.user->answers = {true};
        auto first = f.gate.ensureAuthorized();
        QCOMPARE(f.gate.state(), MicrophonePermissionGate::State::requesting);
        QCOMPARE(f.ensure(), std::optional<Code>(Code::microphonePermissionRequestInProgress));
        QCOMPARE(f.user->prompts, 1);

        QTimer::singleShot(0, f.user.get(), &ScriptedUser::released);
        QCOMPARE(errorCode(test::run(std::move(first))), std::optional<Code>());
        QCOMPARE(f.gate.state(), MicrophonePermissionGate::State::idle);
        QCOMPARE(f.ensure(), std::optional<Code>());
        QCOMPARE(f.user->prompts, 1);
    }

    void withoutPromptNothingIsGrantedOrRemembered()
    {
        MemoryPreferences preferences;
        auto authorizer = std::make_shared<ConsentMicrophonePermissionAuthorizer>(preferences);
        MicrophonePermissionGate gate(authorizer);
        QCOMPARE(errorCode(test::run(gate.ensureAuthorized())),
                 std::optional<Code>(Code::microphonePermissionNotGranted));
        QVERIFY(!preferences.contains(QStringLiteral("microphoneConsent")));
    }

    // A refused start touches neither the device nor the temporary directory.
    void refusedCaptureLeavesTheRecorderIdle()
    {
        MemoryPreferences preferences({{QStringLiteral("microphoneConsent"), QStringLiteral("denied")}});
        RecordingService service(std::make_shared<ConsentMicrophonePermissionAuthorizer>(preferences));
        QCOMPARE(errorCode(test::run(service.startCapture())), std::optional<Code>(Code::microphonePermissionDenied));
        QVERIFY(!service.recorder());
        QVERIFY(!service.averagePower());
        QVERIFY(!service.stopCapture());
    }

    void descriptionsComeFromTheStringTables_data()
    {
        QTest::addColumn<Code>("code");
        QTest::addColumn<QString>("key");
        QTest::newRow("not granted") << Code::microphonePermissionNotGranted
                                     << "error.microphone_permission_not_granted";
        QTest::newRow("denied") << Code::microphonePermissionDenied << "error.microphone_permission_denied";
        QTest::newRow("in progress") << Code::microphonePermissionRequestInProgress
                                     << "error.microphone_permission_request_in_progress";
    }

    void descriptionsComeFromTheStringTables()
    {
        QFETCH(Code, code);
        QFETCH(QString, key);
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("zh-Hans"), QStringLiteral("ja")}) {
            Localizer::setLanguage(language);
            const RecordingServiceError error(code);
            QCOMPARE(error.description(), Localizer::entry(language, key));
            QVERIFY(!error.description().isEmpty());
            QCOMPARE(QString::fromUtf8(error.what()), error.description());
        }
        Localizer::setLanguage(QStringLiteral("en"));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestPermissionGate)
#include "tst_permissiongate.moc"
