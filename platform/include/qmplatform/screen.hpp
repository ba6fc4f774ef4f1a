// The main screen. It may be used from any thread.
#pragma once

#include "qmplatform/geometry.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

// The platform's interface orientations.
enum class InterfaceOrientation {
    Unknown = 0,
    Portrait = 1,
    PortraitUpsideDown = 2,
    LandscapeRight = 3,
    LandscapeLeft = 4,
};

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

    // The parts of the screen that content should keep clear of (status bar, rounded corners,
    // home indicator): 47 at the top and 34 at the bottom until changed.
    EdgeInsets safeAreaInsets() const;
    void setSafeAreaInsets(EdgeInsets insets);
    // The status bar: across the top, as high as the top safe area, until changed.
    Rect statusBarFrame() const;
    void setStatusBarHeight(double height);
    // Portrait until changed. Turning to or from landscape swaps the width and height of the
    // bounds (and moves the safe area to the sides), as a phone does.
    InterfaceOrientation orientation() const;
    void setOrientation(InterfaceOrientation orientation);
    // Back to the defaults above.
    void reset();

    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

private:
    Screen() = default;
    ~Screen() = default;
    struct Impl;
    Impl& impl() const;
};

}  // namespace qm::platform
