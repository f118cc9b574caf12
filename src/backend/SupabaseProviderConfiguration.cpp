// The provider's configuration resolution. Kept apart so it can be replaced by the shared
// backend configuration (BackendConfiguration::resolveOrStop) without touching the provider.
#include "backend/SupabaseProvider.h"

#include "core/BuildConfig.h"
#include "core/BundleInfo.h"
#include "core/Log.h"

namespace tindrel {

SupabaseProvider::Configuration SupabaseProvider::resolveConfiguration()
{
    const auto bundle = BundleInfo::main();
    auto text = [&bundle](const char *key) { return bundle ? bundle->value(QLatin1String(key)).toString().trimmed() : QString(); };
    QString url = text("SupabaseURL");
    QString key = text("SupabaseAnonKey");
    if (url.isEmpty() || url.startsWith(QStringLiteral("$(")) || key.isEmpty()) {
        logLine(u"SupabaseProvider",
                QStringLiteral("WARN: Missing or unexpanded Info.plist SupabaseURL/AnonKey. Falling back to defaults. URL=")
                    + url);
        url = QString::fromUtf8(build::defaultSupabaseURL);
        key = QString::fromUtf8(build::defaultSupabaseAnonKey);
    }
    logLine(u"SupabaseProvider", QStringLiteral("Initializing with SupabaseURL=") + url);
    logLine(u"SupabaseProvider", QStringLiteral("AnonKey length: ") + QString::number(key.size()));
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid())
        qFatal("%s", (QStringLiteral("无效的 SupabaseURL (Parse Failed): ") + url).toUtf8().constData());
    if (parsed.host().isEmpty())
        qFatal("%s", (QStringLiteral("无效的 SupabaseURL (Host is nil): ") + url
                      + QStringLiteral(" - Check .xcconfig SLASH expansion"))
                         .toUtf8()
                         .constData());
    return {parsed, key};
}

} // namespace tindrel
