#include "backend/DeviceIdentifier.h"

#include "auth/KeychainItem.h"
#include "backend/RequestFrame.h"
#include "core/BundleInfo.h"

#include <QCoreApplication>
#include <QStringDecoder>

namespace tindrel {
namespace {

// The stored text, when it decodes as UTF-8 to a usable header value; a value with control
// characters would break the request it is sent in, so it counts as unreadable.
std::optional<QString> storedIdentifier(const std::optional<QByteArray> &bytes)
{
    if (!bytes || bytes->isEmpty())
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(*bytes);
    if (decoder.hasError() || !isSafeHeaderValue(text))
        return std::nullopt;
    return text;
}

} // namespace

QString DeviceIdentifier::keychainAccount(const std::optional<QJsonObject> &bundleInfo)
{
    QString bundleId;
    if (bundleInfo)
        bundleId = bundleInfo->value(u"CFBundleIdentifier").toString();
    if (bundleId.isEmpty())
        bundleId = QStringLiteral("unknown-app");
    return QStringLiteral("deviceId@") + bundleId + QStringLiteral("@direct-distribution");
}

bool DeviceIdentifier::usesTestingValue(const QProcessEnvironment &environment, const QStringList &arguments)
{
    return environment.contains(QString::fromLatin1(testHostVariable))
           || !environment.value(QString::fromLatin1(ownTestHostVariable)).isEmpty()
           || arguments.contains(QString::fromLatin1(uiTestingSwitch));
}

QString DeviceIdentifier::resolve(const QProcessEnvironment &environment, const QStringList &arguments,
                                  const KeychainStoring &keychain)
{
    if (usesTestingValue(environment, arguments))
        return QString::fromLatin1(testingValue);
    if (auto stored = storedIdentifier(keychain.read()))
        return *stored;
    const QString generated = makeRequestIdentifier();
    keychain.save(generated.toUtf8());
    return generated;
}

QString deviceIdentifier()
{
    static const QString identifier = [] {
        const QStringList arguments = QCoreApplication::instance() ? QCoreApplication::arguments() : QStringList{};
        const KeychainItem item(QString::fromLatin1(DeviceIdentifier::keychainService),
                                DeviceIdentifier::keychainAccount(BundleInfo::main()));
        return DeviceIdentifier::resolve(QProcessEnvironment::systemEnvironment(), arguments, item);
    }();
    return identifier;
}

} // namespace tindrel
