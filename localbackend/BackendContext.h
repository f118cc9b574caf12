#pragma once

#include "core/Clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace tindrel::localbackend {

class Database;
class ObjectStore;

// What every part of the server shares: the database, the signing secret and keys, its own
// address, and the clock (which the test controls can move forward to reach expiries).
struct BackendContext {
    Database *db = nullptr;
    ObjectStore *objects = nullptr;
    Clock clock = systemClock();
    qint64 clockOffsetSeconds = 0;
    QByteArray jwtSecret;
    QByteArray anonKey;
    QByteArray serviceKey;
    QString baseUrl; // "http://127.0.0.1:<port>", no trailing slash
    int jwtExpirySeconds = 3600;

    QDateTime now() const { return clock().addSecs(clockOffsetSeconds); }
    qint64 nowSeconds() const { return now().toSecsSinceEpoch(); }
};

} // namespace tindrel::localbackend
