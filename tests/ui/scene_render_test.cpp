// Scenes and drawing: the committed layout problems through real views, and view trees
// drawn where their frames say, at chosen moments of their animations.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "picture_check.hpp"
#include "qmmedia/media.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/screen.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/picture.hpp"
#include "qmui/render.hpp"
#include "qmui/scene.hpp"
#include "qmui/view.hpp"
#include "qmui/view_animation.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

qm::Value readJSON(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    auto value = json::parse(text.str());
    EXPECT_TRUE(value) << path;
    return value ? *value : qm::Value();
}

void expectFrames(Scene& scene, const qm::Value& expected, const std::string& what) {
    const auto frames = scene.frames();
    for (const auto& [name, f] : expected.dictionaryItems()) {
        auto it = frames.find(name);
        ASSERT_NE(it, frames.end()) << what << ": no view " << name;
        EXPECT_NEAR(it->second.x, f["x"].doubleValue(), 1e-6) << what << " " << name;
        EXPECT_NEAR(it->second.y, f["y"].doubleValue(), 1e-6) << what << " " << name;
        // A size the constraints make negative shows as 0.
        EXPECT_NEAR(it->second.width, std::max(0.0, f["width"].doubleValue()), 1e-6) << what << " " << name;
        EXPECT_NEAR(it->second.height, std::max(0.0, f["height"].doubleValue()), 1e-6) << what << " " << name;
    }
}

std::uint32_t pixel(const Bitmap& b, double x, double y, double scale) {
    return b.at(static_cast<int>(x * scale), static_cast<int>(y * scale));
}

}  // namespace

// The same problems the solver is checked with, built as views with constraints: the view
// tree's engine (pins, intrinsic sizes, constant changes, broken constraints) must give the
// independent solver's frames.
TEST(SceneLayout, CommittedProblemsMatchTheIndependentSolverThroughViews) {
    qm::testkit::TestHost host;
    const auto dir = std::filesystem::path(QM_TEST_DATA_DIR) / "layout" / "problems";
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string file = entry.path().filename().string();
        if (file.find(".expected.") != std::string::npos) continue;
        const auto problem = readJSON(entry.path());
        const auto expected = readJSON(dir / (entry.path().stem().string() + ".expected.json"));
        std::vector<std::string> errors;
        auto scene = loadScene(problem, dir.string(), &errors);
        ASSERT_TRUE(scene) << file;
        EXPECT_TRUE(errors.empty()) << file << ": " << (errors.empty() ? "" : errors[0]);
        expectFrames(*scene, expected["frames"], file);
        std::vector<std::size_t> broken;
        for (const auto& b : expected["broken"].arrayItems()) broken.push_back(static_cast<std::size_t>(b.integerValue()));
        EXPECT_EQ(scene->brokenEntries(), broken) << file;

        // Constant changes go into the running layout, one after the other.
        const auto& changes = problem["changes"].arrayItems();
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const auto index = static_cast<std::size_t>(changes[i]["constraint"].integerValue());
            ASSERT_LT(index, scene->constraints.size()) << file;
            for (const auto& c : scene->constraints[index]) c->setConstant(changes[i]["constant"].doubleValue());
            expectFrames(*scene, expected["changes"][i]["frames"], file + " after change " + std::to_string(i));
        }
        ++checked;
    }
    EXPECT_GE(checked, 25);
}

TEST(SceneLayout, BadDescriptionsAreReportedAndTheRestIsBuilt) {
    qm::testkit::TestHost host;
    const auto scene = loadScene(*json::parse(R"({
      "views": [
        {"name": "a", "background": "#00FF00"},
        {"name": "b", "parent": "nowhere"},
        {"name": "a"},
        {"name": "c", "kind": "hologram"},
        {"kind": "view"}
      ],
      "constraints": [
        {"format": "H:|[a]|"},
        {"format": "H:|[zz]|"},
        {"item": "a", "attribute": "sideways", "relation": "=="},
        {"item": "a", "attribute": "height", "constant": 30},
        {"item": "a", "attribute": "top", "toItem": "ghost", "toAttribute": "top"}
      ]
    })"), ".", nullptr);
    ASSERT_TRUE(scene);
    EXPECT_EQ(scene->errors.size(), 7u);
    EXPECT_EQ(scene->views.size(), 2u);  // the window and a
    auto frames = const_cast<Scene&>(*scene).frames();
    EXPECT_EQ(frames["a"].width, Screen::main().bounds().width);
    EXPECT_EQ(frames["a"].height, 30);
    EXPECT_FALSE(loadScene(*json::parse("[1, 2]"), ".", nullptr));
}

TEST(SceneDrawing, ViewsAreDrawnWhereTheirFramesSay) {
    qm::testkit::TestHost host;
    auto scene = loadScene(*json::parse(R"({
      "screen": {"width": 200, "height": 120, "scale": 2, "safeArea": {"top": 0, "bottom": 0}},
      "window": {"background": "#FFFFFF"},
      "views": [
        {"name": "card", "background": "#FF0000", "cornerRadius": 10, "borderWidth": 2, "borderColor": "#0000FF"},
        {"name": "dot", "parent": "card", "background": "#00FF00", "alpha": 0.5},
        {"name": "gone", "parent": "card", "background": "#000000", "hidden": true}
      ],
      "constraints": [
        {"format": "H:|-(20)-[card]-(20)-|"},
        {"format": "V:|-(20)-[card]-(20)-|"},
        {"format": "H:|-(10)-[dot(==20)]"},
        {"format": "V:|-(10)-[dot(==20)]"},
        {"format": "H:|[gone]|"},
        {"format": "V:|[gone]|"}
      ]
    })"), ".", nullptr);
    ASSERT_TRUE(scene);
    const Bitmap picture = renderView(*scene->root);
    ASSERT_EQ(picture.width, 400);
    ASSERT_EQ(picture.height, 240);
    EXPECT_EQ(pixel(picture, 5, 5, 2), 0xFFFFFFFFu);    // the window's white
    EXPECT_EQ(pixel(picture, 100, 60, 2), 0xFFFF0000u);  // inside the card
    EXPECT_EQ(pixel(picture, 21, 60, 2), 0xFF0000FFu);   // its border, inside its edge
    EXPECT_EQ(pixel(picture, 20.5, 20.5, 2), 0xFFFFFFFFu);  // the rounded corner is cut
    // The dot: half-transparent green over red.
    const std::uint32_t dot = pixel(picture, 40, 40, 2);
    EXPECT_NEAR((dot >> 16) & 0xFF, 0x80, 2);
    EXPECT_NEAR((dot >> 8) & 0xFF, 0x80, 2);
    qm::testing::expectPicture(picture, "scene_card");
}

TEST(SceneDrawing, AnimationsAreDrawnAtTheTimeAsked) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 100, 40});
    root->setBackgroundColor(Color::whiteColor());
    auto box = View::create({0, 0, 20, 20});
    box->setBackgroundColor(Color::redColor());
    root->addSubview(box);
    const double start = Layer::currentTime();
    // A block animation moves the box's center from x = 10 to x = 90 over a second, linearly.
    ViewAnimation::animate(1.0, 0, ViewAnimationOption::CurveLinear, [&] { box->setCenter({90, 10}); }, {});
    RenderOptions at;
    at.scale = 1;
    at.time = start + 0.5;
    const Bitmap half = renderView(*root, at);
    EXPECT_EQ(half.at(50, 10), 0xFFFF0000u);  // the box is at x = 40…60
    EXPECT_EQ(half.at(85, 10), 0xFFFFFFFFu);
    at.time = start + 1.5;
    const Bitmap end = renderView(*root, at);
    EXPECT_EQ(end.at(85, 10), 0xFFFF0000u);
    EXPECT_EQ(end.at(50, 10), 0xFFFFFFFFu);
    // The model is at the end from the start.
    EXPECT_EQ(box->center(), (Point{90, 10}));

    at.scale = 2;
    qm::testing::expectPicture(renderContactSheet(*root, start, start + 1, 5, at), "scene_contact_sheet");
}

TEST(SceneDrawing, PicturesFromFilesTextAndButtonsLandInTheirFrames) {
    qm::testkit::TestHost host;
    ImageCodec::setCurrent(media::imageCodec());
    // A 40×20 picture, left half blue and right half green, read back through the decoder.
    Bitmap halves(40, 20, 0xFF0000FFu);
    for (int y = 0; y < 20; ++y)
        for (int x = 20; x < 40; ++x) halves.at(x, y) = 0xFF00FF00u;
    const std::string dir = std::string(QM_BINARY_DIR) + "/test-pictures/scene-files";
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(writePNG(halves, dir + "/halves.png"));
    auto scene = loadScene(*json::parse(R"({
      "screen": {"width": 200, "height": 150, "scale": 1, "safeArea": {"top": 0, "bottom": 0}},
      "window": {"background": "#FFFFFF"},
      "views": [
        {"name": "picture", "kind": "image", "image": "halves.png", "contentMode": "scaleAspectFit"},
        {"name": "title", "kind": "label", "text": "WWWW", "fontSize": 20, "textColor": "#000000"},
        {"name": "go", "kind": "button", "type": "custom", "title": "Go", "background": "#FF0000"}
      ],
      "constraints": [
        {"format": "H:|-10-[picture(80)]"},
        {"format": "V:|-10-[picture(80)]-10-[go(30)]"},
        {"format": "H:[title]-10-|"},
        {"format": "V:|-10-[title]"},
        {"format": "H:|-10-[go(60)]"}
      ]
    })"), dir, nullptr);
    ASSERT_TRUE(scene);
    EXPECT_TRUE(scene->errors.empty()) << (scene->errors.empty() ? "" : scene->errors.front());
    auto frames = scene->frames();
    const Rect title = frames["title"];
    EXPECT_GT(title.width, 40);  // measured text, not a zero frame
    EXPECT_EQ(title.x + title.width, 190);
    const Bitmap picture = renderView(*scene->root);
    ASSERT_EQ(picture.width, 200);
    // Aspect fit: 80×40 centred in the 80×80 frame at (10, 10), so window rows 40…80.
    EXPECT_EQ(pixel(picture, 30, 50, 1), 0xFF0000FFu);
    EXPECT_EQ(pixel(picture, 70, 50, 1), 0xFF00FF00u);
    EXPECT_EQ(pixel(picture, 50, 20, 1), 0xFFFFFFFFu);  // above the fitted picture
    // The label's text is dark inside its frame and nowhere to its left.
    int dark = 0, darkOutside = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 100; x < 200; ++x) {
            const bool isDark = (pixel(picture, x + 0.5, y + 0.5, 1) & 0xFFu) < 0x40u;
            if (!isDark) continue;
            if (title.contains({x + 0.5, y + 0.5})) ++dark;
            else ++darkOutside;
        }
    EXPECT_GT(dark, 50);
    EXPECT_EQ(darkOutside, 0);
    // The button's background where its frame is, its white title inside it.
    EXPECT_EQ(pixel(picture, 12, 102, 1), 0xFFFF0000u);
    EXPECT_EQ(pixel(picture, 12, 135, 1), 0xFFFFFFFFu);  // below it
}
