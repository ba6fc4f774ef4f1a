// Points, sizes and rectangles, in points, for screens, windows and web views.
#pragma once

namespace qm::platform {

struct Size {
    double width = 0, height = 0;
};

struct Point {
    double x = 0, y = 0;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

}  // namespace qm::platform
