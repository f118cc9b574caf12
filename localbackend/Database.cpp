#include "Database.h"

#include "core/Log.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace tindrel::localbackend {
namespace {

QString toJsonText(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject fromJsonText(const QVariant &value) { return QJsonDocument::fromJson(value.toString().toUtf8()).object(); }

QVariant nullable(const QString &text)
{
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

// A null QString binds as SQL NULL; NOT NULL text columns get the empty text instead.
QVariant notNull(const QString &text) { return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text); }

std::optional<QString> optionalText(const QVariant &value)
{
    if (value.isNull())
        return std::nullopt;
    return value.toString();
}

// Binds positional values and runs the statement; logs and reports failure.
bool run(QSqlQuery &query, const QString &statement, const QVariantList &values)
{
    if (!query.prepare(statement)) {
        logLine(u"LocalBackend", QStringLiteral("SQL prepare failed: ") + query.lastError().text());
        return false;
    }
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        logLine(u"LocalBackend", QStringLiteral("SQL failed: ") + query.lastError().text());
        return false;
    }
    return true;
}

UserRecord readUser(const QSqlQuery &q)
{
    UserRecord user;
    user.id = q.value(0).toString();
    user.email = q.value(1).toString();
    user.passwordHash = q.value(2).toString();
    user.createdAt = q.value(3).toString();
    user.updatedAt = q.value(4).toString();
    user.lastSignInAt = q.value(5).toString();
    user.appMetadata = fromJsonText(q.value(6));
    user.userMetadata = fromJsonText(q.value(7));
    user.flags = fromJsonText(q.value(8));
    return user;
}

const QString userColumns = QStringLiteral(
    "id, email, password_hash, created_at, updated_at, last_sign_in_at, app_metadata, user_metadata, flags");
const QString flowColumns =
    QStringLiteral("id, auth_code, challenge, method, provider, redirect_to, user_id, created_at");
const QString transcriptionColumns = QStringLiteral(
    "id, user_id, text, duration, audio_url, created_at, audio_deleted_at, text_deleted_at, mode, file_size, status, "
    "store_key");
const QString slotColumns = QStringLiteral("id, user_id, store_key, file_size, content_type, expires_at");

FlowStateRecord readFlow(const QSqlQuery &q)
{
    FlowStateRecord flow;
    flow.id = q.value(0).toString();
    flow.authCode = q.value(1).toString();
    flow.challenge = q.value(2).toString();
    flow.method = q.value(3).toString();
    flow.provider = q.value(4).toString();
    flow.redirectTo = q.value(5).toString();
    flow.userId = q.value(6).toString();
    flow.createdAt = q.value(7).toLongLong();
    return flow;
}

TranscriptionRecord readTranscription(const QSqlQuery &q)
{
    TranscriptionRecord row;
    row.id = q.value(0).toLongLong();
    row.userId = q.value(1).toString();
    row.text = optionalText(q.value(2));
    row.duration = q.value(3).toLongLong();
    row.audioUrl = q.value(4).toString();
    row.createdAt = q.value(5).toString();
    row.audioDeletedAt = optionalText(q.value(6));
    row.textDeletedAt = optionalText(q.value(7));
    row.mode = q.value(8).toString();
    row.fileSize = q.value(9).toLongLong();
    row.status = q.value(10).toString();
    row.storeKey = q.value(11).toString();
    return row;
}

UploadSlotRecord readSlot(const QSqlQuery &q)
{
    UploadSlotRecord slot;
    slot.id = q.value(0).toString();
    slot.userId = q.value(1).toString();
    slot.storeKey = q.value(2).toString();
    slot.fileSize = q.value(3).toLongLong();
    slot.contentType = q.value(4).toString();
    slot.expiresAt = q.value(5).toLongLong();
    return slot;
}

// Escapes LIKE wildcards so a keyword matches literally.
QString likePattern(const QString &keyword)
{
    QString escaped = keyword;
    escaped.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'%', QStringLiteral("\\%"))
        .replace(u'_', QStringLiteral("\\_"));
    return u'%' + escaped + u'%';
}

QJsonValue optionalJson(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

} // namespace

QJsonObject TranscriptionRecord::toJson() const
{
    return QJsonObject{{"id", id},
                       {"user_id", userId},
                       {"text", optionalJson(text)},
                       {"duration", duration},
                       {"audio_url", audioUrl.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(audioUrl)},
                       {"created_at", createdAt},
                       {"audio_deleted_at", optionalJson(audioDeletedAt)},
                       {"text_deleted_at", optionalJson(textDeletedAt)},
                       {"mode", mode},
                       {"file_size", fileSize},
                       {"status", status}};
}

Database::Database(const QString &path)
    : m_connectionName(QStringLiteral("localbackend-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(path.isEmpty() ? QStringLiteral(":memory:") : path);
    if (!m_db.open()) {
        m_error = m_db.lastError().text();
        return;
    }
    exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    createSchema();
}

Database::~Database()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool Database::isOpen() const { return m_db.isOpen() && m_error.isEmpty(); }

QString Database::errorText() const { return m_error; }

bool Database::setReadOnly(bool readOnly)
{
    QSqlQuery query(m_db);
    return query.exec(readOnly ? QStringLiteral("PRAGMA query_only=ON") : QStringLiteral("PRAGMA query_only=OFF"));
}

bool Database::exec(const QString &statement)
{
    QSqlQuery query(m_db);
    if (!query.exec(statement)) {
        m_error = query.lastError().text();
        return false;
    }
    return true;
}

void Database::createSchema()
{
    const QStringList statements = {
        QStringLiteral("CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS users (id TEXT PRIMARY KEY, email TEXT NOT NULL UNIQUE COLLATE "
                       "NOCASE, password_hash TEXT NOT NULL DEFAULT '', created_at TEXT NOT NULL, updated_at TEXT "
                       "NOT NULL, last_sign_in_at TEXT, app_metadata TEXT NOT NULL DEFAULT '{}', user_metadata TEXT "
                       "NOT NULL DEFAULT '{}', flags TEXT NOT NULL DEFAULT '{}')"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS sessions (id TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES "
                       "users(id) ON DELETE CASCADE, method TEXT NOT NULL, created_at INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS refresh_tokens (token TEXT PRIMARY KEY, session_id TEXT NOT NULL "
                       "REFERENCES sessions(id) ON DELETE CASCADE, parent TEXT, revoked INTEGER NOT NULL DEFAULT 0)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS refresh_tokens_parent ON refresh_tokens(parent)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS flow_states (id TEXT PRIMARY KEY, auth_code TEXT NOT NULL UNIQUE, "
                       "challenge TEXT NOT NULL, method TEXT NOT NULL, provider TEXT NOT NULL, redirect_to TEXT NOT "
                       "NULL, user_id TEXT, created_at INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS transcriptions (id INTEGER PRIMARY KEY AUTOINCREMENT, user_id "
                       "TEXT NOT NULL, text TEXT, duration INTEGER NOT NULL DEFAULT 0, audio_url TEXT, created_at "
                       "TEXT NOT NULL, audio_deleted_at TEXT, text_deleted_at TEXT, mode TEXT NOT NULL DEFAULT "
                       "'fast', file_size INTEGER NOT NULL DEFAULT 0, status TEXT NOT NULL DEFAULT 'completed', "
                       "store_key TEXT)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS transcriptions_user ON transcriptions(user_id, created_at)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS upload_slots (id TEXT PRIMARY KEY, user_id TEXT NOT NULL, "
                       "store_key TEXT NOT NULL UNIQUE, file_size INTEGER NOT NULL, content_type TEXT NOT NULL, "
                       "expires_at INTEGER NOT NULL)"),
    };
    for (const QString &statement : statements) {
        if (!exec(statement))
            return;
    }
}

std::optional<QString> Database::setting(const QString &key)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT value FROM settings WHERE key = ?"), {key}) || !q.next())
        return std::nullopt;
    return q.value(0).toString();
}

void Database::setSetting(const QString &key, const QString &value)
{
    QSqlQuery q(m_db);
    run(q, QStringLiteral("INSERT OR REPLACE INTO settings (key, value) VALUES (?, ?)"), {key, value});
}

bool Database::insertUser(const UserRecord &user)
{
    QSqlQuery q(m_db);
    return run(
        q, QStringLiteral("INSERT INTO users (") + userColumns + QStringLiteral(") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        {user.id, user.email, notNull(user.passwordHash), user.createdAt, user.updatedAt, nullable(user.lastSignInAt),
         toJsonText(user.appMetadata), toJsonText(user.userMetadata), toJsonText(user.flags)});
}

std::optional<UserRecord> Database::userById(const QString &id)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT ") + userColumns + QStringLiteral(" FROM users WHERE id = ?"), {id})
        || !q.next())
        return std::nullopt;
    return readUser(q);
}

std::optional<UserRecord> Database::userByEmail(const QString &email)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT ") + userColumns + QStringLiteral(" FROM users WHERE email = ?"), {email})
        || !q.next())
        return std::nullopt;
    return readUser(q);
}

void Database::setUserFlags(const QString &userId, const QJsonObject &flags)
{
    QSqlQuery q(m_db);
    run(q, QStringLiteral("UPDATE users SET flags = ? WHERE id = ?"), {toJsonText(flags), userId});
}

void Database::setUserMetadata(const QString &userId, const QJsonObject &appMetadata, const QJsonObject &userMetadata)
{
    QSqlQuery q(m_db);
    run(q, QStringLiteral("UPDATE users SET app_metadata = ?, user_metadata = ? WHERE id = ?"),
        {toJsonText(appMetadata), toJsonText(userMetadata), userId});
}

bool Database::startSession(const SessionRecord &session, const RefreshTokenRecord &token, const QString &signInTime)
{
    if (!m_db.transaction())
        return false;
    QSqlQuery insertSession(m_db);
    QSqlQuery insertToken(m_db);
    QSqlQuery touch(m_db);
    const bool ok =
        run(insertSession, QStringLiteral("INSERT INTO sessions (id, user_id, method, created_at) VALUES (?, ?, ?, ?)"),
            {session.id, session.userId, notNull(session.method), session.createdAt})
        && run(insertToken,
               QStringLiteral("INSERT INTO refresh_tokens (token, session_id, parent, revoked) VALUES (?, ?, ?, ?)"),
               {token.token, token.sessionId, nullable(token.parent), token.revoked ? 1 : 0})
        && run(touch, QStringLiteral("UPDATE users SET last_sign_in_at = ?, updated_at = ? WHERE id = ?"),
               {signInTime, signInTime, session.userId});
    if (!ok || !m_db.commit()) {
        m_db.rollback();
        return false;
    }
    return true;
}

std::optional<SessionRecord> Database::session(const QString &id)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT id, user_id, method, created_at FROM sessions WHERE id = ?"), {id}) || !q.next())
        return std::nullopt;
    return SessionRecord{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toLongLong()};
}

bool Database::deleteSessions(const QString &userId, const QString &keep)
{
    QSqlQuery q(m_db);
    // The empty text, not NULL: "id <> NULL" would match nothing.
    return run(q, QStringLiteral("DELETE FROM sessions WHERE user_id = ? AND id <> ?"), {userId, notNull(keep)});
}

bool Database::deleteSession(const QString &id)
{
    QSqlQuery q(m_db);
    return run(q, QStringLiteral("DELETE FROM sessions WHERE id = ?"), {id});
}

std::optional<RefreshTokenRecord> Database::refreshToken(const QString &token)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT token, session_id, parent, revoked FROM refresh_tokens WHERE token = ?"),
             {token})
        || !q.next())
        return std::nullopt;
    return RefreshTokenRecord{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                              q.value(3).toInt() != 0};
}

std::optional<RefreshTokenRecord> Database::childToken(const QString &token)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT token, session_id, parent, revoked FROM refresh_tokens WHERE parent = ?"),
             {token})
        || !q.next())
        return std::nullopt;
    return RefreshTokenRecord{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                              q.value(3).toInt() != 0};
}

Database::Rotation Database::rotateRefreshToken(const QString &parent, const RefreshTokenRecord &child)
{
    if (!m_db.transaction())
        return Rotation::Failed;
    QSqlQuery revoke(m_db);
    if (!run(revoke, QStringLiteral("UPDATE refresh_tokens SET revoked = 1 WHERE token = ? AND revoked = 0"),
             {parent})) {
        m_db.rollback();
        return Rotation::Failed;
    }
    if (revoke.numRowsAffected() != 1) {
        m_db.rollback();
        return Rotation::AlreadyRevoked;
    }
    QSqlQuery insert(m_db);
    if (!run(insert,
             QStringLiteral("INSERT INTO refresh_tokens (token, session_id, parent, revoked) VALUES "
                            "(?, ?, ?, 0)"),
             {child.token, child.sessionId, parent})
        || !m_db.commit()) {
        m_db.rollback();
        return Rotation::Failed;
    }
    return Rotation::Rotated;
}

bool Database::insertFlowState(const FlowStateRecord &flow)
{
    QSqlQuery q(m_db);
    return run(q,
               QStringLiteral("INSERT INTO flow_states (") + flowColumns
                   + QStringLiteral(") VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
               {flow.id, flow.authCode, notNull(flow.challenge), notNull(flow.method), notNull(flow.provider),
                notNull(flow.redirectTo), nullable(flow.userId), flow.createdAt});
}

std::optional<FlowStateRecord> Database::flowStateById(const QString &id)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT ") + flowColumns + QStringLiteral(" FROM flow_states WHERE id = ?"), {id})
        || !q.next())
        return std::nullopt;
    return readFlow(q);
}

std::optional<FlowStateRecord> Database::flowStateByCode(const QString &code)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT ") + flowColumns + QStringLiteral(" FROM flow_states WHERE auth_code = ?"),
             {code})
        || !q.next())
        return std::nullopt;
    return readFlow(q);
}

bool Database::approveFlowState(const QString &id, const QString &userId)
{
    QSqlQuery q(m_db);
    return run(q, QStringLiteral("UPDATE flow_states SET user_id = ? WHERE id = ?"), {userId, id});
}

bool Database::deleteFlowState(const QString &id)
{
    QSqlQuery q(m_db);
    return run(q, QStringLiteral("DELETE FROM flow_states WHERE id = ?"), {id});
}

void Database::pruneFlowStates(qint64 cutoff)
{
    QSqlQuery q(m_db);
    run(q, QStringLiteral("DELETE FROM flow_states WHERE created_at < ?"), {cutoff});
}

qint64 Database::insertTranscription(const TranscriptionRecord &row)
{
    QSqlQuery q(m_db);
    const QVariant text = row.text ? QVariant(*row.text) : QVariant(QMetaType::fromType<QString>());
    if (!run(q,
             QStringLiteral("INSERT INTO transcriptions (user_id, text, duration, audio_url, created_at, mode, "
                            "file_size, status, store_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
             {row.userId, text, row.duration, nullable(row.audioUrl), row.createdAt, notNull(row.mode), row.fileSize,
              notNull(row.status), nullable(row.storeKey)}))
        return 0;
    return q.lastInsertId().toLongLong();
}

std::optional<TranscriptionRecord> Database::transcription(qint64 id)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT ") + transcriptionColumns + QStringLiteral(" FROM transcriptions WHERE id = ?"),
             {id})
        || !q.next())
        return std::nullopt;
    return readTranscription(q);
}

QList<TranscriptionRecord> Database::history(const HistoryQuery &query, qint64 *totalCount)
{
    QString where = QStringLiteral(" WHERE user_id = ?");
    QVariantList values{query.userId};
    if (!query.includeDeleted)
        where += QStringLiteral(" AND text_deleted_at IS NULL");
    if (!query.keyword.isEmpty()) {
        where += QStringLiteral(" AND text LIKE ? ESCAPE '\\'");
        values.append(likePattern(query.keyword));
    }
    if (!query.startTime.isEmpty()) {
        where += QStringLiteral(" AND created_at >= ?");
        values.append(query.startTime);
    }
    if (!query.endTime.isEmpty()) {
        where += QStringLiteral(" AND created_at <= ?");
        values.append(query.endTime);
    }
    QSqlQuery count(m_db);
    *totalCount = run(count, QStringLiteral("SELECT COUNT(*) FROM transcriptions") + where, values) && count.next()
                      ? count.value(0).toLongLong()
                      : 0;
    QSqlQuery q(m_db);
    QList<TranscriptionRecord> rows;
    if (!run(q,
             QStringLiteral("SELECT ") + transcriptionColumns + QStringLiteral(" FROM transcriptions") + where
                 + QStringLiteral(" ORDER BY created_at DESC, id DESC LIMIT ? OFFSET ?"),
             values + QVariantList{query.limit, query.offset}))
        return rows;
    while (q.next())
        rows.append(readTranscription(q));
    return rows;
}

void Database::softDeleteTranscription(qint64 id, const QString &when)
{
    QSqlQuery q(m_db);
    run(q,
        QStringLiteral("UPDATE transcriptions SET text = NULL, text_deleted_at = COALESCE(text_deleted_at, ?), "
                       "audio_deleted_at = COALESCE(audio_deleted_at, ?) WHERE id = ?"),
        {when, when, id});
}

void Database::insertUploadSlot(const UploadSlotRecord &slot)
{
    QSqlQuery q(m_db);
    run(q, QStringLiteral("INSERT INTO upload_slots (") + slotColumns + QStringLiteral(") VALUES (?, ?, ?, ?, ?, ?)"),
        {slot.id, slot.userId, slot.storeKey, slot.fileSize, notNull(slot.contentType), slot.expiresAt});
}

std::optional<UploadSlotRecord> Database::uploadSlot(const QString &id)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT ") + slotColumns + QStringLiteral(" FROM upload_slots WHERE id = ?"), {id})
        || !q.next())
        return std::nullopt;
    return readSlot(q);
}

std::optional<UploadSlotRecord> Database::uploadSlotByKey(const QString &storeKey)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT ") + slotColumns + QStringLiteral(" FROM upload_slots WHERE store_key = ?"),
             {storeKey})
        || !q.next())
        return std::nullopt;
    return readSlot(q);
}

void Database::deleteUploadSlot(const QString &id)
{
    QSqlQuery q(m_db);
    run(q, QStringLiteral("DELETE FROM upload_slots WHERE id = ?"), {id});
}

QStringList Database::pruneUploadSlots(qint64 now)
{
    QStringList keys;
    QSqlQuery q(m_db);
    if (run(q, QStringLiteral("SELECT store_key FROM upload_slots WHERE expires_at <= ?"), {now})) {
        while (q.next())
            keys.append(q.value(0).toString());
    }
    QSqlQuery remove(m_db);
    run(remove, QStringLiteral("DELETE FROM upload_slots WHERE expires_at <= ?"), {now});
    return keys;
}

qint64 Database::pendingUploadBytes(const QString &userId, qint64 now)
{
    QSqlQuery q(m_db);
    if (!run(
            q,
            QStringLiteral("SELECT COALESCE(SUM(file_size), 0) FROM upload_slots WHERE user_id = ? AND expires_at > ?"),
            {userId, now})
        || !q.next())
        return 0;
    return q.value(0).toLongLong();
}

} // namespace tindrel::localbackend
