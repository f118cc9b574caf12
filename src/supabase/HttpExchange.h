#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>
#include <QString>

#include <chrono>

class QNetworkAccessManager;

namespace supabase {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// The first header of that name, compared without regard to letter case; empty when absent.
QByteArray headerValue(const HeaderList &headers, const QByteArray &name);

// One finished HTTP exchange: the status and body when the server answered, else the
// transport error. Non-2xx answers are not errors at this level.
struct HttpExchange {
    int status = 0;
    QByteArray body;
    HeaderList headers;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;
    bool timedOut = false;

    bool answered() const { return status > 0; }
    bool succeeded() const { return status >= 200 && status < 300; }
    QByteArray header(const QByteArray &name) const { return headerValue(headers, name); }
    // "Request timed out" or the transport's own text, for error descriptions.
    QString transportMessage() const;

    // Sends `request` and waits for the whole reply. `timeout` bounds every wait for data,
    // connecting included. Never throws; nothing is retried.
    static QCoro::Task<HttpExchange> send(QNetworkAccessManager *network, QNetworkRequest request, QByteArray method,
                                          QByteArray body, std::chrono::milliseconds timeout);
};

} // namespace supabase
