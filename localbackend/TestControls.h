#pragma once

#include "HttpReply.h"
#include "HttpRequest.h"

#include <QJsonArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace tindrel::localbackend {

class AuthApi;
class FunctionsApi;
struct BackendContext;

// Endpoints for tests under "/__tindrel_test" (only with --test-controls): faults queued
// for a path, the next transcript texts, account switches, a movable clock, and the log of
// what clients sent (secrets redacted).
class TestControls {
public:
    static inline const QString prefix = QStringLiteral("/__tindrel_test");
    static constexpr int logCapacity = 1000;

    struct Fault {
        QByteArray method; // empty: any
        QString path;      // exact, or a prefix when it ends in '*'
        int remaining = 1;
        std::optional<int> status; // none: answer normally (after the delay)
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        int delayMs = 0;
        bool drop = false; // close the connection without an answer
    };

    TestControls(BackendContext &context, AuthApi &auth, FunctionsApi &functions);

    // `subPath` is the path after the prefix.
    HttpReply handle(const QString &subPath, const HttpRequest &request);

    void record(const HttpRequest &request);
    // The fault due for this request, counting it down.
    std::optional<Fault> takeFault(const HttpRequest &request);

    // Called to close every realtime socket (simulates a server restart).
    void setRealtimeDisconnect(std::function<int()> disconnect) { m_realtimeDisconnect = std::move(disconnect); }

private:
    HttpReply addFault(const QJsonObject &body);
    HttpReply createUser(const QJsonObject &body);
    HttpReply setFlags(const QJsonObject &body);

    BackendContext &m_context;
    AuthApi &m_auth;
    FunctionsApi &m_functions;
    QList<Fault> m_faults;
    QJsonArray m_log;
    std::function<int()> m_realtimeDisconnect;
};

} // namespace tindrel::localbackend
