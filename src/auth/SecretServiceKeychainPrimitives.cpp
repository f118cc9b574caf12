#include "auth/SecretServiceKeychainPrimitives.h"

#include "auth/KeychainStatus.h"

// GLib's headers use the names "signals" and "slots", which Qt defines as macros.
#undef signals
#undef slots
#include <libsecret/secret.h>

namespace {

const SecretSchema itemSchema = {
    tindrel::SecretServiceKeychainPrimitives::schemaName,
    SECRET_SCHEMA_NONE,
    {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

GQuark noPromptQuark() { return g_quark_from_static_string("tindrel-keychain-no-prompt"); }

// libsecret hands every prompt the Secret Service asks for (unlock a keyring, create one) to
// these class hooks. The stock ones show a dialog and wait for the user, which blocks without
// end when nobody answers; ours refuse at once.
struct NoPromptService {
    SecretService parent;
};
struct NoPromptServiceClass {
    SecretServiceClass parentClass;
};

GVariant *refusePromptSync(SecretService *, SecretPrompt *, GCancellable *, const GVariantType *, GError **error)
{
    g_set_error_literal(error, noPromptQuark(), 1, "interaction not allowed");
    return nullptr;
}

void refusePromptAsync(SecretService *self, SecretPrompt *, const GVariantType *, GCancellable *cancellable,
                       GAsyncReadyCallback callback, gpointer userData)
{
    GTask *task = g_task_new(self, cancellable, callback, userData);
    g_task_return_new_error(task, noPromptQuark(), 1, "interaction not allowed");
    g_object_unref(task);
}

GVariant *refusePromptFinish(SecretService *, GAsyncResult *result, GError **error)
{
    return static_cast<GVariant *>(g_task_propagate_pointer(G_TASK(result), error));
}

void noPromptServiceClassInit(gpointer klass, gpointer)
{
    auto *serviceClass = static_cast<SecretServiceClass *>(klass);
    serviceClass->prompt_sync = refusePromptSync;
    serviceClass->prompt_async = refusePromptAsync;
    serviceClass->prompt_finish = refusePromptFinish;
}

GType noPromptServiceType()
{
    static const GType type =
        g_type_register_static_simple(SECRET_TYPE_SERVICE, "TindrelNoPromptSecretService", sizeof(NoPromptServiceClass),
                                      noPromptServiceClassInit, sizeof(NoPromptService), nullptr, GTypeFlags{});
    return type;
}

struct ErrorHolder {
    GError *error = nullptr;
    ~ErrorHolder() { g_clear_error(&error); }
    GError **out() { return &error; }
};

struct ItemList {
    GList *items = nullptr;
    ~ItemList() { g_list_free_full(items, g_object_unref); }
};

struct Attributes {
    GHashTable *table;
    Attributes(const QString &service, const QString &account)
        : table(secret_attributes_build(&itemSchema, "service", service.toUtf8().constData(), "account",
                                        account.toUtf8().constData(), nullptr))
    {}
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes &) = delete;
    Attributes &operator=(const Attributes &) = delete;
};

bool anyLocked(GList *items)
{
    for (GList *l = items; l; l = l->next) {
        if (secret_item_get_locked(static_cast<SecretItem *>(l->data)))
            return true;
    }
    return false;
}

// True when the error says the Secret Service itself went away (daemon gone, bus closed).
bool serviceLost(const GError *error)
{
    return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN)
           || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)
           || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_DISCONNECTED)
           || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED);
}

} // namespace

namespace tindrel {

struct SecretServiceKeychainPrimitives::Connection {
    SecretService *service = nullptr;

    ~Connection() { drop(); }

    void drop()
    {
        if (service)
            g_object_unref(service);
        service = nullptr;
    }

    // The service, opened on first use and again after it was lost; none when the session
    // bus or the Secret Service is unreachable.
    SecretService *open()
    {
        if (service)
            return service;
        ErrorHolder error;
        gpointer opened =
            secret_service_open_sync(noPromptServiceType(), nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, error.out());
        if (!opened)
            return nullptr;
        service = SECRET_SERVICE(opened);
        // A hung daemon keeps the worker busy (and every caller on its fallback) only this long.
        g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(service), 5000);
        return service;
    }

    qint32 statusOf(const GError *error)
    {
        if (error->domain == noPromptQuark())
            return KeychainStatus::interactionNotAllowed;
        if (serviceLost(error)) {
            drop();
            return KeychainStatus::missingEntitlement;
        }
        if (g_dbus_error_is_remote_error(error)) {
            gchar *name = g_dbus_error_get_remote_error(error);
            const bool locked = g_strcmp0(name, "org.freedesktop.Secret.Error.IsLocked") == 0;
            g_free(name);
            if (locked)
                return KeychainStatus::interactionNotAllowed;
        }
        return KeychainStatus::ioError;
    }

    // Items of (service, account) in every collection, locked ones included: a search that
    // may unlock would prompt.
    qint32 search(const QString &serviceName, const QString &account, bool loadSecrets, ItemList &found)
    {
        SecretService *secrets = open();
        if (!secrets)
            return KeychainStatus::missingEntitlement;
        Attributes attributes(serviceName, account);
        ErrorHolder error;
        const int flags = SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
        found.items = secret_service_search_sync(secrets, &itemSchema, attributes.table,
                                                 static_cast<SecretSearchFlags>(flags), nullptr, error.out());
        if (error.error)
            return statusOf(error.error);
        if (!found.items)
            return KeychainStatus::itemNotFound;
        return anyLocked(found.items) ? KeychainStatus::interactionNotAllowed : KeychainStatus::success;
    }
};

SecretServiceKeychainPrimitives::SecretServiceKeychainPrimitives() : m_connection(std::make_unique<Connection>()) {}

SecretServiceKeychainPrimitives::~SecretServiceKeychainPrimitives() = default;

qint32 SecretServiceKeychainPrimitives::update(const QString &service, const QString &account, const QByteArray &data)
{
    ItemList found;
    if (const qint32 status = m_connection->search(service, account, false, found); status != KeychainStatus::success)
        return status;
    SecretValue *value = secret_value_new(data.constData(), data.size(), "application/octet-stream");
    qint32 result = KeychainStatus::success;
    for (GList *l = found.items; l && result == KeychainStatus::success; l = l->next) {
        ErrorHolder error;
        if (!secret_item_set_secret_sync(static_cast<SecretItem *>(l->data), value, nullptr, error.out()))
            result = error.error ? m_connection->statusOf(error.error) : KeychainStatus::ioError;
    }
    secret_value_unref(value);
    return result;
}

qint32 SecretServiceKeychainPrimitives::add(const QString &service, const QString &account, const QByteArray &data)
{
    SecretService *secrets = m_connection->open();
    if (!secrets)
        return KeychainStatus::missingEntitlement;
    ErrorHolder error;
    SecretCollection *collection = secret_collection_for_alias_sync(secrets, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, error.out());
    if (error.error)
        return m_connection->statusOf(error.error);
    // No default keyring: making one asks the user for a password, so this store has nowhere
    // to put the item and the file store takes it.
    if (!collection)
        return KeychainStatus::missingEntitlement;
    qint32 result = KeychainStatus::interactionNotAllowed;
    if (!secret_collection_get_locked(collection)) {
        Attributes attributes(service, account);
        SecretValue *value = secret_value_new(data.constData(), data.size(), "application/octet-stream");
        const QByteArray label = QStringLiteral("%1 (%2)").arg(service, account).toUtf8();
        SecretItem *item = secret_item_create_sync(collection, &itemSchema, attributes.table, label.constData(), value,
                                                   SECRET_ITEM_CREATE_REPLACE, nullptr, error.out());
        secret_value_unref(value);
        if (item) {
            g_object_unref(item);
            result = KeychainStatus::success;
        } else {
            result = error.error ? m_connection->statusOf(error.error) : KeychainStatus::ioError;
        }
    }
    g_object_unref(collection);
    return result;
}

KeychainCopyResult SecretServiceKeychainPrimitives::copy(const QString &service, const QString &account)
{
    ItemList found;
    if (const qint32 status = m_connection->search(service, account, true, found); status != KeychainStatus::success)
        return {status, {}};
    auto *item = static_cast<SecretItem *>(found.items->data);
    SecretValue *value = secret_item_get_secret(item);
    if (!value) {
        ErrorHolder error;
        if (!secret_item_load_secret_sync(item, nullptr, error.out()))
            return {error.error ? m_connection->statusOf(error.error) : KeychainStatus::ioError, {}};
        value = secret_item_get_secret(item);
        if (!value)
            return {KeychainStatus::ioError, {}};
    }
    gsize length = 0;
    const gchar *bytes = secret_value_get(value, &length);
    QByteArray data(bytes, static_cast<qsizetype>(length));
    secret_value_unref(value);
    return {KeychainStatus::success, data};
}

qint32 SecretServiceKeychainPrimitives::remove(const QString &service, const QString &account)
{
    ItemList found;
    if (const qint32 status = m_connection->search(service, account, false, found); status != KeychainStatus::success)
        return status;
    for (GList *l = found.items; l; l = l->next) {
        ErrorHolder error;
        if (!secret_item_delete_sync(static_cast<SecretItem *>(l->data), nullptr, error.out()))
            return error.error ? m_connection->statusOf(error.error) : KeychainStatus::ioError;
    }
    return KeychainStatus::success;
}

} // namespace tindrel
