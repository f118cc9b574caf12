#include "backend/TransportError.h"

#include "core/Localizer.h"

namespace tindrel {

TransportError::TransportError(QNetworkReply::NetworkError code, bool timedOut)
    : m_code(code), m_timedOut(timedOut), m_what(description().toUtf8())
{}

// The four retryable URL error codes of the other platform, as Qt reports them here:
//   timedOut               -> our own time-out flag (the reply says OperationCanceledError),
//                             or TimeoutError from the socket layer
//   networkConnectionLost  -> RemoteHostClosedError, TemporaryNetworkFailureError,
//                             NetworkSessionFailedError
//   cannotConnectToHost    -> ConnectionRefusedError
//   notConnectedToInternet -> HostNotFoundError or UnknownNetworkError: with no network the
//                             name lookup is what fails first
bool TransportError::isConnectivityFailure() const
{
    if (m_timedOut)
        return true;
    switch (m_code) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

QString TransportError::description() const
{
    if (m_timedOut || m_code == QNetworkReply::TimeoutError)
        return localized("error.network.timed_out", "The request timed out.", "Network failure");
    switch (m_code) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return localized("error.network.connection_lost", "The network connection was lost.", "Network failure");
    case QNetworkReply::ConnectionRefusedError:
        return localized("error.network.cannot_connect", "Could not connect to the server.", "Network failure");
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::UnknownNetworkError:
        return localized("error.network.not_connected",
                         "The server could not be found. Check your Internet connection.", "Network failure");
    default:
        return localized("error.network.failed", "A network error occurred.", "Network failure");
    }
}

} // namespace tindrel
