#include "supabase/HttpExchange.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <coroutine>
#include <memory>

namespace supabase {
namespace {

// Waits until the reply finishes or is destroyed. A manager deleted under a pending reply
// deletes it without `finished`, which QCoro's own awaiter would wait for forever. That
// wake-up is queued: it happens inside the manager's destructor.
struct ReplyEnd {
    QNetworkReply *reply;

    bool await_ready() const noexcept { return reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> waiter)
    {
        auto woken = std::make_shared<bool>(false);
        QObject::connect(reply, &QNetworkReply::finished, [waiter, woken] {
            if (!std::exchange(*woken, true))
                waiter.resume();
        });
        QObject::connect(reply, &QObject::destroyed, [waiter, woken] {
            if (!std::exchange(*woken, true))
                QTimer::singleShot(0, [waiter] { waiter.resume(); });
        });
    }
    void await_resume() const noexcept {}
};

} // namespace

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
    QPointer<QNetworkReply> reply(raw);
    const auto release = qScopeGuard([&reply] {
        if (reply)
            reply->deleteLater();
    });
    co_await ReplyEnd{raw};

    HttpExchange result;
    if (!reply) {
        result.error = QNetworkReply::OperationCanceledError;
        result.errorString = QStringLiteral("The connection was closed before the server answered");
        co_return result;
    }
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
