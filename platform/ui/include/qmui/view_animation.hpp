// View animation contexts: what turns property changes made inside an animation block (or
// between beginAnimations and commitAnimations) into layer animations.
//
// Views call animateChange from their setters (frame, center, bounds, transform, alpha,
// background colour, …) after or before storing the new model value; inside a context it adds
// an animation with the context's timing to the view's layer and returns true, outside it
// does nothing and returns false.
//
// Completion. A block's completion runs on the main run loop once the last animation the
// block (or a block nested in it) added has stopped; finished is false when any of them was
// removed or replaced before its end. A block that changed nothing animatable, or has no
// positive duration, still completes (finished), on the next turn of the run loop.
//
// Nesting. A nested block starts with its parent: its delay counts from the parent's. It takes
// the parent's duration and curve unless it says OverrideInheritedDuration or
// OverrideInheritedCurve, and adds its options to the parent's unless it says
// OverrideInheritedOptions. Its animations count for its own completion and the parent's.
//
// Threads: the main thread only, like layers.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "qmui/animation.hpp"
#include "qmui/layer.hpp"
#include "qmui/layer_value.hpp"

namespace qm::platform {

using ViewAnimationOptions = std::uint64_t;

// The option bits, with the platform's numbers.
namespace ViewAnimationOption {
inline constexpr ViewAnimationOptions LayoutSubviews = 1u << 0;
inline constexpr ViewAnimationOptions AllowUserInteraction = 1u << 1;
inline constexpr ViewAnimationOptions BeginFromCurrentState = 1u << 2;
inline constexpr ViewAnimationOptions Repeat = 1u << 3;
inline constexpr ViewAnimationOptions Autoreverse = 1u << 4;
inline constexpr ViewAnimationOptions OverrideInheritedDuration = 1u << 5;
inline constexpr ViewAnimationOptions OverrideInheritedCurve = 1u << 6;
inline constexpr ViewAnimationOptions AllowAnimatedContent = 1u << 7;
inline constexpr ViewAnimationOptions ShowHideTransitionViews = 1u << 8;
inline constexpr ViewAnimationOptions OverrideInheritedOptions = 1u << 9;
inline constexpr ViewAnimationOptions CurveEaseInOut = 0u << 16;
inline constexpr ViewAnimationOptions CurveEaseIn = 1u << 16;
inline constexpr ViewAnimationOptions CurveEaseOut = 2u << 16;
inline constexpr ViewAnimationOptions CurveLinear = 3u << 16;
inline constexpr ViewAnimationOptions CurveMask = 0xFu << 16;
}  // namespace ViewAnimationOption

enum class ViewAnimationCurve { EaseInOut = 0, EaseIn = 1, EaseOut = 2, Linear = 3 };

TimingFunction timingFunctionForCurve(ViewAnimationCurve curve);

class ViewAnimation {
public:
    using Animations = std::function<void()>;
    using Completion = std::function<void(bool finished)>;

    // Runs `animations` now, inside a context: changes it makes animate over `duration`
    // seconds after `delay`. The curve comes from the Curve… bits of `options`.
    static void animate(double duration, double delay, ViewAnimationOptions options, const Animations& animations,
                        Completion completion = {});
    static void animate(double duration, const Animations& animations, Completion completion = {});
    // The same with a spring: dampingRatio 1 comes to rest without overshoot, smaller values
    // oscillate (values at or below 0 count as 0.001); initialVelocity is in spans per second.
    // The spring is tuned to settle within `duration`.
    static void animateWithSpring(double duration, double delay, double dampingRatio, double initialVelocity,
                                  ViewAnimationOptions options, const Animations& animations,
                                  Completion completion = {});
    // Runs `actions` with animations turned off: changes inside take effect at once.
    static void performWithoutAnimation(const Animations& actions);
    // Turns animation of changes off (or back on) for this thread; contexts still complete.
    static void setAnimationsEnabled(bool enabled);
    static bool areAnimationsEnabled();

    // The begin/commit style. Settings apply to the innermost context opened with
    // beginAnimations; without one they do nothing. Defaults: 0.2 s, no delay, ease in-out, no
    // repeat; opened inside another context it starts from that one's settings, as a nested
    // block does.
    using WillStart = std::function<void(const std::string& name, const std::any& context)>;
    using DidStop = std::function<void(const std::string& name, bool finished, const std::any& context)>;
    static void beginAnimations(std::string name = {}, std::any context = {});
    static void setAnimationDuration(double seconds);
    static void setAnimationDelay(double seconds);
    static void setAnimationCurve(ViewAnimationCurve curve);
    // Repeats, fractions allowed; 0 plays once.
    static void setAnimationRepeatCount(double count);
    static void setAnimationRepeatAutoreverses(bool autoreverses);
    static void setAnimationBeginsFromCurrentState(bool fromCurrent);
    // Called on the main run loop when the context's animations start (after the delay),
    // and when they have all stopped, with the name and context given to beginAnimations.
    static void setAnimationWillStart(WillStart callback);
    static void setAnimationDidStop(DidStop callback);
    // Closes the innermost context opened with beginAnimations; without one it does nothing.
    static void commitAnimations();

    // The innermost open context, with what it inherited applied; nothing outside contexts
    // or while animations are turned off. Views read it for the options that concern them
    // (LayoutSubviews: lay out inside the context; AllowUserInteraction).
    struct Context {
        double duration = 0;
        double delay = 0;
        ViewAnimationOptions options = 0;
        ViewAnimationCurve curve = ViewAnimationCurve::EaseInOut;
        double repeatCount = 0;  // kRepeatForever with the Repeat option
        bool autoreverses = false;
        bool beginsFromCurrentState = false;
        bool spring = false;
        double dampingRatio = 1;
        double initialVelocity = 0;
    };
    static std::optional<Context> current();

    // The hook for views' setters. Inside a context with a positive duration, adds to `layer`,
    // under `keyPath` as key, an animation of `keyPath` from `from` (or, with
    // BeginFromCurrentState, from the presentation value when the property is animating) to
    // `to`, and returns true. Returns false, adding nothing, outside a context, when from
    // equals to, or for an unknown key path. The layer's model value is the caller's to set.
    static bool animateChange(Layer& layer, std::string_view keyPath, const LayerValue& from, const LayerValue& to);

    // True while `layer` runs, at the current time, an animation that a context without
    // AllowUserInteraction added: views that own such a layer ignore touches.
    static bool blocksUserInteraction(const Layer& layer);

    ViewAnimation() = delete;
};

}  // namespace qm::platform
