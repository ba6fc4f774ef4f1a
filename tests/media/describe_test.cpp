// What describe() tells of pictures, sounds and films, the frame a film shows at a time,
// and the files and bytes it refuses.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>

#include "fixtures.hpp"
#include "qmmedia/media.hpp"
#include "qmplatform/sandbox.hpp"

using namespace qm::platform;
using namespace qm::testkit::media;

namespace {

int greyOf(const Bitmap& bitmap) {
    const std::uint32_t pixel = bitmap.at(bitmap.width / 2, bitmap.height / 2);
    return static_cast<int>((pixel >> 8) & 0xff);  // green, the middle of the three
}

class MediaFilmTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        // 12 frames at 10 per second, a keyframe every 3: 1.2 s.
        mkv = folder.file("film.mkv");
        ASSERT_TRUE(writeFilm(mkv, "matroska", "mpeg4", 12, 10, 64, 48, true));
        avi = folder.file("film.avi");
        ASSERT_TRUE(writeFilm(avi, "avi", "mjpeg", 5, 5, 32, 16));
    }
    TemporaryFolder folder;
    std::string mkv, avi;
};

}  // namespace

TEST(MediaDescribeTest, PicturesGiveSizeFramesAndDelays) {
    const auto png = media::describe(encodePNG(Picture(7, 3, 0xff102030)));
    ASSERT_TRUE(png.ok()) << png.error;
    EXPECT_EQ(png.kind, media::Kind::Image);
    EXPECT_EQ(png.width, 7);
    EXPECT_EQ(png.height, 3);
    EXPECT_EQ(png.frames, 1u);
    EXPECT_EQ(png.duration, 0);

    const auto gif = media::describe(encodeGIF({Picture(5, 4, 0xffff0000), Picture(5, 4, 0xff00ff00),
                                                Picture(5, 4, 0xff0000ff)},
                                               {25, 0, 100}));
    ASSERT_TRUE(gif.ok()) << gif.error;
    EXPECT_EQ(gif.kind, media::Kind::Image);
    EXPECT_EQ(gif.frames, 3u);
    ASSERT_EQ(gif.durations.size(), 3u);
    EXPECT_DOUBLE_EQ(gif.durations[0], 0.25);
    EXPECT_DOUBLE_EQ(gif.durations[1], 0.1);
    EXPECT_DOUBLE_EQ(gif.durations[2], 1.0);
    EXPECT_NEAR(gif.duration, 1.35, 1e-9);
    EXPECT_STREQ(media::kindName(gif.kind), "image");

    // An animation's frame at a time comes from its delays.
    const std::string bytes = encodeGIF({Picture(5, 4, 0xffff0000), Picture(5, 4, 0xff00ff00)}, {30, 30});
    const auto second = media::videoFrame(bytes, 0.45);
    ASSERT_TRUE(second.ok()) << second.error;
    EXPECT_EQ(second.bitmap.at(0, 0), 0xff00ff00u);
    EXPECT_DOUBLE_EQ(second.time, 0.3);
}

TEST(MediaDescribeTest, SoundGivesItsLength) {
    TemporaryFolder folder;
    const std::string wav = encodeWAV(1.5);
    ASSERT_FALSE(wav.empty());
    const auto fromBytes = media::describe(wav);
    ASSERT_TRUE(fromBytes.ok()) << fromBytes.error;
    EXPECT_EQ(fromBytes.kind, media::Kind::Audio);
    EXPECT_NEAR(fromBytes.duration, 1.5, 0.01);
    EXPECT_EQ(fromBytes.width, 0);
    const auto fromFile = media::describeFile(folder.write("tone.wav", wav));
    ASSERT_TRUE(fromFile.ok()) << fromFile.error;
    EXPECT_NEAR(fromFile.duration, 1.5, 0.01);
    // A sound has no pictures to show.
    EXPECT_FALSE(media::videoFrame(wav, 0.5).ok());
}

TEST_F(MediaFilmTest, FilmsGiveSizeLengthAndSoundTrack) {
    const auto film = media::describeFile(mkv);
    ASSERT_TRUE(film.ok()) << film.error;
    EXPECT_EQ(film.kind, media::Kind::Video);
    EXPECT_STREQ(media::kindName(film.kind), "video");
    EXPECT_EQ(film.width, 64);
    EXPECT_EQ(film.height, 48);
    EXPECT_NEAR(film.duration, 1.2, 0.05);
    EXPECT_TRUE(film.hasAudio);

    const auto mjpeg = media::describeFile(avi);
    ASSERT_TRUE(mjpeg.ok()) << mjpeg.error;
    EXPECT_EQ(mjpeg.kind, media::Kind::Video);
    EXPECT_EQ(mjpeg.width, 32);
    EXPECT_EQ(mjpeg.frames, 5u);  // AVI headers count their frames
    EXPECT_NEAR(mjpeg.duration, 1.0, 0.05);
    EXPECT_FALSE(mjpeg.hasAudio);

    // MP4, the container phones send films in.
    const std::string mp4 = folder.file("film.mp4");
    ASSERT_TRUE(writeFilm(mp4, "mp4", "mpeg4", 8, 8, 48, 32));
    const auto fromMp4 = media::describeFile(mp4);
    ASSERT_TRUE(fromMp4.ok()) << fromMp4.error;
    EXPECT_EQ(fromMp4.kind, media::Kind::Video);
    EXPECT_EQ(fromMp4.width, 48);
    EXPECT_NEAR(fromMp4.duration, 1.0, 0.05);
    EXPECT_EQ(fromMp4.frames, 8u);
}

TEST_F(MediaFilmTest, FrameAtATimeIsTheOneShowingThen) {
    // Frame i starts at i / 10 s; seeking lands on keyframes 0, 3, 6, 9 and decodes on.
    for (double t : {0.0, 0.05, 0.1, 0.35, 0.5, 0.69, 0.7, 1.15}) {
        const auto still = media::videoFrameFromFile(mkv, t);
        ASSERT_TRUE(still.ok()) << still.error;
        const int frame = static_cast<int>(std::floor(t * 10 + 1e-9));
        EXPECT_NEAR(greyOf(still.bitmap), filmGrey(frame), 6) << "at " << t;
        EXPECT_NEAR(still.time, frame / 10.0, 1e-6) << "at " << t;
        EXPECT_EQ(still.bitmap.width, 64);
        EXPECT_EQ(still.bitmap.at(0, 0) >> 24, 0xffu);
    }
    // Before the start: the first frame; after the end or not a number: the last or first.
    EXPECT_NEAR(greyOf(media::videoFrameFromFile(mkv, -3).bitmap), filmGrey(0), 6);
    EXPECT_NEAR(greyOf(media::videoFrameFromFile(mkv, 99).bitmap), filmGrey(11), 6);
    EXPECT_NEAR(greyOf(media::videoFrameFromFile(mkv, NAN).bitmap), filmGrey(0), 6);

    // From memory, and from another container and codec.
    const auto bytes = qm::platform::Files::readFile(avi);
    ASSERT_TRUE(bytes);
    const auto fromBytes = media::videoFrame(*bytes, 0.65);
    ASSERT_TRUE(fromBytes.ok()) << fromBytes.error;
    EXPECT_NEAR(greyOf(fromBytes.bitmap), filmGrey(3), 6);
}

TEST_F(MediaFilmTest, MissingOddAndDamagedFilesAreErrors) {
    EXPECT_NE(media::describeFile(folder.file("absent.mkv")).error, "");
    EXPECT_NE(media::describeFile(folder.path()).error.find("not a plain file"), std::string::npos);
    EXPECT_NE(media::describeFile("/dev/zero").error.find("not a plain file"), std::string::npos);
    EXPECT_NE(media::describeFile(folder.write("empty.wav", "")).error, "");
    EXPECT_NE(media::describe("").error, "");
    EXPECT_NE(media::describe("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nfile:///etc/passwd\n").error, "");
    EXPECT_FALSE(media::videoFrameFromFile(folder.file("absent.mkv"), 0).ok());

    // Cut short: what survives is described or refused, never a crash.
    const auto bytes = qm::platform::Files::readFile(mkv);
    ASSERT_TRUE(bytes);
    for (std::size_t keep : {std::size_t{4}, std::size_t{64}, bytes->size() / 3, bytes->size() - 10}) {
        const std::string cut = bytes->substr(0, keep);
        const auto description = media::describe(cut);
        if (description.ok()) {
            EXPECT_EQ(description.kind, media::Kind::Video);
        }
        const auto still = media::videoFrame(cut, 0.5);
        if (still.ok()) {
            EXPECT_EQ(still.bitmap.width, 64);
        }
    }
}
