#include "LocalBackend.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>

#include <csignal>

LocalBackend::~LocalBackend() { stop(); }

QString LocalBackend::executable()
{
#ifdef TINDREL_LOCALBACKEND_PATH
    if (QFileInfo::exists(QStringLiteral(TINDREL_LOCALBACKEND_PATH)))
        return QStringLiteral(TINDREL_LOCALBACKEND_PATH);
#endif
    return {};
}

bool LocalBackend::start(const QStringList &arguments, quint16 port)
{
    stop();
    const QString program = executable();
    if (program.isEmpty()) {
        m_error = QStringLiteral("the local backend is not built");
        return false;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(program, QStringList{QStringLiteral("--port"), QString::number(port)} + arguments);
    if (!m_process->waitForStarted(10000)) {
        m_error = QStringLiteral("could not start %1").arg(program);
        return false;
    }
    // The server announces itself with its base URL and anonymous key.
    static const QRegularExpression urlPattern(QStringLiteral(R"(http://127\.0\.0\.1:\d+)"));
    static const QRegularExpression keyPattern(QStringLiteral(R"(eyJ[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+)"));
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        m_process->waitForReadyRead(200);
        m_output += QString::fromUtf8(m_process->readAll());
        const auto url = urlPattern.match(m_output);
        const auto key = keyPattern.match(m_output);
        if (url.hasMatch() && key.hasMatch()) {
            m_baseUrl = QUrl(url.captured(0));
            m_anonKey = key.captured(0);
            return true;
        }
        if (m_process->state() == QProcess::NotRunning)
            break;
    }
    m_error = QStringLiteral("the local backend did not announce itself: %1").arg(m_output);
    return false;
}

void LocalBackend::stop()
{
    if (!m_process)
        return;
    resume();
    m_process->terminate();
    if (!m_process->waitForFinished(5000)) {
        m_process->kill();
        m_process->waitForFinished(2000);
    }
    m_process.reset();
}

void LocalBackend::pause()
{
    if (m_process && m_process->processId() > 0)
        ::kill(static_cast<pid_t>(m_process->processId()), SIGSTOP);
}

void LocalBackend::resume()
{
    if (m_process && m_process->processId() > 0)
        ::kill(static_cast<pid_t>(m_process->processId()), SIGCONT);
}

QJsonObject LocalBackend::control(const QByteArray &method, const QString &path, const QJsonObject &body) const
{
    QNetworkAccessManager network;
    QUrl url = m_baseUrl;
    url.setPath(QStringLiteral("/__tindrel_test") + path);
    QNetworkRequest request(url);
    request.setRawHeader("apikey", m_anonKey.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = network.sendCustomRequest(
        request, method, method == "POST" ? QJsonDocument(body).toJson(QJsonDocument::Compact) : QByteArray());
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return answer;
}
