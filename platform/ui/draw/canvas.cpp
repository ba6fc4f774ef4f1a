#include "qmui/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "pango_support.hpp"
#include "qmplatform/system_log.hpp"
#include "qmui/picture.hpp"
#include "surface.hpp"
#include "text_layout.hpp"

namespace qm::platform {

namespace {

// Coordinates are held within this many points of the origin: cairo keeps device
// coordinates in 24.8 fixed point and would wrap around past about eight million.
constexpr double kCoordinateLimit = 1e6;
// Past this many device pixels per em, glyphs are filled as outlines instead of rasterised
// whole (a huge glyph image would be an enormous allocation).
constexpr double kMaxGlyphImagePixels = 256;
constexpr double kMinGlyphImagePixels = 0.5;

double unit(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; }

bool finite(const Rect& r) {
    return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height);
}

// The rectangle with positive size, its edges held within the coordinate limit.
Rect bounded(const Rect& r) {
    const Rect s = r.standardized();
    const double left = std::clamp(s.minX(), -kCoordinateLimit, kCoordinateLimit);
    const double right = std::clamp(s.maxX(), -kCoordinateLimit, kCoordinateLimit);
    const double top = std::clamp(s.minY(), -kCoordinateLimit, kCoordinateLimit);
    const double bottom = std::clamp(s.maxY(), -kCoordinateLimit, kCoordinateLimit);
    return {left, top, right - left, bottom - top};
}

double usableRadius(double radius, const Rect& r) {
    if (!std::isfinite(radius) || radius <= 0) return 0;
    return std::min(radius, std::min(r.width, r.height) / 2);
}

void setColor(cairo_t* cr, const Color& c) {
    cairo_set_source_rgba(cr, unit(c.red), unit(c.green), unit(c.blue), unit(c.alpha));
}

// `r` standardized; `radius` already usable.
void roundedRectPath(cairo_t* cr, const Rect& r, double radius) {
    if (radius <= 0) {
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        return;
    }
    constexpr double pi = std::numbers::pi;
    cairo_new_sub_path(cr);
    cairo_arc(cr, r.maxX() - radius, r.y + radius, radius, -pi / 2, 0);
    cairo_arc(cr, r.maxX() - radius, r.maxY() - radius, radius, 0, pi / 2);
    cairo_arc(cr, r.x + radius, r.maxY() - radius, radius, pi / 2, pi);
    cairo_arc(cr, r.x + radius, r.y + radius, radius, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

}  // namespace

Rect contentRect(Size image, const Rect& bounds, ContentMode mode) {
    const Rect b = bounds.standardized();
    const double w = image.width, h = image.height;
    auto at = [&](double x, double y) { return Rect{x, y, w, h}; };
    switch (mode) {
        case ContentMode::ScaleAspectFit:
        case ContentMode::ScaleAspectFill: {
            if (!(w > 0 && h > 0)) return b;
            const double sx = b.width / w, sy = b.height / h;
            const double s = mode == ContentMode::ScaleAspectFit ? std::min(sx, sy) : std::max(sx, sy);
            return {b.midX() - w * s / 2, b.midY() - h * s / 2, w * s, h * s};
        }
        case ContentMode::Center: return at(b.midX() - w / 2, b.midY() - h / 2);
        case ContentMode::Top: return at(b.midX() - w / 2, b.y);
        case ContentMode::Bottom: return at(b.midX() - w / 2, b.maxY() - h);
        case ContentMode::Left: return at(b.x, b.midY() - h / 2);
        case ContentMode::Right: return at(b.maxX() - w, b.midY() - h / 2);
        case ContentMode::TopLeft: return at(b.x, b.y);
        case ContentMode::TopRight: return at(b.maxX() - w, b.y);
        case ContentMode::BottomLeft: return at(b.x, b.maxY() - h);
        case ContentMode::BottomRight: return at(b.maxX() - w, b.maxY() - h);
        case ContentMode::ScaleToFill:
        case ContentMode::Redraw: break;
    }
    return b;
}

struct Canvas::State {
    // One entry per open save() or beginGroup().
    struct Level {
        bool group = false;
        bool hidden = false;  // as it was before the level opened
        double alpha = 1;
        bool bounded = false;  // a group with a save and clip of its own around it
    };

    std::string error;
    Size size;
    double scale = 1;
    int pixelWidth = 0, pixelHeight = 0;
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;
    std::vector<Level> levels;
    // A transform flattened the plane (or a clip left nothing): drawing does nothing until
    // the level that hid it is closed.
    bool hidden = false;

    ~State() {
        if (cr) cairo_destroy(cr);
        if (surface) cairo_surface_destroy(surface);
    }
    bool drawing() const { return cr && !hidden && cairo_status(cr) == CAIRO_STATUS_SUCCESS; }
    // cairo stops drawing on a context once an operation failed; say so once.
    void noteFailure(const char* what) {
        if (!cr || cairo_status(cr) == CAIRO_STATUS_SUCCESS || !error.empty()) return;
        error = std::string("drawing stopped at ") + what + ": " + cairo_status_to_string(cairo_status(cr));
        SystemLog::write("quelmar: a canvas " + error);
    }
};

Canvas::Canvas(Size size, double scale) : s_(std::make_unique<State>()) {
    State& s = *s_;
    if (!(std::isfinite(size.width) && std::isfinite(size.height) && size.width > 0 && size.height > 0)) {
        s.error = "the canvas size is not a positive number of points";
        return;
    }
    if (!(std::isfinite(scale) && scale > 0)) {
        s.error = "the canvas scale is not a positive number";
        return;
    }
    // A little slack so that 390 × 3 stays 1170 although the product is not exact.
    const double width = std::max(1.0, std::ceil(size.width * scale - 1e-6));
    const double height = std::max(1.0, std::ceil(size.height * scale - 1e-6));
    if (width > kMaxPixelsPerSide || height > kMaxPixelsPerSide || width * height > static_cast<double>(kMaxPixels)) {
        s.error = "the canvas would be " + std::to_string(static_cast<long long>(std::min(width, 1e15))) + " x " +
                  std::to_string(static_cast<long long>(std::min(height, 1e15))) + " pixels, past the limit of " +
                  std::to_string(kMaxPixelsPerSide) + " per side and " + std::to_string(kMaxPixels) + " in all";
        return;
    }
    s.surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(width), static_cast<int>(height));
    if (cairo_surface_status(s.surface) != CAIRO_STATUS_SUCCESS) {
        s.error = std::string("no surface: ") + cairo_status_to_string(cairo_surface_status(s.surface));
        cairo_surface_destroy(s.surface);
        s.surface = nullptr;
        return;
    }
    s.cr = cairo_create(s.surface);
    s.size = size;
    s.scale = scale;
    s.pixelWidth = static_cast<int>(width);
    s.pixelHeight = static_cast<int>(height);
    cairo_scale(s.cr, scale, scale);
    cairo_set_font_options(s.cr, draw::fixedFontOptions());
}

Canvas::~Canvas() = default;
Canvas::Canvas(Canvas&&) noexcept = default;
Canvas& Canvas::operator=(Canvas&&) noexcept = default;

bool Canvas::valid() const { return s_ && s_->cr; }
const std::string& Canvas::error() const {
    static const std::string moved = "the canvas was moved away";
    return s_ ? s_->error : moved;
}
Size Canvas::size() const { return s_ ? s_->size : Size{}; }
double Canvas::scale() const { return s_ ? s_->scale : 1; }
int Canvas::pixelWidth() const { return s_ ? s_->pixelWidth : 0; }
int Canvas::pixelHeight() const { return s_ ? s_->pixelHeight : 0; }

void Canvas::save() {
    if (!valid()) return;
    s_->levels.push_back({false, s_->hidden, 1});
    cairo_save(s_->cr);
}

void Canvas::restore() {
    if (!valid() || s_->levels.empty() || s_->levels.back().group) return;
    cairo_restore(s_->cr);
    s_->hidden = s_->levels.back().hidden;
    s_->levels.pop_back();
}

void Canvas::concat(const AffineTransform& t) {
    if (!s_ || !s_->drawing()) return;
    State& s = *s_;
    cairo_matrix_t local, current, product;
    cairo_matrix_init(&local, t.a, t.b, t.c, t.d, t.tx, t.ty);
    cairo_get_matrix(s.cr, &current);
    cairo_matrix_multiply(&product, &local, &current);  // the local transform first
    const double entries[] = {product.xx, product.yx, product.xy, product.yy, product.x0, product.y0};
    const double det = product.xx * product.yy - product.yx * product.xy;
    bool usable = std::isfinite(det) && std::abs(det) > 1e-12;
    for (double e : entries) usable = usable && std::isfinite(e) && std::abs(e) < 1e9;
    // cairo would put the whole context in an error state for a matrix it cannot invert.
    if (!usable) {
        s.hidden = true;
        return;
    }
    cairo_set_matrix(s.cr, &product);
}

void Canvas::concat(const Transform3D& t, const Rect& bounds) {
    if (!s_ || !s_->drawing()) return;
    const double all[] = {t.m11, t.m12, t.m13, t.m14, t.m21, t.m22, t.m23, t.m24,
                          t.m31, t.m32, t.m33, t.m34, t.m41, t.m42, t.m43, t.m44};
    for (double e : all) {
        if (!std::isfinite(e)) {
            s_->hidden = true;
            return;
        }
    }
    // Points of the plane z = 0 map to (x·m11 + y·m21 + m41, x·m12 + y·m22 + m42) over
    // w = x·m14 + y·m24 + m44; z and the third row and column play no part.
    if (t.m14 == 0 && t.m24 == 0) {
        if (!(t.m44 > 0)) {
            s_->hidden = true;
            return;
        }
        const double w = t.m44;
        concat(AffineTransform{t.m11 / w, t.m12 / w, t.m21 / w, t.m22 / w, t.m41 / w, t.m42 / w});
        return;
    }
    const Rect b = bounds.standardized();
    if (!finite(b) || !(b.width > 0 && b.height > 0)) {
        s_->hidden = true;
        return;
    }
    // Project the corners. Taken about the centre, the corners (±hw, ±hh) make the normal
    // equations of the least-squares fit diagonal, so each coefficient is a plain sum.
    const double hw = b.width / 2, hh = b.height / 2, cx = b.midX(), cy = b.midY();
    double a = 0, bb = 0, c = 0, d = 0, mx = 0, my = 0;
    for (const double u : {-hw, hw}) {
        for (const double v : {-hh, hh}) {
            const double x = cx + u, y = cy + v;
            const double w = x * t.m14 + y * t.m24 + t.m44;
            if (!(w > 1e-9)) {  // behind the viewer
                s_->hidden = true;
                return;
            }
            const double px = (x * t.m11 + y * t.m21 + t.m41) / w;
            const double py = (x * t.m12 + y * t.m22 + t.m42) / w;
            a += u * px;
            c += v * px;
            bb += u * py;
            d += v * py;
            mx += px;
            my += py;
        }
    }
    a /= 4 * hw * hw;
    c /= 4 * hh * hh;
    bb /= 4 * hw * hw;
    d /= 4 * hh * hh;
    mx /= 4;
    my /= 4;
    concat(AffineTransform{a, bb, c, d, mx - a * cx - c * cy, my - bb * cx - d * cy});
}

AffineTransform Canvas::currentTransform() const {
    if (!valid()) return {};
    cairo_matrix_t m;
    cairo_get_matrix(s_->cr, &m);
    const double k = s_->scale;
    return {m.xx / k, m.yx / k, m.xy / k, m.yy / k, m.x0 / k, m.y0 / k};
}

void Canvas::beginGroup(double alpha) {
    if (!valid()) return;
    s_->levels.push_back({true, s_->hidden, unit(alpha), false});
    cairo_push_group(s_->cr);
}

void Canvas::beginGroup(double alpha, const Rect& bounds) {
    if (!valid()) return;
    State& s = *s_;
    s.levels.push_back({true, s.hidden, unit(alpha), true});
    cairo_save(s.cr);
    if (s.drawing()) {
        if (finite(bounds)) {
            const Rect b = bounded(bounds);
            cairo_new_path(s.cr);
            cairo_rectangle(s.cr, b.x, b.y, b.width, b.height);
            cairo_clip(s.cr);
        } else {
            s.hidden = true;
        }
    }
    cairo_push_group(s.cr);
}

void Canvas::endGroup() {
    if (!valid()) return;
    State& s = *s_;
    const auto group = std::find_if(s.levels.rbegin(), s.levels.rend(), [](const State::Level& l) { return l.group; });
    if (group == s.levels.rend()) return;
    while (!s.levels.back().group) {  // saves left open inside the group
        cairo_restore(s.cr);
        s.levels.pop_back();
    }
    const State::Level level = s.levels.back();
    s.levels.pop_back();
    cairo_pop_group_to_source(s.cr);
    s.hidden = level.hidden;
    if (!s.hidden) cairo_paint_with_alpha(s.cr, level.alpha);
    cairo_set_source_rgba(s.cr, 0, 0, 0, 0);  // let the group's surface go
    if (level.bounded) cairo_restore(s.cr);
    s.noteFailure("a group");
}

void Canvas::clip(const Rect& r, double cornerRadius) {
    if (!s_ || !s_->drawing()) return;
    if (!finite(r)) {
        s_->hidden = true;
        return;
    }
    const Rect b = bounded(r);
    cairo_new_path(s_->cr);
    roundedRectPath(s_->cr, b, usableRadius(cornerRadius, b));
    cairo_clip(s_->cr);
}

void Canvas::paint(const Color& color) {
    if (!s_ || !s_->drawing()) return;
    setColor(s_->cr, color);
    cairo_paint(s_->cr);
}

void Canvas::fillRect(const Rect& r, const Color& color, double cornerRadius) {
    if (!s_ || !s_->drawing() || !finite(r)) return;
    const Rect b = bounded(r);
    cairo_new_path(s_->cr);
    roundedRectPath(s_->cr, b, usableRadius(cornerRadius, b));
    setColor(s_->cr, color);
    cairo_fill(s_->cr);
}

void Canvas::strokeBorder(const Rect& r, double width, const Color& color, double cornerRadius) {
    if (!s_ || !s_->drawing() || !finite(r) || !std::isfinite(width) || width <= 0) return;
    const Rect b = bounded(r);
    const double radius = usableRadius(cornerRadius, b);
    const double inset = std::min(width, std::min(b.width, b.height) / 2);
    cairo_t* cr = s_->cr;
    cairo_save(cr);
    cairo_new_path(cr);
    roundedRectPath(cr, b, radius);
    // The inner edge, drawn as a hole: what lies between the two is the border.
    roundedRectPath(cr, b.insetBy(inset, inset), std::max(0.0, radius - inset));
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    setColor(cr, color);
    cairo_fill(cr);
    cairo_restore(cr);
}

void Canvas::strokeLine(Point from, Point to, double width, const Color& color) {
    if (!s_ || !s_->drawing() || !std::isfinite(width) || width <= 0) return;
    if (!std::isfinite(from.x) || !std::isfinite(from.y) || !std::isfinite(to.x) || !std::isfinite(to.y)) return;
    auto held = [](double v) { return std::clamp(v, -kCoordinateLimit, kCoordinateLimit); };
    cairo_t* cr = s_->cr;
    cairo_new_path(cr);
    cairo_move_to(cr, held(from.x), held(from.y));
    cairo_line_to(cr, held(to.x), held(to.y));
    cairo_set_line_width(cr, std::min(width, kCoordinateLimit));
    setColor(cr, color);
    cairo_stroke(cr);
}

void Canvas::drawBitmap(const Bitmap& bitmap, const Rect& bounds, ContentMode mode, double imageScale, double alpha) {
    if (!s_ || !s_->drawing() || !finite(bounds)) return;
    if (!std::isfinite(imageScale) || imageScale <= 0) imageScale = 1;
    cairo_surface_t* source = draw::surfaceOver(bitmap);
    if (!source) return;
    const Rect dest = contentRect({bitmap.width / imageScale, bitmap.height / imageScale}, bounds, mode);
    if (finite(dest) && dest.width > 0 && dest.height > 0) {
        cairo_t* cr = s_->cr;
        cairo_pattern_t* pattern = cairo_pattern_create_for_surface(source);
        // The pattern's matrix maps user space onto the bitmap's pixels.
        cairo_matrix_t m;
        cairo_matrix_init_scale(&m, bitmap.width / dest.width, bitmap.height / dest.height);
        cairo_matrix_translate(&m, -dest.x, -dest.y);
        cairo_pattern_set_matrix(pattern, &m);
        cairo_pattern_set_filter(pattern, CAIRO_FILTER_GOOD);
        // Edge pixels repeat outwards, so a scaled-up picture keeps sharp, opaque edges
        // inside the clip below instead of fading out.
        cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
        // A pattern in error (a scale too small to invert) would stop the whole context.
        if (cairo_pattern_status(pattern) != CAIRO_STATUS_SUCCESS) {
            cairo_pattern_destroy(pattern);
            cairo_surface_destroy(source);
            return;
        }
        cairo_save(cr);
        cairo_new_path(cr);
        const Rect held = bounded(dest);
        cairo_rectangle(cr, held.x, held.y, held.width, held.height);
        cairo_clip(cr);
        cairo_set_source(cr, pattern);
        cairo_paint_with_alpha(cr, unit(alpha));
        cairo_restore(cr);
        cairo_pattern_destroy(pattern);
    }
    cairo_surface_destroy(source);  // cairo keeps no reference to the pixels past this point
    s_->noteFailure("a picture");
}

void Canvas::drawImage(const Image& image, const Rect& bounds, ContentMode mode, double seconds, double alpha) {
    if (image.frames().empty()) return;
    drawBitmap(image.frameAt(seconds), bounds, mode, image.scale(), alpha);
}

void Canvas::drawText(std::string_view utf8, const Rect& bounds, const TextStyle& style) {
    if (!s_ || !s_->drawing() || !finite(bounds)) return;
    const Rect b = bounded(bounds);
    if (!(b.width > 0)) return;  // no room for a single character
    // As many lines as the height holds (at least one), within the label's own limit.
    const double lineHeight = style.font.lineHeight();
    const double fitting = lineHeight > 0 ? std::floor((b.height + 1e-6) / lineHeight) : 1;
    int lines = static_cast<int>(std::clamp(fitting, 1.0, 1e6));
    if (style.numberOfLines > 0) lines = std::min(lines, style.numberOfLines);
    const draw::TextLayout laid = draw::layOutText(utf8, style.font, b.width, lines, style.lineBreakMode);
    if (!laid.layout) return;
    PangoLayout* layout = laid.layout.get();
    if (style.alignment == TextAlignment::Justified) pango_layout_set_justify(layout, TRUE);

    cairo_t* cr = s_->cr;
    cairo_save(cr);
    if (style.lineBreakMode == LineBreakMode::Clip) {
        // The line runs on past the edge; the edge cuts it (above and below, text may reach
        // out as in a label).
        cairo_new_path(cr);
        cairo_rectangle(cr, b.x, b.y - kCoordinateLimit / 2, b.width, b.height + kCoordinateLimit);
        cairo_clip(cr);
    }
    setColor(cr, style.color);
    // Glyph images are only asked for at sizes the rasteriser takes (FreeType fails on
    // millions of pixels per em, and cairo then stops drawing for good). Otherwise the
    // outlines are traced with the plain transform, where the size is at most the largest
    // font size, and filled through the real one.
    cairo_matrix_t m;
    cairo_get_matrix(cr, &m);
    const double size = draw::usableSize(style.font.pointSize);
    const double largest = std::sqrt(m.xx * m.xx + m.yx * m.yx + m.xy * m.xy + m.yy * m.yy);
    const double smallest = largest > 0 ? std::abs(m.xx * m.yy - m.xy * m.yx) / largest : 0;
    const bool outlines = size * largest > kMaxGlyphImagePixels || size * smallest < kMinGlyphImagePixels;

    // The block is centred vertically as a label centres its text rectangle (its height
    // rounded up); each line is placed by the alignment.
    const double top = b.y + (b.height - std::ceil(laid.height)) / 2;
    PangoLayoutIter* it = pango_layout_get_iter(layout);
    do {
        PangoLayoutLine* line = pango_layout_iter_get_line_readonly(it);
        PangoRectangle logical;
        pango_layout_line_get_extents(line, nullptr, &logical);
        const double width = draw::fromPango(logical.width);
        const bool rtl = line->resolved_dir == PANGO_DIRECTION_RTL;
        double x = b.x;
        switch (style.alignment) {
            case TextAlignment::Left: x = b.x; break;
            case TextAlignment::Right: x = b.maxX() - width; break;
            case TextAlignment::Center: x = b.x + (b.width - width) / 2; break;
            case TextAlignment::Justified:
            case TextAlignment::Natural: x = rtl ? b.maxX() - width : b.x; break;
        }
        const double originX = x - draw::fromPango(logical.x);
        const double baseline = top + draw::fromPango(pango_layout_iter_get_baseline(it));
        cairo_new_path(cr);
        if (outlines) {
            cairo_save(cr);
            cairo_identity_matrix(cr);
            cairo_move_to(cr, originX, baseline);
            pango_cairo_layout_line_path(cr, line);
            cairo_path_t* path = cairo_copy_path(cr);  // in the plain transform's units
            cairo_restore(cr);
            cairo_new_path(cr);
            cairo_append_path(cr, path);  // read in the real transform's units
            cairo_path_destroy(path);
            cairo_fill(cr);
        } else {
            cairo_move_to(cr, originX, baseline);
            pango_cairo_show_layout_line(cr, line);
        }
    } while (pango_layout_iter_next_line(it));
    pango_layout_iter_free(it);
    cairo_restore(cr);
    s_->noteFailure("text");
}

void Canvas::drawPlaceholder(const Rect& bounds, std::string_view caption) {
    if (!s_ || !s_->drawing() || !finite(bounds)) return;
    const Rect b = bounded(bounds);
    const Color line = Color::white(0.62);
    fillRect(b, Color::white(0.9));
    save();
    clip(b);
    strokeLine({b.x, b.y}, {b.maxX(), b.maxY()}, 1, line);
    strokeLine({b.maxX(), b.y}, {b.x, b.maxY()}, 1, line);
    restore();
    strokeBorder(b, 1, line);
    if (caption.empty()) return;
    // The caption on a patch of the fill, so the cross does not run through it.
    TextStyle style;
    style.font = Font::systemFont(12);
    style.color = Color::white(0.35);
    style.alignment = TextAlignment::Center;
    const TextMeasurement size = measureText(caption, style.font, std::max(1.0, b.width - 12), 1, style.lineBreakMode);
    const Rect patch{b.midX() - size.size.width / 2 - 4, b.midY() - size.size.height / 2 - 2, size.size.width + 8,
                     size.size.height + 4};
    fillRect(patch, Color::white(0.9), 3);
    drawText(caption, patch, style);
}

Bitmap Canvas::bitmap() const {
    if (!valid()) return {};
    return draw::bitmapFrom(s_->surface);
}

bool Canvas::writePNG(const std::string& path) const { return platform::writePNG(bitmap(), path); }

}  // namespace qm::platform
