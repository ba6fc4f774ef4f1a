// Bitmaps as cairo surfaces and back (private to the screen library).
#pragma once

#include <cairo.h>

#include "qmplatform/image.hpp"

namespace qm::platform::draw {

// A surface that reads the bitmap's pixels in place (the bitmap must outlive it and not
// change meanwhile); null when the pixel count does not match the size or cairo cannot take
// a surface that large. Destroy with cairo_surface_destroy.
cairo_surface_t* surfaceOver(const Bitmap& bitmap);

// A copy of an image surface's pixels, converted to premultiplied ARGB32 when the surface
// holds another format; empty for a surface in error.
Bitmap bitmapFrom(cairo_surface_t* surface);

}  // namespace qm::platform::draw
