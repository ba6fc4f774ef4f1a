#include "qmui/activity_indicator.hpp"

#include <cmath>
#include <numbers>

#include "qmplatform/clock.hpp"
#include "qmui/canvas.hpp"

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

namespace qm::platform {

// Twelve spokes fading round the circle, turning one spoke every 1/12 s while animating.
void ActivityIndicatorView::drawContent(Canvas& canvas, const Rect& bounds, double time) const {
    constexpr int kSpokes = 12;
    const double side = std::min(bounds.width, bounds.height);
    if (!(side > 0)) return;
    const Point c = bounds.center();
    const double outer = side / 2, inner = side / 4.5, width = std::max(1.0, side / 11);
    const int step = animating_ ? static_cast<int>(std::floor((time - started_) * kSpokes)) % kSpokes : 0;
    for (int i = 0; i < kSpokes; ++i) {
        const double angle = 2 * std::numbers::pi * i / kSpokes - std::numbers::pi / 2;
        const int age = ((step - i) % kSpokes + kSpokes) % kSpokes;
        const Color spoke = color_.withAlpha(color_.alpha * (1.0 - 0.75 * age / (kSpokes - 1)));
        canvas.strokeLine({c.x + inner * std::cos(angle), c.y + inner * std::sin(angle)},
                          {c.x + outer * std::cos(angle) * 0.92, c.y + outer * std::sin(angle) * 0.92}, width, spoke);
    }
}

}  // namespace qm::platform
