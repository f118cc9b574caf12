#include "backend/BackendConfiguration.h"

#include "core/BuildConfig.h"
#include "core/Log.h"

#include <QtGlobal>

namespace tindrel {
namespace {

QString bundleText(const std::optional<QJsonObject> &bundleInfo, QStringView key)
{
    if (!bundleInfo)
        return {};
    return bundleInfo->value(key).toString().trimmed();
}

} // namespace

BackendConfiguration BackendConfiguration::compiledInDefaults()
{
    return {QString::fromUtf8(build::defaultSupabaseURL), QString::fromUtf8(build::defaultSupabaseAnonKey), {}};
}

BackendConfiguration::Resolution BackendConfiguration::resolve(const std::optional<QJsonObject> &bundleInfo,
                                                               const BackendConfiguration &defaults)
{
    QString url = bundleText(bundleInfo, u"SupabaseURL");
    QString key = bundleText(bundleInfo, u"SupabaseAnonKey");
    if (url.isEmpty() || url.startsWith(QStringLiteral("$(")) || key.isEmpty()) {
        logLine(
            u"SupabaseProvider",
            QStringLiteral("WARN: Missing or unexpanded Info.plist SupabaseURL/AnonKey. Falling back to defaults. URL=")
                + url);
        url = defaults.url;
        key = defaults.anonKey;
    }
    logLine(u"SupabaseProvider", QStringLiteral("Initializing with SupabaseURL=") + url);
    logLine(u"SupabaseProvider", QStringLiteral("AnonKey length: ") + QString::number(key.size()));

    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid())
        return {std::nullopt, QStringLiteral("无效的 SupabaseURL (Parse Failed): ") + url};
    if (parsed.host().isEmpty())
        return {std::nullopt, QStringLiteral("无效的 SupabaseURL (Host is nil): ") + url
                                  + QStringLiteral(" - Check .xcconfig SLASH expansion")};
    return {BackendConfiguration{url, key, parsed}, {}};
}

BackendConfiguration BackendConfiguration::resolveOrStop(const std::optional<QJsonObject> &bundleInfo)
{
    Resolution resolution = resolve(bundleInfo);
    if (!resolution.configuration)
        qFatal("%s", resolution.fatalMessage.toUtf8().constData());
    return *resolution.configuration;
}

} // namespace tindrel
