// Buttons: values per state with the normal state as fallback, the title colours of the two
// types, taps through hit testing into target-action, and the placement of image and title.
#include <gtest/gtest.h>

#include <vector>

#include "qmui/button.hpp"
#include "qmui/gesture.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

std::shared_ptr<Image> solidImage(int w, int h) { return Image::withBitmap(Bitmap(w, h, 0xFF00FF00u)); }

}  // namespace

TEST(ControlsButton, StateValuesFallBackToTheNormalState) {
    qm::testkit::TestHost host;
    auto button = Button::create(ButtonType::System);
    EXPECT_EQ(button->className(), "UIButton");
    EXPECT_FALSE(button->titleForState(ControlStateNormal));
    button->setTitle("Play");
    button->setTitle("Pause", ControlStateSelected);
    EXPECT_EQ(button->titleForState(ControlStateHighlighted), "Play");  // falls back
    EXPECT_EQ(button->titleForState(ControlStateSelected), "Pause");
    // A combined state without its own value falls back to normal, not to a part of it.
    EXPECT_EQ(button->titleForState(ControlStateSelected | ControlStateHighlighted), "Play");
    EXPECT_EQ(button->currentTitle(), "Play");
    button->setSelected(true);
    EXPECT_EQ(button->currentTitle(), "Pause");
    EXPECT_EQ(button->titleLabel()->text(), "Pause");  // the label follows the state
    button->setTitle(std::nullopt, ControlStateSelected);
    EXPECT_EQ(button->currentTitle(), "Play");

    // Images: the same fallback; the image view shows the current one.
    auto normal = solidImage(10, 10), disabled = solidImage(12, 12);
    button->setImage(normal);
    button->setImage(disabled, ControlStateDisabled);
    EXPECT_EQ(button->imageForState(ControlStateHighlighted), normal);
    button->setEnabled(false);
    EXPECT_EQ(button->currentImage(), normal);  // selected and disabled: no value of its own
    button->setSelected(false);
    EXPECT_EQ(button->currentImage(), disabled);
    EXPECT_EQ(button->imageView()->image(), disabled);
    EXPECT_FALSE(button->backgroundImageForState(ControlStateNormal));
    button->setBackgroundImage(normal);
    EXPECT_EQ(button->currentBackgroundImage(), normal);
}

TEST(ControlsButton, TitleColoursFollowTheTypeTintAndHighlight) {
    qm::testkit::TestHost host;
    auto system = Button::create(ButtonType::System);
    auto custom = Button::create(ButtonType::Custom);
    // System: the tint colour, also the one inherited from where the button is placed.
    EXPECT_EQ(system->titleColorForState(ControlStateNormal), Color::systemBlue());
    auto parent = View::create({0, 0, 100, 100});
    parent->setTintColor(Color::redColor());
    parent->addSubview(system);
    EXPECT_EQ(system->currentTitleColor(), Color::redColor());
    EXPECT_NE(system->titleColorForState(ControlStateDisabled), Color::redColor());  // greyed
    // Custom: white until told otherwise, in every state.
    EXPECT_EQ(custom->titleColorForState(ControlStateNormal), Color::whiteColor());
    EXPECT_EQ(custom->titleColorForState(ControlStateHighlighted), Color::whiteColor());

    // A system title dims while highlighted unless it has a highlighted colour of its own;
    // a custom one does not change.
    system->setHighlighted(true);
    EXPECT_EQ(system->displayedTitleColor().red, 1);
    EXPECT_LT(system->displayedTitleColor().alpha, 0.5);
    system->setTitleColor(Color::greenColor(), ControlStateHighlighted);
    EXPECT_EQ(system->displayedTitleColor(), Color::greenColor());
    system->setHighlighted(false);
    EXPECT_EQ(system->displayedTitleColor(), Color::redColor());
    custom->setTitleColor(Color::black());
    custom->setHighlighted(true);
    EXPECT_EQ(custom->displayedTitleColor(), Color::black());
}

TEST(ControlsButton, TapsReachTargetsThroughHitTestingAndDisabledButtonsIgnoreThem) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 300, 300});
    auto button = Button::create(ButtonType::System);
    button->setTitle("Send");
    button->setFrame({100, 100, 80, 40});
    root->addSubview(button);

    std::vector<std::string> events;
    button->addTarget([&](Control& c) { events.push_back(c.isHighlighted() ? "down+hl" : "down"); }, ControlEventTouchDown);
    const int up = button->addTarget([&](Control& c) { events.push_back(c.isHighlighted() ? "up+hl" : "up"); },
                                     ControlEventTouchUpInside);
    // The title label covers the middle of the button but lets the tap through to it.
    root->layoutIfNeeded();
    EXPECT_TRUE(button->titleLabel()->frame().contains({40, 20}));
    EXPECT_EQ(root->hitTest({140, 120}), button);
    EXPECT_TRUE(tap(*root, {140, 120}));
    EXPECT_EQ(events, (std::vector<std::string>{"down+hl", "up"}));
    EXPECT_FALSE(button->isHighlighted());

    EXPECT_FALSE(tap(*root, {20, 20}));  // beside the button
    button->setEnabled(false);
    EXPECT_FALSE(tap(*root, {140, 120}));
    button->setEnabled(true);
    button->removeTarget(up);
    EXPECT_TRUE(tap(*root, {140, 120}));
    EXPECT_EQ(events.size(), 3u);

    // An action may drop the last reference to its button.
    std::weak_ptr<Button> weak = button;
    button->addTarget([&](Control&) { root->subviews().front()->removeFromSuperview(); }, ControlEventTouchUpInside);
    button.reset();
    EXPECT_TRUE(tap(*root, {140, 120}));
    EXPECT_TRUE(weak.expired());
}

TEST(ControlsButton, IntrinsicSizeAndContentPlacementFollowInsetsAndAlignment) {
    qm::testkit::TestHost host;
    auto button = Button::create(ButtonType::Custom);
    EXPECT_EQ(button->intrinsicContentSize(), (Size{0, 0}));
    button->setTitle("Go");
    const Size title = measureText("Go", button->titleLabel()->font(), 0, 1).size;
    EXPECT_EQ(button->intrinsicContentSize(), title);
    button->setImage(solidImage(20, 30));
    EXPECT_EQ(button->intrinsicContentSize(), (Size{title.width + 20, 30}));
    button->setContentEdgeInsets({5, 10, 5, 10});
    EXPECT_EQ(button->intrinsicContentSize(), (Size{title.width + 40, 40}));
    // Title and image insets move content, they do not size the button.
    button->setTitleEdgeInsets({0, 8, 0, 0});
    EXPECT_EQ(button->intrinsicContentSize(), (Size{title.width + 40, 40}));
    button->setTitleEdgeInsets({});

    // Centred: the image then the title, as a group in the middle.
    button->setFrame({0, 0, 200, 60});
    button->layoutIfNeeded();
    const double groupLeft = (200 - 20 - title.width) / 2;
    EXPECT_DOUBLE_EQ(button->imageView()->frame().x, groupLeft);
    EXPECT_DOUBLE_EQ(button->titleLabel()->frame().x, groupLeft + 20);
    EXPECT_DOUBLE_EQ(button->imageView()->frame().y, 15);
    // Left: from the content inset; the title's inset pushes only the title.
    button->setContentHorizontalAlignment(ControlContentHorizontalAlignment::Left);
    button->setTitleEdgeInsets({0, 8, 0, 0});
    button->layoutIfNeeded();
    EXPECT_DOUBLE_EQ(button->imageView()->frame().x, 10);
    EXPECT_DOUBLE_EQ(button->titleLabel()->frame().x, 38);
    // Right: flush with the right inset.
    button->setContentHorizontalAlignment(ControlContentHorizontalAlignment::Right);
    button->setTitleEdgeInsets({});
    button->setContentVerticalAlignment(ControlContentVerticalAlignment::Top);
    button->layoutIfNeeded();
    EXPECT_DOUBLE_EQ(button->titleLabel()->frame().maxX(), 190);
    EXPECT_DOUBLE_EQ(button->imageView()->frame().y, 5);

    // System buttons keep a comfortable tap size.
    auto system = Button::create(ButtonType::System);
    EXPECT_EQ(system->intrinsicContentSize(), (Size{30, 30}));
    system->setTitle("OK");
    EXPECT_EQ(system->intrinsicContentSize().height, measureText("OK", system->titleLabel()->font(), 0, 1).size.height + 12);
    system->sizeToFit();
    EXPECT_EQ(system->bounds().size(), system->intrinsicContentSize());
}
