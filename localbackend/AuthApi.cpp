#include "AuthApi.h"

#include "BackendContext.h"
#include "JsonFields.h"
#include "Jwt.h"
#include "PasswordHasher.h"
#include "Secrets.h"
#include "Timestamp.h"

#include "core/BuildConfig.h"
#include "core/Log.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QUuid>

namespace tindrel::localbackend {
namespace {

const QString component = QStringLiteral("LocalBackend");

QString newUuid() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

// Form bodies encode spaces as '+', which QUrlQuery leaves alone.
QUrlQuery formBody(const QByteArray &body)
{
    QByteArray text = body;
    text.replace('+', "%20");
    return QUrlQuery(QString::fromUtf8(text));
}

bool isEmailAddress(const QString &email)
{
    static const QRegularExpression pattern(QStringLiteral("^[^@\\s]+@[^@\\s]+\\.[^@\\s]+$"));
    return pattern.match(email).hasMatch();
}

HttpReply badJson(const HttpRequest &request, const QString &detail)
{
    return AuthApi::errorReply(request, 400, QStringLiteral("bad_json"),
                               QStringLiteral("Could not parse request body as JSON: ") + detail);
}

// The database refused a write: nothing was stored, so no tokens may go out.
HttpReply storageFailure(const HttpRequest &request)
{
    return AuthApi::errorReply(request, 500, QStringLiteral("unexpected_failure"),
                               QStringLiteral("Unexpected failure, please check server logs for more information"));
}

bool validChallenge(const QString &challenge)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._~-]{43,128}$"));
    return pattern.match(challenge).hasMatch();
}

// Loopback addresses and the app's own scheme may receive codes; anything else falls back
// to the site address, as the hosted service does with URLs outside its allow list.
bool allowedRedirect(const QUrl &url)
{
    if (!url.isValid() || url.scheme().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String(build::urlScheme))
        return true;
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;
    const QString host = url.host().toLower();
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") || host == QLatin1String("::1");
}

HttpReply redirect(const QUrl &target)
{
    return HttpReply::empty(302).withHeader("Location", target.toString(QUrl::FullyEncoded).toUtf8());
}

QString identityId(const QString &userId, const QString &provider)
{
    return QUuid::createUuidV5(QUuid::fromString(userId), provider).toString(QUuid::WithoutBraces);
}

} // namespace

AuthApi::AuthApi(BackendContext &context) : m_context(context) {}

HttpReply AuthApi::errorReply(const HttpRequest &request, int status, const QString &code, const QString &message)
{
    const QByteArray version = request.header("x-supabase-api-version").trimmed();
    HttpReply reply;
    // Dated versions compare as text; anything from 2024-01-01 on gets the newer shape.
    if (!version.isEmpty() && version >= QByteArray("2024-01-01")) {
        reply = HttpReply::json(status, QJsonObject{{"code", code}, {"message", message}});
        reply.withHeader("X-Supabase-Api-Version", "2024-01-01");
    } else {
        QJsonObject body{{"code", status}, {"error_code", code}, {"msg", message}};
        if (status >= 500)
            body.insert(QStringLiteral("error_id"), newUuid());
        reply = HttpReply::json(status, body);
    }
    reply.withHeader("x-sb-error-code", code.toUtf8());
    return reply;
}

HttpReply AuthApi::handle(const QString &subPath, const HttpRequest &request)
{
    const QByteArray &method = request.method;
    if (subPath == QLatin1String("/token") && method == "POST")
        return token(request);
    if (subPath == QLatin1String("/logout") && method == "POST")
        return logout(request);
    if (subPath == QLatin1String("/user") && method == "GET")
        return user(request);
    if (subPath == QLatin1String("/signup") && method == "POST")
        return signup(request);
    if (subPath == QLatin1String("/authorize") && method == "GET")
        return authorize(request);
    if (subPath == QLatin1String("/callback") && method == "POST")
        return callback(request);
    if (subPath == QLatin1String("/settings") && method == "GET") {
        return HttpReply::json(200, QJsonObject{{"external", QJsonObject{{"email", true}, {"google", true}}},
                                                {"disable_signup", false},
                                                {"mailer_autoconfirm", true}});
    }
    if (subPath == QLatin1String("/health") && method == "GET")
        return HttpReply::json(200, QJsonObject{{"name", "GoTrue"}, {"description", "local stand-in"}});
    return errorReply(request, 404, QStringLiteral("not_found"), QStringLiteral("Not Found"));
}

HttpReply AuthApi::token(const HttpRequest &request)
{
    QString parseError;
    const auto body = request.jsonObject(&parseError);
    const QString grant = request.query.queryItemValue(QStringLiteral("grant_type"));
    if (!body)
        return badJson(request, parseError);
    if (grant == QLatin1String("password"))
        return passwordGrant(request, *body);
    if (grant == QLatin1String("refresh_token"))
        return refreshGrant(request, *body);
    if (grant == QLatin1String("pkce"))
        return pkceGrant(request, *body);
    return errorReply(request, 400, QStringLiteral("invalid_credentials"), QStringLiteral("unsupported_grant_type"));
}

HttpReply AuthApi::passwordGrant(const HttpRequest &request, const QJsonObject &body)
{
    bool typesOk = true;
    const QString email = jsonString(body, "email", &typesOk).trimmed();
    const QString phone = jsonString(body, "phone", &typesOk).trimmed();
    const QString password = jsonString(body, "password", &typesOk);
    if (!typesOk)
        return badJson(request, QStringLiteral("email, phone and password must be strings"));
    if (email.isEmpty() && phone.isEmpty())
        return errorReply(request, 400, QStringLiteral("validation_failed"), QStringLiteral("missing email or phone"));
    const QString invalid = QStringLiteral("Invalid login credentials");
    if (email.isEmpty()) // no phone accounts here
        return errorReply(request, 400, QStringLiteral("invalid_credentials"), invalid);
    const auto found = m_context.db->userByEmail(email);
    if (!found || found->passwordHash.isEmpty() || !PasswordHasher::verify(password, found->passwordHash))
        return errorReply(request, 400, QStringLiteral("invalid_credentials"), invalid);
    if (found->flags.value(QStringLiteral("banned")).toBool())
        return errorReply(request, 400, QStringLiteral("user_banned"), QStringLiteral("User is banned"));
    const auto session = startSession(*found, QStringLiteral("password"));
    if (!session)
        return storageFailure(request);
    logLine(component, QStringLiteral("Password sign-in for user ") + found->id);
    return HttpReply::json(200, *session);
}

HttpReply AuthApi::refreshGrant(const HttpRequest &request, const QJsonObject &body)
{
    bool typesOk = true;
    const QString token = jsonString(body, "refresh_token", &typesOk);
    if (!typesOk)
        return badJson(request, QStringLiteral("refresh_token must be a string"));
    static const QRegularExpression legacy(QStringLiteral("^[a-z0-9]{12}$"));
    if (token.size() < 12 || (token.size() == 12 && !legacy.match(token).hasMatch()))
        return errorReply(request, 400, QStringLiteral("validation_failed"),
                          QStringLiteral("Refresh token is not valid"));
    Database &db = *m_context.db;
    const auto stored = db.refreshToken(token);
    if (!stored) {
        return errorReply(request, 400, QStringLiteral("refresh_token_not_found"),
                          QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    }
    const auto session = db.session(stored->sessionId);
    const auto owner = session ? db.userById(session->userId) : std::nullopt;
    if (!session || !owner) {
        return errorReply(request, 400, QStringLiteral("session_not_found"),
                          QStringLiteral("Invalid Refresh Token: No Valid Session Found"));
    }
    if (owner->flags.value(QStringLiteral("banned")).toBool())
        return errorReply(request, 400, QStringLiteral("user_banned"),
                          QStringLiteral("Invalid Refresh Token: User Banned"));
    if (!stored->revoked) {
        const RefreshTokenRecord child{QString::fromLatin1(randomToken(32)), session->id, stored->token, false};
        const Database::Rotation rotation = db.rotateRefreshToken(stored->token, child);
        if (rotation == Database::Rotation::Failed)
            return storageFailure(request);
        if (rotation == Database::Rotation::AlreadyRevoked) {
            return errorReply(request, 409, QStringLiteral("conflict"),
                              QStringLiteral("Too many concurrent token refresh requests on the same session or "
                                             "refresh token"));
        }
        return HttpReply::json(200, sessionResponse(*owner, *session, child.token));
    }
    // The token just before the current one may come back (a client that lost the reply,
    // or two refreshes at once): answer with the current token again instead of rotating.
    const auto child = db.childToken(stored->token);
    if (child && !child->revoked)
        return HttpReply::json(200, sessionResponse(*owner, *session, child->token));
    // Anything older means the token leaked or the client is confused: end the session.
    logLine(component, QStringLiteral("Refresh token reuse; ending session ") + session->id);
    if (!db.deleteSession(session->id))
        return storageFailure(request);
    return errorReply(request, 400, QStringLiteral("refresh_token_already_used"),
                      QStringLiteral("Invalid Refresh Token: Already Used"));
}

HttpReply AuthApi::pkceGrant(const HttpRequest &request, const QJsonObject &body)
{
    bool typesOk = true;
    const QString code = jsonString(body, "auth_code", &typesOk);
    const QString verifier = jsonString(body, "code_verifier", &typesOk);
    if (!typesOk)
        return badJson(request, QStringLiteral("auth_code and code_verifier must be strings"));
    if (code.isEmpty() || verifier.isEmpty()) {
        return errorReply(request, 400, QStringLiteral("validation_failed"),
                          QStringLiteral("invalid request: both auth code and code verifier should be non-empty"));
    }
    Database &db = *m_context.db;
    const auto flow = db.flowStateByCode(code);
    if (!flow || flow->userId.isEmpty()) {
        return errorReply(request, 404, QStringLiteral("flow_state_not_found"),
                          QStringLiteral("invalid flow state, no valid flow state found"));
    }
    if (m_context.nowSeconds() - flow->createdAt > flowStateLifetimeSeconds) {
        db.deleteFlowState(flow->id);
        return errorReply(request, 422, QStringLiteral("flow_state_expired"),
                          QStringLiteral("invalid flow state, flow state has expired"));
    }
    const QByteArray expected = flow->method == QLatin1String("s256")
                                    ? QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                          .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
                                    : verifier.toUtf8();
    if (!constantTimeEquals(expected, flow->challenge.toUtf8())) {
        return errorReply(request, 400, QStringLiteral("bad_code_verifier"),
                          QStringLiteral("code challenge does not match previously saved code verifier"));
    }
    // The code is single-use: it must be gone before a session is handed out for it.
    if (!db.deleteFlowState(flow->id))
        return storageFailure(request);
    const auto owner = db.userById(flow->userId);
    if (!owner) {
        return errorReply(request, 404, QStringLiteral("flow_state_not_found"),
                          QStringLiteral("invalid flow state, no valid flow state found"));
    }
    auto response = startSession(*owner, QStringLiteral("oauth"));
    if (!response)
        return storageFailure(request);
    logLine(component, QStringLiteral("PKCE code exchanged for user ") + owner->id);
    response->insert(QStringLiteral("provider_token"), QString::fromLatin1(randomToken(24)));
    return HttpReply::json(200, *response);
}

Authentication AuthApi::authenticate(const QByteArray &token)
{
    Authentication auth;
    auto fail = [&auth](int status, const char *code, const QString &message) {
        auth.status = status;
        auth.code = QString::fromLatin1(code);
        auth.message = message;
        return auth;
    };
    if (token.isEmpty())
        return fail(401, "no_authorization", QStringLiteral("This endpoint requires a valid Bearer token"));
    QString error;
    const auto claims = Jwt::verify(token, m_context.jwtSecret, &error);
    const QString prefix = QStringLiteral("invalid JWT: unable to parse or verify signature, ");
    if (!claims)
        return fail(403, "bad_jwt", prefix + error);
    if (!claims->value(QStringLiteral("exp")).isDouble()
        || claims->value(QStringLiteral("exp")).toInteger() <= m_context.nowSeconds())
        return fail(403, "bad_jwt", prefix + QStringLiteral("token has invalid claims: token is expired"));
    const QString subject = claims->value(QStringLiteral("sub")).toString();
    if (subject.isEmpty())
        return fail(403, "bad_jwt", QStringLiteral("invalid claim: missing sub claim"));
    if (QUuid::fromString(subject).isNull())
        return fail(400, "bad_jwt", QStringLiteral("invalid claim: sub claim must be a UUID"));
    auth.claims = *claims;
    const auto found = m_context.db->userById(subject);
    if (!found)
        return fail(403, "user_not_found", QStringLiteral("User from sub claim in JWT does not exist"));
    const QString sessionId = claims->value(QStringLiteral("session_id")).toString();
    if (!sessionId.isEmpty() && !m_context.db->session(sessionId))
        return fail(403, "session_not_found", QStringLiteral("Session from session_id claim in JWT does not exist"));
    if (found->flags.value(QStringLiteral("banned")).toBool())
        return fail(403, "user_banned", QStringLiteral("User is banned"));
    auth.user = found;
    auth.sessionId = sessionId;
    return auth;
}

HttpReply AuthApi::authFailure(const HttpRequest &request, const Authentication &auth)
{
    return errorReply(request, auth.status, auth.code, auth.message);
}

HttpReply AuthApi::logout(const HttpRequest &request)
{
    const Authentication auth = authenticate(request.bearerToken());
    if (!auth.ok())
        return authFailure(request, auth);
    const QString scope = request.query.hasQueryItem(QStringLiteral("scope"))
                              ? request.query.queryItemValue(QStringLiteral("scope"))
                              : QStringLiteral("global");
    if (scope != QLatin1String("global") && scope != QLatin1String("local") && scope != QLatin1String("others")) {
        return errorReply(request, 400, QStringLiteral("validation_failed"),
                          QStringLiteral("Unsupported logout scope \"%1\"").arg(scope));
    }
    Database &db = *m_context.db;
    // A token without a session id can only mean "everything".
    bool deleted = false;
    if (scope == QLatin1String("global") || auth.sessionId.isEmpty())
        deleted = db.deleteSessions(auth.user->id);
    else if (scope == QLatin1String("local"))
        deleted = db.deleteSession(auth.sessionId);
    else
        deleted = db.deleteSessions(auth.user->id, auth.sessionId);
    if (!deleted)
        return storageFailure(request);
    logLine(component, QStringLiteral("Sign-out (%1) for user %2").arg(scope, auth.user->id));
    return HttpReply::empty(204);
}

HttpReply AuthApi::user(const HttpRequest &request)
{
    const Authentication auth = authenticate(request.bearerToken());
    if (!auth.ok())
        return authFailure(request, auth);
    return HttpReply::json(200, userJson(*auth.user));
}

HttpReply AuthApi::signup(const HttpRequest &request)
{
    QString parseError;
    const auto body = request.jsonObject(&parseError);
    if (!body)
        return badJson(request, parseError);
    bool typesOk = true;
    const QString email = jsonString(*body, "email", &typesOk).trimmed();
    const QString password = jsonString(*body, "password", &typesOk);
    if (!typesOk)
        return badJson(request, QStringLiteral("email and password must be strings"));
    if (!isEmailAddress(email))
        return errorReply(request, 400, QStringLiteral("validation_failed"),
                          QStringLiteral("Unable to validate email address: invalid format"));
    if (password.size() < 6) {
        HttpReply reply = errorReply(request, 422, QStringLiteral("weak_password"),
                                     QStringLiteral("Password should be at least 6 characters."));
        return reply;
    }
    QString id;
    if (!createUser(email, password, &id))
        return errorReply(request, 422, QStringLiteral("user_already_exists"),
                          QStringLiteral("User already registered"));
    const auto created = m_context.db->userById(id);
    const auto session = created ? startSession(*created, QStringLiteral("password")) : std::nullopt;
    if (!session)
        return storageFailure(request);
    return HttpReply::json(200, *session);
}

bool AuthApi::createUser(const QString &email, const QString &password, QString *userId)
{
    if (!isEmailAddress(email) || m_context.db->userByEmail(email))
        return false;
    const QString now = isoTimestamp(m_context.now());
    UserRecord user;
    user.id = newUuid();
    user.email = email.toLower();
    user.passwordHash = PasswordHasher::hash(password, m_passwordIterations);
    user.createdAt = now;
    user.updatedAt = now;
    user.appMetadata = QJsonObject{{"provider", "email"}, {"providers", QJsonArray{"email"}}};
    if (!m_context.db->insertUser(user))
        return false;
    if (userId)
        *userId = user.id;
    return true;
}

QJsonObject AuthApi::userJson(const UserRecord &user) const
{
    QJsonArray identities;
    const QJsonArray providers = user.appMetadata.value(QStringLiteral("providers")).toArray();
    for (const QJsonValue &value : providers) {
        const QString provider = value.toString();
        const QString providerUserId =
            provider == QLatin1String("email") ? user.id : user.userMetadata.value(QStringLiteral("sub")).toString();
        identities.append(
            QJsonObject{{"identity_id", identityId(user.id, provider)},
                        {"id", providerUserId},
                        {"user_id", user.id},
                        {"identity_data", QJsonObject{{"email", user.email}, {"sub", providerUserId}}},
                        {"provider", provider},
                        {"email", user.email},
                        {"created_at", user.createdAt},
                        {"updated_at", user.updatedAt},
                        {"last_sign_in_at", user.lastSignInAt.isEmpty() ? user.createdAt : user.lastSignInAt}});
    }
    QJsonObject json{{"id", user.id},
                     {"aud", "authenticated"},
                     {"role", "authenticated"},
                     {"email", user.email},
                     {"phone", ""},
                     {"email_confirmed_at", user.createdAt},
                     {"confirmed_at", user.createdAt},
                     {"app_metadata", user.appMetadata},
                     {"user_metadata", user.userMetadata},
                     {"identities", identities},
                     {"created_at", user.createdAt},
                     {"updated_at", user.updatedAt},
                     {"is_anonymous", false}};
    if (!user.lastSignInAt.isEmpty())
        json.insert(QStringLiteral("last_sign_in_at"), user.lastSignInAt);
    return json;
}

std::optional<QJsonObject> AuthApi::startSession(const UserRecord &user, const QString &method)
{
    const SessionRecord session{newUuid(), user.id, method, m_context.nowSeconds()};
    const RefreshTokenRecord token{QString::fromLatin1(randomToken(32)), session.id, {}, false};
    const QString now = isoTimestamp(m_context.now());
    if (!m_context.db->startSession(session, token, now)) {
        logLine(component, QStringLiteral("Could not store a new session for user ") + user.id);
        return std::nullopt;
    }
    UserRecord signedIn = user;
    signedIn.lastSignInAt = now;
    signedIn.updatedAt = now;
    return sessionResponse(signedIn, session, token.token);
}

QJsonObject AuthApi::sessionResponse(const UserRecord &user, const SessionRecord &session, const QString &refreshToken)
{
    const qint64 now = m_context.nowSeconds();
    const qint64 expiresAt = now + m_context.jwtExpirySeconds;
    const QJsonObject claims{
        {"iss", m_context.baseUrl + QStringLiteral("/auth/v1")},
        {"sub", user.id},
        {"aud", "authenticated"},
        {"exp", expiresAt},
        {"iat", now},
        {"email", user.email},
        {"phone", ""},
        {"app_metadata", user.appMetadata},
        {"user_metadata", user.userMetadata},
        {"role", "authenticated"},
        {"aal", "aal1"},
        {"amr", QJsonArray{QJsonObject{{"method", session.method}, {"timestamp", session.createdAt}}}},
        {"session_id", session.id},
        {"is_anonymous", false}};
    return QJsonObject{{"access_token", QString::fromLatin1(Jwt::sign(claims, m_context.jwtSecret))},
                       {"token_type", "bearer"},
                       {"expires_in", m_context.jwtExpirySeconds},
                       {"expires_at", expiresAt},
                       {"refresh_token", refreshToken},
                       {"user", userJson(user)}};
}

HttpReply AuthApi::authorize(const HttpRequest &request)
{
    const QUrlQuery &query = request.query;
    const QString provider = query.queryItemValue(QStringLiteral("provider"));
    if (provider != QLatin1String("google")) {
        return errorReply(request, 400, QStringLiteral("validation_failed"),
                          QStringLiteral("Unsupported provider: provider is not enabled"));
    }
    const QString challenge = query.queryItemValue(QStringLiteral("code_challenge"), QUrl::FullyDecoded);
    const QString method = query.queryItemValue(QStringLiteral("code_challenge_method")).toLower();
    if (challenge.isEmpty() != method.isEmpty()) {
        return errorReply(request, 400, QStringLiteral("validation_failed"),
                          QStringLiteral("PKCE flow requires code_challenge_method and code_challenge"));
    }
    if (!challenge.isEmpty()) {
        if (method != QLatin1String("s256") && method != QLatin1String("plain"))
            return errorReply(request, 400, QStringLiteral("validation_failed"),
                              QStringLiteral("code challenge method not supported"));
        if (!validChallenge(challenge))
            return errorReply(request, 400, QStringLiteral("validation_failed"),
                              QStringLiteral("code challenge has to be between 43 and 128 characters and only "
                                             "contain alphanumeric characters, hyphens, periods, underscores and "
                                             "tildes"));
    }
    const QUrl redirectTo(query.queryItemValue(QStringLiteral("redirect_to"), QUrl::FullyDecoded));
    FlowStateRecord flow;
    flow.id = newUuid();
    flow.authCode = newUuid();
    flow.challenge = challenge;
    flow.method = method;
    flow.provider = provider;
    flow.redirectTo =
        allowedRedirect(redirectTo) ? redirectTo.toString(QUrl::FullyEncoded) : m_context.baseUrl + QStringLiteral("/");
    flow.createdAt = m_context.nowSeconds();
    m_context.db->pruneFlowStates(flow.createdAt - flowStateLifetimeSeconds);
    if (!m_context.db->insertFlowState(flow))
        return storageFailure(request);
    if (!m_autoApproveEmail.isEmpty()) {
        const auto owner = googleUser(m_autoApproveEmail, {});
        if (owner)
            return finishFlow(request, flow, *owner);
    }
    return signInPage(flow);
}

HttpReply AuthApi::callback(const HttpRequest &request)
{
    const QUrlQuery form = formBody(request.body);
    const auto flow = m_context.db->flowStateById(form.queryItemValue(QStringLiteral("flow_id"), QUrl::FullyDecoded));
    if (!flow || !flow->userId.isEmpty() || m_context.nowSeconds() - flow->createdAt > flowStateLifetimeSeconds) {
        return HttpReply::text(400,
                               "<!doctype html><title>Sign-in expired</title><p>This sign-in has expired or was "
                               "already used. Start again from Tindrel.</p>",
                               "text/html; charset=utf-8");
    }
    QUrl target(flow->redirectTo);
    if (form.queryItemValue(QStringLiteral("action")) == QLatin1String("cancel")) {
        m_context.db->deleteFlowState(flow->id);
        const QList<QPair<QString, QString>> items{
            {QStringLiteral("error"), QStringLiteral("access_denied")},
            {QStringLiteral("error_code"), QStringLiteral("access_denied")},
            {QStringLiteral("error_description"), QStringLiteral("The user cancelled the sign-in")}};
        QUrlQuery query(target);
        QUrlQuery fragment;
        for (const auto &[key, value] : items) {
            query.addQueryItem(key, QString::fromLatin1(QUrl::toPercentEncoding(value)));
            fragment.addQueryItem(key, QString::fromLatin1(QUrl::toPercentEncoding(value)));
        }
        fragment.addQueryItem(QStringLiteral("sb"), QString());
        target.setQuery(query);
        target.setFragment(fragment.toString(QUrl::FullyEncoded), QUrl::StrictMode);
        return redirect(target);
    }
    const QString email = form.queryItemValue(QStringLiteral("email"), QUrl::FullyDecoded).trimmed();
    if (!isEmailAddress(email))
        return signInPage(*flow, QStringLiteral("Enter an e-mail address such as someone@example.com."));
    const auto owner = googleUser(email, form.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded).trimmed());
    if (!owner)
        return signInPage(*flow, QStringLiteral("This account could not be created."));
    return finishFlow(request, *flow, *owner);
}

std::optional<UserRecord> AuthApi::googleUser(const QString &email, const QString &name)
{
    Database &db = *m_context.db;
    auto existing = db.userByEmail(email);
    if (existing) {
        QJsonArray providers = existing->appMetadata.value(QStringLiteral("providers")).toArray();
        if (!providers.contains(QStringLiteral("google"))) {
            providers.append(QStringLiteral("google"));
            existing->appMetadata.insert(QStringLiteral("providers"), providers);
            if (!existing->userMetadata.contains(QStringLiteral("sub")))
                existing->userMetadata.insert(QStringLiteral("sub"), QString::number(qHash(email), 10));
            db.setUserMetadata(existing->id, existing->appMetadata, existing->userMetadata);
        }
        return existing;
    }
    const QString now = isoTimestamp(m_context.now());
    const QString displayName = name.isEmpty() ? email.section(u'@', 0, 0) : name;
    const QString googleSubject = QString::number(qHash(email.toLower()), 10);
    UserRecord user;
    user.id = newUuid();
    user.email = email.toLower();
    user.createdAt = now;
    user.updatedAt = now;
    user.appMetadata = QJsonObject{{"provider", "google"}, {"providers", QJsonArray{"google"}}};
    user.userMetadata = QJsonObject{{"email", user.email},
                                    {"email_verified", true},
                                    {"full_name", displayName},
                                    {"name", displayName},
                                    {"iss", "https://accounts.google.com"},
                                    {"provider_id", googleSubject},
                                    {"sub", googleSubject}};
    if (!db.insertUser(user))
        return std::nullopt;
    return user;
}

HttpReply AuthApi::finishFlow(const HttpRequest &request, const FlowStateRecord &flow, const UserRecord &user)
{
    QUrl target(flow.redirectTo);
    if (flow.challenge.isEmpty()) {
        // Implicit flow: the tokens travel in the fragment, keys sorted.
        if (!m_context.db->deleteFlowState(flow.id))
            return storageFailure(request);
        const auto session = startSession(user, QStringLiteral("oauth"));
        if (!session)
            return storageFailure(request);
        QUrlQuery fragment;
        for (const char *key : {"access_token", "expires_at", "expires_in", "refresh_token"}) {
            const QJsonValue value = session->value(QLatin1String(key));
            fragment.addQueryItem(QLatin1String(key),
                                  value.isString() ? value.toString() : QString::number(value.toInteger()));
        }
        fragment.addQueryItem(QStringLiteral("sb"), QString());
        fragment.addQueryItem(QStringLiteral("token_type"), QStringLiteral("bearer"));
        target.setFragment(fragment.toString(QUrl::FullyEncoded), QUrl::StrictMode);
        return redirect(target);
    }
    if (!m_context.db->approveFlowState(flow.id, user.id))
        return storageFailure(request);
    QUrlQuery query(target);
    query.addQueryItem(QStringLiteral("code"), flow.authCode);
    target.setQuery(query);
    logLine(component, QStringLiteral("Google sign-in approved for user ") + user.id);
    return redirect(target);
}

HttpReply AuthApi::signInPage(const FlowStateRecord &flow, const QString &error)
{
    const QString errorLine =
        error.isEmpty() ? QString() : QStringLiteral("<p class=\"error\">%1</p>").arg(error.toHtmlEscaped());
    const QString page =
        QStringLiteral(
            "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Sign in with Google (local)</title>"
            "<style>body{font-family:sans-serif;max-width:28em;margin:3em auto;padding:0 1em}"
            "label{display:block;margin:.8em 0 .2em}input[type=text],input[type=email]{width:100%;padding:.4em}"
            "button{margin-top:1em;margin-right:.5em;padding:.5em 1.2em}.error{color:#b00020}"
            "small{color:#555}</style></head><body>"
            "<h1>Sign in with Google</h1>"
            "<p><small>Tindrel local backend: this page stands in for Google. Choose the identity to sign in "
            "with; nothing leaves this computer.</small></p>%1"
            "<form method=\"post\" action=\"%2/auth/v1/callback\">"
            "<input type=\"hidden\" name=\"flow_id\" value=\"%3\">"
            "<label for=\"email\">Google account e-mail</label>"
            "<input type=\"email\" id=\"email\" name=\"email\" value=\"google.user@tindrel.local\" required>"
            "<label for=\"name\">Name</label>"
            "<input type=\"text\" id=\"name\" name=\"name\" value=\"Local Google User\">"
            "<button type=\"submit\" name=\"action\" value=\"approve\">Continue</button>"
            "<button type=\"submit\" name=\"action\" value=\"cancel\" formnovalidate>Cancel</button>"
            "</form></body></html>")
            .arg(errorLine, m_context.baseUrl.toHtmlEscaped(), flow.id.toHtmlEscaped());
    return HttpReply::text(200, page.toUtf8(), "text/html; charset=utf-8");
}

} // namespace tindrel::localbackend
