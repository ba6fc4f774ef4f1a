#include "qmui/view_animation.hpp"

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "context.hpp"
#include "evaluate.hpp"
#include "layer_access.hpp"
#include "value_math.hpp"

namespace qm::platform {

namespace {

namespace Option = ViewAnimationOption;

// userInfo keys of the animations contexts add.
constexpr std::string_view kFromViewContext = "viewAnimation";
constexpr std::string_view kAllowsUserInteraction = "allowsUserInteraction";

struct OpenContext {
    ViewAnimation::Context settings;
    std::shared_ptr<anim::AnimationWatch> watch;
    // The begin/commit style.
    bool beginCommit = false;
    std::string name;
    std::any context;
    ViewAnimation::WillStart willStart;
    ViewAnimation::DidStop didStop;
};

// Per thread, like transactions; views and layers live on the main thread.
struct ThreadContexts {
    std::vector<OpenContext> open;
    bool enabled = true;
};

ThreadContexts& contexts() {
    thread_local ThreadContexts state;
    return state;
}

double nonNegative(double v) { return std::isfinite(v) && v > 0 ? v : 0; }

ViewAnimation::Context settingsFor(double duration, double delay, ViewAnimationOptions options) {
    ViewAnimation::Context c;
    c.duration = nonNegative(duration);
    c.delay = nonNegative(delay);
    c.options = options;
    c.curve = static_cast<ViewAnimationCurve>((options & Option::CurveMask) >> 16);
    c.repeatCount = options & Option::Repeat ? Animation::kRepeatForever : 0;
    c.autoreverses = options & Option::Autoreverse;
    c.beginsFromCurrentState = options & Option::BeginFromCurrentState;
    return c;
}

// What a context opened inside another takes from it.
ViewAnimation::Context inherit(ViewAnimation::Context own, const ViewAnimation::Context* parent) {
    if (!parent) return own;
    own.delay += parent->delay;
    if (!(own.options & Option::OverrideInheritedDuration)) own.duration = parent->duration;
    if (!(own.options & Option::OverrideInheritedCurve) && !own.spring) {
        own.curve = parent->curve;
        own.spring = parent->spring;
        own.dampingRatio = parent->dampingRatio;
        own.initialVelocity = parent->initialVelocity;
    }
    if (!(own.options & Option::OverrideInheritedOptions)) {
        constexpr ViewAnimationOptions kNotInherited = Option::CurveMask | Option::OverrideInheritedDuration |
                                                       Option::OverrideInheritedCurve |
                                                       Option::OverrideInheritedOptions;
        own.options |= parent->options & ~kNotInherited;
        own.repeatCount = std::max(own.repeatCount, parent->repeatCount);
        own.autoreverses = own.autoreverses || parent->autoreverses;
        own.beginsFromCurrentState = own.beginsFromCurrentState || parent->beginsFromCurrentState;
    }
    own.options = (own.options & ~Option::CurveMask) | (static_cast<ViewAnimationOptions>(own.curve) << 16);
    return own;
}

void open(OpenContext context) {
    anim::openWatch(context.watch);
    contexts().open.push_back(std::move(context));
}

// Closes the innermost context: no animation joins it any more, and it completes once those
// that joined have stopped.
void closeInnermost() {
    auto& open = contexts().open;
    OpenContext context = std::move(open.back());
    open.pop_back();
    if (context.beginCommit) {
        context.watch->setStarted([callback = std::move(context.willStart), name = context.name, ctx = context.context] {
            if (callback) callback(name, ctx);
        });
        context.watch->setDone([callback = std::move(context.didStop), name = std::move(context.name),
                                ctx = std::move(context.context)](bool finished) {
            if (callback) callback(name, finished, ctx);
        });
    }
    anim::leaveWatch(context.watch);
    context.watch->close();
}

// Runs a block in a context; whatever the block leaves open inside it (a beginAnimations
// without its commit) is closed with it, even when the block throws.
void runInContext(ViewAnimation::Context own, const ViewAnimation::Animations& animations,
                  ViewAnimation::Completion completion) {
    auto& state = contexts();
    const std::size_t depth = state.open.size();
    OpenContext context;
    context.settings = inherit(own, state.open.empty() ? nullptr : &state.open.back().settings);
    context.watch = std::make_shared<anim::AnimationWatch>([completion = std::move(completion)](bool finished) {
        if (completion) completion(finished);
    });
    open(std::move(context));
    struct Close {
        std::size_t depth;
        ~Close() {
            while (contexts().open.size() > depth) closeInnermost();
        }
    } close{depth};
    if (animations) animations();
}

OpenContext* innermostBeginCommit() {
    auto& open = contexts().open;
    if (open.empty() || !open.back().beginCommit) return nullptr;
    return &open.back();
}

// True while the layer holds an animation of the property that has not yet ended at `now`.
bool animating(const Layer& layer, std::string_view property, double now) {
    bool found = false;
    LayerAccess::forEachAnimation(layer, [&](const Animation& animation, double end) {
        if (anim::animatesProperty(animation, property) && (now < end || !animation.removedOnCompletion)) found = true;
    });
    return found;
}

// A spring with mass 1 whose frequency is chosen so that it settles in `duration`.
SpringAnimation springFor(double duration, double dampingRatio, double initialVelocity) {
    SpringAnimation spring;
    spring.mass = 1;
    spring.initialVelocity = std::isfinite(initialVelocity) ? initialVelocity : 0;
    const double ratio = std::isfinite(dampingRatio) && dampingRatio > 0.001 ? dampingRatio : 0.001;
    auto tune = [&](double omega) {
        spring.stiffness = omega * omega;
        spring.damping = 2 * ratio * omega;
    };
    // Settling time falls as the frequency rises: bisect (on a log scale) for the frequency
    // that settles in time.
    double lo = 1e-3, hi = 1e6;
    for (int i = 0; i < 100; ++i) {
        const double mid = std::sqrt(lo * hi);
        tune(mid);
        (spring.settlingDuration() > duration ? lo : hi) = mid;
    }
    tune(hi);
    return spring;
}

}  // namespace

TimingFunction timingFunctionForCurve(ViewAnimationCurve curve) {
    switch (curve) {
        case ViewAnimationCurve::EaseIn: return TimingFunction::easeIn();
        case ViewAnimationCurve::EaseOut: return TimingFunction::easeOut();
        case ViewAnimationCurve::Linear: return TimingFunction::linear();
        case ViewAnimationCurve::EaseInOut: break;
    }
    return TimingFunction::easeInEaseOut();
}

void ViewAnimation::animate(double duration, double delay, ViewAnimationOptions options, const Animations& animations,
                            Completion completion) {
    runInContext(settingsFor(duration, delay, options), animations, std::move(completion));
}

void ViewAnimation::animate(double duration, const Animations& animations, Completion completion) {
    animate(duration, 0, 0, animations, std::move(completion));
}

void ViewAnimation::animateWithSpring(double duration, double delay, double dampingRatio, double initialVelocity,
                                      ViewAnimationOptions options, const Animations& animations,
                                      Completion completion) {
    Context own = settingsFor(duration, delay, options);
    own.spring = true;
    own.dampingRatio = std::isfinite(dampingRatio) && dampingRatio > 0.001 ? dampingRatio : 0.001;
    own.initialVelocity = std::isfinite(initialVelocity) ? initialVelocity : 0;
    runInContext(own, animations, std::move(completion));
}

void ViewAnimation::performWithoutAnimation(const Animations& actions) {
    struct Restore {
        bool was;
        ~Restore() { contexts().enabled = was; }
    } restore{contexts().enabled};
    contexts().enabled = false;
    if (actions) actions();
}

void ViewAnimation::setAnimationsEnabled(bool enabled) { contexts().enabled = enabled; }
bool ViewAnimation::areAnimationsEnabled() { return contexts().enabled; }

// ---------------------------------------------------------------------------------------------
void ViewAnimation::beginAnimations(std::string name, std::any context) {
    auto& state = contexts();
    Context own = settingsFor(0.2, 0, 0);
    OpenContext open_;
    open_.settings = inherit(own, state.open.empty() ? nullptr : &state.open.back().settings);
    if (state.open.empty()) open_.settings.duration = 0.2;
    open_.watch = std::make_shared<anim::AnimationWatch>();
    open_.beginCommit = true;
    open_.name = std::move(name);
    open_.context = std::move(context);
    open(std::move(open_));
}

void ViewAnimation::setAnimationDuration(double seconds) {
    if (auto* c = innermostBeginCommit()) c->settings.duration = nonNegative(seconds);
}

void ViewAnimation::setAnimationDelay(double seconds) {
    if (auto* c = innermostBeginCommit()) c->settings.delay = nonNegative(seconds);
}

void ViewAnimation::setAnimationCurve(ViewAnimationCurve curve) {
    if (auto* c = innermostBeginCommit()) {
        c->settings.curve = curve;
        c->settings.spring = false;
        c->settings.options = (c->settings.options & ~Option::CurveMask) | (static_cast<ViewAnimationOptions>(curve) << 16);
    }
}

void ViewAnimation::setAnimationRepeatCount(double count) {
    if (auto* c = innermostBeginCommit()) c->settings.repeatCount = count >= 0 ? count : 0;  // NaN too
}

void ViewAnimation::setAnimationRepeatAutoreverses(bool autoreverses) {
    if (auto* c = innermostBeginCommit()) c->settings.autoreverses = autoreverses;
}

void ViewAnimation::setAnimationBeginsFromCurrentState(bool fromCurrent) {
    if (auto* c = innermostBeginCommit()) c->settings.beginsFromCurrentState = fromCurrent;
}

void ViewAnimation::setAnimationWillStart(WillStart callback) {
    if (auto* c = innermostBeginCommit()) c->willStart = std::move(callback);
}

void ViewAnimation::setAnimationDidStop(DidStop callback) {
    if (auto* c = innermostBeginCommit()) c->didStop = std::move(callback);
}

void ViewAnimation::commitAnimations() {
    if (innermostBeginCommit()) closeInnermost();
}

// ---------------------------------------------------------------------------------------------
std::optional<ViewAnimation::Context> ViewAnimation::current() {
    const auto& state = contexts();
    if (!state.enabled || state.open.empty()) return std::nullopt;
    return state.open.back().settings;
}

bool ViewAnimation::animateChange(Layer& layer, std::string_view keyPath, const LayerValue& from, const LayerValue& to) {
    const auto context = current();
    if (!context || !(context->duration > 0) || layer.isPresentation()) return false;
    if (from.isNone() || to.isNone() || !from.isFinite() || !to.isFinite()) return false;
    if (layer.valueForKeyPath(keyPath).isNone()) return false;
    const double now = Layer::currentTime();
    LayerValue start = from;
    if (context->beginsFromCurrentState && animating(layer, anim::propertyOf(keyPath), now))
        start = layer.presentationValue(keyPath, now);
    if (start == to || !anim::interpolate(start, to, 0.5)) return false;

    std::unique_ptr<BasicAnimation> animation;
    if (context->spring) {
        animation = std::make_unique<SpringAnimation>(springFor(context->duration, context->dampingRatio,
                                                                context->initialVelocity));
    } else {
        animation = std::make_unique<BasicAnimation>();
        animation->timingFunction = timingFunctionForCurve(context->curve);
    }
    animation->keyPath = std::string(keyPath);
    animation->fromValue = start;
    animation->toValue = to;
    animation->duration = context->duration;
    if (context->delay > 0) {
        // The layer shows where it comes from while it waits.
        animation->beginTime = now + context->delay;
        animation->fillMode = FillMode::Backwards;
    }
    animation->repeatCount = context->repeatCount;
    animation->autoreverses = context->autoreverses;
    animation->userInfo.set(kFromViewContext, true);
    animation->userInfo.set(kAllowsUserInteraction, (context->options & Option::AllowUserInteraction) != 0);
    layer.addAnimation(*animation, std::string(keyPath));
    return true;
}

bool ViewAnimation::blocksUserInteraction(const Layer& layer) {
    const double now = Layer::currentTime();
    bool blocks = false;
    LayerAccess::forEachAnimation(layer, [&](const Animation& animation, double end) {
        if (animation.userInfo[kFromViewContext].boolValue() &&
            !animation.userInfo[kAllowsUserInteraction].boolValue() && now < end)
            blocks = true;
    });
    return blocks;
}

}  // namespace qm::platform
