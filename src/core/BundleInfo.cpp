#include "core/BundleInfo.h"

#include "core/Log.h"

#include <QFile>
#include <QJsonDocument>

static void initBundleResource() { Q_INIT_RESOURCE(bundle); }

namespace tindrel {

std::optional<QJsonObject> BundleInfo::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

QJsonObject BundleInfo::compiledIn()
{
    initBundleResource();
    return load(QStringLiteral(":/bundle/Info.json")).value_or(QJsonObject{});
}

std::optional<QJsonObject> BundleInfo::main()
{
    static const std::optional<QJsonObject> info = []() -> std::optional<QJsonObject> {
        const QString path = qEnvironmentVariable(overrideVariable);
        if (path.isEmpty())
            return compiledIn();
        auto loaded = load(path);
        if (!loaded)
            logLine(u"SorvelMacApp", QStringLiteral("Bundle configuration %1 is unreadable; using none").arg(path));
        return loaded;
    }();
    return info;
}

} // namespace tindrel
