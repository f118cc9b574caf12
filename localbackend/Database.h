#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <optional>

namespace tindrel::localbackend {

struct UserRecord {
    QString id;
    QString email;
    QString passwordHash; // empty for accounts without a password (Google only)
    QString createdAt;    // RFC 3339
    QString updatedAt;
    QString lastSignInAt; // empty when never
    QJsonObject appMetadata;
    QJsonObject userMetadata;
    QJsonObject flags; // test switches for quota and entitlement checks
};

struct SessionRecord {
    QString id;
    QString userId;
    QString method;       // "password" or "oauth": the amr entry of its access tokens
    qint64 createdAt = 0; // Unix seconds
};

struct RefreshTokenRecord {
    QString token;
    QString sessionId;
    QString parent;
    bool revoked = false;
};

struct FlowStateRecord {
    QString id;
    QString authCode;
    QString challenge;
    QString method;
    QString provider;
    QString redirectTo;
    QString userId;       // empty until the sign-in page approved it
    qint64 createdAt = 0; // Unix seconds
};

struct TranscriptionRecord {
    qint64 id = 0;
    QString userId;
    std::optional<QString> text;
    qint64 duration = 0;
    QString audioUrl;
    QString createdAt; // Postgres text form
    std::optional<QString> audioDeletedAt;
    std::optional<QString> textDeletedAt;
    QString mode;
    qint64 fileSize = 0;
    QString status;
    QString storeKey;

    // The row as the API shows it (history items, realtime records); the key stays inside.
    QJsonObject toJson() const;
};

struct UploadSlotRecord {
    QString id;
    QString userId;
    QString storeKey;
    qint64 fileSize = 0;
    QString contentType;
    qint64 expiresAt = 0; // Unix seconds
};

struct HistoryQuery {
    QString userId;
    qint64 limit = 20;
    qint64 offset = 0;
    QString keyword;
    QString startTime; // Postgres text form, inclusive; empty = open
    QString endTime;   // Postgres text form, inclusive; empty = open
    bool includeDeleted = false;
};

// The backend's tables in one SQLite database (a file under the data folder, or in memory).
// Every method runs one statement or one transaction, so a crash never leaves half a change.
class Database {
public:
    // `path` empty: in memory.
    explicit Database(const QString &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool isOpen() const;
    QString errorText() const;
    // Refuses every write from now on (tests of failing storage); false when not applied.
    bool setReadOnly(bool readOnly);

    std::optional<QString> setting(const QString &key);
    void setSetting(const QString &key, const QString &value);

    bool insertUser(const UserRecord &user);
    std::optional<UserRecord> userById(const QString &id);
    std::optional<UserRecord> userByEmail(const QString &email);
    void setUserFlags(const QString &userId, const QJsonObject &flags);
    void setUserMetadata(const QString &userId, const QJsonObject &appMetadata, const QJsonObject &userMetadata);

    // Stores a new session with its first refresh token and records the sign-in time, all or
    // nothing; false when the database refused.
    bool startSession(const SessionRecord &session, const RefreshTokenRecord &token, const QString &signInTime);
    std::optional<SessionRecord> session(const QString &id);
    // Deletes sessions with their refresh tokens; `keep` survives (scope "others").
    bool deleteSessions(const QString &userId, const QString &keep = {});
    bool deleteSession(const QString &id);

    std::optional<RefreshTokenRecord> refreshToken(const QString &token);
    // The token issued after `token` (its child), if any.
    std::optional<RefreshTokenRecord> childToken(const QString &token);
    enum class Rotation { Rotated, AlreadyRevoked, Failed };
    // Revokes `parent` and stores its successor in one transaction.
    Rotation rotateRefreshToken(const QString &parent, const RefreshTokenRecord &child);

    bool insertFlowState(const FlowStateRecord &flow);
    std::optional<FlowStateRecord> flowStateById(const QString &id);
    std::optional<FlowStateRecord> flowStateByCode(const QString &code);
    bool approveFlowState(const QString &id, const QString &userId);
    bool deleteFlowState(const QString &id);
    // Forgets flows started before `cutoff` (Unix seconds).
    void pruneFlowStates(qint64 cutoff);

    qint64 insertTranscription(const TranscriptionRecord &row);
    std::optional<TranscriptionRecord> transcription(qint64 id);
    QList<TranscriptionRecord> history(const HistoryQuery &query, qint64 *totalCount);
    // Marks text and audio as deleted and forgets the text.
    void softDeleteTranscription(qint64 id, const QString &when);

    void insertUploadSlot(const UploadSlotRecord &slot);
    std::optional<UploadSlotRecord> uploadSlot(const QString &id);
    std::optional<UploadSlotRecord> uploadSlotByKey(const QString &storeKey);
    void deleteUploadSlot(const QString &id);
    // Removes slots that expired unused and returns their object keys.
    QStringList pruneUploadSlots(qint64 now);
    // Bytes announced by the user's slots that were neither used nor released.
    qint64 pendingUploadBytes(const QString &userId, qint64 now);

private:
    bool exec(const QString &statement);
    void createSchema();

    QString m_connectionName;
    QSqlDatabase m_db;
    QString m_error;
};

} // namespace tindrel::localbackend
