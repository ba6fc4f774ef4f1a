// Players on the manual clock: time follows the clock and the rate, pause and seek hold or
// move it, the end is posted once through the notification center and the completion, and
// a film player draws the frame showing at its time. Nothing sleeps.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fixtures.hpp"
#include "qmmedia/player.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/sandbox.hpp"
#include "test_host.hpp"

using namespace qm::platform;
using namespace qm::testkit::media;
using qm::testkit::TestHost;

namespace {

class MediaPlayerTest : public ::testing::Test {
protected:
    MediaPlayerTest() {
        token = NotificationCenter::defaultCenter().addObserver(media::kPlayerDidPlayToEndNotification,
                                                                [this](const Notification& n) {
                                                                    ends.push_back(n.object);
                                                                    endDurations.push_back(n.userInfo["duration"].doubleValue());
                                                                });
    }
    ~MediaPlayerTest() override { NotificationCenter::defaultCenter().removeObserver(token); }

    std::unique_ptr<media::AudioPlayer> twoSecondSound() {
        std::string error;
        auto player = media::AudioPlayer::withData(encodeWAV(2.0), &error);
        EXPECT_TRUE(player) << error;
        return player;
    }

    TestHost host;
    TemporaryFolder folder;
    NotificationCenter::Token token = 0;
    std::vector<const void*> ends;
    std::vector<double> endDurations;
};

}  // namespace

TEST_F(MediaPlayerTest, TimeFollowsTheClockThroughPlayPauseSeekAndRate) {
    auto player = twoSecondSound();
    ASSERT_TRUE(player);
    EXPECT_NEAR(player->duration(), 2.0, 0.01);
    EXPECT_EQ(player->currentTime(), 0);
    EXPECT_EQ(player->rate(), 0);
    host.advance(0.5);
    EXPECT_EQ(player->currentTime(), 0);  // not playing yet

    player->play();
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(player->rate(), 1);
    host.advance(0.25);
    EXPECT_NEAR(player->currentTime(), 0.25, 1e-6);
    player->pause();
    host.advance(3);
    EXPECT_NEAR(player->currentTime(), 0.25, 1e-6);
    EXPECT_EQ(player->rate(), 0);

    EXPECT_TRUE(player->seek(1.0));
    EXPECT_NEAR(player->currentTime(), 1.0, 1e-6);
    EXPECT_FALSE(player->isPlaying());  // seeking does not start playback
    EXPECT_TRUE(player->seek(-4));
    EXPECT_EQ(player->currentTime(), 0);
    EXPECT_TRUE(player->seek(1e9));
    EXPECT_EQ(player->currentTime(), player->duration());
    EXPECT_FALSE(player->seek(NAN));
    EXPECT_EQ(player->currentTime(), player->duration());

    // A positive rate plays; twice as fast covers twice the media time.
    player->seek(0.5);
    EXPECT_TRUE(player->setRate(2));
    EXPECT_TRUE(player->isPlaying());
    host.advance(0.25);
    EXPECT_NEAR(player->currentTime(), 1.0, 1e-6);
    // Refused rates change nothing; 0 pauses; play() resumes at the rate last set.
    EXPECT_FALSE(player->setRate(-1));
    EXPECT_FALSE(player->setRate(NAN));
    EXPECT_FALSE(player->setRate(INFINITY));
    EXPECT_EQ(player->rate(), 2);
    EXPECT_TRUE(player->setRate(0));
    EXPECT_FALSE(player->isPlaying());
    host.advance(1);
    EXPECT_NEAR(player->currentTime(), 1.0, 1e-6);
    player->play();
    EXPECT_EQ(player->rate(), 2);
    host.advance(0.1);
    EXPECT_NEAR(player->currentTime(), 1.2, 1e-6);

    EXPECT_TRUE(player->setVolume(0.3));
    EXPECT_DOUBLE_EQ(player->volume(), 0.3);
    EXPECT_TRUE(player->setVolume(7));
    EXPECT_EQ(player->volume(), 1);
    EXPECT_FALSE(player->setVolume(NAN));
    EXPECT_EQ(player->volume(), 1);
    EXPECT_TRUE(ends.empty());
}

TEST_F(MediaPlayerTest, TheEndIsPostedOnceAndPlayingAgainStartsOver) {
    auto player = twoSecondSound();
    ASSERT_TRUE(player);
    int completions = 0;
    player->setCompletion([&] {
        ++completions;
        EXPECT_EQ(ends.size(), static_cast<std::size_t>(completions));  // after the notification
    });
    player->play();
    host.advance(1.0);
    player->pause();  // the end moves with every pause, seek and rate change
    host.advance(5);
    EXPECT_EQ(completions, 0);
    player->setRate(4);  // 1 s left at 4×: 0.25 s
    host.advance(0.2);
    EXPECT_EQ(completions, 0);
    host.advance(0.1);
    EXPECT_EQ(completions, 1);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0], static_cast<const void*>(player.get()));
    EXPECT_NEAR(endDurations[0], player->duration(), 1e-6);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentTime(), player->duration());
    host.advance(10);
    EXPECT_EQ(completions, 1);  // once per end

    // Playing again starts from the beginning and ends again.
    player->setRate(1);
    EXPECT_EQ(player->currentTime(), 0);
    host.advance(2.5);
    EXPECT_EQ(completions, 2);

    // Seeking to the end while playing ends at once (from the run loop, not inside seek).
    player->play();
    host.advance(0.5);
    player->seek(99);
    EXPECT_EQ(completions, 2);
    host.runUntilIdle();
    EXPECT_EQ(completions, 3);

    // A player destroyed while playing never tells of an end.
    player->play();
    player.reset();
    host.advance(5);
    EXPECT_EQ(ends.size(), 3u);
}

TEST_F(MediaPlayerTest, FilmPlayerDrawsTheFrameShowingAtItsTime) {
    const std::string path = folder.file("film.mkv");
    ASSERT_TRUE(writeFilm(path, "matroska", "mpeg4", 10, 10, 32, 24));
    std::string error;
    auto player = media::VideoPlayer::withFile(path, &error);
    ASSERT_TRUE(player) << error;
    EXPECT_EQ(player->width(), 32);
    EXPECT_EQ(player->height(), 24);
    EXPECT_NEAR(player->duration(), 1.0, 0.05);
    const auto grey = [&] {
        const Bitmap& frame = player->currentFrame();
        return frame.empty() ? -1 : static_cast<int>((frame.at(16, 12) >> 8) & 0xff);
    };
    EXPECT_NEAR(grey(), filmGrey(0), 6);
    player->play();
    host.advance(0.45);
    EXPECT_NEAR(grey(), filmGrey(4), 6);
    host.advance(0.02);
    EXPECT_NEAR(grey(), filmGrey(4), 6);  // still the same frame
    player->seek(0.81);
    EXPECT_NEAR(grey(), filmGrey(8), 6);
    host.advance(2);
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_NEAR(grey(), filmGrey(9), 6);  // the last frame stays

    // The same from memory; a film has a sound only when it carries a track.
    const auto bytes = Files::readFile(path);
    ASSERT_TRUE(bytes);
    auto fromMemory = media::VideoPlayer::withData(*bytes, &error);
    ASSERT_TRUE(fromMemory) << error;
    fromMemory->seek(0.3);
    EXPECT_NEAR(static_cast<int>((fromMemory->currentFrame().at(1, 1) >> 8) & 0xff), filmGrey(3), 6);
    EXPECT_FALSE(media::AudioPlayer::withFile(path, &error));
    EXPECT_NE(error.find("no sound"), std::string::npos) << error;
    const std::string withSound = folder.file("sound.mkv");
    ASSERT_TRUE(writeFilm(withSound, "matroska", "mpeg4", 10, 10, 32, 24, true));
    EXPECT_TRUE(media::AudioPlayer::withFile(withSound, &error)) << error;
}

TEST_F(MediaPlayerTest, LoadingRefusesWhatCannotBePlayed) {
    std::string error;
    EXPECT_FALSE(media::AudioPlayer::withFile(folder.file("absent.wav"), &error));
    EXPECT_NE(error, "");
    error.clear();
    EXPECT_FALSE(media::AudioPlayer::withData("not a sound", &error));
    EXPECT_NE(error, "");
    error.clear();
    EXPECT_FALSE(media::VideoPlayer::withData(encodeWAV(1), &error));
    EXPECT_NE(error.find("no film"), std::string::npos) << error;
    EXPECT_FALSE(media::VideoPlayer::withData(encodePNG(Picture(4, 4, 0xff000000)), &error));
    EXPECT_FALSE(media::AudioPlayer::withData(encodePNG(Picture(4, 4, 0xff000000))));
}
