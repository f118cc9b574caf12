#pragma once

#include <QJsonObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

namespace tindrel {

class KeychainStoring;

// The identifier this installation sends as "X-Device-Id": a UUID kept in the keychain, made
// on first use. Test hosts and UI-testing launches use a fixed value and never touch the
// keychain, so tests cannot read or overwrite the user's identifier.
class DeviceIdentifier {
public:
    static constexpr const char *testingValue = "tindrel-test-device";
    static constexpr const char *keychainService = "com.trialdeck.mac.device";
    // The platform's test-host marker, and our own test runner's equivalent.
    static constexpr const char *testHostVariable = "XCTestConfigurationFilePath";
    static constexpr const char *ownTestHostVariable = "TINDREL_TEST_HOST";
    static constexpr const char *uiTestingSwitch = "-uiTestingSkipAuth";

    // "deviceId@<bundle identifier or unknown-app>@direct-distribution".
    static QString keychainAccount(const std::optional<QJsonObject> &bundleInfo);

    static bool usesTestingValue(const QProcessEnvironment &environment, const QStringList &arguments);

    // The identifier for a process with this environment and these arguments: the testing
    // value, else the stored one, else a new UUID (written back; a failed write is ignored).
    static QString resolve(const QProcessEnvironment &environment, const QStringList &arguments,
                           const KeychainStoring &keychain);
};

// The process's device identifier, computed on first use (thread-safe) and fixed afterwards.
QString deviceIdentifier();

} // namespace tindrel
