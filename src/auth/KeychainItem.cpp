#include "auth/KeychainItem.h"

#include "auth/FileKeychainPrimitives.h"
#include "auth/KeychainSecurity.h"
#include "auth/KeychainStatus.h"
#include "auth/SecretServiceKeychainPrimitives.h"

namespace tindrel {
namespace {

const KeychainReadResult readFallback{KeychainStatus::interactionNotAllowed, std::nullopt};

bool triesFileStoreAfter(qint32 status)
{
    return status == KeychainStatus::missingEntitlement || status == KeychainStatus::itemNotFound;
}

// The job run on the worker owns copies of everything it touches: a caller that timed out
// may be gone long before it runs.
std::function<KeychainReadResult()> copyJob(std::shared_ptr<KeychainPrimitives> primitives, QString service,
                                            QString account)
{
    return [primitives = std::move(primitives), service = std::move(service), account = std::move(account)] {
        return KeychainItem::readResult(primitives->copy(service, account));
    };
}

QCoro::Task<std::optional<QByteArray>> readAsyncFrom(KeychainItem::Primitives primitives, QString service,
                                                     QString account)
{
    using Backend = KeychainItem::Backend;
    KeychainReadResult result = co_await KeychainSecurity::performAsync(
        KeychainSecurity::asyncLimit, readFallback, copyJob(primitives.of(Backend::dataProtection), service, account));
    if (result.status == KeychainStatus::success)
        co_return result.data;
    if (!triesFileStoreAfter(result.status))
        co_return std::nullopt;
    result = co_await KeychainSecurity::performAsync(
        KeychainSecurity::asyncLimit, readFallback, copyJob(primitives.of(Backend::defaultKeychain), service, account));
    if (result.status == KeychainStatus::success)
        co_return result.data;
    co_return std::nullopt;
}

} // namespace

const KeychainItem::Primitives &KeychainItem::systemPrimitives()
{
    static const Primitives primitives{
        std::make_shared<SecretServiceKeychainPrimitives>(),
        std::make_shared<FileKeychainPrimitives>(FileKeychainPrimitives::defaultDirectory())};
    return primitives;
}

KeychainItem::KeychainItem(QString service, QString account, Primitives primitives)
    : service(std::move(service)), account(std::move(account)), m_primitives(std::move(primitives))
{}

KeychainReadResult KeychainItem::readResult(const KeychainCopyResult &copy)
{
    if (copy.status == KeychainStatus::success && copy.value.typeId() == QMetaType::QByteArray)
        return {copy.status, copy.value.toByteArray()};
    return {copy.status, std::nullopt};
}

qint32 KeychainItem::write(Backend backend, const QByteArray &data) const
{
    const auto &primitives = m_primitives.of(backend);
    const qint32 updated =
        KeychainSecurity::perform(KeychainSecurity::blockingLimit, KeychainStatus::interactionNotAllowed,
                                  [primitives, service = service, account = account, data] {
                                      return primitives->update(service, account, data);
                                  });
    if (updated != KeychainStatus::itemNotFound)
        return updated;
    return KeychainSecurity::perform(
        KeychainSecurity::blockingLimit, KeychainStatus::interactionNotAllowed,
        [primitives, service = service, account = account, data] { return primitives->add(service, account, data); });
}

KeychainReadResult KeychainItem::copy(Backend backend) const
{
    return KeychainSecurity::perform(KeychainSecurity::blockingLimit, readFallback,
                                     copyJob(m_primitives.of(backend), service, account));
}

qint32 KeychainItem::removeFrom(Backend backend) const
{
    const auto &primitives = m_primitives.of(backend);
    return KeychainSecurity::perform(
        KeychainSecurity::blockingLimit, KeychainStatus::interactionNotAllowed,
        [primitives, service = service, account = account] { return primitives->remove(service, account); });
}

bool KeychainItem::save(const QByteArray &data) const
{
    const qint32 status = write(Backend::dataProtection, data);
    if (status == KeychainStatus::success) {
        // Clears a copy left in the file store from a time without a Secret Service.
        removeFrom(Backend::defaultKeychain);
        return true;
    }
    if (status == KeychainStatus::missingEntitlement)
        return write(Backend::defaultKeychain, data) == KeychainStatus::success;
    return false;
}

std::optional<QByteArray> KeychainItem::read() const
{
    KeychainReadResult result = copy(Backend::dataProtection);
    if (result.status == KeychainStatus::success)
        return result.data;
    if (!triesFileStoreAfter(result.status))
        return std::nullopt;
    result = copy(Backend::defaultKeychain);
    if (result.status == KeychainStatus::success)
        return result.data;
    return std::nullopt;
}

QCoro::Task<std::optional<QByteArray>> KeychainItem::readAsync() const
{
    return readAsyncFrom(m_primitives, service, account);
}

void KeychainItem::remove() const
{
    const qint32 status = removeFrom(Backend::dataProtection);
    if (status == KeychainStatus::success || triesFileStoreAfter(status))
        removeFrom(Backend::defaultKeychain);
}

} // namespace tindrel
