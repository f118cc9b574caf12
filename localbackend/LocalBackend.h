#pragma once

#include "BackendContext.h"
#include "HttpRequest.h"

#include "core/Clock.h"

#include <QHttpServer>
#include <QJsonObject>
#include <QObject>

#include <memory>

namespace tindrel::localbackend {

class AuthApi;
class Database;
class FunctionsApi;
class ObjectStore;
class PendingResponse;
class RealtimeHub;
class SpeechRecognizer;
class StorageApi;
class TestControls;

// One process, one port: the auth, storage, edge-function and realtime services of the
// hosted backend, as far as the app uses them, over a SQLite database. Listens on the
// loopback interface only.
class LocalBackend : public QObject {
public:
    struct Options {
        quint16 port = 0;    // 0: any free port
        QString dataDir;     // database and objects; ignored with `memory`
        bool memory = false; // keep nothing on disk
        int jwtExpirySeconds = 3600;
        bool testControls = false;
        QString autoApproveGoogleEmail; // approve the Google page at once as this address
        QString modelDir;               // speech model; empty: the system's
        int passwordIterations = 0;     // 0: the hasher's default
        int realtimeIdleTimeoutMs = 60000;
        Clock clock = systemClock();
    };

    explicit LocalBackend(Options options, QObject *parent = nullptr);
    ~LocalBackend() override;

    // Opens the database and starts listening; false with the reason in `error`.
    bool start(QString *error);

    quint16 port() const { return m_port; }
    QString baseUrl() const { return m_context.baseUrl; }
    QByteArray anonKey() const { return m_context.anonKey; }
    AuthApi &auth() { return *m_auth; }

    // A bundle configuration that points the app at this server.
    QJsonObject bundleConfig() const;

private:
    void dispatch(const HttpRequest &request, const std::shared_ptr<PendingResponse> &response);
    void route(const HttpRequest &request, const std::shared_ptr<PendingResponse> &response);
    // The gateway's API-key check; an error reply when the key is missing or wrong.
    bool checkApiKey(const HttpRequest &request, const std::shared_ptr<PendingResponse> &response) const;
    void loadSecrets();

    Options m_options;
    BackendContext m_context;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<ObjectStore> m_objects;
    std::unique_ptr<SpeechRecognizer> m_recognizer;
    std::unique_ptr<AuthApi> m_auth;
    std::unique_ptr<StorageApi> m_storage;
    FunctionsApi *m_functions = nullptr;
    RealtimeHub *m_realtime = nullptr;
    std::unique_ptr<TestControls> m_controls;
    QHttpServer m_server;
    quint16 m_port = 0;
};

} // namespace tindrel::localbackend
