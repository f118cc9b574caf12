#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

// The local backend binary as a child process on an ephemeral port, for tests that need a
// real server. start() returns false (with error()) when the binary is missing or silent.
class LocalBackend {
public:
    LocalBackend() = default;
    ~LocalBackend();
    LocalBackend(const LocalBackend &) = delete;
    LocalBackend &operator=(const LocalBackend &) = delete;

    static QString executable();

    // `port` 0 lets the server choose.
    bool start(const QStringList &arguments, quint16 port = 0);
    void stop();
    // SIGSTOP / SIGCONT: a server that keeps its sockets open but answers nothing.
    void pause();
    void resume();

    // Calls a test control ("/faults", "/requests", …) and returns its JSON answer.
    QJsonObject control(const QByteArray &method, const QString &path, const QJsonObject &body = {}) const;

    QUrl baseUrl() const { return m_baseUrl; }
    QString anonKey() const { return m_anonKey; }
    quint16 port() const { return static_cast<quint16>(m_baseUrl.port()); }
    QString error() const { return m_error; }
    QString output() const { return m_output; }

private:
    std::unique_ptr<QProcess> m_process;
    QUrl m_baseUrl;
    QString m_anonKey;
    QString m_error;
    QString m_output;
};
