#include "LocalBackend.h"

#include "AuthApi.h"
#include "Database.h"
#include "FunctionsApi.h"
#include "HttpReply.h"
#include "Jwt.h"
#include "ObjectStore.h"
#include "PendingResponse.h"
#include "RealtimeHub.h"
#include "Secrets.h"
#include "SpeechRecognizer.h"
#include "StorageApi.h"
#include "TestControls.h"

#include "core/BundleInfo.h"
#include "core/Log.h"

#include <QDir>
#include <QHttpServerRequest>
#include <QTimer>

namespace tindrel::localbackend {
namespace {

const QString component = QStringLiteral("LocalBackend");

// Fixed issue time, so the keys stay the same for as long as the secret does.
constexpr qint64 keyIssuedAt = 1767225600; // 2026-01-01
constexpr qint64 keyLifetime = 10LL * 365 * 24 * 3600;

void sendGatewayError(const std::shared_ptr<PendingResponse> &response, const QString &message, const QString &hint)
{
    response->send(HttpReply::json(401, QJsonObject{{"message", message}, {"hint", hint}}));
}

} // namespace

LocalBackend::LocalBackend(Options options, QObject *parent) : QObject(parent), m_options(std::move(options))
{
    m_context.clock = m_options.clock ? m_options.clock : systemClock();
    m_context.jwtExpirySeconds = m_options.jwtExpirySeconds;
}

LocalBackend::~LocalBackend() = default;

bool LocalBackend::start(QString *error)
{
    QString dbPath;
    QString objectsDir;
    if (!m_options.memory) {
        if (!QDir().mkpath(m_options.dataDir)) {
            *error = QStringLiteral("Cannot create the data folder ") + m_options.dataDir;
            return false;
        }
        dbPath = QDir(m_options.dataDir).filePath(QStringLiteral("backend.sqlite3"));
        objectsDir = QDir(m_options.dataDir).filePath(QStringLiteral("objects"));
    }
    m_db = std::make_unique<Database>(dbPath);
    if (!m_db->isOpen()) {
        *error = QStringLiteral("Cannot open the database: ") + m_db->errorText();
        return false;
    }
    m_objects = std::make_unique<ObjectStore>(objectsDir);
    m_context.db = m_db.get();
    m_context.objects = m_objects.get();
    loadSecrets();

    m_port = m_server.listen(QHostAddress::LocalHost, m_options.port);
    if (m_port == 0) {
        *error = QStringLiteral("Cannot listen on 127.0.0.1:%1").arg(m_options.port);
        return false;
    }
    m_context.baseUrl = QStringLiteral("http://127.0.0.1:%1").arg(m_port);

    m_recognizer = std::make_unique<SpeechRecognizer>(m_options.modelDir.isEmpty() ? SpeechRecognizer::defaultModelDir()
                                                                                   : m_options.modelDir);
    m_auth = std::make_unique<AuthApi>(m_context);
    m_auth->setAutoApproveIdentity(m_options.autoApproveGoogleEmail);
    if (m_options.passwordIterations > 0)
        m_auth->setPasswordIterations(m_options.passwordIterations);
    m_storage = std::make_unique<StorageApi>(m_context);
    m_functions = new FunctionsApi(m_context, *m_auth, *m_storage, *m_recognizer, this);
    m_realtime = new RealtimeHub(m_context, *m_auth, this);
    m_realtime->setIdleTimeout(m_options.realtimeIdleTimeoutMs);
    m_functions->setInsertListener([this](const TranscriptionRecord &row) { m_realtime->publishInsert(row); });
    if (m_options.testControls) {
        m_controls = std::make_unique<TestControls>(m_context, *m_auth, *m_functions);
        m_controls->setRealtimeDisconnect([this] { return m_realtime->disconnectAll(); });
    }

    // The WebSocket upgrade needs a route of its own; the server hands the socket over
    // after the handler returns, so the handler writes nothing for an upgrade.
    m_server.route(QStringLiteral("/realtime/v1/websocket"),
                   [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                       if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) != 0) {
                           PendingResponse(std::move(responder))
                               .send(HttpReply::json(400, QJsonObject{{"error", "WebSocket upgrade expected"}}));
                       }
                   });
    connect(&m_server, &QHttpServer::newWebSocketConnection, this, [this] {
        while (m_server.hasPendingWebSocketConnections())
            m_realtime->accept(m_server.nextPendingWebSocketConnection());
    });

    m_server.setMissingHandler([this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        dispatch(HttpRequest::from(request), std::make_shared<PendingResponse>(std::move(responder)));
    });
    return true;
}

void LocalBackend::loadSecrets()
{
    const auto stored = m_db->setting(QStringLiteral("jwt_secret"));
    if (stored && stored->size() >= 32) {
        m_context.jwtSecret = stored->toLatin1();
    } else {
        m_context.jwtSecret = randomToken(48);
        m_db->setSetting(QStringLiteral("jwt_secret"), QString::fromLatin1(m_context.jwtSecret));
    }
    auto key = [this](const char *role) {
        return Jwt::sign(QJsonObject{{"iss", "supabase"},
                                     {"ref", "tindrel-local"},
                                     {"role", role},
                                     {"iat", keyIssuedAt},
                                     {"exp", keyIssuedAt + keyLifetime}},
                         m_context.jwtSecret);
    };
    m_context.anonKey = key("anon");
    m_context.serviceKey = key("service_role");
}

QJsonObject LocalBackend::bundleConfig() const
{
    // The app's own dictionary (identifier, version, URL scheme, redirect URI), pointed here.
    QJsonObject config = BundleInfo::compiledIn();
    config.insert(QStringLiteral("SupabaseURL"), m_context.baseUrl);
    config.insert(QStringLiteral("SupabaseAnonKey"), QString::fromLatin1(m_context.anonKey));
    return config;
}

bool LocalBackend::checkApiKey(const HttpRequest &request, const std::shared_ptr<PendingResponse> &response) const
{
    QByteArray key = request.header("apikey");
    if (key.isEmpty())
        key = request.query.queryItemValue(QStringLiteral("apikey"), QUrl::FullyDecoded).toUtf8();
    if (key.isEmpty()) {
        sendGatewayError(response, QStringLiteral("No API key found in request"),
                         QStringLiteral("No `apikey` request header or url param was found."));
        return false;
    }
    if (!constantTimeEquals(key, m_context.anonKey) && !constantTimeEquals(key, m_context.serviceKey)) {
        sendGatewayError(response, QStringLiteral("Invalid API key"),
                         QStringLiteral("Double check your Supabase `anon` or `service_role` API key."));
        return false;
    }
    return true;
}

void LocalBackend::dispatch(const HttpRequest &request, const std::shared_ptr<PendingResponse> &response)
{
    if (!m_controls || request.path.startsWith(TestControls::prefix)) {
        route(request, response);
        return;
    }
    m_controls->record(request);
    const auto fault = m_controls->takeFault(request);
    if (!fault) {
        route(request, response);
        return;
    }
    auto apply = [this, request, response, fault = *fault] {
        if (fault.drop) {
            response->drop();
        } else if (fault.status) {
            HttpReply reply = HttpReply::empty(*fault.status);
            reply.body = fault.body;
            reply.headers = fault.headers;
            response->send(reply);
        } else {
            route(request, response);
        }
    };
    if (fault->delayMs > 0)
        QTimer::singleShot(fault->delayMs, this, apply);
    else
        apply();
}

void LocalBackend::route(const HttpRequest &request, const std::shared_ptr<PendingResponse> &response)
{
    const QString &path = request.path;
    auto respond = [response](const HttpReply &reply) { response->send(reply); };
    if (path.startsWith(QLatin1String("/auth/v1/"))) {
        const QString sub = path.mid(8);
        // The browser opens these without headers.
        const bool open =
            sub == QLatin1String("/authorize") || sub == QLatin1String("/callback") || sub == QLatin1String("/verify");
        if (open || checkApiKey(request, response))
            respond(m_auth->handle(sub, request));
        return;
    }
    if (path.startsWith(QLatin1String("/functions/v1/"))) {
        if (checkApiKey(request, response))
            m_functions->handle(path.mid(14), request, respond);
        return;
    }
    if (path.startsWith(QLatin1String("/storage/v1/"))) {
        respond(m_storage->handle(path.mid(11), request));
        return;
    }
    if (m_controls && path.startsWith(TestControls::prefix)) {
        respond(m_controls->handle(path.mid(TestControls::prefix.size()), request));
        return;
    }
    if (path == QLatin1String("/") && request.method == "GET") {
        respond(HttpReply::text(200,
                                "<!doctype html><title>Tindrel local backend</title><p>Tindrel local backend is "
                                "running. You can close this page.</p>",
                                "text/html; charset=utf-8"));
        return;
    }
    respond(HttpReply::json(404, QJsonObject{{"message", "no Route matched with those values"}}));
}

} // namespace tindrel::localbackend
