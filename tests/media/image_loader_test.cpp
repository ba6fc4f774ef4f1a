// The image loader against the recording transport: downloads land in the memory and disk
// caches, concurrent requests share one download, damaged cache files are fetched again,
// failures are not cached, and the memory cache stays within its bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "qmmedia/image_loader.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/url_session.hpp"
#include "recording_transport.hpp"
#include "test_host.hpp"

using namespace qm::platform;
using namespace qm::testkit::media;
using qm::testkit::RecordingTransport;
using qm::testkit::TestHost;
using Answer = RecordingTransport::Answer;

namespace {

struct Result {
    std::shared_ptr<Image> image;
    std::string error;
    int calls = 0;
};

class MediaImageLoaderTest : public ::testing::Test {
protected:
    MediaImageLoaderTest() : transport(std::make_shared<RecordingTransport>()), host(options(transport)) {}

    static TestHost::Options options(std::shared_ptr<RecordingTransport> transport) {
        TestHost::Options options;
        options.transport = std::move(transport);
        return options;
    }

    std::shared_ptr<Result> load(media::ImageLoader& loader, const std::string& url) {
        auto result = std::make_shared<Result>();
        loader.load(url, [result](std::shared_ptr<Image> image, const std::string& error) {
            result->image = std::move(image);
            result->error = error;
            result->calls++;
        });
        return result;
    }

    bool wait(const std::vector<std::shared_ptr<Result>>& results) {
        return host.runUntil([&] {
            for (const auto& r : results)
                if (r->calls == 0) return false;
            return true;
        });
    }

    std::shared_ptr<RecordingTransport> transport;
    TestHost host;
    const std::string red = encodePNG(Picture(10, 10, 0xffff0000));
    const std::string blue = encodePNG(Picture(10, 10, 0xff0000ff));
    const std::string green = encodePNG(Picture(10, 10, 0xff00ff00));
};

}  // namespace

TEST_F(MediaImageLoaderTest, DownloadsOnceThenServesFromMemoryAndDisk) {
    const std::string url = "https://cdn.example.com/banner.png";
    transport->answer(url, Answer::text(red));
    media::ImageLoader loader;
    auto first = load(loader, url);
    EXPECT_EQ(first->calls, 0);  // never inside load()
    ASSERT_TRUE(wait({first}));
    ASSERT_TRUE(first->image) << first->error;
    EXPECT_EQ(first->image->frames()[0].at(3, 3), 0xffff0000u);
    ASSERT_EQ(transport->requestCount(), 1u);
    EXPECT_TRUE(transport->requests()[0].download);
    EXPECT_EQ(transport->requests()[0].method, "GET");

    // On disk below the caches folder, under a name that does not show the URL.
    const std::string path = loader.diskPath(url);
    EXPECT_EQ(path.rfind(Sandbox::cachesDirectory() + "/qm_images/", 0), 0u) << path;
    EXPECT_EQ(path.find("banner"), std::string::npos);
    EXPECT_EQ(Files::readFile(path), red);
    EXPECT_NE(loader.diskPath("https://cdn.example.com/other.png"), path);
    EXPECT_EQ(loader.cachedImage(url), first->image);
    EXPECT_EQ(loader.memoryBytes(), 400u);

    // Again: the same picture from memory, no request.
    auto second = load(loader, url);
    ASSERT_TRUE(wait({second}));
    EXPECT_EQ(second->image, first->image);
    // A new loader has an empty memory but finds the file.
    media::ImageLoader other;
    EXPECT_FALSE(other.cachedImage(url));
    auto third = load(other, url);
    ASSERT_TRUE(wait({third}));
    ASSERT_TRUE(third->image) << third->error;
    EXPECT_EQ(third->image->frames()[0].at(0, 0), 0xffff0000u);
    EXPECT_EQ(transport->requestCount(), 1u);

    // Clearing everything sends the next load to the network again.
    other.removeAll();
    EXPECT_FALSE(Files::fileExists(path));
    auto fourth = load(other, url);
    ASSERT_TRUE(wait({fourth}));
    EXPECT_EQ(transport->requestCount(), 2u);
}

TEST_F(MediaImageLoaderTest, ConcurrentRequestsForOneURLShareOneDownload) {
    transport->answer("/a.png", Answer::text(red));
    transport->answer("/b.png", Answer::text(blue));
    media::ImageLoader loader;
    std::vector<std::shared_ptr<Result>> results;
    for (int i = 0; i < 3; ++i) results.push_back(load(loader, "https://cdn.example.com/a.png"));
    results.push_back(load(loader, "https://cdn.example.com/b.png"));
    ASSERT_TRUE(wait(results));
    EXPECT_EQ(transport->requestsFor("/a.png").size(), 1u);
    EXPECT_EQ(transport->requestsFor("/b.png").size(), 1u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i]->calls, 1);
        EXPECT_EQ(results[i]->image, results[0]->image);
    }
    ASSERT_TRUE(results[3]->image);
    EXPECT_EQ(results[3]->image->frames()[0].at(0, 0), 0xff0000ffu);
}

TEST_F(MediaImageLoaderTest, DamagedCacheFileIsReplacedByAFreshDownload) {
    const std::string url = "https://cdn.example.com/damaged.png";
    transport->answer(url, Answer::text(green));
    media::ImageLoader loader;
    const std::string path = loader.diskPath(url);
    ASSERT_TRUE(Files::createDirectory(path.substr(0, path.rfind('/'))));
    ASSERT_TRUE(Files::writeFileAtomically(path, red.substr(0, red.size() / 2)));  // cut short
    auto result = load(loader, url);
    ASSERT_TRUE(wait({result}));
    ASSERT_TRUE(result->image) << result->error;
    EXPECT_EQ(result->image->frames()[0].at(0, 0), 0xff00ff00u);
    EXPECT_EQ(transport->requestCount(), 1u);
    EXPECT_EQ(Files::readFile(path), green);
}

TEST_F(MediaImageLoaderTest, FailuresReachTheCompletionAndAreNotCached) {
    transport->answer("/missing.png", Answer::text(red, 404));
    transport->answer("/page.png", Answer::text("<html>not a picture</html>"));
    transport->answer("/offline.png", Answer::failure(URLErrorCode::NotConnectedToInternet));
    media::ImageLoader loader;
    auto missing = load(loader, "https://cdn.example.com/missing.png");
    auto page = load(loader, "https://cdn.example.com/page.png");
    auto offline = load(loader, "https://cdn.example.com/offline.png");
    auto ftp = load(loader, "ftp://cdn.example.com/a.png");
    auto empty = load(loader, "");
    ASSERT_TRUE(wait({missing, page, offline, ftp, empty}));
    EXPECT_FALSE(missing->image);
    EXPECT_NE(missing->error.find("404"), std::string::npos) << missing->error;
    EXPECT_FALSE(page->image);
    EXPECT_NE(page->error.find("not a picture"), std::string::npos) << page->error;
    EXPECT_FALSE(offline->image);
    EXPECT_NE(offline->error.find("-1009"), std::string::npos) << offline->error;
    EXPECT_FALSE(ftp->image);
    EXPECT_NE(ftp->error, "");
    EXPECT_NE(empty->error, "");
    EXPECT_EQ(transport->requestCount(), 3u);  // the bad URLs never went out
    for (const char* name : {"missing", "page", "offline"}) {
        const std::string url = std::string("https://cdn.example.com/") + name + ".png";
        EXPECT_FALSE(Files::fileExists(loader.diskPath(url))) << name;
        EXPECT_FALSE(loader.cachedImage(url)) << name;
    }
    // A later try goes out again.
    auto retry = load(loader, "https://cdn.example.com/missing.png");
    ASSERT_TRUE(wait({retry}));
    EXPECT_EQ(transport->requestsFor("/missing.png").size(), 2u);
}

TEST_F(MediaImageLoaderTest, MemoryCacheDropsTheLeastRecentlyUsedBeyondItsBytes) {
    transport->answer("/red.png", Answer::text(red));
    transport->answer("/blue.png", Answer::text(blue));
    transport->answer("/green.png", Answer::text(green));
    transport->answer("/big.png", Answer::text(encodePNG(Picture(40, 40, 0xff000000))));
    media::ImageLoader::Options options;
    options.memoryCapacityBytes = 1000;  // two 10 × 10 pictures (400 bytes each)
    media::ImageLoader loader(options);
    const std::string base = "https://cdn.example.com/";
    ASSERT_TRUE(wait({load(loader, base + "red.png")}));
    ASSERT_TRUE(wait({load(loader, base + "blue.png")}));
    EXPECT_TRUE(loader.cachedImage(base + "red.png"));  // red is now the most recent
    ASSERT_TRUE(wait({load(loader, base + "green.png")}));
    EXPECT_TRUE(loader.cachedImage(base + "red.png"));
    EXPECT_FALSE(loader.cachedImage(base + "blue.png"));
    EXPECT_TRUE(loader.cachedImage(base + "green.png"));
    EXPECT_EQ(loader.memoryBytes(), 800u);
    // Bigger than the whole cache: handed out, never kept in memory (kept on disk).
    auto big = load(loader, base + "big.png");
    ASSERT_TRUE(wait({big}));
    ASSERT_TRUE(big->image);
    EXPECT_FALSE(loader.cachedImage(base + "big.png"));
    EXPECT_TRUE(Files::fileExists(loader.diskPath(base + "big.png")));
    EXPECT_EQ(loader.memoryBytes(), 800u);
    loader.removeAllFromMemory();
    EXPECT_EQ(loader.memoryBytes(), 0u);
}

TEST_F(MediaImageLoaderTest, DiskCacheDropsTheLeastRecentlyUsedFilesBeyondItsBytes) {
    transport->answer("/red.png", Answer::text(red));
    transport->answer("/blue.png", Answer::text(blue));
    transport->answer("/green.png", Answer::text(green));
    media::ImageLoader::Options options;
    options.diskCapacityBytes = red.size() + blue.size() + green.size() / 2;  // two of the three
    media::ImageLoader loader(options);
    const std::string base = "https://cdn.example.com/";
    ASSERT_TRUE(wait({load(loader, base + "red.png")}));
    ASSERT_TRUE(wait({load(loader, base + "blue.png")}));
    // Red used longest ago, then used again from disk: blue becomes the oldest.
    std::filesystem::last_write_time(loader.diskPath(base + "red.png"),
                                     std::filesystem::file_time_type::clock::now() - std::chrono::seconds(20));
    std::filesystem::last_write_time(loader.diskPath(base + "blue.png"),
                                     std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10));
    loader.removeAllFromMemory();
    ASSERT_TRUE(wait({load(loader, base + "red.png")}));
    EXPECT_EQ(transport->requestCount(), 2u);
    ASSERT_TRUE(wait({load(loader, base + "green.png")}));
    EXPECT_TRUE(qm::platform::Files::fileExists(loader.diskPath(base + "red.png")));
    EXPECT_FALSE(qm::platform::Files::fileExists(loader.diskPath(base + "blue.png")));
    EXPECT_TRUE(qm::platform::Files::fileExists(loader.diskPath(base + "green.png")));
}
