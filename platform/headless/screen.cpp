#include "qmplatform/screen.hpp"

#include <algorithm>
#include <mutex>

#include "qmbase/no_destructor.hpp"

namespace qm::platform {

struct Screen::Impl {
    mutable std::mutex mutex;
    Size size{390, 844};
    double scale = 3;
};

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
    state.size = Size{std::max(size.width, 0.0), std::max(size.height, 0.0)};
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