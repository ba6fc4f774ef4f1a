#include "qmmedia/player.hpp"

#include <algorithm>
#include <cmath>

#include "qmplatform/clock.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/notification_center.hpp"

namespace qm::platform::media {

// Lets the end timer and queued end blocks find out whether their player still exists and
// whether they are still the current schedule.
struct Player::Alive {
    Player* player = nullptr;
    unsigned long long generation = 0;
};

namespace {
double clockSeconds() { return Clock::currentDate().seconds; }
}  // namespace

Player::Player(double duration) : duration_(duration), alive_(std::make_shared<Alive>()) { alive_->player = this; }

Player::~Player() {
    alive_->player = nullptr;
    if (endTimer_) endTimer_->invalidate();
}

double Player::currentTime() const {
    if (!playing_) return anchorMedia_;
    const double t = anchorMedia_ + (clockSeconds() - anchorClock_) * rate_;
    return std::clamp(std::isfinite(t) ? t : duration_, 0.0, duration_);
}

void Player::reanchor(double mediaTime) {
    anchorMedia_ = std::clamp(mediaTime, 0.0, duration_);
    anchorClock_ = clockSeconds();
    // Whatever end was scheduled belongs to the old anchor.
    alive_->generation++;
    if (endTimer_) {
        endTimer_->invalidate();
        endTimer_.reset();
    }
    if (playing_) scheduleEnd();
}

void Player::scheduleEnd() {
    const double remaining = (duration_ - anchorMedia_) / rate_;
    const std::weak_ptr<Alive> weak = alive_;
    const unsigned long long generation = alive_->generation;
    const auto end = [weak, generation] {
        const auto alive = weak.lock();
        if (alive && alive->player && alive->generation == generation) alive->player->reachEnd();
    };
    if (!(remaining > 0)) {
        // Already there: the end is told from the run loop, not from inside the caller.
        Queue::main().async(end);
        return;
    }
    endTimer_ = Timer::scheduled(remaining, false, [end](Timer&) { end(); });
}

void Player::reachEnd() {
    playing_ = false;
    endTimer_.reset();
    reanchor(duration_);
    const std::shared_ptr<Alive> alive = alive_;
    NotificationCenter::defaultCenter().post(kPlayerDidPlayToEndNotification, Value{{"duration", duration_}},
                                             static_cast<const void*>(this));
    // An observer may have destroyed the player: its completion then no longer runs. A copy,
    // so the callback may replace itself.
    if (!alive->player) return;
    if (auto completion = completion_) completion();
}

void Player::play() {
    double from = currentTime();
    if (from >= duration_) from = 0;
    playing_ = true;
    reanchor(from);
}

void Player::pause() {
    const double at = currentTime();
    playing_ = false;
    reanchor(at);
}

bool Player::seek(double seconds) {
    if (std::isnan(seconds)) return false;
    reanchor(std::clamp(seconds, 0.0, duration_));
    return true;
}

bool Player::setRate(double rate) {
    if (!std::isfinite(rate) || rate < 0) return false;
    if (rate == 0) {
        pause();
        return true;
    }
    const double at = currentTime();
    rate_ = rate;
    if (!playing_) {
        play();
        return true;
    }
    reanchor(at);
    return true;
}

bool Player::setVolume(double volume) {
    if (std::isnan(volume)) return false;
    volume_ = std::clamp(volume, 0.0, 1.0);
    return true;
}

// ---------------------------------------------------------------------------------------------
namespace {

template <typename T>
std::unique_ptr<T> refuse(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return nullptr;
}

bool soundFits(const Description& description, std::string* error) {
    if (!description.ok()) {
        if (error) *error = description.error;
        return false;
    }
    if (description.kind != Kind::Audio && !(description.kind == Kind::Video && description.hasAudio)) {
        if (error) *error = "there is no sound to play";
        return false;
    }
    if (!(description.duration > 0)) {
        if (error) *error = "the sound's length is not known";
        return false;
    }
    return true;
}

bool filmFits(const Description& description, std::string* error) {
    if (!description.ok()) {
        if (error) *error = description.error;
        return false;
    }
    if (description.kind != Kind::Video) {
        if (error) *error = "there is no film to play";
        return false;
    }
    if (!(description.duration > 0)) {
        if (error) *error = "the film's length is not known";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<AudioPlayer> AudioPlayer::withFile(const std::string& path, std::string* error) {
    const Description description = describeFile(path);
    if (!soundFits(description, error)) return nullptr;
    return std::unique_ptr<AudioPlayer>(new AudioPlayer(description.duration));
}

std::unique_ptr<AudioPlayer> AudioPlayer::withData(std::string bytes, std::string* error) {
    const Description description = describe(bytes);
    if (!soundFits(description, error)) return nullptr;
    return std::unique_ptr<AudioPlayer>(new AudioPlayer(description.duration));
}

std::unique_ptr<VideoPlayer> VideoPlayer::withFile(const std::string& path, std::string* error) {
    const Description description = describeFile(path);
    if (!filmFits(description, error)) return nullptr;
    std::unique_ptr<VideoPlayer> player(new VideoPlayer(description.duration, description.width, description.height));
    player->path_ = path;
    return player;
}

std::unique_ptr<VideoPlayer> VideoPlayer::withData(std::string bytes, std::string* error) {
    const Description description = describe(bytes);
    if (!filmFits(description, error)) return nullptr;
    std::unique_ptr<VideoPlayer> player(new VideoPlayer(description.duration, description.width, description.height));
    player->bytes_ = std::move(bytes);
    return player;
}

const Bitmap& VideoPlayer::currentFrame() {
    const double t = currentTime();
    // The frame decoded last is still the one showing until the next one starts.
    if (haveFrame_ && (t == frameAskedAt_ || (t >= frameStart_ && t < frameEnd_))) return frame_;
    Still still = path_.empty() ? videoFrame(bytes_, t) : videoFrameFromFile(path_, t);
    frameAskedAt_ = t;
    if (!still.ok()) {
        haveFrame_ = false;
        frame_ = Bitmap();
        return frame_;
    }
    frame_ = std::move(still.bitmap);
    frameStart_ = still.time;
    frameEnd_ = still.nextTime;
    haveFrame_ = true;
    return frame_;
}

}  // namespace qm::platform::media
