// Constraint layout of view trees: frames from constraints and visual formats, pinned
// frames of views that translate them, intrinsic sizes, constant changes, broken constraints.
#include <gtest/gtest.h>

#include <cmath>

#include "qmui/layout_constraint.hpp"
#include "qmui/view.hpp"
#include "test_host.hpp"

using namespace qm::platform;
using A = LayoutAttribute;
using R = LayoutRelation;

namespace {

std::shared_ptr<View> placed(const std::shared_ptr<View>& parent, std::string name) {
    auto v = View::create();
    v->setAccessibilityIdentifier(std::move(name));
    v->setTranslatesAutoresizingMaskIntoConstraints(false);
    parent->addSubview(v);
    return v;
}

struct Sized : View {
    Size size;
    Size intrinsicContentSize() const override { return size; }
};

}  // namespace

TEST(ViewLayout, VisualFormatsAndItemConstraintsPlaceViews) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 390, 844});
    auto card = placed(root, "card");
    auto title = placed(card, "title");
    auto VFL = [&](std::string format, std::map<std::string, std::shared_ptr<View>, std::less<>> views) {
        LayoutConstraint::activateConstraints(
            LayoutConstraint::constraintsWithVisualFormat(format, 0, {{"pad", 20}}, views));
    };
    VFL("H:|-(pad)-[card]-(pad)-|", {{"card", card}});
    LayoutConstraint::constraintWithItem(card, A::Height, R::Equal, nullptr, A::NotAnAttribute, 1, 200)->setActive(true);
    LayoutConstraint::constraintWithItem(card, A::CenterY, R::Equal, root, A::CenterY, 1, 0)->setActive(true);
    VFL("H:|-[title]-|", {{"title", title}});
    VFL("V:|-[title(==40)]", {{"title", title}});
    root->layoutIfNeeded();

    EXPECT_EQ(card->frame(), (Rect{20, 322, 350, 200}));
    // Standard spacing to the superview's edges is 20; frames are in the superview's coordinates.
    EXPECT_EQ(title->frame(), (Rect{20, 20, 310, 40}));
    EXPECT_TRUE(brokenConstraints(*root).empty());

    // A multiplier relates sizes across the tree.
    auto half = placed(root, "half");
    LayoutConstraint::activateConstraints({
        LayoutConstraint::constraintWithItem(half, A::Width, R::Equal, card, A::Width, 0.5, 0),
        LayoutConstraint::constraintWithItem(half, A::Height, R::Equal, half, A::Width, 1, 0),
        LayoutConstraint::constraintWithItem(half, A::Leading, R::Equal, title, A::Leading, 1, 0),
        LayoutConstraint::constraintWithItem(half, A::Top, R::Equal, card, A::Bottom, 1, 8),
    });
    root->layoutIfNeeded();
    EXPECT_EQ(half->frame(), (Rect{40, 530, 175, 175}));  // leading of title in root: 20 + 20
}

TEST(ViewLayout, FramesSetByHandArePinnedAndFollowed) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 400, 400});
    auto box = View::create({50, 60, 100, 100});  // translates its frame
    root->addSubview(box);
    auto badge = placed(root, "badge");
    LayoutConstraint::activateConstraints({
        LayoutConstraint::constraintWithItem(badge, A::Leading, R::Equal, box, A::Trailing, 1, 4),
        LayoutConstraint::constraintWithItem(badge, A::CenterY, R::Equal, box, A::Top, 1, 0),
        LayoutConstraint::constraintWithItem(badge, A::Width, R::Equal, nullptr, A::NotAnAttribute, 1, 20),
        LayoutConstraint::constraintWithItem(badge, A::Height, R::Equal, nullptr, A::NotAnAttribute, 1, 20),
    });
    root->layoutIfNeeded();
    EXPECT_EQ(box->frame(), (Rect{50, 60, 100, 100}));
    EXPECT_EQ(badge->frame(), (Rect{154, 50, 20, 20}));

    box->setFrame({0, 0, 10, 10});
    root->layoutIfNeeded();
    EXPECT_EQ(badge->frame(), (Rect{14, -10, 20, 20}));

    // Constraints to a scrolled superview's edges hold its content: the offset moves the row
    // on screen, not in its superview.
    auto scroller = View::create({0, 100, 400, 300});
    root->addSubview(scroller);
    auto row = placed(scroller, "row");
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat(
        "V:|[row(==50)]", 0, {}, {{"row", row}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("H:|[row]|", 0, {}, {{"row", row}}));
    scroller->setBounds({0, 30, 400, 300});
    root->layoutIfNeeded();
    EXPECT_EQ(row->frame(), (Rect{0, 0, 400, 50}));
    EXPECT_EQ(row->convertRectTo(row->bounds(), root.get()), (Rect{0, 70, 400, 50}));
}

TEST(ViewLayout, IntrinsicSizesHugAndResistByPriority) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 300, 100});
    auto make = [&](std::string name, Size size) {
        auto v = std::make_shared<Sized>();
        v->size = size;
        v->setAccessibilityIdentifier(std::move(name));
        v->setTranslatesAutoresizingMaskIntoConstraints(false);
        root->addSubview(v);
        return v;
    };
    auto a = make("a", {80, 20}), b = make("b", {100, 20});
    LayoutConstraint::activateConstraints(
        LayoutConstraint::constraintsWithVisualFormat("H:|[a][b]|", kAlignAllTop, {}, {{"a", a}, {"b", b}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("V:|[a]", 0, {}, {{"a", a}}));
    // 120 points to spare: the view that hugs less grows.
    b->setContentHuggingPriority(200, LayoutAxis::Horizontal);
    root->layoutIfNeeded();
    EXPECT_EQ(a->frame(), (Rect{0, 0, 80, 20}));
    EXPECT_EQ(b->frame(), (Rect{80, 0, 220, 20}));

    // Too little room: the one resisting compression less gives way.
    root->setFrame({0, 0, 150, 100});
    a->setContentCompressionResistancePriority(800, LayoutAxis::Horizontal);
    root->layoutIfNeeded();
    EXPECT_EQ(a->frame().width, 80);
    EXPECT_EQ(b->frame().width, 70);

    // A new intrinsic size is picked up.
    a->size = {40, 20};
    a->invalidateIntrinsicContentSize();
    root->layoutIfNeeded();
    EXPECT_EQ(a->frame().width, 40);
    EXPECT_EQ(b->frame(), (Rect{40, 0, 110, 20}));

    // A view that no constraint names still takes its intrinsic size where it stands, and
    // follows a later change; one without an intrinsic size keeps its frame.
    auto loose = make("loose", {30, 12});
    loose->setCenter({200, 60});
    auto plain = placed(root, "plain");
    plain->setFrame({5, 5, 7, 7});
    root->layoutIfNeeded();
    EXPECT_EQ(loose->frame(), (Rect{200, 60, 30, 12}));
    EXPECT_EQ(plain->frame(), (Rect{5, 5, 7, 7}));
    loose->size = {50, 10};
    loose->invalidateIntrinsicContentSize();
    root->layoutIfNeeded();
    EXPECT_EQ(loose->frame(), (Rect{200, 60, 50, 10}));
    // In a tree with no constraints at all, too.
    auto alone = View::create({0, 0, 100, 100});
    auto late = std::make_shared<Sized>();
    late->setTranslatesAutoresizingMaskIntoConstraints(false);
    alone->addSubview(late);
    alone->layoutIfNeeded();
    EXPECT_EQ(late->frame(), (Rect{0, 0, 0, 0}));
    late->size = {25, 15};
    late->invalidateIntrinsicContentSize();
    alone->layoutIfNeeded();
    EXPECT_EQ(late->frame(), (Rect{0, 0, 25, 15}));
}

TEST(ViewLayout, ConstantChangesInLayoutSubviewsSettleAndConflictsAreBroken) {
    qm::testkit::TestHost host;
    // A view that sizes its child from its own width, as the popup and inbox views do.
    struct Container : View {
        std::shared_ptr<LayoutConstraint> height;
        int passes = 0;
        void layoutSubviews() override {
            ++passes;
            if (height) height->setConstant(bounds().width / 2);
        }
    };
    auto root = View::create({0, 0, 400, 400});
    auto container = std::make_shared<Container>();
    container->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(container);
    auto child = placed(container, "child");
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat(
        "H:|-(50)-[c]-(50)-|", 0, {}, {{"c", container}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("V:|[c(==300)]", 0, {}, {{"c", container}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("H:|[x]|", 0, {}, {{"x", child}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("V:|[x]", 0, {}, {{"x", child}}));
    container->height = LayoutConstraint::constraintWithItem(child, A::Height, R::Equal, nullptr, A::NotAnAttribute, 1, 10);
    container->height->setActive(true);
    root->layoutIfNeeded();
    EXPECT_EQ(container->frame(), (Rect{50, 0, 300, 300}));
    EXPECT_EQ(child->frame(), (Rect{0, 0, 300, 150}));
    EXPECT_LE(container->passes, 3);

    // A required constraint that contradicts the others is broken and reported, not obeyed.
    auto conflict = LayoutConstraint::constraintWithItem(child, A::Width, R::Equal, nullptr, A::NotAnAttribute, 1, 10);
    conflict->setActive(true);
    root->layoutIfNeeded();
    EXPECT_EQ(child->frame().width, 300);
    ASSERT_EQ(brokenConstraints(*root).size(), 1u);
    EXPECT_EQ(brokenConstraints(*root)[0], conflict);
    conflict->setActive(false);
    root->layoutIfNeeded();
    EXPECT_TRUE(brokenConstraints(*root).empty());

    // Bad input is refused without a constraint.
    EXPECT_FALSE(LayoutConstraint::constraintWithItem(child, A::Left, R::Equal, nullptr, A::NotAnAttribute, 1, 5));
    EXPECT_FALSE(LayoutConstraint::constraintWithItem(child, A::Left, R::Equal, root, A::Top, 1, 0));
    EXPECT_FALSE(LayoutConstraint::constraintWithItem(child, A::Width, R::Equal, nullptr, A::NotAnAttribute, 1, NAN));
    EXPECT_TRUE(LayoutConstraint::constraintsWithVisualFormat("H:|[nobody]|", 0, {}, {{"x", child}}).empty());
    // Views without a common ancestor cannot be related.
    auto stranger = View::create();
    auto across = LayoutConstraint::constraintWithItem(child, A::Width, R::Equal, stranger, A::Width, 1, 0);
    across->setActive(true);
    EXPECT_FALSE(across->isActive());
}

// Removing the last view placed by constraints leaves a tree with nothing to solve: it
// settles at once rather than solving again on every pass.
TEST(ViewLayout, ATreeWhoseConstrainedViewsWereRemovedSettles) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 400, 400});
    auto overlay = placed(root, "overlay");
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("H:|[o]|", 0, {}, {{"o", overlay}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("V:|[o]|", 0, {}, {{"o", overlay}}));
    root->layoutIfNeeded();
    EXPECT_EQ(overlay->frame(), root->bounds());
    overlay->removeFromSuperview();
    root->setNeedsLayout();
    root->layoutIfNeeded();
    for (const auto& line : host.logLines()) EXPECT_EQ(line.find("did not settle"), std::string::npos) << line;
    // Constraints added afterwards are solved as usual.
    auto again = placed(root, "again");
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("H:|-(10)-[a]-(10)-|", 0, {}, {{"a", again}}));
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat("V:|[a(==20)]", 0, {}, {{"a", again}}));
    root->layoutIfNeeded();
    EXPECT_EQ(again->frame(), (Rect{10, 0, 380, 20}));
}
