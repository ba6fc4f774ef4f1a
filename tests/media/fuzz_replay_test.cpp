// Every input the media fuzzer stopped on stays in tests/data/fuzz/media and must pass again,
// as must the inputs made here from each format cut and flipped in a few places.
#include <gtest/gtest.h>

#include <filesystem>

#include "../../fuzz/media_fuzz_input.hpp"
#include "fixtures.hpp"
#include "qmplatform/sandbox.hpp"

using namespace qm::testkit::media;

TEST(MediaFuzzReplayTest, KeptFuzzerInputsAndMangledFixturesKeepEveryPromise) {
    const std::filesystem::path folder = QM_TEST_DATA_DIR "/fuzz/media";
    std::size_t replayed = 0;
    if (std::filesystem::is_directory(folder)) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const auto bytes = qm::platform::Files::readFile(entry.path().string());
            ASSERT_TRUE(bytes) << entry.path();
            EXPECT_EQ(qm::fuzz::exerciseMedia(*bytes), "") << entry.path();
            ++replayed;
        }
    }
    RecordProperty("replayed", static_cast<int>(replayed));

    const std::string sources[] = {encodePNG(Picture(9, 7, 0x80336699)), encodeJPEG(Picture(16, 16, 0xff8040c0)),
                                   encodeGIF({Picture(6, 6, 0xffff0000), Picture(6, 6, 0x00000000)}, {3, 8}),
                                   encodeWAV(0.2)};
    for (const std::string& source : sources) {
        ASSERT_FALSE(source.empty());
        for (std::size_t at = 0; at < source.size(); at += std::max<std::size_t>(1, source.size() / 23)) {
            std::string flipped = source;
            flipped[at] = static_cast<char>(flipped[at] ^ 0xa5);
            EXPECT_EQ(qm::fuzz::exerciseMedia(flipped), "") << "flipped byte " << at;
            EXPECT_EQ(qm::fuzz::exerciseMedia(source.substr(0, at)), "") << "cut at " << at;
        }
    }
}
