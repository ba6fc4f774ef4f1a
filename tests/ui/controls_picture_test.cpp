// The controls drawn together (a reference picture), and built from scene descriptions.
#include <gtest/gtest.h>

#include "picture_check.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/screen.hpp"
#include "qmui/alert_controller.hpp"
#include "qmui/navigation_bar.hpp"
#include "qmui/render.hpp"
#include "qmui/scene.hpp"
#include "qmui/segmented_control.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

struct ScreenGuard {
    ~ScreenGuard() { Screen::main().reset(); }
};

}  // namespace

TEST(ControlsPicture, LabelButtonsSegmentsBarAndAlertCard) {
    qm::testkit::TestHost host;
    ScreenGuard guard;
    Screen::main().setBoundsSize({320, 480});
    Screen::main().setSafeAreaInsets({});
    auto root = View::create({0, 0, 320, 480});
    root->setBackgroundColor(Color::whiteColor());

    auto bar = NavigationBar::create({0, 0, 320, NavigationBar::kHeight});
    auto item = NavigationItem::create("Notifications");
    item->setLeftBarButtonItem(BarButtonItem::withSystemItem(BarButtonSystemItem::Edit));
    item->setRightBarButtonItem(BarButtonItem::withSystemItem(BarButtonSystemItem::Done));
    bar->pushNavigationItem(item);
    root->addSubview(bar);

    auto label = std::make_shared<Label>(Rect{16, 56, 288, 60});
    label->setText("Your latest updates and offers, wrapped over two lines of text");
    label->setNumberOfLines(0);
    label->setTextAlignment(TextAlignment::Center);
    root->addSubview(label);

    auto system = Button::create(ButtonType::System);
    system->setTitle("System");
    system->setFrame({16, 130, 130, 40});
    root->addSubview(system);
    auto custom = Button::create(ButtonType::Custom);
    custom->setTitle("Custom");
    custom->setBackgroundColor(Color::rgba(0, 0.5, 0.7));
    custom->setCornerRadius(8);
    custom->setFrame({174, 130, 130, 40});
    root->addSubview(custom);

    auto tabs = std::make_shared<SegmentedControl>(std::vector<std::string>{"All", "Offers", "Others"});
    tabs->setSelectedSegmentIndex(1);
    tabs->setFrame({16, 186, 288, 32});
    root->addSubview(tabs);

    auto alert = AlertController::alertControllerWithTitle("Delete message?", "It cannot be brought back.",
                                                           AlertControllerStyle::Alert);
    alert->addAction(AlertAction::actionWithTitle("Cancel", AlertActionStyle::Cancel));
    alert->addAction(AlertAction::actionWithTitle("Delete", AlertActionStyle::Destructive));
    auto alertView = viewOf(*alert);
    alertView->setFrame({0, 230, 320, 250});
    root->addSubview(alertView);

    RenderOptions options;
    options.scale = 2;
    const Bitmap picture = renderView(*root, options);
    ASSERT_EQ(picture.width, 640);
    // A few pixels checked on their own: the selected segment is tinted, the bar is light.
    const std::uint32_t selected = picture.at(2 * 160, 2 * 190);
    EXPECT_EQ(selected, 0xFF007AFFu);
    EXPECT_GT((picture.at(2 * 160, 2 * 3) >> 16) & 0xFF, 0xE0);
    qm::testing::expectPicture(picture, "controls");
}

TEST(ControlsScene, ControlKindsAreBuiltFromTheirDescriptions) {
    qm::testkit::TestHost host;
    ScreenGuard guard;
    std::vector<std::string> errors;
    auto scene = loadScene(*json::parse(R"({
      "screen": {"width": 320, "height": 200, "scale": 1, "safeArea": {"top": 0, "bottom": 0}},
      "views": [
        {"name": "title", "kind": "label", "text": "Hello", "fontSize": 20, "fontWeight": "bold",
         "textColor": "#FF0000", "alignment": "center", "lines": 2},
        {"name": "go", "kind": "button", "title": "Go", "titleColor": "#00FF00", "type": "custom", "fontSize": 24},
        {"name": "plain", "kind": "button", "text": "Plain"},
        {"name": "odd", "kind": "button", "title": "?", "type": "round"},
        {"name": "tabs", "kind": "segmented", "items": ["One", "Two", 3], "selected": 1},
        {"name": "none", "kind": "segmented", "items": ["A"], "selected": 5}
      ],
      "constraints": [
        {"format": "V:|-(10)-[title]-(10)-[go]-(10)-[tabs]"},
        {"format": "H:|-(10)-[title]"}, {"format": "H:|-(10)-[go]"}, {"format": "H:|-(10)-[tabs]"}
      ]
    })"), ".", &errors);
    ASSERT_TRUE(scene);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("round"), std::string::npos);

    auto title = std::dynamic_pointer_cast<Label>(scene->views["title"]);
    ASSERT_TRUE(title);
    EXPECT_EQ(title->text(), "Hello");
    EXPECT_EQ(title->font(), Font::systemFont(20, FontWeight::Bold));
    EXPECT_EQ(title->textColor(), Color::redColor());
    EXPECT_EQ(title->textAlignment(), TextAlignment::Center);
    EXPECT_EQ(title->numberOfLines(), 2);

    auto go = std::dynamic_pointer_cast<Button>(scene->views["go"]);
    ASSERT_TRUE(go);
    EXPECT_EQ(go->buttonType(), ButtonType::Custom);
    EXPECT_EQ(go->currentTitle(), "Go");
    EXPECT_EQ(go->currentTitleColor(), Color::greenColor());
    EXPECT_EQ(go->titleLabel()->font().pointSize, 24);
    auto plain = std::dynamic_pointer_cast<Button>(scene->views["plain"]);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->buttonType(), ButtonType::System);
    EXPECT_EQ(plain->currentTitle(), "Plain");

    auto tabs = std::dynamic_pointer_cast<SegmentedControl>(scene->views["tabs"]);
    ASSERT_TRUE(tabs);
    EXPECT_EQ(tabs->numberOfSegments(), 2);  // the number is not a title
    EXPECT_EQ(tabs->selectedSegmentIndex(), 1);
    EXPECT_EQ(std::dynamic_pointer_cast<SegmentedControl>(scene->views["none"])->selectedSegmentIndex(),
              SegmentedControl::kNoSegment);

    // Laid out at their intrinsic sizes.
    auto frames = scene->frames();
    EXPECT_EQ(frames["title"].size(), title->intrinsicContentSize());
    EXPECT_EQ(frames["go"].y, frames["title"].maxY() + 10);
    EXPECT_EQ(frames["go"].size(), go->intrinsicContentSize());
    EXPECT_EQ(frames["tabs"].height, SegmentedControl::kHeight);
    EXPECT_EQ(frames["tabs"].width, tabs->intrinsicContentSize().width);
}
