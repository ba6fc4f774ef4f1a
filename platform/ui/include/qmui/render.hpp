// Drawing view trees into pictures: a view and everything in it, as its layers look at the
// current moment or at any given time of their animations (the clock's seconds, as
// Layer::currentTime()).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qmplatform/image.hpp"
#include "qmui/color.hpp"

namespace qm::platform {

class View;
class Window;

struct RenderOptions {
    // Pixels per point; the main screen's scale when absent.
    std::optional<double> scale;
    // The moment drawn; now when absent.
    std::optional<double> time;
    // The background behind the view (the view's own background draws over it).
    std::optional<Color> background;
};

// `view` at its own size, its bounds origin at the picture's top left. Empty (with a log
// line) when the size is unusable or beyond the canvas limits.
Bitmap renderView(View& view, const RenderOptions& options = {});
// The window's view (its root controller's view and whatever was added to it), the screen's
// size.
Bitmap renderWindow(Window& window, const RenderOptions& options = {});
bool renderViewToPNG(View& view, const std::string& path, const RenderOptions& options = {});

// Frames of `view` from `start` to `end` (clock seconds) at `steps` equal steps (at least 2),
// each labelled with its time from `start`, on one sheet: an animation reviewable by eye.
Bitmap renderContactSheet(View& view, double start, double end, int steps, const RenderOptions& options = {});

}  // namespace qm::platform
