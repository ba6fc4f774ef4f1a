// Entrance animations: the spring's keyframes against values worked out by hand, and what each
// effect shows at chosen moments on the test clock.
#include <gtest/gtest.h>

#include <cmath>

#include "inapp/QMEntranceAnimations.hpp"
#include "qmplatform/screen.hpp"
#include "qmui/layer.hpp"
#include "qmui/view.hpp"
#include "quelmar/QM_BounceAnimation.hpp"
#include "test_host.hpp"

using namespace qm;
using namespace qm::platform;

TEST(BounceAnimation, KeyframesSpringPastTheEndAndSettle) {
    EXPECT_EQ(QMBounceAnimationStiffnessLight, 5.0);
    EXPECT_EQ(QMBounceAnimationStiffnessMedium, 0.10000000149011612);
    EXPECT_EQ(QMBounceAnimationStiffnessHeavy, 0.0010000000474974513);

    QM_BounceAnimation spring("position.x");
    EXPECT_EQ(spring.numberOfBounces(), 2u);
    EXPECT_EQ(spring.stiffness(), QMBounceAnimationStiffnessMedium);
    EXPECT_TRUE(spring.shouldOvershoot());
    spring.setFromValue(0.0);
    spring.setDuration(0.5);
    EXPECT_TRUE(spring.values.empty()) << "no end value yet";
    spring.setNumberOfBounces(4);
    spring.setStiffness(QMBounceAnimationStiffnessLight);
    spring.setToValue(100.0);
    ASSERT_EQ(spring.values.size(), 30u);
    // By hand: alpha = log2(5 / 100) / 30 = -0.1440643 per frame, omega = 2.5 × 2π / 30, and
    // value(i) = 2.71^(i × alpha) × (0 − 100) × cos(omega × i) + 100.
    EXPECT_NEAR(*spring.values[0].number(), 0, 1e-4);
    EXPECT_NEAR(*spring.values[6].number(), 142.24, 0.01) << "swings past the end";
    EXPECT_NEAR(*spring.values[12].number(), 82.16, 0.01);
    EXPECT_NEAR(*spring.values[15].number(), 100, 1e-3);
    EXPECT_NEAR(*spring.values[29].number(), 100, 3);
    EXPECT_EQ(spring.timingFunction, TimingFunction::linear());

    spring.setShouldOvershoot(false);
    for (const auto& v : spring.values) EXPECT_LE(*v.number(), 100.0 + 1e-4);
    spring.setFromValue(100.0);
    for (const auto& v : spring.values) EXPECT_FLOAT_EQ(static_cast<float>(*v.number()), 100.0f);

    spring.setDuration(0);
    EXPECT_TRUE(spring.values.empty());
    spring.setDuration(1e12);
    EXPECT_TRUE(spring.values.empty()) << "an absurd duration computes nothing";
}

TEST(BounceAnimation, CompositeValuesDropTheirFirstFrameAndPointsMakeAPath) {
    QM_BounceAnimation colour("backgroundColor");
    colour.setDuration(0.5);
    colour.setFromValue(Color::rgba(1, 0, 0));
    colour.setToValue(Color::rgba(0, 0, 1));
    EXPECT_EQ(colour.values.size(), 29u);
    EXPECT_NEAR(colour.values.back().color()->blue, 1, 0.1);

    QM_BounceAnimation frame("frame");
    frame.setDuration(0.5);
    frame.setFromValue(Rect{0, 0, 10, 10});
    frame.setToValue(Rect{100, 50, 20, 20});
    EXPECT_EQ(frame.values.size(), 29u);

    QM_BounceAnimation transform("transform");
    transform.setDuration(0.25);
    transform.setFromValue(Transform3D::scale(0, 0, 1));
    transform.setToValue(Transform3D::identity());
    EXPECT_EQ(transform.values.size(), 14u);

    QM_BounceAnimation point("position");
    point.setDuration(0.5);
    point.setFromValue(Point{0, 0});
    point.setToValue(Point{100, 200});
    EXPECT_TRUE(point.values.empty());
    ASSERT_TRUE(point.path);
    ASSERT_EQ(point.path->elements().size(), 30u);
    EXPECT_EQ(point.path->elements()[0].type, Path::ElementType::MoveTo);
    EXPECT_EQ(point.path->elements()[0].points[0], (Point{0, 0}));

    QM_BounceAnimation mixed("position");
    mixed.setDuration(0.5);
    mixed.setFromValue(1.0);
    mixed.setToValue(Point{1, 1});
    EXPECT_TRUE(mixed.values.empty() && !mixed.path);
}

namespace {

class Entrance : public ::testing::Test {
protected:
    void SetUp() override {
        container = std::make_shared<View>(Rect{20, 300, 350, 200});
        start = Layer::currentTime();
    }
    double at(double seconds) const { return start + seconds; }
    double scaleAt(double seconds) const {
        return container->layer().presentationValue("transform.scale.x", at(seconds)).number().value_or(-1);
    }

    testkit::TestHost host;
    std::shared_ptr<View> container;
    double start = 0;
};

}  // namespace

TEST_F(Entrance, SpringsPopsSlidesAndShakes) {
    // Spring in from the left edge: 30 keyframes on position.x from 0 to where the view was.
    inapp::animateEntrance(17, *container);
    auto spring = std::dynamic_pointer_cast<const KeyframeAnimation>(container->layer().animationForKey("someKey"));
    ASSERT_TRUE(spring);
    EXPECT_EQ(spring->keyPath, "position.x");
    ASSERT_EQ(spring->values.size(), 30u);
    EXPECT_EQ(*spring->values.front().number(), 0);
    EXPECT_NEAR(*spring->values.back().number(), 195, 10);
    EXPECT_EQ(container->center(), (Point{195, 400})) << "the model stays where the view belongs";

    // Pop in: tiny, then 1.1 at 0.2 s, 0.9 at 0.35 s, 1 at 0.5 s.
    auto pop = std::make_shared<View>(Rect{0, 0, 100, 100});
    inapp::popInAnimation(*pop);
    auto popScale = [&](double s) {
        host.advance(s - (Layer::currentTime() - start));
        host.runUntilIdle();
        return pop->layer().presentationValue("transform.scale.x").number().value_or(-1);
    };
    EXPECT_NEAR(popScale(0), 0.001, 1e-6);
    EXPECT_NEAR(popScale(0.2), 1.1, 1e-3);
    EXPECT_NEAR(popScale(0.35), 0.9, 1e-3);
    EXPECT_NEAR(popScale(0.5), 1.0, 1e-3);

    // Slide in from below: a full height down at first, in place after 0.5 s.
    auto slide = std::make_shared<View>(Rect{0, 0, 100, 80});
    const double slideStart = Layer::currentTime();
    inapp::animateEntrance(3, *slide);
    EXPECT_NEAR(*slide->layer().presentationValue("transform.translation.y", slideStart).number(), 80, 1e-9);
    EXPECT_NEAR(*slide->layer().presentationValue("transform.translation.y", slideStart + 0.5).number(), 0, 1e-9);

    // Shake: five round trips of 0.06 s each way, then at rest.
    auto shaken = std::make_shared<View>(Rect{0, 0, 100, 80});
    inapp::shakeAnimation(*shaken);
    host.advance(0.61);
    host.runUntilIdle();
    EXPECT_TRUE(shaken->transform().isIdentity());

    // An id outside the table changes nothing and is in at once.
    auto plain = std::make_shared<View>(Rect{0, 0, 100, 80});
    bool in = false;
    inapp::animateEntrance(12, *plain, [&] { in = true; });
    host.runUntilIdle();
    EXPECT_TRUE(in);
    EXPECT_TRUE(plain->layer().animationKeys().empty());
    EXPECT_EQ(plain->alpha(), 1);
}

TEST_F(Entrance, FadeTellsWhenTheViewIsInWithoutHoldingTheRunLoop) {
    bool in = false;
    inapp::animateEntrance(21, *container, [&] { in = true; });
    EXPECT_NEAR(*container->layer().presentationValue("opacity", at(0)).number(), 0, 1e-9);
    EXPECT_NEAR(*container->layer().presentationValue("opacity", at(0.65)).number(), 0.5, 0.2);
    host.advance(1.2);
    host.runUntilIdle();
    EXPECT_FALSE(in);
    host.advance(0.2);
    host.runUntilIdle();
    EXPECT_TRUE(in);
    EXPECT_EQ(container->alpha(), 1);

    // Zoom with tilt: scale from 0 over a second, tilted back at 0.2 s.
    auto zoomed = std::make_shared<View>(Rect{0, 0, 100, 80});
    const double zoomStart = Layer::currentTime();
    inapp::animateEntrance(7, *zoomed);
    EXPECT_EQ(zoomed->layer().animationKeys(), (std::vector<std::string>{"move forward by scaling", "rotate back and forth"}));
    EXPECT_NEAR(*zoomed->layer().presentationValue("transform.scale.x", zoomStart).number(), 0, 1e-9);
    EXPECT_NEAR(*zoomed->layer().presentationValue("transform.rotation.x", zoomStart + 0.2).number(), -0.3490658503988659,
                1e-6);
    EXPECT_NEAR(*zoomed->layer().presentationValue("transform.scale.x", zoomStart + 1).number(), 1, 1e-9);
}
