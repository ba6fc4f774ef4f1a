#include "qmplatform/screen.hpp"

#include <algorithm>
#include <mutex>

#include "qmbase/no_destructor.hpp"

namespace qm::platform {

struct Screen::Impl {
    mutable std::mutex mutex;
    Size size{390, 844};
    double scale = 3;
    EdgeInsets safeArea{47, 0, 34, 0};
    double statusBarHeight = 47;
    InterfaceOrientation orientation = InterfaceOrientation::Portrait;
};

namespace {
bool isLandscape(InterfaceOrientation o) {
    return o == InterfaceOrientation::LandscapeLeft || o == InterfaceOrientation::LandscapeRight;
}
double nonNegative(double v) { return v > 0 ? v : 0; }  // also NaN
}  // namespace

Screen& Screen::main() {
    static NoDestructor<Screen> screen;  // never destroyed
    return *screen;
}

Screen::Impl& Screen::impl() const {
    static NoDestructor<Impl> state;  // never destroyed; there is one main screen
    return *state;
}

Rect Screen::bounds() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return Rect{0, 0, state.size.width, state.size.height};
}

void Screen::setBoundsSize(Size size) {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    state.size = Size{nonNegative(size.width), nonNegative(size.height)};
}

EdgeInsets Screen::safeAreaInsets() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.safeArea;
}

void Screen::setSafeAreaInsets(EdgeInsets insets) {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    state.safeArea = {nonNegative(insets.top), nonNegative(insets.left), nonNegative(insets.bottom),
                      nonNegative(insets.right)};
}

Rect Screen::statusBarFrame() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return Rect{0, 0, state.size.width, state.statusBarHeight};
}

void Screen::setStatusBarHeight(double height) {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    state.statusBarHeight = nonNegative(height);
}

InterfaceOrientation Screen::orientation() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.orientation;
}

void Screen::setOrientation(InterfaceOrientation orientation) {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    if (orientation == InterfaceOrientation::Unknown) return;
    if (isLandscape(orientation) != isLandscape(state.orientation)) {
        std::swap(state.size.width, state.size.height);
        // A phone turned on its side keeps the notch's inset on both sides, as it does.
        const EdgeInsets s = state.safeArea;
        state.safeArea = isLandscape(orientation) ? EdgeInsets{0, s.top, 21, s.top} : EdgeInsets{s.left, 0, 34, 0};
        state.statusBarHeight = isLandscape(orientation) ? 0 : state.safeArea.top;
    }
    state.orientation = orientation;
}

void Screen::reset() {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    state.size = {390, 844};
    state.scale = 3;
    state.safeArea = {47, 0, 34, 0};
    state.statusBarHeight = 47;
    state.orientation = InterfaceOrientation::Portrait;
}

double Screen::scale() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.scale;
}

void Screen::setScale(double scale) {
    auto& state = impl();
    if (!(scale > 0)) return;  // also NaN
    std::lock_guard lock(state.mutex);
    state.scale = scale;
}

}  // namespace qm::platform