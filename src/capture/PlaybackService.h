#pragma once

#include <QCoroTask>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <exception>

class QAudioOutput;
class QMediaPlayer;

namespace tindrel {

// A local file that cannot be played. Its text is technical: the preview card ignores it.
class PlaybackError : public std::exception {
public:
    explicit PlaybackError(QString description) : m_description(std::move(description)), m_what(m_description.toUtf8())
    {}
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    QByteArray m_what;
};

// Plays one local recording for the preview card and publishes what the card shows.
// Main thread only.
class PlaybackService : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isLoaded READ isLoaded NOTIFY isLoadedChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
    Q_PROPERTY(double currentTime READ currentTime NOTIFY currentTimeChanged)

public:
    static constexpr std::chrono::milliseconds progressInterval{200};

    explicit PlaybackService(QObject *parent = nullptr);
    ~PlaybackService() override;

    // Loads paused at 0 once the length is known; throws PlaybackError and stays empty when
    // the file cannot be opened. A newer load or reset() makes an older one end quietly.
    QCoro::Task<void> load(QUrl url);
    void play();
    void pause();
    void togglePlayback();
    // Clamped to 0 … duration.
    void seek(double seconds);
    void reset();

    bool isLoaded() const { return m_isLoaded; }
    bool isPlaying() const { return m_isPlaying; }
    double duration() const { return m_duration; }
    double currentTime() const { return m_currentTime; }

signals:
    void isLoadedChanged();
    void isPlayingChanged();
    void durationChanged();
    void currentTimeChanged();

private:
    void setIsLoaded(bool value);
    void setIsPlaying(bool value);
    void setDuration(double value);
    void setCurrentTime(double value);
    void tick();
    void playbackFinished();

    QMediaPlayer *m_player = nullptr;
    QAudioOutput *m_output = nullptr;
    QTimer m_timer;
    quint64 m_loadGeneration = 0;
    bool m_isLoaded = false;
    bool m_isPlaying = false;
    double m_duration = 0;
    double m_currentTime = 0;
};

} // namespace tindrel
