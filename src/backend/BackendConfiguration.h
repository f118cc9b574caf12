#pragma once

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace tindrel {

// Which backend the app talks to: base URL and public ("anonymous") key from the bundle
// configuration, with the compiled-in defaults standing in for unusable values.
struct BackendConfiguration {
    QString url;
    QString anonKey;
    QUrl baseURL; // `url`, parsed; set by resolve()

    static BackendConfiguration compiledInDefaults();

    struct Resolution;

    // Reads "SupabaseURL" and "SupabaseAnonKey" (trimmed; a missing or non-text value reads as
    // empty). An empty or unexpanded ("$(...)") URL or an empty key replaces both with
    // `defaults`. Logs the provider's lines. A URL that does not parse, or has no host, gives
    // the fatal message instead of a configuration.
    static Resolution resolve(const std::optional<QJsonObject> &bundleInfo,
                              const BackendConfiguration &defaults = compiledInDefaults());

    // resolve(), stopping the program with the fatal message when there is one.
    static BackendConfiguration resolveOrStop(const std::optional<QJsonObject> &bundleInfo);
};

// The outcome of a resolution: a configuration, or the message the program stops with.
struct BackendConfiguration::Resolution {
    std::optional<BackendConfiguration> configuration;
    QString fatalMessage;
};

} // namespace tindrel
