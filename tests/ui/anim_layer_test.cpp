// Animations on layers as time passes: copies, keys, start and stop callbacks on the main run
// loop, removal, presentation copies, transactions and implicit animations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "anim_support.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmui/animation.hpp"
#include "qmui/layer.hpp"

using namespace qm::platform;
using qm::testkit::AnimationTest;

namespace {

class LayerAnimationTest : public AnimationTest {
protected:
    std::vector<std::string> events;

    // A fade from 0 to 1 that records its callbacks as "<name> start" and "<name> stop …".
    BasicAnimation fade(const std::string& name, double duration) {
        BasicAnimation a("opacity");
        a.fromValue = 0.0;
        a.toValue = 1.0;
        a.duration = duration;
        a.didStart = [this, name](const Animation&) { events.push_back(name + " start"); };
        a.didStop = [this, name](const Animation&, bool finished) {
            events.push_back(name + (finished ? " stop finished" : " stop unfinished"));
        };
        return a;
    }
    using Events = std::vector<std::string>;
};

class TransactionTest : public LayerAnimationTest {};

}  // namespace

TEST_F(LayerAnimationTest, AddingCopiesAndStartsNow) {
    auto a = fade("a", 2);
    layer->addAnimation(a, "fade");
    a.toValue = 100.0;  // the layer's copy does not change
    a.duration = 50;
    EXPECT_NEAR(numberAt("opacity", 1), 0.5, 1e-6);
    EXPECT_EQ(layer->animationForKey("fade")->beginTime, start);  // 0 became "now"
    EXPECT_EQ(layer->animationForKey("fade")->duration, 2);
    EXPECT_EQ(layer->opacity(), 1);  // the model is untouched
    EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"fade"});
}

TEST_F(LayerAnimationTest, CallbacksArriveOnTheRunLoopWhenTheClockGetsThere) {
    auto a = fade("a", 1);
    auto later = fade("later", 1);
    later.beginTime = at(0.5);
    layer->addAnimation(a, "a");
    layer->addAnimation(later, "later");
    EXPECT_TRUE(events.empty());  // nothing inside addAnimation

    host.advance(0);
    EXPECT_EQ(events, Events{"a start"});
    host.advance(0.5);
    EXPECT_EQ(events, (Events{"a start", "later start"}));
    host.advance(0.25);
    EXPECT_EQ(events.size(), 2u);
    host.advance(0.25);
    EXPECT_EQ(events, (Events{"a start", "later start", "a stop finished"}));
    EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"later"});  // removed on completion
    host.advance(0.5);
    EXPECT_EQ(events.back(), "later stop finished");
    EXPECT_FALSE(layer->hasAnimations());
}

TEST_F(LayerAnimationTest, ReplacingUnderTheSameKeyStopsTheOldOneUnfinished) {
    layer->addAnimation(fade("old", 1), "fade");
    host.advance(0.5);
    layer->addAnimation(fade("new", 1), "fade");
    EXPECT_EQ(events, Events{"old start"});  // the stop comes on the run loop, not inside the add
    host.advance(0);
    EXPECT_EQ(events, (Events{"old start", "old stop unfinished", "new start"}));
    EXPECT_NEAR(numberAt("opacity", 1), 0.5, 1e-6);  // the new one runs from its own start
    host.advance(1);
    EXPECT_EQ(events.back(), "new stop finished");
    EXPECT_EQ(events.size(), 4u);  // the old one's timer did not fire for it
}

TEST_F(LayerAnimationTest, RemovalStopsUnfinishedAndOnlyOnce) {
    layer->addAnimation(fade("a", 1), "a");
    auto kept = fade("kept", 1);
    kept.removedOnCompletion = false;
    kept.fillMode = FillMode::Forwards;
    kept.keyPath = "cornerRadius";
    layer->addAnimation(kept, "kept");
    layer->addAnimation(fade("anonymous", 5));
    EXPECT_EQ(layer->animationKeys(), (std::vector<std::string>{"a", "kept"}));  // no key, not listed
    host.advance(0);
    events.clear();

    layer->removeAnimationForKey("a");
    EXPECT_TRUE(events.empty());
    host.advance(0);
    EXPECT_EQ(events, Events{"a stop unfinished"});

    host.advance(1);  // the kept one ends but stays, holding its end value
    EXPECT_EQ(events.back(), "kept stop finished");
    EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"kept"});
    EXPECT_EQ(numberAt("cornerRadius", 10), 1);

    layer->removeAllAnimations();  // "kept" already reported its stop; the anonymous one has not
    host.advance(0);
    EXPECT_EQ(events.back(), "anonymous stop unfinished");
    EXPECT_EQ(events.size(), 3u);
    EXPECT_FALSE(layer->hasAnimations());
}

TEST_F(LayerAnimationTest, ALayerThatGoesAwayStopsItsAnimationsUnfinished) {
    layer->addAnimation(fade("a", 1), "a");
    host.advance(0.5);
    layer.reset();
    host.advance(0);
    EXPECT_EQ(events, (Events{"a start", "a stop unfinished"}));
    host.advance(1);
    EXPECT_EQ(events.size(), 2u);
}

TEST_F(LayerAnimationTest, CallbacksMayChangeTheLayer) {
    auto a = fade("a", 1);
    a.didStop = [this](const Animation&, bool) {
        layer->removeAllAnimations();
        layer->addAnimation(fade("next", 1), "a");
    };
    layer->addAnimation(a, "a");
    layer->addAnimation(fade("b", 2), "b");
    host.advance(1);
    EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"a"});
    host.advance(1);
    EXPECT_EQ(events, (Events{"a start", "b start", "b stop unfinished", "next start", "next stop finished"}));
}

TEST_F(LayerAnimationTest, PresentationLayersShowTheTreeAtAnyTime) {
    auto child = std::make_shared<Layer>();
    child->setBounds({0, 0, 10, 10});
    layer->addSublayer(child);
    BasicAnimation move("position");
    move.fromValue = Point{0, 0};
    move.toValue = Point{100, 50};
    move.duration = 2;
    child->addAnimation(move, "move");
    layer->addAnimation(fade("fade", 2), "fade");

    auto shown = layer->presentationLayer(at(1));
    EXPECT_TRUE(shown->isPresentation());
    EXPECT_EQ(shown->modelLayer(), layer);
    EXPECT_NEAR(shown->opacity(), 0.5, 1e-6);
    ASSERT_EQ(shown->sublayers().size(), 1u);
    const auto& shownChild = shown->sublayers()[0];
    EXPECT_EQ(shownChild->superlayer(), shown);
    EXPECT_NEAR(shownChild->position().x, 50, 1e-6);
    EXPECT_NEAR(shownChild->frame().y, 20, 1e-6);  // 25 − half of 10
    EXPECT_FALSE(shownChild->hasAnimations());
    shownChild->addAnimation(move, "ignored");
    EXPECT_FALSE(shownChild->hasAnimations());

    EXPECT_EQ(child->position(), (Point{0, 0}));  // the model is untouched
    EXPECT_EQ(layer->presentationLayer()->opacity(), 0);  // now: the start
}

TEST_F(TransactionTest, CompletionWaitsForEveryAnimationAddedInside) {
    auto other = std::make_shared<Layer>();
    bool done = false;
    Transaction::begin();
    Transaction::setCompletionBlock([&] { done = true; });
    layer->addAnimation(fade("a", 1), "a");
    Transaction::begin();  // a nested transaction's animations count too
    other->addAnimation(fade("b", 2), "b");
    Transaction::commit();
    Transaction::commit();
    host.advance(1);
    EXPECT_FALSE(done);
    host.advance(1);
    EXPECT_TRUE(done);
    EXPECT_EQ(events, (Events{"a start", "b start", "a stop finished", "b stop finished"}));
}

TEST_F(TransactionTest, CompletionCountsRemovedAnimationsAndRunsSoonWithoutAny) {
    int completions = 0;
    Transaction::begin();
    Transaction::setCompletionBlock([&] { ++completions; });
    layer->addAnimation(fade("a", 10), "a");
    Transaction::commit();
    layer->removeAnimationForKey("a");
    host.advance(0);
    EXPECT_EQ(completions, 1);

    Transaction::begin();
    Transaction::setCompletionBlock([&] { ++completions; });
    Transaction::commit();
    EXPECT_EQ(completions, 1);
    RunLoop::main().runOnce();
    EXPECT_EQ(completions, 2);

    Transaction::setCompletionBlock([&] { ++completions; });  // no transaction open
    RunLoop::main().runOnce();
    EXPECT_EQ(completions, 3);
    Transaction::commit();  // unbalanced: ignored
}

TEST_F(TransactionTest, SettingsApplyToAnimationsWithoutTheirOwn) {
    Transaction::begin();
    Transaction::setAnimationDuration(4);
    Transaction::setAnimationTimingFunction(TimingFunction::easeIn());
    Transaction::begin();
    EXPECT_EQ(Transaction::animationDuration(), 4);  // inherited
    layer->addAnimation(fade("a", 0), "a");
    Transaction::commit();
    Transaction::commit();
    EXPECT_EQ(Transaction::animationDuration(), 0.25);
    EXPECT_EQ(layer->animationForKey("a")->duration, 4);
    EXPECT_EQ(layer->animationForKey("a")->timingFunction, TimingFunction::easeIn());
}

TEST_F(TransactionTest, ImplicitAnimationsAreOptInAndFollowTheTransaction) {
    layer->setOpacity(0.5);  // off by default: no animation
    EXPECT_FALSE(layer->hasAnimations());

    layer->setImplicitAnimations(true);
    layer->setOpacity(0);
    auto implicit = std::dynamic_pointer_cast<const BasicAnimation>(layer->animationForKey("opacity"));
    ASSERT_TRUE(implicit);
    EXPECT_EQ(implicit->fromValue, LayerValue(0.5));  // from what was shown
    EXPECT_EQ(implicit->duration, 0.25);
    EXPECT_NEAR(numberAt("opacity", 0), 0.5, 1e-9);
    EXPECT_NEAR(numberAt("opacity", 0.25), 0, 1e-9);

    layer->setFrame({0, 0, 20, 20});  // the frame animates position and bounds
    EXPECT_EQ(layer->animationKeys(), (std::vector<std::string>{"opacity", "position", "bounds"}));

    Transaction::begin();
    Transaction::setDisableActions(true);
    layer->setCornerRadius(4);
    Transaction::commit();
    EXPECT_FALSE(layer->animationForKey("cornerRadius"));
    layer->setCornerRadius(4);  // no change, no animation
    EXPECT_FALSE(layer->animationForKey("cornerRadius"));
}
