#include "capture/PlaybackService.h"

#include <QAudioOutput>
#include <QCoroSignal>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QPointer>

namespace tindrel {

namespace {
// GStreamer knows the length of a local file after about 100 ms.
constexpr std::chrono::seconds loadTimeout{10};
} // namespace

PlaybackService::PlaybackService(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(progressInterval);
    connect(&m_timer, &QTimer::timeout, this, &PlaybackService::tick);
}

PlaybackService::~PlaybackService()
{
    m_timer.stop();
    if (m_player)
        m_player->stop();
}

QCoro::Task<void> PlaybackService::load(QUrl url)
{
    reset();
    const quint64 generation = ++m_loadGeneration;
    if (!url.isLocalFile() || !QFileInfo(url.toLocalFile()).isFile())
        throw PlaybackError(QStringLiteral("No such file: %1").arg(url.toString()));

    if (!m_player) {
        m_player = new QMediaPlayer(this);
        m_output = new QAudioOutput(this);
        m_player->setAudioOutput(m_output);
        connect(m_player, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
            if (status == QMediaPlayer::EndOfMedia)
                playbackFinished();
        });
    }
    m_player->setSource(url);

    QPointer<PlaybackService> self(this);
    QPointer<QMediaPlayer> player(m_player);
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(loadTimeout);
    // Ready when the length is known; the status and the length arrive in either order.
    while (self && player && generation == m_loadGeneration && deadline.isActive()) {
        const auto status = player->mediaStatus();
        if (status == QMediaPlayer::InvalidMedia || player->error() != QMediaPlayer::NoError)
            break;
        if ((status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia) && player->duration() > 0)
            break;
        co_await qCoro(player.data(), &QMediaPlayer::mediaStatusChanged, std::chrono::milliseconds(50));
    }
    if (!self || !player || generation != m_loadGeneration)
        co_return;
    if (player->error() != QMediaPlayer::NoError || player->duration() <= 0) {
        const QString reason =
            player->error() != QMediaPlayer::NoError ? player->errorString() : QStringLiteral("unreadable media");
        reset();
        throw PlaybackError(QStringLiteral("Cannot play %1: %2").arg(url.toString(), reason));
    }
    setIsLoaded(true);
    setDuration(static_cast<double>(player->duration()) / 1000.0);
    setCurrentTime(0);
}

void PlaybackService::play()
{
    if (!m_isLoaded || m_isPlaying)
        return;
    m_player->play();
    setIsPlaying(true);
    m_timer.start();
}

void PlaybackService::pause()
{
    if (!m_isLoaded || !m_isPlaying)
        return;
    m_player->pause();
    setIsPlaying(false);
    m_timer.stop();
}

void PlaybackService::togglePlayback()
{
    if (m_isPlaying)
        pause();
    else
        play();
}

void PlaybackService::seek(double seconds)
{
    if (!m_isLoaded)
        return;
    const double position = std::clamp(seconds, 0.0, m_duration);
    m_player->setPosition(static_cast<qint64>(position * 1000.0));
    setCurrentTime(position);
}

void PlaybackService::reset()
{
    ++m_loadGeneration;
    m_timer.stop();
    if (m_player) {
        m_player->stop();
        m_player->setSource(QUrl());
    }
    setIsLoaded(false);
    setIsPlaying(false);
    setDuration(0);
    setCurrentTime(0);
}

void PlaybackService::tick()
{
    if (!m_isLoaded)
        return;
    setCurrentTime(static_cast<double>(m_player->position()) / 1000.0);
    if (m_player->playbackState() != QMediaPlayer::PlayingState) {
        setIsPlaying(false);
        m_timer.stop();
    }
}

void PlaybackService::playbackFinished()
{
    setIsPlaying(false);
    m_timer.stop();
}

namespace {
template<typename T>
void update(PlaybackService *service, T &field, T value, void (PlaybackService::*changed)())
{
    if (field != value) {
        field = value;
        emit(service->*changed)();
    }
}
} // namespace

void PlaybackService::setIsLoaded(bool value) { update(this, m_isLoaded, value, &PlaybackService::isLoadedChanged); }

void PlaybackService::setIsPlaying(bool value) { update(this, m_isPlaying, value, &PlaybackService::isPlayingChanged); }

void PlaybackService::setDuration(double value) { update(this, m_duration, value, &PlaybackService::durationChanged); }

void PlaybackService::setCurrentTime(double value)
{
    update(this, m_currentTime, value, &PlaybackService::currentTimeChanged);
}

} // namespace tindrel
