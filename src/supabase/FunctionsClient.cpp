#include "supabase/FunctionsClient.h"

#include "supabase/FunctionsError.h"

#include <QPointer>
#include <QUrlQuery>

namespace supabase {

FunctionsClient::FunctionsClient(std::shared_ptr<const ClientContext> context, std::optional<QString> region,
                                 TokenSource tokens, QObject *parent)
    : QObject(parent), m_context(std::move(context)), m_region(std::move(region)), m_tokens(std::move(tokens))
{}

QCoro::Task<FunctionResponse> FunctionsClient::invoke(QString functionName, FunctionInvokeOptions options)
{
    QPointer<FunctionsClient> self(this);
    const QString token = m_tokens ? co_await m_tokens() : QString();
    if (!self)
        throw FunctionsError(FunctionsError::Kind::Fetch, QStringLiteral("The client was closed"));

    QUrl url = m_context->serviceUrl(QStringLiteral("/functions/v1/") + functionName);
    QUrlQuery query;
    for (const auto &[name, value] : options.query)
        query.addQueryItem(name, value);
    const std::optional<QString> region = options.region ? options.region : m_region;
    if (region && *region != QLatin1String("any"))
        query.addQueryItem(QStringLiteral("forceFunctionRegion"), *region);
    if (!query.isEmpty())
        url.setQuery(query);

    QNetworkRequest request = m_context->request(url);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    else if (m_context->apiKeyIsJwt())
        request.setRawHeader("Authorization", "Bearer " + m_context->apiKey.toUtf8());
    if (region && *region != QLatin1String("any"))
        request.setRawHeader("x-region", region->toUtf8());

    QByteArray body;
    if (options.json) {
        body = options.json->toJson(QJsonDocument::Compact);
        request.setRawHeader("Content-Type", "application/json");
    } else if (options.body) {
        body = *options.body;
        request.setRawHeader("Content-Type", "application/octet-stream");
    }
    // The caller's headers win, an explicit Authorization included.
    for (const auto &[name, value] : options.headers)
        request.setRawHeader(name, value);

    const HttpExchange exchange =
        co_await HttpExchange::send(m_context->network, request, options.method.toUpper(), body,
                                    options.timeout.value_or(m_context->requestTimeout));
    if (!exchange.answered())
        throw FunctionsError(
            FunctionsError::Kind::Fetch,
            QStringLiteral("Failed to send a request to the Edge Function: %1").arg(exchange.transportMessage()), 0, {},
            {}, exchange.timedOut);
    // A relay failure may come with any status, so it is checked first.
    if (exchange.header("x-relay-error") == "true")
        throw FunctionsError(FunctionsError::Kind::Relay, QStringLiteral("Relay Error invoking the Edge Function"),
                             exchange.status, exchange.body, exchange.headers);
    if (!exchange.succeeded())
        throw FunctionsError(FunctionsError::Kind::Http,
                             QStringLiteral("Edge Function returned a non-2xx status code: %1").arg(exchange.status),
                             exchange.status, exchange.body, exchange.headers);
    co_return FunctionResponse{exchange.status, exchange.body, exchange.headers};
}

} // namespace supabase
