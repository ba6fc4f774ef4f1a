// `qm-ui web` end to end: the fixture page in the real engine, its messages, its content height
// and the colours of its snapshot. Skipped where the helper is not built or cannot start.
#include <cairo.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "process.hpp"
#include "qmplatform/json.hpp"

using namespace qm;

namespace {

#if defined(QM_WEBKIT_HELPER) && defined(QM_UI_PROGRAM)
constexpr const char* kProgram = QM_UI_PROGRAM;
#else
constexpr const char* kProgram = "";
#endif

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(QmUiWeb, PrintsThePagesMessagesAndHeightAndWritesItsSnapshot) {
    if (std::string(kProgram).empty()) GTEST_SKIP() << "qm-ui or the qm-webkit helper is not built here";
    char folder[] = "/tmp/qm-ui-web-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string out = std::string(folder) + "/probe.png";
    const auto run = testkit::runProgram(kProgram, {"web", QM_SERVICE_PAGES "/probe.html", out, "--width", "320", "--height",
                                                    "480", "--handler", "probe"});
    if (run.exitCode != 0 && run.output.find("display server") != std::string::npos) {
        GTEST_SKIP() << "the helper cannot start its display server here: " << run.output;
    }
    ASSERT_EQ(run.exitCode, 0) << run.output;

    // One message line from the page, then the height; nothing else on standard output.
    std::vector<Value> printed;
    for (const auto& line : lines(run.output)) {
        auto value = platform::json::parse(line);
        ASSERT_TRUE(value) << "not JSON: " << line;
        printed.push_back(*value);
    }
    ASSERT_EQ(printed.size(), 2u) << run.output;
    EXPECT_EQ(printed[0]["name"], Value("probe"));
    EXPECT_EQ(printed[0]["body"]["loaded"], Value(true));
    EXPECT_EQ(printed[0]["body"]["title"], Value("Probe"));
    // Three 100-pixel bands and a 40-pixel line.
    EXPECT_EQ(printed[0]["body"]["height"].intValue(), 340);
    EXPECT_EQ(printed[1]["contentHeight"].intValue(), 340);

    cairo_surface_t* image = cairo_image_surface_create_from_png(out.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    const int width = cairo_image_surface_get_width(image);
    const int height = cairo_image_surface_get_height(image);
    ASSERT_GT(width, 0);
    const double scale = width / 320.0;
    EXPECT_EQ(height, static_cast<int>(480 * scale + 0.5));
    cairo_surface_flush(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    auto rgb = [&](double x, double y) {  // CSS px
        const int px = static_cast<int>(x * scale), py = static_cast<int>(y * scale);
        std::uint32_t p;
        std::copy_n(data + py * stride + px * 4, 4, reinterpret_cast<unsigned char*>(&p));
        return p & 0xFFFFFFu;
    };
    EXPECT_EQ(rgb(10, 50), 0xFF0000u);
    EXPECT_EQ(rgb(300, 150), 0x00FF00u);
    EXPECT_EQ(rgb(160, 250), 0x0000FFu);
    EXPECT_EQ(rgb(300, 470), 0xFFFFFFu) << "white below the page";
    cairo_surface_destroy(image);
    unlink(out.c_str());
    rmdir(folder);

    // Usage errors and unreadable files fail with a reason.
    EXPECT_EQ(testkit::runProgram(kProgram, {"web", "only-one-argument.html"}).exitCode, 2);
    const auto missing = testkit::runProgram(kProgram, {"web", "/nonexistent/page.html", "/tmp/x.png"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find("cannot read /nonexistent/page.html"), std::string::npos) << missing.output;
}
