// What animations make of a layer's properties at chosen times: timing functions, the timing
// model, basic, keyframe, group and spring animations, and transform interpolation. Expected
// numbers are worked out by hand in the comments.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "anim_support.hpp"
#include "qmui/animation.hpp"
#include "qmui/layer.hpp"

using namespace qm::platform;
using qm::testkit::AnimationTest;

namespace {

constexpr double kPi = std::numbers::pi;

BasicAnimation basic(const std::string& keyPath, LayerValue from, LayerValue to, double duration) {
    BasicAnimation a(keyPath);
    a.fromValue = from;
    a.toValue = to;
    a.duration = duration;
    return a;
}

void expectTransform(const Transform3D& actual, const Transform3D& expected) {
    const double a[] = {actual.m11, actual.m12, actual.m13, actual.m14, actual.m21, actual.m22, actual.m23, actual.m24,
                        actual.m31, actual.m32, actual.m33, actual.m34, actual.m41, actual.m42, actual.m43, actual.m44};
    const double e[] = {expected.m11, expected.m12, expected.m13, expected.m14, expected.m21, expected.m22,
                        expected.m23, expected.m24, expected.m31, expected.m32, expected.m33, expected.m34,
                        expected.m41, expected.m42, expected.m43, expected.m44};
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], e[i], 1e-9) << "element " << i;
}

class TimingModelTest : public AnimationTest {};
class BasicAnimationTest : public AnimationTest {};
class KeyframeAnimationTest : public AnimationTest {};
class GroupAnimationTest : public AnimationTest {};
class SpringAnimationTest : public AnimationTest {};
class TransformAnimationTest : public AnimationTest {};
class BadAnimationInputTest : public AnimationTest {};

}  // namespace

TEST(TimingFunctionTest, CurvesAreSolvedForTime) {
    EXPECT_DOUBLE_EQ(TimingFunction::linear().evaluate(0.3), 0.3);
    EXPECT_NEAR(TimingFunction::easeInEaseOut().evaluate(0.5), 0.5, 1e-9);  // symmetric about the middle
    // Ease-in (0.42, 0, 1, 1) at curve parameter ½: x = 3·¼·½·0.42 + 3·½·¼ + ⅛ = 0.6575,
    // y = 3·½·¼ + ⅛ = 0.5.
    EXPECT_NEAR(TimingFunction::easeIn().evaluate(0.6575), 0.5, 1e-9);
    // Control x at ⅓ and ⅔ make x = s; y(¼) = 3·¾·(¼)²·1 + (¼)³ = 0.15625.
    EXPECT_NEAR(TimingFunction::controlPoints(1.0 / 3, 0, 2.0 / 3, 1).evaluate(0.25), 0.15625, 1e-9);
    // Out of range: time is clamped; control x outside 0…1 is clamped; NaN gives the line.
    EXPECT_EQ(TimingFunction::easeIn().evaluate(-1), 0);
    EXPECT_EQ(TimingFunction::easeIn().evaluate(2), 1);
    EXPECT_EQ(TimingFunction::controlPoints(-3, 0, 4, 1).controlPoint(1).x, 0);
    EXPECT_EQ(TimingFunction::controlPoints(NAN, 0, 1, 1), TimingFunction::linear());
    // Control y outside 0…1 takes progress outside it: with x = s again,
    // y(¼) = 3·(¾)²·¼·(−1) + 3·¾·(¼)²·2 + (¼)³ = −0.125.
    EXPECT_NEAR(TimingFunction::controlPoints(1.0 / 3, -1, 2.0 / 3, 2).evaluate(0.25), -0.125, 1e-9);
}

TEST_F(TimingModelTest, RepeatsAutoreversesAndFills) {
    layer->setValue("position.x", 7.0);
    auto a = basic("position.x", 0.0, 100.0, 1);
    a.autoreverses = true;
    a.repeatCount = 2;  // 4 s: there, back, there, back
    layer->addAnimation(a, "x");
    EXPECT_NEAR(numberAt("position.x", 0.25), 25, 1e-6);
    EXPECT_NEAR(numberAt("position.x", 1.25), 75, 1e-6);  // on the way back
    EXPECT_NEAR(numberAt("position.x", 2.5), 50, 1e-6);
    EXPECT_NEAR(numberAt("position.x", 3.75), 25, 1e-6);
    EXPECT_EQ(numberAt("position.x", 4), 7);  // removed at the end: the model value
    EXPECT_EQ(numberAt("position.x", -1), 7);  // nothing before it starts without a backwards fill

    // 1.5 repeats of 2 s held at the end: half way through the second run.
    auto b = basic("position.y", 0.0, 100.0, 2);
    b.repeatCount = 1.5;
    b.fillMode = FillMode::Forwards;
    b.removedOnCompletion = false;
    layer->addAnimation(b, "y");
    EXPECT_NEAR(numberAt("position.y", 2.5), 25, 1e-6);
    EXPECT_NEAR(numberAt("position.y", 10), 50, 1e-6);

    // A later begin with a backwards fill shows the first value while it waits.
    auto c = basic("opacity", 0.2, 1.0, 1);
    c.beginTime = at(1);
    c.fillMode = FillMode::Backwards;
    layer->addAnimation(c, "fade");
    EXPECT_NEAR(numberAt("opacity", 0.5), 0.2, 1e-9);
    EXPECT_NEAR(numberAt("opacity", 1.5), 0.6, 1e-6);
}

TEST_F(TimingModelTest, SpeedRepeatDurationAndTimeOffset) {
    auto fast = basic("position.x", 0.0, 100.0, 2);
    fast.speed = 2;  // 2 s of animation in 1 s of the layer's time
    layer->addAnimation(fast, "x");
    EXPECT_NEAR(numberAt("position.x", 0.5), 50, 1e-6);
    EXPECT_EQ(numberAt("position.x", 1), 0);  // done after 1 s

    // The offset starts half way and wraps round: 50 → 100, then 0 → 50.
    auto offset = basic("position.y", 0.0, 100.0, 2);
    offset.timeOffset = 1;
    layer->addAnimation(offset, "y");
    EXPECT_NEAR(numberAt("position.y", 0), 50, 1e-6);
    EXPECT_NEAR(numberAt("position.y", 0.5), 75, 1e-6);
    EXPECT_NEAR(numberAt("position.y", 1.5), 25, 1e-6);

    // A repeat duration of 2.5 s on a 1 s animation.
    auto repeating = basic("opacity", 0.0, 1.0, 1);
    repeating.repeatDuration = 2.5;
    repeating.fillMode = FillMode::Forwards;
    repeating.removedOnCompletion = false;
    layer->addAnimation(repeating, "fade");
    EXPECT_NEAR(numberAt("opacity", 2.25), 0.25, 1e-6);
    EXPECT_NEAR(numberAt("opacity", 3), 0.5, 1e-6);

    // Speed 0 freezes it at its offset.
    auto frozen = basic("cornerRadius", 0.0, 10.0, 1);
    frozen.speed = 0;
    frozen.timeOffset = 0.3;
    layer->addAnimation(frozen, "corner");
    EXPECT_NEAR(numberAt("cornerRadius", 100), 3, 1e-9);
}

TEST_F(BasicAnimationTest, FromToAndByCombinations) {
    layer->setValue("position.x", 100.0);
    auto value = [&](BasicAnimation a) {
        a.keyPath = "position.x";
        a.duration = 1;
        layer->addAnimation(a, "x");
        return numberAt("position.x", 0.25);
    };
    BasicAnimation a;
    a.fromValue = 0.0;
    a.byValue = 40.0;  // 0 → 40
    EXPECT_NEAR(value(a), 10, 1e-6);
    a = {};
    a.byValue = 40.0;
    a.toValue = 50.0;  // 10 → 50
    EXPECT_NEAR(value(a), 20, 1e-6);
    a = {};
    a.fromValue = 0.0;  // 0 → the model's 100
    EXPECT_NEAR(value(a), 25, 1e-6);
    a = {};
    a.toValue = 0.0;  // 100 → 0
    EXPECT_NEAR(value(a), 75, 1e-6);
    a = {};
    a.byValue = 40.0;  // 100 → 140
    EXPECT_NEAR(value(a), 110, 1e-6);
    a = {};  // nothing set: nothing changes
    EXPECT_NEAR(value(a), 100, 1e-9);
    a = {};
    a.fromValue = 0.0;
    a.toValue = 8.0;
    a.byValue = 1000.0;  // from and to win
    EXPECT_NEAR(value(a), 2, 1e-6);
}

TEST_F(BasicAnimationTest, TimingAdditiveAndCumulative) {
    auto eased = basic("opacity", 0.0, 1.0, 2);
    eased.timingFunction = TimingFunction::easeInEaseOut();
    layer->addAnimation(eased, "fade");
    EXPECT_NEAR(numberAt("opacity", 1), 0.5, 1e-6);

    // Added to the model's 100.
    layer->setValue("position.x", 100.0);
    auto additive = basic("position.x", 0.0, 10.0, 1);
    additive.additive = true;
    layer->addAnimation(additive, "x");
    EXPECT_NEAR(numberAt("position.x", 0.5), 105, 1e-6);

    // Each repeat starts where the last ended: 0 → 10, 10 → 20, 20 → 30.
    auto cumulative = basic("position.y", 0.0, 10.0, 1);
    cumulative.cumulative = true;
    cumulative.repeatCount = 3;
    layer->addAnimation(cumulative, "y");
    EXPECT_NEAR(numberAt("position.y", 1.5), 15, 1e-6);
    EXPECT_NEAR(numberAt("position.y", 2.5), 25, 1e-6);

    // Later animations of a property build on earlier ones.
    auto second = basic("position.x", 0.0, 1.0, 1);
    second.additive = true;
    layer->addAnimation(second, "x2");
    EXPECT_NEAR(numberAt("position.x", 0.5), 105.5, 1e-6);

    // Colours and points move component by component.
    layer->addAnimation(basic("backgroundColor", Color::rgba(0, 0, 1, 0), Color::rgba(1, 0, 0, 1), 1), "colour");
    const Color mid = *layer->presentationValue("backgroundColor", at(0.25)).color();
    EXPECT_NEAR(mid.red, 0.25, 1e-6);
    EXPECT_NEAR(mid.blue, 0.75, 1e-6);
    EXPECT_NEAR(mid.alpha, 0.25, 1e-6);
}

TEST_F(KeyframeAnimationTest, ValuesKeyTimesAndModes) {
    KeyframeAnimation a("position.x");
    a.values = {0.0, 10.0, 30.0};
    a.keyTimes = {0, 0.25, 1};
    a.duration = 4;
    layer->addAnimation(a, "x");
    EXPECT_NEAR(numberAt("position.x", 0.5), 5, 1e-6);   // half way to the first key time
    EXPECT_NEAR(numberAt("position.x", 2.5), 20, 1e-6);  // half way from 0.25 to 1

    // Discrete: each of three values a third of the time.
    a.keyPath = "position.y";
    a.keyTimes = {};
    a.calculationMode = CalculationMode::Discrete;
    a.duration = 3;
    layer->addAnimation(a, "y");
    EXPECT_EQ(numberAt("position.y", 0.9), 0);
    EXPECT_EQ(numberAt("position.y", 1.5), 10);
    EXPECT_EQ(numberAt("position.y", 2.9), 30);

    // Paced: 10 then 30 more, at one speed over 4 s: 10 per second.
    a.keyPath = "zPosition";
    a.values = {0.0, 10.0, 40.0};
    a.keyTimes = {0, 0.9, 1};  // ignored when paced
    a.calculationMode = CalculationMode::Paced;
    a.duration = 4;
    layer->addAnimation(a, "z");
    EXPECT_NEAR(numberAt("zPosition", 1), 10, 1e-6);
    EXPECT_NEAR(numberAt("zPosition", 2), 20, 1e-6);

    // A timing function per segment: ease-in reaches half of its segment at 0.6575.
    KeyframeAnimation eased("opacity");
    eased.values = {0.0, 1.0};
    eased.timingFunctions = {TimingFunction::easeIn()};
    eased.duration = 1;
    layer->addAnimation(eased, "fade");
    EXPECT_NEAR(numberAt("opacity", 0.6575), 0.5, 1e-6);

    // Cubic passes through every value at its key time.
    KeyframeAnimation smooth("cornerRadius");
    smooth.values = {0.0, 10.0, 0.0, 10.0};
    smooth.calculationMode = CalculationMode::Cubic;
    smooth.duration = 3;
    layer->addAnimation(smooth, "corner");
    EXPECT_NEAR(numberAt("cornerRadius", 1), 10, 1e-6);
    EXPECT_NEAR(numberAt("cornerRadius", 2), 0, 1e-6);
}

TEST_F(KeyframeAnimationTest, PathsForPoints) {
    Path path;
    path.moveTo({0, 0});
    path.lineTo({100, 0});
    path.lineTo({100, 100});
    KeyframeAnimation a("position");
    a.path = path;
    a.values = {Point{-1, -1}};  // the path wins
    a.duration = 2;
    layer->addAnimation(a, "move");
    EXPECT_EQ(*layer->presentationValue("position", at(0.5)).point(), (Point{50, 0}));
    EXPECT_EQ(*layer->presentationValue("position", at(1.5)).point(), (Point{100, 50}));

    // Paced along 30 then 10: half of the length is 20 along the first line.
    Path bent;
    bent.moveTo({0, 0});
    bent.lineTo({30, 0});
    bent.lineTo({30, 10});
    KeyframeAnimation paced("anchorPoint");
    paced.path = bent;
    paced.calculationMode = CalculationMode::Paced;
    paced.duration = 2;
    layer->addAnimation(paced, "anchor");
    const Point p = *layer->presentationValue("anchorPoint", at(1)).point();
    EXPECT_NEAR(p.x, 20, 1e-6);
    EXPECT_NEAR(p.y, 0, 1e-6);

    // A quadratic curve from (0,0) over (50,100) to (100,0) is at (50,50) half way.
    Path arc;
    arc.moveTo({0, 0});
    arc.quadCurveTo({50, 100}, {100, 0});
    a.path = arc;
    layer->addAnimation(a, "move");
    const Point top = *layer->presentationValue("position", at(1)).point();
    EXPECT_NEAR(top.x, 50, 1e-9);
    EXPECT_NEAR(top.y, 50, 1e-9);
}

TEST_F(GroupAnimationTest, ChildrenRunInGroupTimeAndAreCutAtItsEnd) {
    AnimationGroup group;
    group.duration = 2;
    group.beginTime = at(1);
    auto late = std::make_shared<BasicAnimation>(basic("position.x", 0.0, 100.0, 1));
    late->beginTime = 0.5;  // half a second after the group starts
    auto whole = std::make_shared<BasicAnimation>("opacity");  // no duration: the group's 2 s
    whole->fromValue = 0.0;
    whole->toValue = 1.0;
    auto longer = std::make_shared<BasicAnimation>(basic("cornerRadius", 0.0, 100.0, 4));
    group.animations = {late, whole, longer};
    layer->addAnimation(group, "group");

    EXPECT_EQ(numberAt("position.x", 1.25), 0);  // the child has not begun
    EXPECT_NEAR(numberAt("position.x", 2), 50, 1e-6);
    EXPECT_NEAR(numberAt("opacity", 2), 0.5, 1e-6);
    EXPECT_NEAR(numberAt("cornerRadius", 2.9), 47.5, 1e-6);
    EXPECT_EQ(numberAt("cornerRadius", 3), 0);  // the group is over
    EXPECT_EQ(layer->animationForKey("group")->duration, 2);
}

TEST_F(SpringAnimationTest, FollowsTheDampedOscillator) {
    // Critically damped (damping 2·√(k·m) = 20): x(t) = e^(−10t)·(1 + 10t); at 0.1 s x = 2/e.
    SpringAnimation critical("position.x");
    critical.fromValue = 0.0;
    critical.toValue = 100.0;
    critical.damping = 20;
    critical.duration = 1;
    layer->addAnimation(critical, "x");
    // (Layer times are seconds since 2001 here, good to about 1e-7 s: hence the tolerances.)
    EXPECT_NEAR(numberAt("position.x", 0.1), 100 * (1 - 2 / std::exp(1.0)), 1e-3);

    // Undamped: x(t) = cos(10t): at the target after π/20 s, twice the span after π/10 s.
    SpringAnimation undamped("position.y");
    undamped.fromValue = 0.0;
    undamped.toValue = 100.0;
    undamped.damping = 0;
    undamped.duration = 1;
    layer->addAnimation(undamped, "y");
    EXPECT_NEAR(numberAt("position.y", kPi / 20), 100, 1e-3);
    EXPECT_NEAR(numberAt("position.y", kPi / 10), 200, 1e-3);
    EXPECT_EQ(undamped.settlingDuration(), 3600);

    // Moving towards the target at 10 spans per second: x'(0) = −10.
    SpringAnimation pushed;
    pushed.initialVelocity = 10;
    EXPECT_NEAR((pushed.progressAt(1e-6) - pushed.progressAt(0)) / 1e-6, 10, 1e-3);
}

TEST_F(SpringAnimationTest, SettlesWithinItsSettlingDuration) {
    SpringAnimation spring("opacity");
    spring.fromValue = 0.0;
    spring.toValue = 1.0;
    spring.stiffness = 200;
    spring.damping = 8;
    const double settling = spring.settlingDuration();
    ASSERT_GT(settling, 0.5);
    ASSERT_LT(settling, 10);
    spring.duration = settling;
    spring.fillMode = FillMode::Forwards;
    spring.removedOnCompletion = false;
    layer->addAnimation(spring, "fade");
    // It overshoots on the way, and from the settling time on stays within 0.1 %.
    double highest = 0;
    for (double t = 0; t < settling; t += 0.01) highest = std::max(highest, numberAt("opacity", t));
    EXPECT_GT(highest, 1.1);
    EXPECT_NEAR(numberAt("opacity", settling), 1, 1e-3);
    EXPECT_NEAR(numberAt("opacity", settling + 100), 1, 1e-3);  // held at the end
}

TEST_F(TransformAnimationTest, TransformsInterpolateByTheirParts) {
    // Half of a quarter turn about x is an eighth turn about x.
    layer->addAnimation(basic("transform", Transform3D::identity(), Transform3D::rotation(kPi / 2, 1, 0, 0), 1), "t");
    expectTransform(*layer->presentationValue("transform", at(0.5)).transform(), Transform3D::rotation(kPi / 4, 1, 0, 0));

    // Scale 1 → 3 and translation 0 → 10 reach 2 and 5 half way, while turning 0 → 90°.
    const Transform3D to = Transform3D::scale(3, 3, 1)
                               .concatenating(Transform3D::rotation(kPi / 2, 0, 0, 1))
                               .concatenating(Transform3D::translation(10, 0, 0));
    layer->addAnimation(basic("sublayerTransform", Transform3D::identity(), to, 1), "s");
    expectTransform(*layer->presentationValue("sublayerTransform", at(0.5)).transform(),
                    Transform3D::scale(2, 2, 1)
                        .concatenating(Transform3D::rotation(kPi / 4, 0, 0, 1))
                        .concatenating(Transform3D::translation(5, 0, 0)));
}

TEST_F(TransformAnimationTest, PartKeyPathsBuildIntoTheModelTransform) {
    layer->setTransform(Transform3D::scale(2, 2, 1));
    layer->addAnimation(basic("transform.rotation.z", 0.0, kPi, 1), "spin");
    // Half way: a quarter turn, still at twice the size.
    expectTransform(*layer->presentationValue("transform", at(0.5)).transform(),
                    Transform3D::scale(2, 2, 1).concatenating(Transform3D::rotation(kPi / 2, 0, 0, 1)));
    EXPECT_NEAR(*layer->presentationValue("transform.rotation", at(0.5)).number(), kPi / 2, 1e-9);

    // A full turn by the number goes all the way round (a matrix could not say so).
    auto turn = basic("transform.rotation", 0.0, 2 * kPi, 1);
    layer->addAnimation(turn, "spin");
    expectTransform(*layer->presentationValue("transform", at(0.75)).transform(),
                    Transform3D::scale(2, 2, 1).concatenating(Transform3D::rotation(1.5 * kPi, 0, 0, 1)));

    layer->addAnimation(basic("transform.scale", 2.0, 4.0, 1), "grow");
    EXPECT_NEAR(*layer->presentationValue("transform.scale.x", at(0.5)).number(), 3, 1e-9);
    EXPECT_TRUE(layer->transform() == Transform3D::scale(2, 2, 1));  // the model is untouched
}

TEST_F(BadAnimationInputTest, DurationsSpeedsAndRepeatsFallBack) {
    for (double duration : {0.0, -1.0, double(NAN), double(INFINITY)}) {
        auto a = basic("opacity", 0.0, 1.0, duration);  // the transaction's 0.25 s
        layer->addAnimation(a, "fade");
        EXPECT_EQ(layer->animationForKey("fade")->duration, 0.25) << duration;
        EXPECT_NEAR(numberAt("opacity", 0.125), 0.5, 1e-6) << duration;
    }
    Transaction::begin();
    Transaction::setAnimationDuration(2);
    Transaction::setAnimationDuration(-5);  // refused
    Transaction::setAnimationDuration(NAN);
    layer->addAnimation(basic("opacity", 0.0, 1.0, 0), "fade");
    Transaction::commit();
    EXPECT_NEAR(numberAt("opacity", 1), 0.5, 1e-6);

    auto odd = basic("position.x", 0.0, 100.0, 1);
    odd.speed = NAN;
    odd.repeatCount = -3;
    odd.repeatDuration = NAN;
    odd.timeOffset = INFINITY;
    odd.beginTime = NAN;
    layer->addAnimation(odd, "x");
    EXPECT_NEAR(numberAt("position.x", 0.5), 50, 1e-6);
    EXPECT_EQ(numberAt("position.x", 1), 0);
}

TEST_F(BadAnimationInputTest, KeyframeListsThatDoNotFitAreIgnoredOrShowNothing) {
    layer->setValue("position.x", 7.0);
    KeyframeAnimation a("position.x");
    a.values = {0.0, 10.0, 30.0};
    a.duration = 1;
    for (auto keyTimes : {std::vector<double>{0, 0.8, 0.5}, std::vector<double>{0, 1}, std::vector<double>{0, 0.5, 2},
                          std::vector<double>{0, NAN, 1}}) {
        a.keyTimes = keyTimes;  // spread evenly instead: 10 → 30 in the second half
        layer->addAnimation(a, "x");
        EXPECT_NEAR(numberAt("position.x", 0.75), 20, 1e-6);
    }
    a.values = {};
    layer->addAnimation(a, "x");
    EXPECT_EQ(numberAt("position.x", 0.5), 7);
    a.values = {1.0, Point{1, 2}};  // values of different kinds: nothing to show between them
    layer->addAnimation(a, "x");
    EXPECT_EQ(numberAt("position.x", 0.5), 7);
    a.values = {Point{1, 2}};  // the wrong kind for the key path
    layer->addAnimation(a, "x");
    EXPECT_EQ(numberAt("position.x", 0.5), 7);
    BasicAnimation unknown("shadowRadius");
    unknown.fromValue = 0.0;
    unknown.toValue = 1.0;
    layer->addAnimation(unknown, "x");
    EXPECT_EQ(numberAt("position.x", 0.1), 7);
    EXPECT_TRUE(layer->presentationValue("shadowRadius", at(0.1)).isNone());
}
