#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QString>

#include <exception>

namespace tindrel {

// A request that got no HTTP answer: refused, dropped, timed out, no network. Its
// description is our own text, never Qt's error string, which can quote the request URL
// (a presigned upload URL carries its token in the query).
class TransportError : public std::exception {
public:
    // A transfer time-out ends the reply with OperationCanceledError, like an abort, so the
    // sender says which of the two it was.
    explicit TransportError(QNetworkReply::NetworkError code, bool timedOut = false);

    QNetworkReply::NetworkError code() const { return m_code; }
    bool timedOut() const { return m_timedOut; }

    // Timed out, connection lost, cannot connect, not connected: the failures worth trying
    // again because the next attempt may well get through.
    bool isConnectivityFailure() const;

    QString description() const;
    const char *what() const noexcept override { return m_what.constData(); }

    friend bool operator==(const TransportError &a, const TransportError &b)
    {
        return a.m_code == b.m_code && a.m_timedOut == b.m_timedOut;
    }

private:
    QNetworkReply::NetworkError m_code;
    bool m_timedOut;
    QByteArray m_what;
};

} // namespace tindrel
