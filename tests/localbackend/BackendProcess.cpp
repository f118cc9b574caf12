#include "BackendProcess.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>

namespace tindrel::test {

QString backendExecutable() { return QStringLiteral(TINDREL_BINARY_DIR "/bin/tindrel-localbackend"); }

QJsonObject HttpResult::json() const { return QJsonDocument::fromJson(body).object(); }

QByteArray HttpResult::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

BackendProcess::BackendProcess(const QStringList &extraArguments)
    : m_arguments(QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--memory"),
                              QStringLiteral("--test-controls"), QStringLiteral("--password-iterations"),
                              QStringLiteral("1000"), QStringLiteral("--exit-with-parent")}
                  + extraArguments)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

BackendProcess::~BackendProcess() { stop(); }

int BackendProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_process.terminate();
    if (!m_process.waitForFinished(15000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
        return -1;
    }
    m_output += QString::fromUtf8(m_process.readAll());
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool BackendProcess::start(QString *error)
{
    m_process.start(backendExecutable(), m_arguments);
    static const QRegularExpression line(QStringLiteral("listening on (http://127\\.0\\.0\\.1:\\d+) anon key: (\\S+)"));
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        m_process.waitForReadyRead(100);
        m_output += QString::fromUtf8(m_process.readAll());
        const auto match = line.match(m_output);
        if (match.hasMatch()) {
            m_baseUrl = match.captured(1);
            m_anonKey = match.captured(2).toLatin1();
            return true;
        }
    }
    m_output += QString::fromUtf8(m_process.readAll());
    if (error)
        *error = QStringLiteral("local backend did not start: ") + m_output;
    return false;
}

HttpResult BackendProcess::send(const QByteArray &method, const QString &target, const QByteArray &body,
                                const HeaderList &headers, int timeoutMs)
{
    QNetworkRequest request(QUrl(target.startsWith(QLatin1String("http")) ? target : m_baseUrl + target));
    // Redirects are what some tests look at (the sign-in flow), so they are never followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    bool keyGiven = false;
    for (const auto &[name, value] : headers) {
        if (name.compare("apikey", Qt::CaseInsensitive) == 0) {
            keyGiven = true;
            if (value.isEmpty())
                continue;
        }
        request.setRawHeader(name, value);
    }
    if (!keyGiven)
        request.setRawHeader("apikey", m_anonKey);
    QNetworkReply *reply = m_network.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    HttpResult result;
    if (!reply->isFinished())
        reply->abort();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->isOpen())
        result.body = reply->readAll();
    result.headers = reply->rawHeaderPairs();
    reply->deleteLater();
    return result;
}

HttpResult BackendProcess::postJson(const QString &target, const QJsonObject &body, const HeaderList &headers)
{
    HeaderList all = headers;
    all.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return send("POST", target, QJsonDocument(body).toJson(QJsonDocument::Compact), all);
}

HttpResult BackendProcess::function(const QString &name, const QByteArray &accessToken, const QJsonObject &body)
{
    return postJson(QStringLiteral("/functions/v1/") + name, body, {{"Authorization", "Bearer " + accessToken}});
}

HttpResult BackendProcess::control(const QString &path, const QJsonObject &body)
{
    return postJson(QStringLiteral("/__tindrel_test") + path, body);
}

QString BackendProcess::createUser(const QString &email, const QString &password)
{
    return control(QStringLiteral("/users"), QJsonObject{{"email", email}, {"password", password}})
        .json()
        .value(QStringLiteral("id"))
        .toString();
}

QJsonObject BackendProcess::signIn(const QString &email, const QString &password)
{
    return postJson(QStringLiteral("/auth/v1/token?grant_type=password"),
                    QJsonObject{{"email", email}, {"password", password}})
        .json();
}

} // namespace tindrel::test

namespace tindrel::test {

TestAccount BackendProcess::newAccount(const QString &prefix)
{
    const QString email = QStringLiteral("%1%2@example.com").arg(prefix).arg(++m_accounts);
    const QString id = createUser(email, QStringLiteral("secret-pass"));
    return {id, email, signIn(email, QStringLiteral("secret-pass")).value("access_token").toString().toLatin1()};
}

HttpResult BackendProcess::transcribe(const QByteArray &accessToken, const QByteArray &audio, const QString &text,
                                      const QString &filename)
{
    const HttpResult slot = function(QStringLiteral("transcribe"), accessToken,
                                     QJsonObject{{"action", "get_upload_url"},
                                                 {"filename", filename},
                                                 {"file_size", audio.size()},
                                                 {"content_type", "audio/m4a"}});
    if (slot.status != 200)
        return slot;
    const HttpResult put =
        send("PUT", slot.json().value("uploadUrl").toString(), audio,
             {{"Content-Type", "audio/m4a"}, {"x-amz-content-sha256", "UNSIGNED-PAYLOAD"}, {"apikey", {}}});
    if (put.status != 200)
        return put;
    if (!text.isNull())
        control(QStringLiteral("/transcripts"), QJsonObject{{"texts", QJsonArray{text}}});
    return function(QStringLiteral("transcribe"), accessToken,
                    QJsonObject{{"action", "transcribe_stored"},
                                {"file_key", slot.json().value("storeKey").toString()},
                                {"duration", 2.5},
                                {"mode", "fast"}});
}

} // namespace tindrel::test
