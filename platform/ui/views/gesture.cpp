#include "qmui/gesture.hpp"

#include "qmui/control.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

GestureRecognizer::GestureRecognizer(Action action) {
    if (action) actions_.push_back(std::move(action));
}

void GestureRecognizer::addTarget(Action action) {
    if (action) actions_.push_back(std::move(action));
}

Point GestureRecognizer::locationInView(const View* view) const {
    return view ? view->convertPointFrom(location_, nullptr) : location_;
}

void GestureRecognizer::recognize(Point pointInRoot) {
    const auto self = shared_from_this();  // an action may remove the recogniser
    location_ = pointInRoot;
    state_ = kGestureRecognized;
    const auto actions = actions_;
    for (const auto& action : actions) action(*this);
    state_ = GestureRecognizerState::Possible;
}

namespace {

template <typename Recognizer, typename Accepts>
std::shared_ptr<Recognizer> recognizerOn(View& view, Accepts accepts) {
    for (const auto& g : view.gestureRecognizers()) {
        auto r = std::dynamic_pointer_cast<Recognizer>(g);
        if (r && r->isEnabled() && accepts(*r) && (!r->shouldBegin || r->shouldBegin(*r))) return r;
    }
    return nullptr;
}

}  // namespace

bool tap(View& root, Point point, int taps) {
    auto hit = root.hitTest(point);
    for (auto view = hit; view; view = view->superview()) {
        auto recognizer = recognizerOn<TapGestureRecognizer>(
            *view, [taps](const TapGestureRecognizer& r) { return r.numberOfTapsRequired == taps && r.numberOfTouchesRequired == 1; });
        if (recognizer) {
            recognizer->recognize(root.convertPointTo(point, nullptr));
            return true;
        }
        if (auto control = std::dynamic_pointer_cast<Control>(view); control && taps == 1) {
            if (!control->isEnabled()) return false;
            control->handleTap(control->convertPointFrom(point, &root));
            return true;
        }
        if (view.get() == &root) break;
    }
    return false;
}

bool swipe(View& root, Point point, SwipeDirection direction) {
    for (auto view = root.hitTest(point); view; view = view->superview()) {
        auto recognizer = recognizerOn<SwipeGestureRecognizer>(
            *view, [direction](const SwipeGestureRecognizer& r) { return (r.direction & direction) != 0; });
        if (recognizer) {
            recognizer->recognize(root.convertPointTo(point, nullptr));
            return true;
        }
        if (view.get() == &root) break;
    }
    return false;
}

}  // namespace qm::platform
