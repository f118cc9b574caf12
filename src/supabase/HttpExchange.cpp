#include "supabase/HttpExchange.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>

#include <memory>

namespace supabase {

QByteArray headerValue(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QString HttpExchange::transportMessage() const
{
    if (timedOut)
        return QStringLiteral("Request timed out");
    return errorString.isEmpty() ? QStringLiteral("Network error") : errorString;
}

QCoro::Task<HttpExchange> HttpExchange::send(QNetworkAccessManager *network, QNetworkRequest request, QByteArray method,
                                             QByteArray body, std::chrono::milliseconds timeout)
{
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    QNetworkReply *raw = body.isEmpty() && (method == "GET" || method == "DELETE")
                             ? network->sendCustomRequest(request, method)
                             : network->sendCustomRequest(request, method, body);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(raw, [](QNetworkReply *r) { r->deleteLater(); });
    if (!reply->isFinished())
        co_await reply.get();

    HttpExchange result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->isOpen())
        result.body = reply->readAll();
    result.headers = reply->rawHeaderPairs();
    result.error = reply->error();
    result.errorString = reply->errorString();
    // The transfer timer ends the reply as if it were aborted; nothing else aborts ours.
    result.timedOut = !result.answered() && result.error == QNetworkReply::OperationCanceledError;
    co_return result;
}

} // namespace supabase
