#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <exception>
#include <optional>

namespace tindrel {

// The failures of the transcription pipeline. Plain values: copyable, compared by case and
// payload. The controller inspects the cases (401 → refresh the session, entitlement → fall
// back to the default mode); users see description().
class TranscribeError : public std::exception {
public:
    enum class Case {
        http,
        entitlementRequired,
        entitlementInactive,
        pendingUploadStorageLimit,
        invalidConfig,
        quotaExceeded,
        noText
    };

    using Headers = QList<QPair<QByteArray, QByteArray>>;

    static TranscribeError http(int status, const QString &message);
    static TranscribeError entitlementRequired(const std::optional<QString> &requestId = std::nullopt);
    static TranscribeError entitlementInactive(const std::optional<QString> &requestId = std::nullopt);
    static TranscribeError pendingUploadStorageLimit(const std::optional<QString> &requestId = std::nullopt);
    static TranscribeError invalidConfig();
    static TranscribeError quotaExceeded();
    static TranscribeError noText();

    // The error for a reply whose status is outside 200-299: the backend's structured codes
    // first, otherwise `http` with a readable message. Never fails.
    static TranscribeError fromReply(const QByteArray &body, int status, const Headers &headers);

    // The request id a message carries ("requestId=abc", "requestId: abc"), if any.
    static std::optional<QString> requestIdInMessage(const QString &message);

    // Whether the transcription request is worth sending again after this failure: gateway
    // statuses and connectivity failures (see TransportError).
    bool isRetryable() const;
    static bool isRetryable(const std::exception_ptr &failure);

    Case kind() const { return m_case; }
    int status() const { return m_status; }
    const QString &message() const { return m_message; }
    // The carried request id, or for `http` the one found in the message.
    std::optional<QString> requestId() const;

    QString description() const;
    const char *what() const noexcept override { return m_what.constData(); }

    friend bool operator==(const TranscribeError &a, const TranscribeError &b)
    {
        return a.m_case == b.m_case && a.m_status == b.m_status && a.m_message == b.m_message
               && a.m_requestId == b.m_requestId;
    }

private:
    // The readable message of a failed reply (JSON detail, gateway page title, plain text),
    // with the header's request id attached for support.
    static QString messageFromReply(const QByteArray &body, const Headers &headers);

    TranscribeError(Case kind, int status, QString message, std::optional<QString> requestId);

    Case m_case;
    int m_status = 0;
    QString m_message;
    std::optional<QString> m_requestId;
    QByteArray m_what;
};

} // namespace tindrel
