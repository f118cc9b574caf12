#pragma once

#include "supabase/HttpExchange.h"
#include "supabase/SessionStorage.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace supabase {

using namespace std::chrono_literals;

enum class AuthFlowType { Implicit, Pkce };

struct AuthOptions {
    // Required: where the session and the PKCE verifier live.
    std::shared_ptr<SessionStorage> storage;
    // Defaults to "sb-<first label of the host>-auth-token".
    std::optional<QString> storageKey;
    std::optional<QUrl> redirectTo;
    AuthFlowType flowType = AuthFlowType::Pkce;
    bool autoRefreshToken = true;
    std::chrono::milliseconds autoRefreshTick = 30s;
    // The ticker renews a session with less than this left.
    std::chrono::seconds refreshThreshold = 120s;
    // fetchCurrentSession renews a session with less than this left.
    std::chrono::seconds expiryMargin = 90s;
};

struct RealtimeOptions {
    HeaderList headers;
    std::chrono::milliseconds heartbeatInterval = 25s;
    std::chrono::milliseconds reconnectDelay = 7s;
    // Bounds the connect, the join and the leave.
    std::chrono::milliseconds timeout = 10s;
    bool disconnectOnSessionLoss = true;
    bool connectOnSubscribe = true;
    int maxRetryAttempts = 5;
    std::optional<QString> logLevel;
};

struct FunctionsOptions {
    // "us-east-1" and the like; none lets the platform choose.
    std::optional<QString> region;
};

struct GlobalOptions {
    // Added to every HTTP request.
    HeaderList headers;
    // The HTTP session to use; the client makes its own when none is given. Must outlive it.
    QNetworkAccessManager *network = nullptr;
    // Time-out of every HTTP request (the longest wait for data).
    std::chrono::milliseconds requestTimeout = 30s;
    // The current time; the system clock when empty.
    std::function<QDateTime()> clock;
};

struct SupabaseClientOptions {
    AuthOptions auth;
    RealtimeOptions realtime;
    FunctionsOptions functions;
    GlobalOptions global;
};

} // namespace supabase
