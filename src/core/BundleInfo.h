#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace tindrel {

// The application's information dictionary: backend URL and key, redirect URI, registered
// URL schemes, identifier and version. Compiled into the binary; a deployment can replace
// it with a JSON file named by the environment variable TINDREL_BUNDLE_INFO.
class BundleInfo {
public:
    static constexpr const char *overrideVariable = "TINDREL_BUNDLE_INFO";

    // The process's dictionary, read once; none when the override file cannot be read.
    static std::optional<QJsonObject> main();

    static std::optional<QJsonObject> load(const QString &path);
    static QJsonObject compiledIn();
};

} // namespace tindrel
