// Players for sounds and films, timed by the platform clock.
//
// There is no audio device: a player keeps the time a real one would be at (from the clock
// the platform reads, so tests move it with their manual clock) and a film player decodes the
// frame showing at that time when asked. Use a player on the main thread; its end is noticed
// by a timer on the main run loop.
//
//     std::string error;
//     auto player = qm::platform::media::AudioPlayer::withFile(path, &error);
//     if (!player) { ... error ... }
//     player->setCompletion([] { ... });
//     player->play();
//
// When playback reaches the end the player stops there (rate 0, current time = duration),
// posts kPlayerDidPlayToEndNotification on the default NotificationCenter with the player as
// the object and {"duration": seconds} as user info, and then calls its completion.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "qmmedia/media.hpp"
#include "qmplatform/image.hpp"

namespace qm::platform {
class Timer;
}

namespace qm::platform::media {

inline constexpr const char* kPlayerDidPlayToEndNotification = "QMPlayerDidPlayToEndTimeNotification";

class Player {
public:
    virtual ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Seconds, from the container.
    double duration() const { return duration_; }
    // Where playback is: 0 … duration.
    double currentTime() const;
    bool isPlaying() const { return playing_; }

    // Starts (or resumes) at the last rate set (1 at first). At the end, starts over from 0.
    void play();
    void pause();
    // Moves to `seconds`, clamped to 0 … duration; playing goes on from there (reaching the
    // end at once when that is the duration). False, and nothing changes, for NaN.
    bool seek(double seconds);
    // 0 pauses; a positive rate plays that many seconds of media per second of the clock.
    // Negative, infinite or NaN rates are refused (false, nothing changes).
    bool setRate(double rate);
    // 0 while paused, else the rate playing at.
    double rate() const { return playing_ ? rate_ : 0; }
    // 0 … 1 (clamped); NaN is refused. Kept for the host: nothing is heard.
    bool setVolume(double volume);
    double volume() const { return volume_; }

    // Called on the main thread after the end notification each time playback reaches the end.
    void setCompletion(std::function<void()> completion) { completion_ = std::move(completion); }

protected:
    explicit Player(double duration);

private:
    void reanchor(double mediaTime);
    void scheduleEnd();
    void reachEnd();
    struct Alive;

    double duration_ = 0;
    double rate_ = 1;
    double volume_ = 1;
    bool playing_ = false;
    double anchorMedia_ = 0;  // media time at anchorClock_
    double anchorClock_ = 0;  // clock seconds when the anchor was set
    std::shared_ptr<Timer> endTimer_;
    std::shared_ptr<Alive> alive_;
    std::function<void()> completion_;
};

// Plays a sound, or the sound track of a film.
class AudioPlayer final : public Player {
public:
    // Nothing (and *error) when the file or bytes hold no sound or their length is unknown.
    static std::unique_ptr<AudioPlayer> withFile(const std::string& path, std::string* error = nullptr);
    static std::unique_ptr<AudioPlayer> withData(std::string bytes, std::string* error = nullptr);

private:
    explicit AudioPlayer(double duration) : Player(duration) {}
};

// Plays a film and gives the frame to draw.
class VideoPlayer final : public Player {
public:
    // Nothing (and *error) when the file or bytes hold no film or its length is unknown.
    static std::unique_ptr<VideoPlayer> withFile(const std::string& path, std::string* error = nullptr);
    static std::unique_ptr<VideoPlayer> withData(std::string bytes, std::string* error = nullptr);

    int width() const { return width_; }
    int height() const { return height_; }
    // The frame showing at currentTime() (decoded when the time has moved to another frame);
    // an empty bitmap when the film cannot be decoded there.
    const Bitmap& currentFrame();

private:
    VideoPlayer(double duration, int width, int height) : Player(duration), width_(width), height_(height) {}

    std::string path_;
    std::string bytes_;
    int width_ = 0, height_ = 0;
    Bitmap frame_;
    bool haveFrame_ = false;
    double frameStart_ = 0, frameEnd_ = 0, frameAskedAt_ = -1;
};

}  // namespace qm::platform::media
