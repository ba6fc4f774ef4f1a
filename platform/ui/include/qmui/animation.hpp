// Animations of layer properties: timing functions, the timing every animation shares, basic,
// spring and keyframe animations, groups, and transactions.
//
// An animation is a description. Layer::addAnimation copies it; the layer's copy runs on the
// current clock (clock.hpp) and its callbacks arrive on the main run loop. Animations, layers
// and transactions belong to the main thread.
//
// Time. Every animation maps the time of what holds it (the layer's time: the clock's seconds,
// see Layer::currentTime; or, for a group's child, the group's time from 0) onto its own:
//     local = (time - beginTime) × speed + timeOffset
// It is active for the active duration, which is repeatDuration when set, otherwise
// repeatCount (1 when 0; fractions allowed; kRepeatForever) periods of one duration, or of two
// when it autoreverses. Outside that span the fill mode decides whether it still shows its
// first (backwards) or last (forwards) state; with FillMode::Removed it shows nothing. When it
// autoreverses every second duration plays backwards. The timing function bends the time
// within each duration.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmplatform/geometry.hpp"
#include "qmui/layer_value.hpp"
#include "quelmar/value.hpp"

namespace qm::platform {

// Pacing within one duration: a cubic Bézier curve from (0, 0) to (1, 1) whose x is time and
// y progress. evaluate(t) solves the curve for x = t and returns its y.
class TimingFunction {
public:
    TimingFunction() = default;  // linear
    static TimingFunction linear() { return {}; }
    static TimingFunction easeIn() { return controlPoints(0.42, 0, 1, 1); }
    static TimingFunction easeOut() { return controlPoints(0, 0, 0.58, 1); }
    static TimingFunction easeInEaseOut() { return controlPoints(0.42, 0, 0.58, 1); }
    // The curve the system uses for its own animations.
    static TimingFunction systemDefault() { return controlPoints(0.25, 0.1, 0.25, 1); }
    // The control points (x1, y1) and (x2, y2). x1 and x2 are clamped into 0…1 so that time
    // never runs backwards; a non-finite number gives the linear function.
    static TimingFunction controlPoints(double x1, double y1, double x2, double y2);

    // Progress at time t (clamped into 0…1). Progress may leave 0…1 when y1 or y2 does.
    double evaluate(double t) const;
    // Point 0 is (0, 0), 1 and 2 are the control points, 3 is (1, 1).
    Point controlPoint(int index) const;

    friend bool operator==(const TimingFunction&, const TimingFunction&) = default;

private:
    double x1_ = 0, y1_ = 0, x2_ = 1, y2_ = 1;
};

enum class FillMode { Removed, Forwards, Backwards, Both };

// A path of points for keyframe animations of point-valued key paths.
class Path {
public:
    enum class ElementType { MoveTo, LineTo, QuadCurveTo, CurveTo, Close };
    struct Element {
        ElementType type = ElementType::MoveTo;
        // MoveTo and LineTo: the point; QuadCurveTo: control, end; CurveTo: control 1,
        // control 2, end; Close: nothing.
        Point points[3];
    };

    void moveTo(Point point);
    // A line or curve without a current point starts the path at its end point.
    void lineTo(Point point);
    void quadCurveTo(Point control, Point end);
    void curveTo(Point control1, Point control2, Point end);
    // A line back to the start of the current subpath.
    void close();

    const std::vector<Element>& elements() const { return elements_; }
    bool isEmpty() const { return elements_.empty(); }
    std::optional<Point> currentPoint() const;

    friend bool operator==(const Path&, const Path&);

private:
    bool startIfNeeded(Point point);
    std::vector<Element> elements_;
    Point subpathStart_;
};

// What every animation has: timing, fill, removal and the callbacks.
class Animation {
public:
    static constexpr double kRepeatForever = std::numeric_limits<double>::infinity();

    virtual ~Animation();
    // A deep copy (a group copies its children).
    virtual std::shared_ptr<Animation> clone() const = 0;

    // In the time of whatever holds the animation. On a layer, 0 means "when added"; set it
    // to Layer::currentTime() + delay to start later.
    double beginTime = 0;
    // One period in seconds. 0 (or a negative or non-finite value) takes the transaction's
    // duration when added to a layer (0.25 s unless changed), or the group's duration for a
    // group's child.
    double duration = 0;
    // 0 freezes the animation at timeOffset.
    double speed = 1;
    double timeOffset = 0;
    double repeatCount = 0;
    double repeatDuration = 0;
    bool autoreverses = false;
    FillMode fillMode = FillMode::Removed;
    // Linear when unset, unless added inside a transaction that sets a timing function.
    std::optional<TimingFunction> timingFunction;
    // Taken off the layer when its active duration ends. A group's children ignore it.
    bool removedOnCompletion = true;

    // On the main run loop: when the animation starts (its beginTime is reached), and when it
    // stops: finished is true when it ran to the end of its active duration, false when it was
    // removed or replaced before that (or its layer went away). Each runs at most once per
    // copy added to a layer; a group's children get no callbacks of their own.
    std::function<void(const Animation&)> didStart;
    std::function<void(const Animation&, bool finished)> didStop;

    // Whatever the app wants to find again in the callbacks.
    Value userInfo;

protected:
    Animation() = default;
    Animation(const Animation&) = default;
    Animation& operator=(const Animation&) = default;
};

// An animation of one key path of a layer (see Layer::setValue for the key paths).
class PropertyAnimation : public Animation {
public:
    std::string keyPath;
    // The animation's value is added to the value underneath it (the model value, or what
    // earlier animations made of it) instead of replacing it. Transforms are concatenated.
    bool additive = false;
    // Each repeat starts where the one before ended (the end value added once more per
    // completed repeat).
    bool cumulative = false;

protected:
    PropertyAnimation() = default;
    explicit PropertyAnimation(std::string path) : keyPath(std::move(path)) {}
};

// From one value to another. Which of fromValue, toValue and byValue are set decides the span,
// where "current" is the value underneath the animation at each moment:
//   from, to: from → to          from, by: from → from + by      by, to: to − by → to
//   from:     from → current     to:       current → to          by:     current → current + by
//   none:     the current value (no visible change).
class BasicAnimation : public PropertyAnimation {
public:
    BasicAnimation() = default;
    explicit BasicAnimation(std::string path) : PropertyAnimation(std::move(path)) {}
    std::shared_ptr<Animation> clone() const override { return std::make_shared<BasicAnimation>(*this); }

    LayerValue fromValue, toValue, byValue;
};

// A basic animation whose progress follows a damped spring: a mass on a spring pulled from
// the start value towards the end value. Progress at t seconds into a duration is
// 1 − x(t), where x is the displacement of the damped harmonic oscillator
// m·x'' + damping·x' + stiffness·x = 0 with x(0) = 1 and x'(0) = −initialVelocity (in spans
// per second; positive moves towards the end value). The timing function is not used.
class SpringAnimation : public BasicAnimation {
public:
    SpringAnimation() = default;
    explicit SpringAnimation(std::string path) : BasicAnimation(std::move(path)) {}
    std::shared_ptr<Animation> clone() const override { return std::make_shared<SpringAnimation>(*this); }

    // Mass and stiffness must be positive and damping not negative; other values fall back to
    // the defaults (damping: 0).
    double mass = 1;
    double stiffness = 100;
    double damping = 10;
    double initialVelocity = 0;

    // How long the spring takes to come to rest: the time after which its swing stays within
    // 0.1 % of the span. A spring that never settles (no damping) reports 3600 s.
    double settlingDuration() const;
    // Progress (0 at the start value, 1 at the end value) after `seconds`.
    double progressAt(double seconds) const;
};

enum class CalculationMode {
    Linear,     // straight between values, keyTimes and per-segment timing functions apply
    Discrete,   // each value holds until the next key time
    Paced,      // constant speed over the whole animation; keyTimes and timing functions ignored
    Cubic,      // a smooth curve through the values
    CubicPaced  // the smooth curve at constant pace
};

// Through a list of values, or along a path for point-valued key paths (the path wins over
// values). keyTimes (fractions of the duration, from 0 to 1, never decreasing) give when each
// value is reached; one per value (Discrete also accepts one more, the end of the last value).
// Key times of the wrong length or order are ignored and the values spread evenly.
// timingFunctions pace the segments between values (one per segment).
// Along a path, the values are the ends of its lines and curves (a MoveTo in the middle jumps).
class KeyframeAnimation : public PropertyAnimation {
public:
    KeyframeAnimation() = default;
    explicit KeyframeAnimation(std::string path) : PropertyAnimation(std::move(path)) {}
    std::shared_ptr<Animation> clone() const override { return std::make_shared<KeyframeAnimation>(*this); }

    std::vector<LayerValue> values;
    std::optional<Path> path;
    std::vector<double> keyTimes;
    std::vector<TimingFunction> timingFunctions;
    CalculationMode calculationMode = CalculationMode::Linear;
};

// Animations that run together in the group's time: a child's beginTime counts from the
// group's start, and everything is cut off at the end of the group's duration.
class AnimationGroup : public Animation {
public:
    AnimationGroup() = default;
    AnimationGroup(const AnimationGroup& other);
    AnimationGroup& operator=(const AnimationGroup& other);
    std::shared_ptr<Animation> clone() const override { return std::make_shared<AnimationGroup>(*this); }

    std::vector<std::shared_ptr<Animation>> animations;
};

// Settings for the animations added on this thread until the matching commit. Transactions
// nest; an inner one starts with the settings of the outer. Outside any transaction the
// defaults hold: 0.25 s, no timing function, actions enabled; the setters change the
// innermost open transaction and do nothing without one.
class Transaction {
public:
    static void begin();
    // Ends the innermost transaction; without one it does nothing.
    static void commit();

    // For animations added with no duration of their own (0: they end as they start).
    // Negative or non-finite durations are refused.
    static double animationDuration();
    static void setAnimationDuration(double seconds);
    // For animations added with no timing function of their own.
    static std::optional<TimingFunction> animationTimingFunction();
    static void setAnimationTimingFunction(std::optional<TimingFunction> function);
    // Stops layers from animating property changes by themselves (Layer::setImplicitAnimations).
    static bool disableActions();
    static void setDisableActions(bool disable);
    // Runs on the main run loop once every animation added after this call within the
    // transaction (nested ones included) has stopped, finished or not; soon after commit when
    // none was added. Setting another block lets the previous one go with what it has.
    // Without an open transaction the block runs on the next turn of the run loop.
    static void setCompletionBlock(std::function<void()> block);

    Transaction() = delete;
};

}  // namespace qm::platform
