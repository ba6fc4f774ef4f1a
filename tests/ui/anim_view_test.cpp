// View animation contexts as a view's setters use them: blocks, springs, nesting, the
// begin/commit style, and the order completions arrive in.
#include <gtest/gtest.h>

#include <any>
#include <string>
#include <vector>

#include "anim_support.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmui/view_animation.hpp"

using namespace qm::platform;
using qm::testkit::AnimationTest;
namespace Option = ViewAnimationOption;

namespace {

class ViewAnimationTest : public AnimationTest {
protected:
    std::vector<std::string> events;

    // What a view's position setter does: store the model value, then offer the change.
    bool moveTo(double x) {
        const LayerValue from = layer->position();
        layer->setPosition({x, 0});
        return ViewAnimation::animateChange(*layer, "position", from, layer->position());
    }
    ViewAnimation::Completion record(const std::string& name) {
        return [this, name](bool finished) { events.push_back(name + (finished ? " finished" : " cut short")); };
    }
    double xAt(double seconds) { return layer->presentationValue("position.x", at(seconds)).number().value_or(NAN); }
    using Events = std::vector<std::string>;
};

class BeginCommitTest : public ViewAnimationTest {};

}  // namespace

TEST_F(ViewAnimationTest, ChangesInsideABlockAnimateWithItsTiming) {
    EXPECT_FALSE(moveTo(10));  // outside a block nothing animates
    EXPECT_FALSE(layer->hasAnimations());

    bool added = false;
    ViewAnimation::animate(2, [&] { added = moveTo(110); }, record("block"));
    EXPECT_TRUE(added);
    auto animation = std::dynamic_pointer_cast<const BasicAnimation>(layer->animationForKey("position"));
    ASSERT_TRUE(animation);
    EXPECT_EQ(animation->duration, 2);
    EXPECT_EQ(animation->timingFunction, TimingFunction::easeInEaseOut());
    EXPECT_NEAR(xAt(1), 60, 1e-6);  // ease in-out is half way at half time
    host.advance(1.5);
    EXPECT_TRUE(events.empty());
    host.advance(0.5);
    EXPECT_EQ(events, Events{"block finished"});
    EXPECT_FALSE(layer->hasAnimations());
}

TEST_F(ViewAnimationTest, DelayOptionsAndCurves) {
    ViewAnimation::animate(1, 0.5, Option::CurveLinear | Option::Repeat | Option::Autoreverse, [&] { moveTo(100); },
                           record("block"));
    // While it waits the layer shows where it came from, although the model has moved.
    EXPECT_EQ(xAt(0.25), 0);
    EXPECT_NEAR(xAt(0.75), 25, 1e-6);
    EXPECT_NEAR(xAt(1.75), 75, 1e-6);  // on the way back
    EXPECT_NEAR(xAt(100.75), 25, 1e-6);  // and so on for ever
    host.advance(10);
    EXPECT_TRUE(events.empty());
    layer->removeAllAnimations();
    host.advance(0);
    EXPECT_EQ(events, Events{"block cut short"});
}

TEST_F(ViewAnimationTest, ABlockWithNothingToAnimateCompletesOnTheNextTurn) {
    ViewAnimation::animate(1, [] {}, record("empty"));
    ViewAnimation::animate(0, [&] { EXPECT_FALSE(moveTo(50)); }, record("instant"));
    ViewAnimation::animate(1, [&] { EXPECT_FALSE(moveTo(50)); }, record("unchanged"));  // already at 50
    ViewAnimation::animate(1, [&] { ViewAnimation::performWithoutAnimation([&] { EXPECT_FALSE(moveTo(70)); }); },
                           record("without"));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(layer->position().x, 70);
    RunLoop::main().runOnce();
    EXPECT_EQ(events, (Events{"empty finished", "instant finished", "unchanged finished", "without finished"}));
    EXPECT_FALSE(layer->hasAnimations());
}

TEST_F(ViewAnimationTest, ALaterBlockReplacesTheChangeAndCutsTheEarlierOneShort) {
    ViewAnimation::animate(2, 0, Option::CurveLinear, [&] { moveTo(100); }, record("first"));
    host.advance(1);
    ViewAnimation::animate(2, 0, Option::CurveLinear, [&] { moveTo(200); }, record("second"));
    // Without BeginFromCurrentState the new animation starts from the old model value.
    EXPECT_EQ(xAt(1), 100);
    host.advance(0);
    EXPECT_EQ(events, Events{"first cut short"});
    host.advance(2);
    EXPECT_EQ(events, (Events{"first cut short", "second finished"}));
}

TEST_F(ViewAnimationTest, BeginFromCurrentStateStartsWhereTheLayerIsShown) {
    ViewAnimation::animate(2, 0, Option::CurveLinear, [&] { moveTo(100); });
    host.advance(1);
    ViewAnimation::animate(1, 0, Option::CurveLinear | Option::BeginFromCurrentState, [&] { moveTo(0); });
    EXPECT_NEAR(xAt(1), 50, 1e-6);
    EXPECT_NEAR(xAt(1.5), 25, 1e-6);
    host.advance(1);
    // With nothing in flight the option changes nothing: the change starts from the model.
    ViewAnimation::animate(1, 0, Option::CurveLinear | Option::BeginFromCurrentState, [&] { moveTo(40); });
    EXPECT_NEAR(xAt(2.5), 20, 1e-6);
}

TEST_F(ViewAnimationTest, NestedBlocksInheritUnlessTheyOverride) {
    auto other = std::make_shared<Layer>();
    ViewAnimation::animate(
        2, 0, Option::CurveLinear | Option::AllowUserInteraction,
        [&] {
            moveTo(100);
            ViewAnimation::animate(0.5, 0.25, 0, [&] {
                auto context = ViewAnimation::current();
                ASSERT_TRUE(context);
                EXPECT_EQ(context->duration, 2);  // the parent's duration and curve
                EXPECT_EQ(context->curve, ViewAnimationCurve::Linear);
                EXPECT_EQ(context->delay, 0.25);
                EXPECT_TRUE(context->options & Option::AllowUserInteraction);
            });
            ViewAnimation::animate(
                0.5, 0, Option::OverrideInheritedDuration | Option::OverrideInheritedCurve | Option::CurveEaseIn,
                [&] {
                    ViewAnimation::animateChange(*other, "opacity", 1.0, 0.0);
                },
                record("inner"));
        },
        record("outer"));
    EXPECT_FALSE(ViewAnimation::current());
    EXPECT_EQ(layer->animationForKey("position")->duration, 2);
    EXPECT_EQ(other->animationForKey("opacity")->duration, 0.5);
    EXPECT_EQ(other->animationForKey("opacity")->timingFunction, TimingFunction::easeIn());
    host.advance(0.5);
    EXPECT_EQ(events, Events{"inner finished"});
    host.advance(1.5);  // the outer block waits for its own animation and the nested one's
    EXPECT_EQ(events, (Events{"inner finished", "outer finished"}));
}

TEST_F(ViewAnimationTest, SpringBlocksSettleWithinTheirDuration) {
    auto movesTo = [&](double ratio) {
        layer->setPosition({0, 0});
        ViewAnimation::animateWithSpring(1, 0, ratio, 0, 0, [&] { moveTo(100); }, record("spring"));
        auto spring = std::dynamic_pointer_cast<const SpringAnimation>(layer->animationForKey("position"));
        EXPECT_TRUE(spring);
        EXPECT_EQ(spring ? spring->mass : 0, 1);
        const double begun = Layer::currentTime() - start;
        double highest = 0;
        for (double t = 0; t < 1; t += 0.01) highest = std::max(highest, xAt(begun + t));
        EXPECT_NEAR(xAt(begun + 0.999), 100, 0.2);
        host.advance(1);
        return highest;
    };
    EXPECT_LE(movesTo(1), 100 + 1e-6);  // critically damped: no overshoot
    EXPECT_GT(movesTo(0.3), 110);       // a bouncy spring overshoots
    EXPECT_EQ(events, (Events{"spring finished", "spring finished"}));
}

TEST_F(ViewAnimationTest, UserInteractionIsBlockedWhileAnimatingUnlessAllowed) {
    ViewAnimation::animate(1, [&] { moveTo(100); });
    EXPECT_TRUE(ViewAnimation::blocksUserInteraction(*layer));
    ViewAnimation::animate(1, 0, Option::AllowUserInteraction, [&] { moveTo(0); });
    EXPECT_FALSE(ViewAnimation::blocksUserInteraction(*layer));
    ViewAnimation::animate(1, [&] { moveTo(100); });
    host.advance(1);
    EXPECT_FALSE(ViewAnimation::blocksUserInteraction(*layer));
}

TEST_F(BeginCommitTest, DelegateCallbacksReceiveNameAndContext) {
    ViewAnimation::beginAnimations("slide", std::any(42));
    ViewAnimation::setAnimationDuration(1);
    ViewAnimation::setAnimationDelay(0.5);
    ViewAnimation::setAnimationCurve(ViewAnimationCurve::Linear);
    ViewAnimation::setAnimationWillStart([&](const std::string& name, const std::any& context) {
        events.push_back("will start " + name + " " + std::to_string(std::any_cast<int>(context)));
    });
    ViewAnimation::setAnimationDidStop([&](const std::string& name, bool finished, const std::any& context) {
        events.push_back("did stop " + name + (finished ? " finished " : " cut short ") +
                         std::to_string(std::any_cast<int>(context)));
    });
    EXPECT_TRUE(moveTo(100));
    ViewAnimation::commitAnimations();
    EXPECT_NEAR(xAt(1), 50, 1e-6);
    host.advance(0.25);
    EXPECT_TRUE(events.empty());
    host.advance(0.25);
    EXPECT_EQ(events, Events{"will start slide 42"});
    host.advance(1);
    EXPECT_EQ(events, (Events{"will start slide 42", "did stop slide finished 42"}));
}

TEST_F(BeginCommitTest, DefaultsRepeatsAndEmptyContexts) {
    ViewAnimation::beginAnimations();
    ViewAnimation::setAnimationRepeatCount(1.5);
    ViewAnimation::setAnimationRepeatAutoreverses(true);
    moveTo(100);
    ViewAnimation::commitAnimations();
    auto animation = layer->animationForKey("position");
    ASSERT_TRUE(animation);
    EXPECT_EQ(animation->duration, 0.2);
    EXPECT_EQ(animation->repeatCount, 1.5);
    EXPECT_TRUE(animation->autoreverses);

    ViewAnimation::beginAnimations("nothing", std::string("ctx"));
    ViewAnimation::setAnimationDidStop([&](const std::string& name, bool finished, const std::any& context) {
        events.push_back(name + (finished ? " finished " : " cut short ") + std::any_cast<std::string>(context));
    });
    ViewAnimation::commitAnimations();
    ViewAnimation::commitAnimations();  // nothing open: ignored
    ViewAnimation::setAnimationDuration(5);
    RunLoop::main().runOnce();
    EXPECT_EQ(events, Events{"nothing finished ctx"});
}

TEST_F(BeginCommitTest, ABlockClosesWhatWasLeftOpenInsideIt) {
    ViewAnimation::animate(1, [&] {
        ViewAnimation::beginAnimations("unclosed");
        ViewAnimation::setAnimationDidStop([&](const std::string& name, bool, const std::any&) { events.push_back(name); });
    });
    EXPECT_FALSE(ViewAnimation::current());
    EXPECT_FALSE(moveTo(5));
    RunLoop::main().runOnce();
    EXPECT_EQ(events, Events{"unclosed"});
}
