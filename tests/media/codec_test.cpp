// The picture codec: pixels and premultiplied alpha of each format, GIF frames with their
// delays, and input that is empty, damaged, cut short, or announces more pixels than allowed.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "fixtures.hpp"
#include "qmmedia/media.hpp"
#include "qmplatform/image.hpp"

extern "C" {
#include <libavutil/crc.h>
}

using namespace qm::platform;
using namespace qm::testkit::media;

namespace {

int channel(std::uint32_t pixel, int shift) { return static_cast<int>((pixel >> shift) & 0xff); }

void expectNear(std::uint32_t actual, std::uint32_t expected, int tolerance, const char* what) {
    for (int shift : {24, 16, 8, 0})
        EXPECT_NEAR(channel(actual, shift), channel(expected, shift), tolerance)
            << what << ": channel at bit " << shift << " of " << std::hex << actual << " vs " << expected;
}

// Four colours in the corners of an 8 × 6 picture with a few alpha levels in its middle row.
Picture testPicture() {
    Picture picture(8, 6, 0xff000000);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            std::uint32_t colour = 0;
            if (y < 3) colour = x < 4 ? 0xffff0000 : 0xff00ff00;
            else colour = x < 4 ? 0xff0000ff : 0xffffffff;
            picture.at(x, y) = colour;
        }
    picture.at(0, 2) = 0x80ff0000;  // half-transparent red
    picture.at(1, 2) = 0x40204080;
    picture.at(2, 2) = 0x00ffffff;  // fully transparent: all zero once premultiplied
    picture.at(3, 2) = 0x01ffffff;
    return picture;
}

std::uint32_t crc32(const std::string& bytes, std::size_t from, std::size_t length) {
    const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE_LE);
    return av_crc(table, 0xffffffffu, reinterpret_cast<const std::uint8_t*>(bytes.data()) + from, length) ^ 0xffffffffu;
}

void putBig32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (24 - 8 * i)) & 0xff);
}

// A valid PNG whose header (with a correct checksum) claims another size.
std::string pngClaiming(std::string png, std::uint32_t width, std::uint32_t height) {
    // Signature (8), IHDR length (4) and type (4), then width and height.
    putBig32(png, 16, width);
    putBig32(png, 20, height);
    putBig32(png, 29, crc32(png, 12, 17));
    return png;
}

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

ImageCodec::Decoded decode(const std::string& bytes) { return media::imageCodec()->decode(bytes); }

}  // namespace

TEST(MediaCodecTest, PNGKeepsEveryPixelAndPremultipliesAlpha) {
    const Picture picture = testPicture();
    const std::string png = encodePNG(picture);
    ASSERT_FALSE(png.empty());
    const auto decoded = decode(png);
    ASSERT_EQ(decoded.error, "");
    ASSERT_EQ(decoded.frames.size(), 1u);
    ASSERT_EQ(decoded.delays, std::vector<double>{0});
    const Bitmap& bitmap = decoded.frames[0];
    ASSERT_EQ(bitmap.width, 8);
    ASSERT_EQ(bitmap.height, 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(bitmap.at(x, y), premultiplied(picture.argb[static_cast<std::size_t>(y) * 8 + x]))
                << "pixel " << x << "," << y;
    EXPECT_EQ(bitmap.at(0, 2), 0x80800000u);  // 255·128/255 rounds to 128
    EXPECT_EQ(bitmap.at(2, 2), 0u);
    EXPECT_EQ(bitmap.at(3, 2), 0x01010101u);

    // The smallest picture there is.
    const auto one = decode(encodePNG(Picture(1, 1, 0xff336699)));
    ASSERT_EQ(one.error, "");
    EXPECT_EQ(one.frames[0].at(0, 0), 0xff336699u);
}

TEST(MediaCodecTest, JPEGAndWebPDecodeToOpaqueColoursCloseToTheOriginal) {
    Picture picture(32, 16, 0xffff0000);
    for (int y = 0; y < 16; ++y)
        for (int x = 16; x < 32; ++x) picture.at(x, y) = 0xff2040c0;
    const auto jpeg = decode(encodeJPEG(picture));
    ASSERT_EQ(jpeg.error, "");
    ASSERT_EQ(jpeg.frames.size(), 1u);
    ASSERT_EQ(jpeg.frames[0].width, 32);
    ASSERT_EQ(jpeg.frames[0].height, 16);
    expectNear(jpeg.frames[0].at(4, 8), 0xffff0000, 12, "jpeg left");
    expectNear(jpeg.frames[0].at(27, 8), 0xff2040c0, 12, "jpeg right");

    const std::string webpBytes = encodeWebP(picture);
    if (webpBytes.empty()) GTEST_SKIP() << "no WebP encoder in this libavcodec";
    const auto webp = decode(webpBytes);
    ASSERT_EQ(webp.error, "");
    ASSERT_EQ(webp.frames.size(), 1u);
    EXPECT_EQ(webp.frames[0].width, 32);
    expectNear(webp.frames[0].at(4, 8), 0xffff0000, 16, "webp left");
    expectNear(webp.frames[0].at(27, 8), 0xff2040c0, 16, "webp right");
}

TEST(MediaCodecTest, GIFGivesEveryFrameWithTheDelaysPhonesUse) {
    std::vector<Picture> frames;
    const std::uint32_t colours[] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffff00, 0xff00ffff};
    for (std::uint32_t colour : colours) {
        Picture frame(6, 4, colour);
        frame.at(5, 3) = 0x00000000;  // a transparent corner in every frame
        frames.push_back(frame);
    }
    // 0 and 1 hundredths are "as fast as possible": shown for 0.1 s. 2 and more are kept.
    const std::string gif = encodeGIF(frames, {0, 1, 2, 50, 7});
    ASSERT_FALSE(gif.empty());
    const auto decoded = decode(gif);
    ASSERT_EQ(decoded.error, "");
    ASSERT_EQ(decoded.frames.size(), 5u);
    ASSERT_EQ(decoded.delays.size(), 5u);
    EXPECT_DOUBLE_EQ(decoded.delays[0], 0.1);
    EXPECT_DOUBLE_EQ(decoded.delays[1], 0.1);
    EXPECT_DOUBLE_EQ(decoded.delays[2], 0.02);
    EXPECT_DOUBLE_EQ(decoded.delays[3], 0.5);
    EXPECT_DOUBLE_EQ(decoded.delays[4], 0.07);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(decoded.frames[i].width, 6);
        EXPECT_EQ(decoded.frames[i].at(0, 0), colours[i]) << "frame " << i;
        EXPECT_EQ(decoded.frames[i].at(2, 2), colours[i]) << "frame " << i;
        EXPECT_EQ(decoded.frames[i].at(5, 3), 0u) << "frame " << i;
    }

    // Through the image the views show: the animation loops over the delays.
    ImageCodec::setCurrent(media::imageCodec());
    auto image = Image::withData(gif);
    ImageCodec::setCurrent(nullptr);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->isAnimated());
    EXPECT_NEAR(image->duration(), 0.79, 1e-9);
    EXPECT_EQ(image->frameAt(0.25).at(0, 0), colours[3]);  // 0.1 + 0.1 + 0.02 ≤ 0.25 < 0.72
    EXPECT_EQ(image->frameAt(0.79 + 0.05).at(0, 0), colours[0]);

    // One frame is a still whatever its delay says.
    const auto still = decode(encodeGIF({frames[0]}, {40}));
    ASSERT_EQ(still.error, "");
    EXPECT_EQ(still.delays, std::vector<double>{0});
}

TEST(MediaCodecTest, DamagedOrCutShortInputIsAnErrorNotAPicture) {
    EXPECT_NE(decode("").error, "");
    EXPECT_NE(decode("hello, this is plainly not a picture at all").error, "");
    std::string noise(4096, '\0');
    std::srand(7);
    for (char& c : noise) c = static_cast<char>(std::rand());
    EXPECT_NE(decode(noise).error, "");

    const std::string png = encodePNG(testPicture());
    const std::string jpeg = encodeJPEG(testPicture());
    std::vector<Picture> frames(3, Picture(16, 16, 0xff112233));
    frames[1] = Picture(16, 16, 0xff445566);
    const std::string gif = encodeGIF(frames, {10, 10, 10});
    const std::string webp = encodeWebP(testPicture());
    for (const auto* bytes : {&png, &jpeg, &gif, &webp}) {
        if (bytes == &webp && webp.empty()) continue;  // no WebP encoder
        ASSERT_FALSE(bytes->empty());
        // Only the signature, half the file, all but the last bytes.
        for (std::size_t keep : {std::size_t{8}, bytes->size() / 2, bytes->size() - 12}) {
            const auto cut = decode(bytes->substr(0, keep));
            EXPECT_NE(cut.error, "") << "kept " << keep << " of " << bytes->size();
            EXPECT_TRUE(cut.frames.empty());
        }
    }
    // A PNG whose pixel data no longer matches its checksum.
    std::string flipped = png;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x55);
    EXPECT_NE(decode(flipped).error, "");
}

TEST(MediaCodecTest, HugeOrOverlongInputIsRefusedWithinBoundedMemory) {
    const long before = peakKilobytes();
    // 60000 × 60000 would be 14 GB of pixels.
    const auto png = decode(pngClaiming(encodePNG(testPicture()), 60000, 60000));
    EXPECT_NE(png.error, "");
    EXPECT_TRUE(png.frames.empty());
    std::string gif = encodeGIF({Picture(4, 4, 0xff00ff00)}, {10});
    ASSERT_GE(gif.size(), 10u);
    gif[6] = gif[8] = static_cast<char>(60000 & 0xff);  // logical screen 60000 × 60000
    gif[7] = gif[9] = static_cast<char>(60000 >> 8);
    const auto hugeGif = decode(gif);
    EXPECT_NE(hugeGif.error, "");
    EXPECT_NE(hugeGif.error.find("60000"), std::string::npos) << hugeGif.error;
    // Just over the per-frame limit, and wider than anything sensible while short.
    EXPECT_NE(decode(pngClaiming(encodePNG(testPicture()), 8193, 4096)).error, "");
    EXPECT_NE(decode(pngClaiming(encodePNG(testPicture()), 1u << 30, 1)).error, "");
    EXPECT_LT(peakKilobytes() - before, 200 * 1024) << "decoding huge headers used this much memory";

    // More bytes than a picture may have is refused before any is looked at.
    std::string overlong = encodePNG(testPicture());
    overlong.resize(media::kMaxImageInputBytes + 1);
    const auto tooLong = decode(overlong);
    EXPECT_NE(tooLong.error.find("bytes"), std::string::npos) << tooLong.error;

    // Frames that are each allowed but together are not: 9 small frames on a canvas of
    // 8000 × 1000, which every decoded frame fills (72 Mpx).
    std::vector<Picture> small(9, Picture(4, 4, 0xff000000));
    for (std::size_t i = 0; i < small.size(); ++i) small[i].at(static_cast<int>(i % 4), 0) = 0xffffffff;
    std::string many = encodeGIF(small, std::vector<int>(9, 10));
    ASSERT_FALSE(many.empty());
    many[6] = static_cast<char>(8000 & 0xff), many[7] = static_cast<char>(8000 >> 8);
    many[8] = static_cast<char>(1000 & 0xff), many[9] = static_cast<char>(1000 >> 8);
    const auto tooMany = decode(many);
    EXPECT_NE(tooMany.error.find("pixels"), std::string::npos) << tooMany.error;
}

TEST(MediaCodecTest, DecodesFromManyThreadsAtOnce) {
    const std::string png = encodePNG(testPicture());
    const std::string gif = encodeGIF({Picture(8, 8, 0xffff0000), Picture(8, 8, 0xff0000ff)}, {5, 5});
    const auto expectedPng = decode(png);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const auto a = decode(png);
                const auto b = decode(gif);
                if (!a.error.empty() || a.frames[0].pixels != expectedPng.frames[0].pixels) ++failures[t];
                if (!b.error.empty() || b.frames.size() != 2) ++failures[t];
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
