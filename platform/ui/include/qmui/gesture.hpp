// Gesture recognisers: taps and swipes that a host (from its own input) or a test fires at a
// point of a window or on a view. Main thread only, like views.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "qmplatform/geometry.hpp"

namespace qm::platform {

class View;

// The platform's recogniser states.
enum class GestureRecognizerState { Possible = 0, Began = 1, Changed = 2, Ended = 3, Cancelled = 4, Failed = 5 };
inline constexpr GestureRecognizerState kGestureRecognized = GestureRecognizerState::Ended;

// The platform's swipe directions (a mask).
enum SwipeDirection : unsigned { SwipeRight = 1u << 0, SwipeLeft = 1u << 1, SwipeUp = 1u << 2, SwipeDown = 1u << 3 };

class GestureRecognizer : public std::enable_shared_from_this<GestureRecognizer> {
public:
    using Action = std::function<void(GestureRecognizer&)>;
    explicit GestureRecognizer(Action action = {});
    virtual ~GestureRecognizer() = default;

    void addTarget(Action action);
    void removeAllTargets() { actions_.clear(); }
    std::shared_ptr<View> view() const { return view_.lock(); }
    GestureRecognizerState state() const { return state_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool cancelsTouchesInView() const { return cancelsTouchesInView_; }
    void setCancelsTouchesInView(bool cancels) { cancelsTouchesInView_ = cancels; }
    // Asked before the recogniser acts on a gesture; true when absent.
    std::function<bool(GestureRecognizer&)> shouldBegin;

    // Where the gesture happened, in `view`'s coordinates (nullptr: the window's).
    Point locationInView(const View* view) const;

protected:
    friend class View;
    friend bool tap(View&, Point, int);
    friend bool swipe(View&, Point, SwipeDirection);
    void attach(std::weak_ptr<View> view) { view_ = std::move(view); }
    // Runs the actions for a gesture at `pointInRoot` (the tree root's coordinates).
    void recognize(Point pointInRoot);

private:
    std::vector<Action> actions_;
    std::weak_ptr<View> view_;
    GestureRecognizerState state_ = GestureRecognizerState::Possible;
    bool enabled_ = true;
    bool cancelsTouchesInView_ = true;
    Point location_;  // in the root's coordinates
};

class TapGestureRecognizer : public GestureRecognizer {
public:
    using GestureRecognizer::GestureRecognizer;
    int numberOfTapsRequired = 1;
    int numberOfTouchesRequired = 1;
};

class SwipeGestureRecognizer : public GestureRecognizer {
public:
    using GestureRecognizer::GestureRecognizer;
    unsigned direction = SwipeRight;
    int numberOfTouchesRequired = 1;
};

// Fires a tap of `taps` taps at `point` in `root`'s coordinates: the deepest view under it
// (hit testing) and then its ancestors are offered the tap; the first enabled tap recogniser
// for that many taps whose shouldBegin agrees acts. A control on the way (an enabled button,
// segmented control, …) takes a single tap itself unless a recogniser on the control
// acts first, as on the platform. True when something acted.
bool tap(View& root, Point point, int taps = 1);
// Fires a swipe starting at `point` in `root`'s coordinates.
bool swipe(View& root, Point point, SwipeDirection direction);

}  // namespace qm::platform
