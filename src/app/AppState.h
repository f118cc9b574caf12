#pragma once

#include "app/AppLanguage.h"
#include "app/PendingTranscriptionRetry.h"
#include "app/StatusMessageKind.h"
#include "core/Clock.h"

#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace tindrel {

class Preferences;

// The one observable application state: the live capture-and-transcribe state, the user's
// preferences (written the moment they change) and the backend connection facts.
// Main thread only.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording WRITE setIsRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(bool isStartingRecording READ isStartingRecording WRITE setIsStartingRecording NOTIFY
                   isStartingRecordingChanged)
    Q_PROPERTY(bool isTranscribing READ isTranscribing WRITE setIsTranscribing NOTIFY isTranscribingChanged)
    Q_PROPERTY(QString statusMessage READ statusMessageText NOTIFY statusMessageChanged)
    Q_PROPERTY(tindrel::StatusMessageKind statusMessageKind READ statusMessageKind WRITE setStatusMessageKind NOTIFY
                   statusMessageKindChanged)
    Q_PROPERTY(
        QString transcriptionText READ transcriptionText WRITE setTranscriptionText NOTIFY transcriptionTextChanged)
    Q_PROPERTY(bool autoPasteEnabled READ autoPasteEnabled WRITE setAutoPasteEnabled NOTIFY autoPasteEnabledChanged)
    Q_PROPERTY(bool canRetryLastTranscription READ canRetryLastTranscription WRITE setCanRetryLastTranscription NOTIFY
                   canRetryLastTranscriptionChanged)
    Q_PROPERTY(qint64 historyPageSize READ historyPageSize WRITE setHistoryPageSize NOTIFY historyPageSizeChanged)
    Q_PROPERTY(double historyFontSize READ historyFontSize WRITE setHistoryFontSize NOTIFY historyFontSizeChanged)
    Q_PROPERTY(QString processingMode READ processingMode WRITE setProcessingMode NOTIFY processingModeChanged)
    Q_PROPERTY(tindrel::AppLanguage appLanguage READ appLanguage WRITE setAppLanguage NOTIFY appLanguageChanged)
    Q_PROPERTY(bool showRestartAlert READ showRestartAlert WRITE setShowRestartAlert NOTIFY showRestartAlertChanged)
    Q_PROPERTY(double transcriptionFontSize READ transcriptionFontSize WRITE setTranscriptionFontSize NOTIFY
                   transcriptionFontSizeChanged)
    Q_PROPERTY(bool alwaysOnTop READ alwaysOnTop WRITE setAlwaysOnTop NOTIFY alwaysOnTopChanged)
    Q_PROPERTY(
        bool showDeletedRecords READ showDeletedRecords WRITE setShowDeletedRecords NOTIFY showDeletedRecordsChanged)
    Q_PROPERTY(QString supabaseURL READ supabaseURL WRITE setSupabaseURL NOTIFY supabaseURLChanged)
    Q_PROPERTY(QString supabaseAnonKey READ supabaseAnonKey WRITE setSupabaseAnonKey NOTIFY supabaseAnonKeyChanged)
    Q_PROPERTY(QString accessToken READ accessToken WRITE setAccessToken NOTIFY accessTokenChanged)
    Q_PROPERTY(QString userEmail READ userEmailText NOTIFY userEmailChanged)
    Q_PROPERTY(QString supabaseRedirectURI READ supabaseRedirectURI WRITE setSupabaseRedirectURI NOTIFY
                   supabaseRedirectURIChanged)
    Q_PROPERTY(QUrl lastRecordingURL READ lastRecordingURLValue NOTIFY lastRecordingURLChanged)
    Q_PROPERTY(double lastRecordingDuration READ lastRecordingDuration WRITE setLastRecordingDuration NOTIFY
                   lastRecordingDurationChanged)
    Q_PROPERTY(qint64 lastRecordingFileSize READ lastRecordingFileSize WRITE setLastRecordingFileSize NOTIFY
                   lastRecordingFileSizeChanged)

public:
    // Placeholders of the "-uiTestingSkipAuth" switch; never sent anywhere.
    static constexpr const char *uiTestingAccessToken = "ui-testing-access-token";
    static constexpr const char *uiTestingUserEmail = "ui-testing@tindrel.invalid";
    static constexpr const char *uiTestingSwitch = "-uiTestingSkipAuth";

    // `bundleInfo` is the information dictionary (none when the bundle has none); the
    // arguments are the process's command line. Construction never fails.
    AppState(Preferences &preferences, std::optional<QJsonObject> bundleInfo, QStringList arguments,
             Clock clock = systemClock(), QObject *parent = nullptr);
    ~AppState() override;

    bool isRecording() const { return m_isRecording; }
    void setIsRecording(bool value);
    bool isStartingRecording() const { return m_isStartingRecording; }
    void setIsStartingRecording(bool value);
    bool isTranscribing() const { return m_isTranscribing; }
    void setIsTranscribing(bool value);
    const std::optional<QString> &statusMessage() const { return m_statusMessage; }
    QString statusMessageText() const { return m_statusMessage.value_or(QString()); }
    void setStatusMessage(std::optional<QString> value);
    StatusMessageKind statusMessageKind() const { return m_statusMessageKind; }
    void setStatusMessageKind(StatusMessageKind value);
    const QString &transcriptionText() const { return m_transcriptionText; }
    void setTranscriptionText(const QString &value);
    bool autoPasteEnabled() const { return m_autoPasteEnabled; }
    void setAutoPasteEnabled(bool value);
    bool canRetryLastTranscription() const { return m_canRetryLastTranscription; }
    void setCanRetryLastTranscription(bool value);
    bool suppressLanguageAlert() const { return m_suppressLanguageAlert; }
    void setSuppressLanguageAlert(bool value) { m_suppressLanguageAlert = value; }
    const std::optional<PendingTranscriptionRetry> &pendingTranscriptionRetry() const
    {
        return m_pendingTranscriptionRetry;
    }
    void setPendingTranscriptionRetry(std::optional<PendingTranscriptionRetry> value)
    {
        m_pendingTranscriptionRetry = std::move(value);
    }

    qint64 historyPageSize() const { return m_historyPageSize; }
    void setHistoryPageSize(qint64 value);
    double historyFontSize() const { return m_historyFontSize; }
    void setHistoryFontSize(double value);
    const QString &processingMode() const { return m_processingMode; }
    void setProcessingMode(const QString &value);
    AppLanguage appLanguage() const { return m_appLanguage; }
    void setAppLanguage(AppLanguage value);
    bool showRestartAlert() const { return m_showRestartAlert; }
    void setShowRestartAlert(bool value);
    double transcriptionFontSize() const { return m_transcriptionFontSize; }
    void setTranscriptionFontSize(double value);
    bool alwaysOnTop() const { return m_alwaysOnTop; }
    void setAlwaysOnTop(bool value);
    bool showDeletedRecords() const { return m_showDeletedRecords; }
    void setShowDeletedRecords(bool value);

    const QString &supabaseURL() const { return m_supabaseURL; }
    void setSupabaseURL(const QString &value);
    const QString &supabaseAnonKey() const { return m_supabaseAnonKey; }
    void setSupabaseAnonKey(const QString &value);
    const QString &accessToken() const { return m_accessToken; }
    void setAccessToken(const QString &value);
    const std::optional<QString> &userEmail() const { return m_userEmail; }
    QString userEmailText() const { return m_userEmail.value_or(QString()); }
    void setUserEmail(std::optional<QString> value);
    const QString &supabaseRedirectURI() const { return m_supabaseRedirectURI; }
    void setSupabaseRedirectURI(const QString &value);
    const std::optional<QUrl> &lastRecordingURL() const { return m_lastRecordingURL; }
    QUrl lastRecordingURLValue() const { return m_lastRecordingURL.value_or(QUrl()); }
    void setLastRecordingURL(std::optional<QUrl> value);
    double lastRecordingDuration() const { return m_lastRecordingDuration; }
    void setLastRecordingDuration(double value);
    qint64 lastRecordingFileSize() const { return m_lastRecordingFileSize; }
    void setLastRecordingFileSize(qint64 value);

    // The stored mode when the catalogue knows it; otherwise repairs it to "fast".
    QString resolvedProcessingMode();
    // "Restore Default Settings".
    void resetPreferences();

    Preferences &preferences() const { return m_preferences; }

    // Exposed for tests of the construction rules.
    static bool isAcceptedRedirectURI(const QString &value, const QJsonObject &bundleInfo);
    static bool isAcceptedBuildTimeToken(const QString &token, const QDateTime &now);

signals:
    void isRecordingChanged();
    void isStartingRecordingChanged();
    void isTranscribingChanged();
    void statusMessageChanged();
    void statusMessageKindChanged();
    void transcriptionTextChanged();
    void autoPasteEnabledChanged();
    void canRetryLastTranscriptionChanged();
    void historyPageSizeChanged();
    void historyFontSizeChanged();
    void processingModeChanged();
    void appLanguageChanged();
    void showRestartAlertChanged();
    void transcriptionFontSizeChanged();
    void alwaysOnTopChanged();
    void showDeletedRecordsChanged();
    void supabaseURLChanged();
    void supabaseAnonKeyChanged();
    void accessTokenChanged();
    void userEmailChanged();
    void supabaseRedirectURIChanged();
    void lastRecordingURLChanged();
    void lastRecordingDurationChanged();
    void lastRecordingFileSizeChanged();

private:
    void applyBundleInfo(const QJsonObject &info);
    void loadPreferences();
    void migrateProcessingMode();
    void applyLanguage();

    Preferences &m_preferences;
    Clock m_clock;

    bool m_isRecording = false;
    bool m_isStartingRecording = false;
    bool m_isTranscribing = false;
    std::optional<QString> m_statusMessage;
    StatusMessageKind m_statusMessageKind = StatusMessageKind::info;
    QString m_transcriptionText;
    bool m_autoPasteEnabled = true;
    bool m_canRetryLastTranscription = false;
    bool m_suppressLanguageAlert = true;
    std::optional<PendingTranscriptionRetry> m_pendingTranscriptionRetry;
    qint64 m_historyPageSize = 10;
    double m_historyFontSize = 13;
    QString m_processingMode = QStringLiteral("fast");
    AppLanguage m_appLanguage = AppLanguage::system;
    bool m_showRestartAlert = false;
    double m_transcriptionFontSize = 16;
    bool m_alwaysOnTop = false;
    bool m_showDeletedRecords = true;
    QString m_supabaseURL;
    QString m_supabaseAnonKey;
    QString m_accessToken;
    std::optional<QString> m_userEmail;
    QString m_supabaseRedirectURI;
    std::optional<QUrl> m_lastRecordingURL;
    double m_lastRecordingDuration = 0;
    qint64 m_lastRecordingFileSize = 0;
};

} // namespace tindrel
