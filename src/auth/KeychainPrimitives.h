#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QtGlobal>

namespace tindrel {

// What one store answers to a copy: its status and the raw result, which counts as data only
// when it is a byte buffer.
struct KeychainCopyResult {
    qint32 status = 0;
    QVariant value;
};

// The four primitive calls on one secret store, addressed by (service, account). They run
// one at a time on the keychain worker thread and may block; the layer above bounds them in
// time. Statuses are KeychainStatus codes. Tests replace them to make calls slow, fail or
// answer oddly.
class KeychainPrimitives {
public:
    virtual ~KeychainPrimitives() = default;

    // Replaces the data of an existing item; itemNotFound when there is none.
    virtual qint32 update(const QString &service, const QString &account, const QByteArray &data) = 0;
    // Creates the item; duplicateItem when it already exists.
    virtual qint32 add(const QString &service, const QString &account, const QByteArray &data) = 0;
    virtual KeychainCopyResult copy(const QString &service, const QString &account) = 0;
    virtual qint32 remove(const QString &service, const QString &account) = 0;
};

} // namespace tindrel
