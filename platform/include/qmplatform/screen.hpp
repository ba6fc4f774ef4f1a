// The main screen. It may be used from any thread.
#pragma once

#include "qmplatform/geometry.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

class Screen {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static Screen& main();

    // In points, at the origin; 390 x 844 until changed.
    Rect bounds() const;
    void setBoundsSize(Size size);
    // Pixels per point; 3 until changed. Values that are not positive are ignored.
    double scale() const;
    void setScale(double scale);

    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

private:
    Screen() = default;
    ~Screen() = default;
    struct Impl;
    Impl& impl() const;
};

}  // namespace qm::platform
