#include "surface.hpp"

#include <cstring>

namespace qm::platform::draw {

cairo_surface_t* surfaceOver(const Bitmap& bitmap) {
    if (bitmap.empty() ||
        bitmap.pixels.size() != static_cast<std::size_t>(bitmap.width) * static_cast<std::size_t>(bitmap.height))
        return nullptr;
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, bitmap.width);
    if (stride != bitmap.width * 4) return nullptr;  // -1 for widths cairo refuses
    // cairo only reads from a source surface; the cast lets it take the pixels as they are.
    auto* data = reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(bitmap.pixels.data()));
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, bitmap.width, bitmap.height, stride);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    return surface;
}

Bitmap bitmapFrom(cairo_surface_t* surface) {
    if (!surface || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
        cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE)
        return {};
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    if (width <= 0 || height <= 0) return {};
    if (cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32) {
        // Paint it onto an ARGB32 surface: opaque formats gain alpha 255, others convert.
        cairo_surface_t* converted = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
        cairo_t* cr = cairo_create(converted);
        cairo_set_source_surface(cr, surface, 0, 0);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr);
        cairo_destroy(cr);
        Bitmap out = cairo_image_surface_get_format(converted) == CAIRO_FORMAT_ARGB32 &&
                             cairo_surface_status(converted) == CAIRO_STATUS_SUCCESS
                         ? bitmapFrom(converted)
                         : Bitmap();
        cairo_surface_destroy(converted);
        return out;
    }
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    if (!data) return {};
    Bitmap out(width, height);
    for (int y = 0; y < height; ++y)
        std::memcpy(&out.pixels[static_cast<std::size_t>(y) * width], data + static_cast<std::size_t>(y) * stride,
                    static_cast<std::size_t>(width) * 4);
    return out;
}

}  // namespace qm::platform::draw
