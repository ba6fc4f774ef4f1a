// Labels: the intrinsic size follows the text, the font, the number of lines and the width the
// layout gives a multi-line label; what is drawn stays inside what was measured.
#include <gtest/gtest.h>

#include <cmath>

#include "qmui/label.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/render.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

const char* kLongText = "The quick brown fox jumps over the lazy dog while the cat watches from the fence";

// Columns of `bitmap` holding any pixel darker than mid grey, as [first, last].
std::pair<int, int> inkColumns(const Bitmap& bitmap) {
    int first = bitmap.width, last = -1;
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = 0; x < bitmap.width; ++x)
            if (((bitmap.at(x, y) >> 8) & 0xFF) < 0x80) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return {first, last};
}

}  // namespace

TEST(ControlsLabel, IntrinsicSizeFollowsTextFontAndLines) {
    qm::testkit::TestHost host;
    auto label = std::make_shared<Label>();
    EXPECT_EQ(label->className(), "UILabel");
    EXPECT_EQ(label->intrinsicContentSize(), (Size{0, 0}));  // no text, no size
    EXPECT_FALSE(label->isUserInteractionEnabled());
    EXPECT_EQ(label->numberOfLines(), 1);
    EXPECT_EQ(label->lineBreakMode(), LineBreakMode::TruncateTail);

    label->setText("Hi");
    const Size shortSize = label->intrinsicContentSize();
    label->setText("Hi there, friend");
    const Size longSize = label->intrinsicContentSize();
    EXPECT_GT(longSize.width, shortSize.width * 3);
    // One line: the font's line height rounded up to whole points, whatever the text.
    EXPECT_EQ(longSize.height, std::ceil(label->font().lineHeight()));
    EXPECT_EQ(shortSize.height, longSize.height);

    label->setFont(Font::systemFont(34));
    const Size bigger = label->intrinsicContentSize();
    EXPECT_NEAR(bigger.width, longSize.width * 2, 4);
    EXPECT_EQ(bigger.height, std::ceil(Font::systemFont(34).lineHeight()));

    // A single line keeps its full width whatever the label's width; a preferred width wraps
    // more lines.
    label->setFont(Font::systemFont(17));
    label->setText(kLongText);
    label->setFrame({0, 0, 100, 20});
    const double line = std::ceil(label->font().lineHeight());
    EXPECT_GT(label->intrinsicContentSize().width, 300);
    EXPECT_EQ(label->intrinsicContentSize().height, line);
    label->setNumberOfLines(0);
    label->setPreferredMaxLayoutWidth(150);
    const Size wrapped = label->intrinsicContentSize();
    EXPECT_LE(wrapped.width, 150);
    EXPECT_GE(wrapped.height, 4 * label->font().lineHeight());
    label->setNumberOfLines(2);
    EXPECT_NEAR(label->intrinsicContentSize().height, 2 * label->font().lineHeight(), 1);
    label->setNumberOfLines(-3);  // taken as "as many as needed"
    EXPECT_EQ(label->numberOfLines(), 0);
    EXPECT_EQ(label->intrinsicContentSize(), wrapped);

    // sizeThatFits wraps at the width asked, not at the label's.
    const Size fits = label->sizeThatFits({300, 0});
    EXPECT_LE(fits.width, 300);
    EXPECT_LT(fits.height, wrapped.height);
}

TEST(ControlsLabel, MultiLineLabelTakesTheHeightItsLaidOutWidthNeeds) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 200, 600});
    auto label = std::make_shared<Label>();
    label->setText(kLongText);
    label->setNumberOfLines(0);
    label->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(label);
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("H:|-(10)-[label]-(10)-|", {}, {}, {{"label", label}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("V:|-(10)-[label]", {}, {}, {{"label", label}}));
    root->layoutIfNeeded();
    const double line = label->font().lineHeight();
    EXPECT_EQ(label->frame().width, 180);
    const double narrowHeight = label->frame().height;
    EXPECT_GE(narrowHeight, 3 * line);
    EXPECT_EQ(narrowHeight, label->sizeThatFits({180, 0}).height);

    // A wider root: the same text takes fewer lines, and the label follows by itself.
    root->setFrame({0, 0, 800, 600});
    root->layoutIfNeeded();
    EXPECT_EQ(label->frame().width, 780);
    EXPECT_LT(label->frame().height, narrowHeight);
    EXPECT_EQ(label->frame().height, label->sizeThatFits({780, 0}).height);

    // New text invalidates the layout: one short line.
    label->setText("Short");
    EXPECT_TRUE(root->needsLayout() || label->needsLayout());
    root->layoutIfNeeded();
    EXPECT_EQ(label->frame().height, std::ceil(line));

    // A preferred width wins over the laid-out width.
    label->setText(kLongText);
    label->setPreferredMaxLayoutWidth(100);
    root->layoutIfNeeded();
    EXPECT_EQ(label->frame().height, label->sizeThatFits({100, 0}).height);
    EXPECT_FALSE(host.logContains("did not settle"));
}

TEST(ControlsLabel, DrawsItsTextInsideWhatItMeasuredAlignedAndGreyedWhenDisabled) {
    qm::testkit::TestHost host;
    auto label = Label::create("Measure me");
    label->setFont(Font::systemFont(20));
    const Size size = label->intrinsicContentSize();
    label->setFrame({0, 0, size.width + 100, size.height});
    RenderOptions options;
    options.scale = 1;
    options.background = Color::whiteColor();

    const auto [left, right] = inkColumns(renderView(*label, options));
    ASSERT_GE(right, 0) << "nothing was drawn";
    EXPECT_LT(left, 4);                                // natural alignment: from the left edge
    EXPECT_LE(right, static_cast<int>(size.width));    // and no further than measured

    label->setTextAlignment(TextAlignment::Right);
    const auto [rLeft, rRight] = inkColumns(renderView(*label, options));
    EXPECT_GE(rLeft, 100 - 1);
    EXPECT_GT(rRight, static_cast<int>(size.width) + 90);

    label->setTextColor(Color::redColor());
    EXPECT_EQ(label->displayedTextColor(), Color::redColor());
    label->setEnabled(false);
    EXPECT_LT(label->displayedTextColor().alpha, 1);
    label->setEnabled(true);
    label->setHighlightedTextColor(Color::blueColor());
    label->setHighlighted(true);
    EXPECT_EQ(label->displayedTextColor(), Color::blueColor());
}
