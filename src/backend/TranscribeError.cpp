#include "backend/TranscribeError.h"

#include "backend/JsonMembers.h"
#include "backend/TransportError.h"
#include "core/Localizer.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace tindrel {

namespace {

constexpr qsizetype maximumDetailLength = 280;

bool isGatewayStatus(int status) { return status == 502 || status == 503 || status == 504; }

// HTTP header names are case-insensitive; gateways send this one in every spelling.
QString headerRequestId(const TranscribeError::Headers &headers)
{
    for (const auto &[name, value] : headers)
        if (name.compare("X-Request-Id", Qt::CaseInsensitive) == 0)
            return QString::fromUtf8(value);
    return {};
}

QString decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(bytes);
    return decoder.hasError() ? QString() : text;
}

// The first `count` user-perceived characters, so a cut never splits a surrogate pair or an
// accented letter.
QString leftCharacters(const QString &text, qsizetype count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype taken = 0;
    while (taken < count && finder.toNextBoundary() != -1)
        ++taken;
    return taken < count ? text : text.left(finder.position());
}

QString gatewayTitle(const QString &page)
{
    static const QRegularExpression title(QStringLiteral("<title[^>]*>(.*?)</title>"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression tags(QStringLiteral("</?title[^>]*>"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = title.match(page);
    QString text = match.hasMatch() ? match.captured(0) : QString();
    text = text.remove(tags).trimmed();
    return text.isEmpty() ? QStringLiteral("HTML error page") : text;
}

std::optional<QString> jsonDetail(const QJsonObject &object)
{
    if (object.value(u"message").isString())
        return object.value(u"message").toString();
    const QJsonValue error = object.value(u"error");
    if (error.isObject() && error.toObject().value(u"message").isString())
        return error.toObject().value(u"message").toString();
    if (error.isString())
        return error.toString();
    return std::nullopt;
}

} // namespace

TranscribeError::TranscribeError(Case kind, int status, QString message, std::optional<QString> requestId)
    : m_case(kind), m_status(status), m_message(std::move(message)), m_requestId(std::move(requestId)),
      m_what(description().toUtf8())
{}

TranscribeError TranscribeError::http(int status, const QString &message)
{
    return {Case::http, status, message, std::nullopt};
}

TranscribeError TranscribeError::entitlementRequired(const std::optional<QString> &requestId)
{
    return {Case::entitlementRequired, 0, {}, requestId};
}

TranscribeError TranscribeError::entitlementInactive(const std::optional<QString> &requestId)
{
    return {Case::entitlementInactive, 0, {}, requestId};
}

TranscribeError TranscribeError::pendingUploadStorageLimit(const std::optional<QString> &requestId)
{
    return {Case::pendingUploadStorageLimit, 0, {}, requestId};
}

TranscribeError TranscribeError::invalidConfig() { return {Case::invalidConfig, 0, {}, std::nullopt}; }

TranscribeError TranscribeError::quotaExceeded() { return {Case::quotaExceeded, 0, {}, std::nullopt}; }

TranscribeError TranscribeError::noText() { return {Case::noText, 0, {}, std::nullopt}; }

TranscribeError TranscribeError::fromReply(const QByteArray &body, int status, const Headers &headers)
{
    if (const auto object = json::decodeObject(body); object && object->value(u"error").isString()) {
        const QString code = object->value(u"error").toString();
        std::optional<QString> requestId;
        if (const QJsonValue member = object->value(u"requestId");
            member.isString() && !member.toString().trimmed().isEmpty())
            requestId = member.toString().trimmed();
        else if (const QString header = headerRequestId(headers).trimmed(); !header.isEmpty())
            requestId = header;
        if (status == 403 && code == u"entitlement_required")
            return entitlementRequired(requestId);
        if (status == 403 && code == u"entitlement_inactive")
            return entitlementInactive(requestId);
        if (status == 429 && code == u"quota_exceeded")
            return quotaExceeded();
        if (status == 429 && code == u"pending_upload_storage_limit")
            return pendingUploadStorageLimit(requestId);
    }
    return http(status, messageFromReply(body, headers));
}

QString TranscribeError::messageFromReply(const QByteArray &body, const Headers &headers)
{
    const QString text = decodeUtf8(body).trimmed();
    const QString requestId = headerRequestId(headers);
    const QString requestIdPart = QStringLiteral("requestId=") + requestId;

    if (text.isEmpty())
        return requestId.isEmpty() ? QString() : requestIdPart;

    const QString lowered = text.toLower();
    if (lowered.contains(u"<!doctype html") || lowered.contains(u"<html")) {
        QStringList parts{QStringLiteral("Upstream gateway returned ") + gatewayTitle(text)};
        if (!requestId.isEmpty())
            parts << requestIdPart;
        return parts.join(QStringLiteral(" | "));
    }

    if (const auto object = json::decodeObject(text.toUtf8())) {
        QStringList parts;
        if (const auto detail = jsonDetail(*object))
            parts << leftCharacters(detail->trimmed(), maximumDetailLength);
        if (!requestId.isEmpty())
            parts << requestIdPart;
        return parts.join(QStringLiteral(" | "));
    }

    if (!requestId.isEmpty() && !text.contains(requestId))
        return text + QStringLiteral(" (requestId: ") + requestId + u')';
    return text;
}

std::optional<QString> TranscribeError::requestIdInMessage(const QString &message)
{
    static const QRegularExpression pattern(QStringLiteral("requestId[:=]\\s*([A-Za-z0-9-]+)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(message);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1);
}

std::optional<QString> TranscribeError::requestId() const
{
    return m_case == Case::http ? requestIdInMessage(m_message) : m_requestId;
}

bool TranscribeError::isRetryable() const { return m_case == Case::http && isGatewayStatus(m_status); }

bool TranscribeError::isRetryable(const std::exception_ptr &failure)
{
    if (!failure)
        return false;
    try {
        std::rethrow_exception(failure);
    } catch (const TranscribeError &error) {
        return error.isRetryable();
    } catch (const TransportError &error) {
        return error.isConnectivityFailure();
    } catch (...) {
        return false;
    }
}

QString TranscribeError::description() const
{
    const std::optional<QString> id = requestId();
    const bool withId = id && !id->isEmpty();
    const QVariantList arguments{id.value_or(QString())};
    // These keys have no default text on purpose: the tables carry every language.
    switch (m_case) {
    case Case::http:
        if (isGatewayStatus(m_status))
            return withId ? localizedFormat("error.transcribe.gateway_unavailable_with_request_id", {}, {}, arguments)
                          : localized("error.transcribe.gateway_unavailable");
        return withId ? localizedFormat("error.transcribe.failed_with_request_id", {}, {}, arguments)
                      : localized("error.transcribe.failed");
    case Case::entitlementRequired:
        return withId ? localizedFormat("error.transcribe.entitlement_required_with_request_id", {}, {}, arguments)
                      : localized("error.transcribe.entitlement_required");
    case Case::entitlementInactive:
        return withId ? localizedFormat("error.transcribe.entitlement_inactive_with_request_id", {}, {}, arguments)
                      : localized("error.transcribe.entitlement_inactive");
    case Case::pendingUploadStorageLimit:
        return withId
                   ? localizedFormat("error.transcribe.pending_upload_storage_limit_with_request_id", {}, {}, arguments)
                   : localized("error.transcribe.pending_upload_storage_limit");
    case Case::invalidConfig:
        return localized("error.transcribe.invalid_config");
    case Case::quotaExceeded:
        return localized("error.transcribe.quota_exceeded");
    case Case::noText:
        return localized("error.transcribe.no_text");
    }
    return localized("error.transcribe.failed");
}

} // namespace tindrel
