#include "qmui/picture.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmui/canvas.hpp"
#include "surface.hpp"

namespace qm::platform {

namespace {

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

struct Reader {
    std::string_view bytes;
    std::size_t at = 0;
};

cairo_status_t readFrom(void* closure, unsigned char* data, unsigned int length) {
    auto* reader = static_cast<Reader*>(closure);
    if (reader->bytes.size() - reader->at < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, reader->bytes.data() + reader->at, length);
    reader->at += length;
    return CAIRO_STATUS_SUCCESS;
}

std::uint32_t bigEndian32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) | (std::uint32_t{u[2]} << 8) | u[3];
}

int channel(std::uint32_t pixel, int shift) { return static_cast<int>((pixel >> shift) & 0xFF); }

}  // namespace

bool writePNG(const Bitmap& bitmap, const std::string& path) {
    cairo_surface_t* surface = draw::surfaceOver(bitmap);
    if (!surface) return false;
    std::string bytes;
    const cairo_status_t status = cairo_surface_write_to_png_stream(surface, appendTo, &bytes);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        SystemLog::write(std::string("quelmar: a picture could not be encoded: ") + cairo_status_to_string(status));
        return false;
    }
    return Files::writeFileAtomically(path, bytes);
}

std::optional<Bitmap> decodePNG(std::string_view bytes) {
    // The signature, then the header chunk: length 13, "IHDR", width, height.
    static constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 24 || bytes.compare(0, 8, std::string_view(kSignature, 8)) != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return std::nullopt;
    // The size is checked before cairo allocates for it: a small file may claim a huge picture.
    const std::uint32_t width = bigEndian32(bytes.data() + 16), height = bigEndian32(bytes.data() + 20);
    if (width == 0 || height == 0 || width > static_cast<std::uint32_t>(Canvas::kMaxPixelsPerSide) ||
        height > static_cast<std::uint32_t>(Canvas::kMaxPixelsPerSide) ||
        static_cast<long long>(width) * height > Canvas::kMaxPixels) {
        SystemLog::write("quelmar: a PNG picture was not read: it is larger than allowed");
        return std::nullopt;
    }
    Reader reader{bytes};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readFrom, &reader);
    Bitmap bitmap = draw::bitmapFrom(surface);
    cairo_surface_destroy(surface);
    if (bitmap.empty()) return std::nullopt;
    return bitmap;
}

std::optional<Bitmap> readPNG(const std::string& path) {
    const auto bytes = Files::readFile(path);
    if (!bytes) return std::nullopt;
    return decodePNG(*bytes);
}

PictureDifference comparePictures(const Bitmap& actual, const Bitmap& expected, int channelTolerance) {
    PictureDifference out;
    const std::size_t count = static_cast<std::size_t>(std::max(expected.width, 0)) * std::max(expected.height, 0);
    out.sameSize = actual.width == expected.width && actual.height == expected.height &&
                   actual.pixels.size() == count && expected.pixels.size() == count;
    if (!out.sameSize) {
        out.differingPixels = std::max(count, actual.pixels.size());
        out.differingShare = 1;
        out.maxChannelDifference = 255;
        return out;
    }
    out.picture = Bitmap(expected.width, expected.height);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t a = actual.pixels[i], e = expected.pixels[i];
        int worst = 0;
        for (int shift = 0; shift < 32; shift += 8) worst = std::max(worst, std::abs(channel(a, shift) - channel(e, shift)));
        out.maxChannelDifference = std::max(out.maxChannelDifference, worst);
        if (worst > channelTolerance) {
            ++out.differingPixels;
            out.picture.pixels[i] = 0xFFFF0000;
        } else {
            // The expected picture over white, faded to a quarter of its contrast.
            const int alpha = channel(e, 24);
            const int luma = (channel(e, 16) * 3 + channel(e, 8) * 6 + channel(e, 0)) / 10 + (255 - alpha);
            const auto grey = static_cast<std::uint32_t>(191 + std::min(luma, 255) / 4);
            out.picture.pixels[i] = 0xFF000000 | grey << 16 | grey << 8 | grey;
        }
    }
    out.differingShare = count ? static_cast<double>(out.differingPixels) / static_cast<double>(count) : 0;
    return out;
}

Bitmap contactSheet(const std::vector<ContactFrame>& frames, int columns, int maxCellWidth) {
    if (frames.empty()) return {};
    const int n = static_cast<int>(frames.size());
    if (columns <= 0) columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
    columns = std::min(columns, n);
    const int rows = (n + columns - 1) / columns;
    double cellWidth = 1, cellHeight = 1;
    for (const ContactFrame& f : frames) {
        cellWidth = std::max(cellWidth, static_cast<double>(f.bitmap.width));
        cellHeight = std::max(cellHeight, static_cast<double>(f.bitmap.height));
    }
    constexpr double kMargin = 8, kLabel = 20;
    double shrink = maxCellWidth > 0 && cellWidth > maxCellWidth ? maxCellWidth / cellWidth : 1;
    auto sheetWidth = [&] { return kMargin + columns * (std::ceil(cellWidth * shrink) + kMargin); };
    auto sheetHeight = [&] { return kMargin + rows * (std::ceil(cellHeight * shrink) + kLabel + kMargin); };
    // Held within what a canvas may be.
    while (shrink > 1e-3 && (sheetWidth() > Canvas::kMaxPixelsPerSide || sheetHeight() > Canvas::kMaxPixelsPerSide ||
                             sheetWidth() * sheetHeight() > static_cast<double>(Canvas::kMaxPixels)))
        shrink *= 0.9;
    Canvas canvas({sheetWidth(), sheetHeight()}, 1);
    if (!canvas.valid()) return {};
    canvas.paint(Color::whiteColor());
    TextStyle label;
    label.font = Font::systemFont(12);
    label.alignment = TextAlignment::Center;
    const double cw = std::ceil(cellWidth * shrink), ch = std::ceil(cellHeight * shrink);
    for (int i = 0; i < n; ++i) {
        const ContactFrame& f = frames[static_cast<std::size_t>(i)];
        const double x = kMargin + (i % columns) * (cw + kMargin);
        const double y = kMargin + (i / columns) * (ch + kLabel + kMargin);
        const Rect picture{x, y, f.bitmap.width * shrink, f.bitmap.height * shrink};
        if (!f.bitmap.empty()) {
            canvas.strokeBorder(picture.insetBy(-1, -1), 1, Color::white(0.8));
            canvas.drawBitmap(f.bitmap, picture, ContentMode::ScaleToFill);
        }
        canvas.drawText(f.label, {x, y + ch, cw, kLabel}, label);
    }
    return canvas.bitmap();
}

}  // namespace qm::platform
