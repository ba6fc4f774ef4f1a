#include "qmui/activity_indicator.hpp"

#include "qmplatform/clock.hpp"

namespace qm::platform {

namespace {
bool isLarge(ActivityIndicatorViewStyle s) {
    return s == ActivityIndicatorViewStyle::WhiteLarge || s == ActivityIndicatorViewStyle::Large;
}
Color defaultColor(ActivityIndicatorViewStyle s) {
    switch (s) {
        case ActivityIndicatorViewStyle::WhiteLarge:
        case ActivityIndicatorViewStyle::White:
            return Color::whiteColor();
        default:
            return Color::gray();
    }
}
}  // namespace

ActivityIndicatorView::ActivityIndicatorView(ActivityIndicatorViewStyle style) : style_(style), color_(defaultColor(style)) {
    const double side = isLarge(style) ? 37 : 20;
    setFrame({0, 0, side, side});
    setHidden(true);  // stopped, and hidden while stopped
    setUserInteractionEnabled(false);
}

void ActivityIndicatorView::setStyle(ActivityIndicatorViewStyle style) {
    style_ = style;
    color_ = defaultColor(style);
    const double side = isLarge(style) ? 37 : 20;
    const Point c = center();
    setBounds({0, 0, side, side});
    setCenter(c);
    invalidateIntrinsicContentSize();
}

void ActivityIndicatorView::setHidesWhenStopped(bool hides) {
    hidesWhenStopped_ = hides;
    if (!animating_) setHidden(hides);
}

void ActivityIndicatorView::startAnimating() {
    if (animating_) return;
    animating_ = true;
    started_ = Clock::currentDate().seconds;
    setHidden(false);
}

void ActivityIndicatorView::stopAnimating() {
    animating_ = false;
    if (hidesWhenStopped_) setHidden(true);
}

Size ActivityIndicatorView::intrinsicContentSize() const {
    const double side = isLarge(style_) ? 37 : 20;
    return {side, side};
}

}  // namespace qm::platform
