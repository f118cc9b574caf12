#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace tindrel::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpResult {
    int status = 0; // 0: no HTTP answer (connection failed or dropped)
    QByteArray body;
    HeaderList headers;

    QJsonObject json() const;
    QByteArray header(const QByteArray &name) const;
};

struct TestAccount {
    QString id;
    QString email;
    QByteArray token; // access token of a fresh session
};

// A tindrel-localbackend process on a free port, in memory, with the test controls; and a
// small blocking HTTP client for talking to it.
class BackendProcess {
public:
    explicit BackendProcess(const QStringList &extraArguments = {});
    ~BackendProcess();
    BackendProcess(const BackendProcess &) = delete;
    BackendProcess &operator=(const BackendProcess &) = delete;

    // The folder the server runs in (before `start`); the test's own by default.
    void setWorkingDirectory(const QString &dir) { m_process.setWorkingDirectory(dir); }
    // Starts it and waits for its address line; false (with output in `error`) when it fails.
    bool start(QString *error = nullptr);

    // Asks it to stop (SIGTERM) and returns its exit code; -1 when it had to be killed or
    // crashed. Under the sanitizers a leak also makes the code non-zero.
    int stop();

    QString baseUrl() const { return m_baseUrl; }
    QByteArray anonKey() const { return m_anonKey; }
    QString output() const { return m_output; }

    // `target` is a path on the server or an absolute URL. The anonymous key goes along as
    // "apikey" unless `headers` names "apikey" itself (an empty value sends none).
    HttpResult send(const QByteArray &method, const QString &target, const QByteArray &body = {},
                    const HeaderList &headers = {}, int timeoutMs = 30000);
    HttpResult postJson(const QString &target, const QJsonObject &body, const HeaderList &headers = {});
    // Calls an edge function with a user's access token.
    HttpResult function(const QString &name, const QByteArray &accessToken, const QJsonObject &body);

    // Test controls.
    QString createUser(const QString &email, const QString &password);
    HttpResult control(const QString &path, const QJsonObject &body);
    QJsonObject signIn(const QString &email, const QString &password);
    // A new account ("<prefix><n>@example.com", password "secret-pass"), signed in.
    TestAccount newAccount(const QString &prefix = QStringLiteral("user"));
    // Runs the app's three transcription steps with `audio`; with `text` the server answers
    // that text instead of recognising the audio. Returns the last reply.
    HttpResult transcribe(const QByteArray &accessToken, const QByteArray &audio, const QString &text = {},
                          const QString &filename = QStringLiteral("recording.m4a"));

private:
    QProcess m_process;
    QStringList m_arguments;
    QNetworkAccessManager m_network;
    QString m_baseUrl;
    QByteArray m_anonKey;
    QString m_output;
    int m_accounts = 0;
};

QString backendExecutable();

} // namespace tindrel::test
