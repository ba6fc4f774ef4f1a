// What a web view shows: the engine's snapshot, taken after each finished load and each
// resize, scaled to its bounds; a placeholder without one (also after a crash); bad snapshot
// bytes never replace a good picture.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qmplatform/screen.hpp"
#include "qmui/render.hpp"
#include "qmweb/web_view.hpp"
#include "test_host.hpp"
#include "web/web_support.hpp"

using namespace qm;
using namespace qm::platform;
using qm::testing::RecordingDelegate;
using qm::testkit::ScriptedWebEngine;
using qm::testkit::TestHost;

namespace {

int red(std::uint32_t p) { return static_cast<int>((p >> 16) & 0xFF); }
int green(std::uint32_t p) { return static_cast<int>((p >> 8) & 0xFF); }
int blue(std::uint32_t p) { return static_cast<int>(p & 0xFF); }

// Left half red, right half blue, `w` × `h` pixels.
std::string halvesPNG(int w, int h) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) pixels[static_cast<std::size_t>(y) * w + x] = x < w / 2 ? 0xFFFF0000 : 0xFF0000FF;
    return ScriptedWebEngine::encodePNG(w, h, pixels);
}

struct SnapshotAnswer {
    int calls = 0;
    std::string png;
    std::optional<std::string> error;
    auto completion() {
        return [this](const std::string& p, const std::optional<std::string>& e) {
            ++calls;
            png = p;
            error = e;
        };
    }
};

}  // namespace

TEST(WebViewSnapshots, TheRendererDrawsTheSnapshotScaledToTheViewAndAPlaceholderWithoutOne) {
    TestHost host;
    auto& engine = host.webEngine();
    auto container = View::create({0, 0, 100, 60});
    container->setBackgroundColor(Color::whiteColor());
    auto web = WebView::create({10, 10, 80, 40});
    container->addSubview(web);
    const RenderOptions options{.scale = 1, .time = {}, .background = {}};

    // Before any page: the placeholder's light grey away from its cross and caption.
    Bitmap picture = renderView(*container, options);
    ASSERT_EQ(picture.width, 100);
    EXPECT_EQ(red(picture.at(5, 5)), 255);             // the container's white
    EXPECT_NEAR(green(picture.at(20, 30)), 230, 2);    // the placeholder's fill
    EXPECT_NEAR(blue(picture.at(20, 30)), 230, 2);

    // A snapshot of 8 × 4 pixels (the page's scale is the screen's) fills the 80 × 40 view.
    engine.setSnapshotPNG(halvesPNG(8, 4));
    web->loadHTMLString("<p>", "");
    ASSERT_TRUE(host.runUntilIdle());
    ASSERT_EQ(web->snapshotBitmap().width, 8);
    EXPECT_EQ(web->snapshotBitmap().at(0, 0), 0xFFFF0000u);  // premultiplied ARGB, as canvases draw
    EXPECT_EQ(web->snapshotScale(), Screen::main().scale());
    picture = renderView(*container, options);
    EXPECT_EQ(picture.at(15, 15), 0xFFFF0000u);
    EXPECT_EQ(picture.at(25, 45), 0xFFFF0000u);
    EXPECT_EQ(picture.at(75, 15), 0xFF0000FFu);
    EXPECT_EQ(picture.at(85, 45), 0xFF0000FFu);
    EXPECT_EQ(picture.at(95, 30), 0xFFFFFFFFu);  // outside the view

    // The generated snapshot: one colour at the page's size × scale.
    engine.setSnapshotColor(0xFF00FF00);
    const double scale = Screen::main().scale();
    SnapshotAnswer answer;
    web->takeSnapshot(answer.completion());
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(answer.calls, 1);
    EXPECT_FALSE(answer.error);
    EXPECT_EQ(web->snapshotBitmap().width, static_cast<int>(80 * scale));
    EXPECT_EQ(web->snapshotBitmap().height, static_cast<int>(40 * scale));
    EXPECT_EQ(renderView(*container, options).at(50, 30), 0xFF00FF00u);
}

TEST(WebViewSnapshots, BadBytesKeepThePreviousSnapshotAndResizingTakesANewOne) {
    TestHost host;
    auto& engine = host.webEngine();
    auto web = WebView::create({0, 0, 40, 20});
    SnapshotAnswer none;
    web->takeSnapshot(none.completion());  // no page yet
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(none.calls, 1);
    EXPECT_TRUE(none.error);
    EXPECT_EQ(engine.pageCount(), 0u);

    engine.setSnapshotPNG(halvesPNG(4, 2));
    web->loadHTMLString("<p>", "");
    ASSERT_TRUE(host.runUntilIdle());
    ASSERT_EQ(web->snapshotBitmap().width, 4);
    const Bitmap good = web->snapshotBitmap();

    // Not a PNG, cut short, a corrupt body, a header claiming a huge picture: each is an
    // error for the caller and leaves the picture shown as it was.
    std::string truncated = halvesPNG(4, 2);
    truncated.resize(truncated.size() / 2);
    std::string corrupt = halvesPNG(4, 2);
    corrupt[corrupt.size() - 20] ^= 0x5A;
    std::string huge = halvesPNG(4, 2);
    huge[16] = '\x7F';  // width 2^30 and more
    for (const std::string& bad : {std::string("not a picture"), std::string(), truncated, corrupt, huge}) {
        engine.setSnapshotPNG(bad);
        SnapshotAnswer answer;
        web->takeSnapshot(answer.completion());
        ASSERT_TRUE(host.runUntilIdle());
        EXPECT_EQ(answer.calls, 1);
        EXPECT_TRUE(answer.error);
        EXPECT_EQ(web->snapshotBitmap().pixels, good.pixels);
    }
    engine.setSnapshotError("the page is not drawn yet");
    SnapshotAnswer failed;
    web->takeSnapshot(failed.completion());
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(failed.error, "the page is not drawn yet");
    EXPECT_EQ(web->snapshotBitmap().pixels, good.pixels);

    // A new size: the page is resized first, then drawn again.
    engine.setSnapshotColor(0xFF123456);
    const int before = engine.page(0).snapshots;
    web->setFrame({0, 0, 50, 30});
    ASSERT_TRUE(host.runUntilIdle());
    const auto page = engine.page(0);
    ASSERT_EQ(page.resizes.size(), 1u);
    EXPECT_EQ(page.resizes[0].size, (Size{50, 30}));
    EXPECT_EQ(page.resizes[0].scale, Screen::main().scale());
    EXPECT_EQ(page.snapshots, before + 1);
    EXPECT_EQ(web->snapshotBitmap().width, static_cast<int>(50 * Screen::main().scale()));
    EXPECT_EQ(web->snapshotBitmap().at(0, 0), 0xFF123456u);
    // Moving without resizing asks nothing.
    web->setFrame({5, 5, 50, 30});
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(engine.page(0).resizes.size(), 1u);
}

TEST(WebViewCrash, TheDelegateHearsAndThePlaceholderShowsUntilTheNextLoad) {
    TestHost host;
    auto& engine = host.webEngine();
    engine.setSnapshotColor(0xFFFF0000);
    auto web = WebView::create({0, 0, 80, 40});
    auto delegate = std::make_shared<RecordingDelegate>();
    web->setNavigationDelegate(delegate);
    web->loadHTMLString("<p>", "");
    ASSERT_TRUE(host.runUntilIdle());
    ASSERT_FALSE(web->snapshotBitmap().empty());

    // A script held when the page's process stops fails with it.
    engine.setSilent(true);
    std::optional<std::string> error;
    web->evaluateJavaScript("document.title", [&](const Value&, const std::optional<std::string>& e) { error = e; });
    engine.setSilent(false);
    EXPECT_TRUE(engine.crash("the content process was killed"));
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(error, "the content process was killed");
    EXPECT_EQ(delegate->events.back(), "terminate");
    EXPECT_TRUE(web->snapshotBitmap().empty());
    const Bitmap picture = renderView(*web, {.scale = 1, .time = {}, .background = {}});
    EXPECT_NEAR(red(picture.at(6, 20)), 230, 2);  // the placeholder again
    EXPECT_FALSE(engine.page(0).lost);

    // The same page loads again and is drawn again.
    web->loadHTMLString("<p>again</p>", "");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(engine.pageCount(), 1u);
    ASSERT_FALSE(web->snapshotBitmap().empty());
    EXPECT_EQ(renderView(*web, {.scale = 1, .time = {}, .background = {}}).at(6, 20), 0xFFFF0000u);
}
