#include "app/AppState.h"

#include "backend/ProcessingModeService.h"
#include "core/BuildConfig.h"
#include "core/Preferences.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace tindrel {
namespace {

namespace Key {
constexpr auto historyPageSize = "historyPageSize";
constexpr auto historyFontSize = "historyFontSize";
constexpr auto processingMode = "processingMode";
constexpr auto legacyProcessingMode = "transcriptionModel";
constexpr auto migrationCount = "processingModeMigrationCount";
constexpr auto unknownMigrationCount = "processingModeUnknownMigrationCount";
constexpr auto appLanguage = "appLanguage";
constexpr auto appleLanguages = "AppleLanguages";
constexpr auto transcriptionFontSize = "transcriptionFontSize";
constexpr auto alwaysOnTop = "alwaysOnTop";
constexpr auto showDeletedRecords = "showDeletedRecords";
} // namespace Key

// A value still beginning with "$(" is an unexpanded build variable.
bool isUsableBundleString(const QJsonValue &value)
{
    return value.isString() && !value.toString().isEmpty() && !value.toString().startsWith(u"$(");
}

QStringList registeredSchemes(const QJsonObject &info)
{
    QStringList schemes;
    for (const QJsonValue &type : info.value(u"CFBundleURLTypes").toArray())
        for (const QJsonValue &scheme : type.toObject().value(u"CFBundleURLSchemes").toArray())
            if (scheme.isString() && !scheme.toString().contains(u"$("))
                schemes << scheme.toString();
    return schemes;
}

std::optional<QJsonObject> decodeClaims(const QString &token)
{
    const QStringList parts = token.split(u'.');
    if (parts.size() < 2)
        return std::nullopt;
    QString payload = parts.at(1);
    payload.replace(u'-', u'+').replace(u'_', u'/');
    while (payload.size() % 4 != 0)
        payload += u'=';
    const auto decoded = QByteArray::fromBase64Encoding(payload.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(*decoded, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

template<typename T, typename Signal>
void assign(AppState *self, T &field, const T &value, Signal signal)
{
    if (field == value)
        return;
    field = value;
    emit(self->*signal)();
}

} // namespace

AppState::AppState(Preferences &preferences, std::optional<QJsonObject> bundleInfo, QStringList arguments, Clock clock,
                   QObject *parent)
    : QObject(parent), m_preferences(preferences), m_clock(std::move(clock)),
      m_supabaseURL(QString::fromUtf8(build::defaultSupabaseURL)),
      m_supabaseAnonKey(QString::fromUtf8(build::defaultSupabaseAnonKey))
{
    m_suppressLanguageAlert = true;
    if (bundleInfo)
        applyBundleInfo(*bundleInfo);
    loadPreferences();
    if (arguments.contains(QLatin1String(uiTestingSwitch))) {
        m_accessToken = QString::fromUtf8(uiTestingAccessToken);
        m_userEmail = QString::fromUtf8(uiTestingUserEmail);
    }
    m_suppressLanguageAlert = false;
}

AppState::~AppState() = default;

void AppState::applyBundleInfo(const QJsonObject &info)
{
    if (const QJsonValue url = info.value(u"SupabaseURL"); isUsableBundleString(url)) {
        if (const QUrl parsed(url.toString(), QUrl::StrictMode); parsed.isValid())
            m_supabaseURL = url.toString();
    }
    if (const QJsonValue key = info.value(u"SupabaseAnonKey"); isUsableBundleString(key))
        m_supabaseAnonKey = key.toString();

    if (const QJsonValue redirect = info.value(u"SupabaseRedirectURI");
        redirect.isString() && isAcceptedRedirectURI(redirect.toString(), info))
        m_supabaseRedirectURI = redirect.toString();

    if (const QJsonValue token = info.value(u"SupabaseAccessToken");
        token.isString() && isAcceptedBuildTimeToken(token.toString(), m_clock()))
        m_accessToken = token.toString();
}

bool AppState::isAcceptedRedirectURI(const QString &value, const QJsonObject &bundleInfo)
{
    if (value.isEmpty() || value.contains(u"$("))
        return false;
    const QUrl url(value, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return false;
    if (url.host().compare(u"auth-callback", Qt::CaseInsensitive) != 0)
        return false;
    if (!url.path().isEmpty() || url.hasQuery() || url.hasFragment() || !url.userName().isEmpty()
        || !url.password().isEmpty() || url.port() != -1)
        return false;
    const QStringList schemes = registeredSchemes(bundleInfo);
    return std::any_of(schemes.begin(), schemes.end(),
                       [&](const QString &scheme) { return scheme.compare(url.scheme(), Qt::CaseInsensitive) == 0; });
}

bool AppState::isAcceptedBuildTimeToken(const QString &token, const QDateTime &now)
{
    const auto claims = decodeClaims(token);
    if (!claims)
        return false;
    if (claims->value(u"role").toString() != u"authenticated" || !claims->value(u"role").isString())
        return false;
    if (!claims->value(u"sub").isString())
        return false;
    if (const QJsonValue exp = claims->value(u"exp"); exp.isDouble()) {
        const double limit = static_cast<double>(now.toSecsSinceEpoch()) + 30.0;
        if (!(exp.toDouble() > limit))
            return false;
    }
    return true;
}

void AppState::loadPreferences()
{
    if (const qint64 size = m_preferences.integer(Key::historyPageSize); size > 0)
        setHistoryPageSize(size);
    if (const double size = m_preferences.real(Key::historyFontSize); size > 0)
        setHistoryFontSize(size);
    migrateProcessingMode();
    const QString language = m_preferences.string(Key::appLanguage).value_or(QStringLiteral("system"));
    setAppLanguage(appLanguageFromRawValue(language).value_or(AppLanguage::system));
    if (const double size = m_preferences.real(Key::transcriptionFontSize); size > 0)
        setTranscriptionFontSize(size);
    setAlwaysOnTop(m_preferences.boolean(Key::alwaysOnTop));
    if (m_preferences.contains(Key::showDeletedRecords))
        setShowDeletedRecords(m_preferences.boolean(Key::showDeletedRecords));
}

void AppState::migrateProcessingMode()
{
    const ProcessingModeService &modes = ProcessingModeService::shared();
    const std::optional<QString> stored = m_preferences.string(Key::processingMode);
    const std::optional<QString> legacy = stored ? std::nullopt : m_preferences.string(Key::legacyProcessingMode);
    QString candidate = stored.value_or(legacy.value_or(QString::fromUtf8(ProcessingModeService::defaultMode)));
    const bool known = modes.isValid(candidate);
    if (!known)
        candidate = QString::fromUtf8(ProcessingModeService::defaultMode);
    setProcessingMode(candidate);
    if (legacy) {
        m_preferences.setValue(Key::migrationCount, m_preferences.integer(Key::migrationCount) + 1);
        if (!known)
            m_preferences.setValue(Key::unknownMigrationCount, m_preferences.integer(Key::unknownMigrationCount) + 1);
    }
    m_preferences.remove(Key::legacyProcessingMode);
}

void AppState::applyLanguage()
{
    if (m_appLanguage == AppLanguage::system)
        m_preferences.remove(Key::appleLanguages);
    else
        m_preferences.setValue(Key::appleLanguages, QStringList{rawValue(m_appLanguage)});
    m_preferences.flush();
    if (!m_suppressLanguageAlert)
        setShowRestartAlert(true);
}

QString AppState::resolvedProcessingMode()
{
    if (ProcessingModeService::shared().isValid(m_processingMode))
        return m_processingMode;
    setProcessingMode(QString::fromUtf8(ProcessingModeService::defaultMode));
    return m_processingMode;
}

void AppState::resetPreferences()
{
    setHistoryPageSize(10);
    setHistoryFontSize(13);
    setProcessingMode(QString::fromUtf8(ProcessingModeService::defaultMode));
    setAppLanguage(AppLanguage::system);
    setTranscriptionFontSize(16);
    setAlwaysOnTop(false);
    setAutoPasteEnabled(true);
    setShowDeletedRecords(true);
}

// Live state.
void AppState::setIsRecording(bool v) { assign(this, m_isRecording, v, &AppState::isRecordingChanged); }
void AppState::setIsStartingRecording(bool v)
{
    assign(this, m_isStartingRecording, v, &AppState::isStartingRecordingChanged);
}
void AppState::setIsTranscribing(bool v) { assign(this, m_isTranscribing, v, &AppState::isTranscribingChanged); }
void AppState::setStatusMessage(std::optional<QString> v)
{
    assign(this, m_statusMessage, v, &AppState::statusMessageChanged);
}
void AppState::setStatusMessageKind(StatusMessageKind v)
{
    assign(this, m_statusMessageKind, v, &AppState::statusMessageKindChanged);
}
void AppState::setTranscriptionText(const QString &v)
{
    assign(this, m_transcriptionText, v, &AppState::transcriptionTextChanged);
}
void AppState::setAutoPasteEnabled(bool v) { assign(this, m_autoPasteEnabled, v, &AppState::autoPasteEnabledChanged); }
void AppState::setCanRetryLastTranscription(bool v)
{
    assign(this, m_canRetryLastTranscription, v, &AppState::canRetryLastTranscriptionChanged);
}
void AppState::setShowRestartAlert(bool v) { assign(this, m_showRestartAlert, v, &AppState::showRestartAlertChanged); }

// Preferences: written on every assignment, before observers hear of the change.
void AppState::setHistoryPageSize(qint64 v)
{
    m_preferences.setValue(Key::historyPageSize, v);
    assign(this, m_historyPageSize, v, &AppState::historyPageSizeChanged);
}
void AppState::setHistoryFontSize(double v)
{
    m_preferences.setValue(Key::historyFontSize, v);
    assign(this, m_historyFontSize, v, &AppState::historyFontSizeChanged);
}
void AppState::setProcessingMode(const QString &v)
{
    m_preferences.setValue(Key::processingMode, v);
    assign(this, m_processingMode, v, &AppState::processingModeChanged);
}
void AppState::setAppLanguage(AppLanguage v)
{
    if (v == AppLanguage::system)
        m_preferences.remove(Key::appLanguage);
    else
        m_preferences.setValue(Key::appLanguage, rawValue(v));
    m_preferences.flush();
    const bool changed = m_appLanguage != v;
    m_appLanguage = v;
    applyLanguage();
    if (changed)
        emit appLanguageChanged();
}
void AppState::setTranscriptionFontSize(double v)
{
    m_preferences.setValue(Key::transcriptionFontSize, v);
    assign(this, m_transcriptionFontSize, v, &AppState::transcriptionFontSizeChanged);
}
void AppState::setAlwaysOnTop(bool v)
{
    m_preferences.setValue(Key::alwaysOnTop, v);
    assign(this, m_alwaysOnTop, v, &AppState::alwaysOnTopChanged);
}
void AppState::setShowDeletedRecords(bool v)
{
    m_preferences.setValue(Key::showDeletedRecords, v);
    assign(this, m_showDeletedRecords, v, &AppState::showDeletedRecordsChanged);
}

// Backend connection facts.
void AppState::setSupabaseURL(const QString &v) { assign(this, m_supabaseURL, v, &AppState::supabaseURLChanged); }
void AppState::setSupabaseAnonKey(const QString &v)
{
    assign(this, m_supabaseAnonKey, v, &AppState::supabaseAnonKeyChanged);
}
void AppState::setAccessToken(const QString &v) { assign(this, m_accessToken, v, &AppState::accessTokenChanged); }
void AppState::setUserEmail(std::optional<QString> v) { assign(this, m_userEmail, v, &AppState::userEmailChanged); }
void AppState::setSupabaseRedirectURI(const QString &v)
{
    assign(this, m_supabaseRedirectURI, v, &AppState::supabaseRedirectURIChanged);
}
void AppState::setLastRecordingURL(std::optional<QUrl> v)
{
    assign(this, m_lastRecordingURL, v, &AppState::lastRecordingURLChanged);
}
void AppState::setLastRecordingDuration(double v)
{
    assign(this, m_lastRecordingDuration, v, &AppState::lastRecordingDurationChanged);
}
void AppState::setLastRecordingFileSize(qint64 v)
{
    assign(this, m_lastRecordingFileSize, v, &AppState::lastRecordingFileSizeChanged);
}

} // namespace tindrel
