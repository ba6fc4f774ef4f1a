// The view tree: geometry, the tree's invariants, coordinates, hit testing and gestures.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>

#include "qmplatform/screen.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/control.hpp"
#include "qmui/gesture.hpp"
#include "qmui/image_view.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/view.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

void expectRect(Rect actual, Rect expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-9);
    EXPECT_NEAR(actual.y, expected.y, 1e-9);
    EXPECT_NEAR(actual.width, expected.width, 1e-9);
    EXPECT_NEAR(actual.height, expected.height, 1e-9);
}

}  // namespace

// A removed view takes the constraints tying it (or a view inside it) to the old tree along;
// the ones among its own subviews stay with it.
TEST(ViewTree, RemovedViewsTakeTheirConstraintsToTheTreeAlong) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 390, 844});
    auto panel = View::create(), inner = View::create(), sibling = View::create();
    for (auto& v : {panel, inner, sibling}) v->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(panel);
    root->addSubview(sibling);
    panel->addSubview(inner);
    std::map<std::string, std::shared_ptr<View>, std::less<>> views{{"p", panel}, {"i", inner}, {"s", sibling}};
    auto pin = [&](View& holder, const char* format) {
        auto list = LayoutConstraint::constraintsWithVisualFormat(format, 0, {}, views);
        for (auto& c : list) holder.addConstraint(c);
    };
    pin(*root, "H:|-0-[p]-0-|");
    pin(*root, "V:|-10-[p(100)]-(>=0)-[s(20)]");
    pin(*root, "H:|-0-[s]-0-|");
    pin(*root, "H:|-5-[i]");  // from the root straight to a view inside the panel
    pin(*panel, "V:|-0-[i(10)]");
    root->layoutIfNeeded();
    const std::size_t before = root->constraints().size();

    panel->removeFromSuperview();
    // What tied the panel or its inner view to the root is gone; the sibling keeps its own.
    for (const auto& c : root->constraints()) {
        EXPECT_NE(c->firstItem(), panel);
        EXPECT_NE(c->secondItem(), panel);
        EXPECT_NE(c->firstItem(), inner);
        EXPECT_NE(c->secondItem(), inner);
    }
    EXPECT_LT(root->constraints().size(), before);
    EXPECT_FALSE(panel->constraints().empty()) << "the panel's own constraints stay";
    panel.reset();
    inner.reset();
    host.clearLog();
    root->setNeedsLayout();
    root->layoutIfNeeded();
    EXPECT_FALSE(host.logContains("Unable to simultaneously satisfy constraints"));
    EXPECT_EQ(sibling->frame().width, 390);
}

TEST(ViewGeometry, FrameFollowsCenterBoundsAndTransform) {
    auto view = View::create({10, 20, 100, 50});
    EXPECT_EQ(view->center(), (Point{60, 45}));
    EXPECT_EQ(view->bounds(), (Rect{0, 0, 100, 50}));

    // Scaling about the center: the frame grows around it, the bounds stay.
    view->setTransform(AffineTransform::scale(2, 2));
    expectRect(view->frame(), {-40, -5, 200, 100});
    EXPECT_EQ(view->bounds(), (Rect{0, 0, 100, 50}));

    // A quarter turn swaps the frame's sides about the same center.
    view->setTransform(AffineTransform::rotation(std::numbers::pi / 2));
    expectRect(view->frame(), {35, -5, 50, 100});

    view->setTransform({});
    view->setBounds({0, 0, 40, 40});  // the center stays
    expectRect(view->frame(), {40, 25, 40, 40});

    // Values that are not numbers leave the view as it was.
    view->setFrame({NAN, 0, 10, 10});
    view->setCenter({0, INFINITY});
    view->setAlpha(NAN);
    expectRect(view->frame(), {40, 25, 40, 40});
    EXPECT_EQ(view->alpha(), 1);
    view->setAlpha(7);
    EXPECT_EQ(view->alpha(), 1);
}

TEST(ViewTree, SubviewsMoveRatherThanDuplicateAndCyclesAreRefused) {
    auto a = View::create(), b = View::create(), c = View::create();
    ASSERT_TRUE(a->addSubview(b));
    ASSERT_TRUE(b->addSubview(c));
    EXPECT_FALSE(c->addSubview(a));  // a is an ancestor of c
    EXPECT_FALSE(a->addSubview(a));
    EXPECT_TRUE(c->isDescendantOfView(a.get()));

    // Adding c to a moves it out of b.
    ASSERT_TRUE(a->addSubview(c));
    EXPECT_TRUE(b->subviews().empty());
    EXPECT_EQ(a->subviews().size(), 2u);
    EXPECT_EQ(c->superview(), a);

    // Order: last is frontmost; re-inserting reorders without duplicating.
    a->insertSubview(c, 0);
    EXPECT_EQ(a->subviews().front(), c);
    a->bringSubviewToFront(c);
    EXPECT_EQ(a->subviews().back(), c);
    EXPECT_EQ(a->subviews().size(), 2u);

    c->setTag(7);
    EXPECT_EQ(a->viewWithTag(7), c);
    std::weak_ptr<View> weak = c;
    c->removeFromSuperview();
    EXPECT_FALSE(c->superview());
    c.reset();
    EXPECT_TRUE(weak.expired());  // the tree held the only other reference
}

TEST(ViewTree, WindowsAndControllersGiveTheirViewsAWindow) {
    qm::testkit::TestHost host;
    auto window = std::make_shared<Window>();
    auto controller = std::make_shared<ViewController>();
    window->setRootViewController(controller);
    auto root = viewOf(*window);
    EXPECT_EQ(root->frame(), Screen::main().bounds());
    auto content = viewOf(*controller);
    EXPECT_EQ(content->superview(), root);
    EXPECT_EQ(content->window(), window);

    auto child = View::create({0, 0, 10, 10});
    EXPECT_FALSE(child->window());
    content->addSubview(child);
    EXPECT_EQ(child->window(), window);
    child->removeFromSuperview();
    EXPECT_FALSE(child->window());

    // The safe area where a view overlaps it: a view across the whole screen gets the
    // screen's insets; one in the middle gets none.
    EXPECT_EQ(content->safeAreaInsets(), (EdgeInsets{47, 0, 34, 0}));
    auto middle = View::create({0, 100, 390, 100});
    content->addSubview(middle);
    EXPECT_EQ(middle->safeAreaInsets(), (EdgeInsets{}));
    auto top = View::create({0, 0, 390, 100});
    content->addSubview(top);
    EXPECT_EQ(top->safeAreaInsets(), (EdgeInsets{47, 0, 0, 0}));
}

TEST(ViewCoordinates, ConversionsFollowOffsetsBoundsOriginsAndTransforms) {
    auto root = View::create({0, 0, 400, 400});
    auto a = View::create({50, 60, 200, 200});
    auto b = View::create({10, 20, 50, 50});
    root->addSubview(a);
    a->addSubview(b);
    EXPECT_EQ(b->convertPointTo({0, 0}, root.get()), (Point{60, 80}));
    EXPECT_EQ(root->convertPointTo({60, 80}, b.get()), (Point{0, 0}));

    // A bounds origin shifts what the subviews show (scrolling).
    a->setBounds({0, 30, 200, 200});
    EXPECT_EQ(b->convertPointTo({0, 0}, root.get()), (Point{60, 50}));
    expectRect(b->convertRectTo({0, 0, 50, 50}, nullptr), {60, 50, 50, 50});

    // A scale about a's center (150, 160 in root) doubles distances from it.
    a->setBounds({0, 0, 200, 200});
    a->setTransform(AffineTransform::scale(2, 2));
    const Point p = b->convertPointTo({0, 0}, root.get());  // (10, 20) in a is (-90, -80) from a's center
    EXPECT_NEAR(p.x, 150 - 180, 1e-9);
    EXPECT_NEAR(p.y, 160 - 160, 1e-9);
    const Point back = b->convertPointFrom(p, root.get());
    EXPECT_NEAR(back.x, 0, 1e-9);
    EXPECT_NEAR(back.y, 0, 1e-9);
}

TEST(ViewEvents, HitTestingSkipsHiddenTransparentAndDisabledViews) {
    auto root = View::create({0, 0, 300, 300});
    auto back = View::create({0, 0, 200, 200});
    auto front = View::create({100, 100, 200, 200});
    root->addSubview(back);
    root->addSubview(front);
    EXPECT_EQ(root->hitTest({150, 150}), front);  // overlapping: the front one
    EXPECT_EQ(root->hitTest({50, 50}), back);
    front->setHidden(true);
    EXPECT_EQ(root->hitTest({150, 150}), back);
    front->setHidden(false);
    front->setAlpha(0);
    EXPECT_EQ(root->hitTest({150, 150}), back);
    front->setAlpha(1);
    front->setUserInteractionEnabled(false);
    EXPECT_EQ(root->hitTest({150, 150}), back);
    EXPECT_EQ(root->hitTest({350, 10}), nullptr);

    // A subview outside its superview is hit unless the superview clips.
    auto outside = View::create({250, 0, 100, 50});
    back->addSubview(outside);
    EXPECT_EQ(root->hitTest({260, 10}), outside);
    back->setClipsToBounds(true);
    EXPECT_EQ(root->hitTest({260, 10}), root);
}

TEST(ViewEvents, TapsReachRecognisersAndControlsAsOnThePlatform) {
    auto root = View::create({0, 0, 300, 300});
    auto card = View::create({0, 0, 300, 200});
    auto button = std::make_shared<Control>(Rect{10, 10, 80, 40});
    root->addSubview(card);
    card->addSubview(button);
    int cardTaps = 0, doubleTaps = 0, presses = 0;
    Point where;
    card->addGestureRecognizer(std::make_shared<TapGestureRecognizer>([&](GestureRecognizer& g) {
        ++cardTaps;
        where = g.locationInView(card.get());
    }));
    auto twice = std::make_shared<TapGestureRecognizer>([&](GestureRecognizer&) { ++doubleTaps; });
    twice->numberOfTapsRequired = 2;
    card->addGestureRecognizer(twice);
    button->addTarget([&](Control&) { ++presses; }, ControlEventTouchUpInside);

    EXPECT_TRUE(tap(*root, {150, 150}));
    EXPECT_EQ(cardTaps, 1);
    EXPECT_EQ(where, (Point{150, 150}));
    // The button takes a single tap itself, though its superview has a tap recogniser.
    EXPECT_TRUE(tap(*root, {20, 20}));
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(cardTaps, 1);
    // A double tap goes to the recogniser that wants two.
    EXPECT_TRUE(tap(*root, {150, 150}, 2));
    EXPECT_EQ(doubleTaps, 1);
    // Disabled controls and recognisers act on nothing.
    button->setEnabled(false);
    EXPECT_FALSE(tap(*root, {20, 20}));
    EXPECT_EQ(presses, 1);
    card->gestureRecognizers().front()->setEnabled(false);
    EXPECT_FALSE(tap(*root, {150, 150}));

    // Swipes go to a recogniser for their direction only.
    int lefts = 0;
    auto left = std::make_shared<SwipeGestureRecognizer>([&](GestureRecognizer&) { ++lefts; });
    left->direction = SwipeLeft;
    card->addGestureRecognizer(left);
    EXPECT_FALSE(swipe(*root, {150, 150}, SwipeRight));
    EXPECT_TRUE(swipe(*root, {150, 150}, SwipeLeft));
    EXPECT_EQ(lefts, 1);
}

TEST(ViewEvents, AnActionMayRemoveItsOwnViewFromTheTree) {
    auto root = View::create({0, 0, 100, 100});
    auto button = std::make_shared<Control>(Rect{0, 0, 100, 100});
    root->addSubview(button);
    std::weak_ptr<Control> weak = button;
    button->addTarget([](Control& c) { c.removeFromSuperview(); }, ControlEventTouchUpInside);
    button.reset();
    EXPECT_TRUE(tap(*root, {50, 50}));
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(root->subviews().empty());
}

TEST(ViewLayout, LayoutSubviewsRunsOncePerPassTopDownAndOnTheRunLoop) {
    qm::testkit::TestHost host;
    struct Recording : View {
        using View::View;
        std::vector<std::string>* log = nullptr;
        std::string name;
        void layoutSubviews() override { log->push_back(name); }
    };
    std::vector<std::string> log;
    auto make = [&](std::string name) {
        auto v = std::make_shared<Recording>(Rect{0, 0, 100, 100});
        v->log = &log;
        v->name = std::move(name);
        return v;
    };
    auto root = make("root"), child = make("child");
    root->addSubview(child);
    root->layoutIfNeeded();
    EXPECT_EQ(log, (std::vector<std::string>{"root", "child"}));
    root->layoutIfNeeded();  // nothing needs it any more
    EXPECT_EQ(log.size(), 2u);

    // Asking several times lays out once, on the next turn of the run loop.
    log.clear();
    child->setNeedsLayout();
    child->setNeedsLayout();
    root->setNeedsLayout();
    EXPECT_TRUE(log.empty());
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(log, (std::vector<std::string>{"root", "child"}));

    // A size change asks for layout; a move does not.
    log.clear();
    child->setFrame({10, 10, 100, 100});
    root->layoutIfNeeded();
    EXPECT_TRUE(log.empty());
    child->setFrame({10, 10, 50, 100});
    root->layoutIfNeeded();
    EXPECT_EQ(log, (std::vector<std::string>{"child"}));
}

TEST(ImageViews, AnimationImagesPlayOnTheClockAndCountedOnesEnd) {
    qm::testkit::TestHost host;
    auto image = [](std::uint32_t colour) { return Image::withBitmap(Bitmap(4, 2, colour), 2); };
    auto view = ImageView::create(image(1));
    EXPECT_EQ(view->intrinsicContentSize(), (Size{2, 1}));  // pixels over the scale
    EXPECT_EQ(view->frame(), (Rect{0, 0, 2, 1}));

    view->setAnimationImages({image(10), image(20), image(30)});
    view->setAnimationDuration(0.3);
    view->setAnimationRepeatCount(2);
    const double start = host.clock().now().seconds;
    view->startAnimating();
    EXPECT_EQ(view->displayedBitmap(start)->at(0, 0), 10u);
    EXPECT_EQ(view->displayedBitmap(start + 0.15)->at(0, 0), 20u);
    EXPECT_EQ(view->displayedBitmap(start + 0.45)->at(0, 0), 20u);  // second round
    host.clock().advance(0.61);
    EXPECT_FALSE(view->isAnimating());
    EXPECT_EQ(view->displayedBitmap(host.clock().now().seconds)->at(0, 0), 1u);  // back to the image

    // An animated image plays its own frames by their delays.
    auto animated = Image::animated({Bitmap(1, 1, 5), Bitmap(1, 1, 6)}, {0.1, 0.5});
    view->stopAnimating();
    view->setImage(animated);
    const double shown = host.clock().now().seconds;
    EXPECT_EQ(view->displayedBitmap(shown + 0.05)->at(0, 0), 5u);
    EXPECT_EQ(view->displayedBitmap(shown + 0.3)->at(0, 0), 6u);
    EXPECT_EQ(view->displayedBitmap(shown + 0.65)->at(0, 0), 5u);  // loops after 0.6 s
}
