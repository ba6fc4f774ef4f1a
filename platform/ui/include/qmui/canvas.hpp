// A canvas draws views and layers into pixels: a cairo image surface of (points × scale)
// pixels, with the operations a layer tree needs (transforms, group opacity, rounded clips,
// fills and borders, pictures with content modes, label text, a placeholder for what cannot be
// drawn). The result is a Bitmap or a PNG file.
//
// One canvas is used from one thread at a time; separate canvases draw on separate threads
// side by side. Bad input never throws and never crashes: a canvas whose size is refused draws
// nothing, non-finite geometry is skipped, and a transform that flattens the plane hides what
// is drawn under it until the matching restore.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "qmplatform/geometry.hpp"
#include "qmplatform/image.hpp"
#include "qmui/color.hpp"
#include "qmui/font.hpp"
#include "qmui/text.hpp"

namespace qm::platform {

// The platform's values.
enum class ContentMode {
    ScaleToFill = 0,
    ScaleAspectFit = 1,
    ScaleAspectFill = 2,
    Redraw = 3,  // drawn as scaleToFill
    Center = 4,
    Top = 5,
    Bottom = 6,
    Left = 7,
    Right = 8,
    TopLeft = 9,
    TopRight = 10,
    BottomLeft = 11,
    BottomRight = 12,
};

// Where a picture of `imageSize` points lands for `bounds` in `mode`. It may reach past the
// bounds (aspect fill, centre and the edge modes with a larger picture): clip first when the
// view clips to its bounds.
Rect contentRect(Size imageSize, const Rect& bounds, ContentMode mode);

// How a label draws its text. The defaults are a label's.
struct TextStyle {
    Font font;
    Color color = Color::black();
    TextAlignment alignment = TextAlignment::Natural;
    int numberOfLines = 1;  // 0: as many as fit the rectangle
    LineBreakMode lineBreakMode = LineBreakMode::TruncateTail;
};

class Canvas {
public:
    // Surfaces larger than this are refused (each side, and in all).
    static constexpr int kMaxPixelsPerSide = 16384;
    static constexpr long long kMaxPixels = 64LL * 1024 * 1024;

    // A transparent canvas of `size` points at `scale` pixels per point; each side is
    // (points × scale) rounded up. A size or scale that is not a positive number, or pixels
    // past the limits, give a canvas that is not valid(): it draws nothing, its bitmap is
    // empty, and error() says why.
    Canvas(Size size, double scale = 1);
    ~Canvas();
    Canvas(Canvas&&) noexcept;
    Canvas& operator=(Canvas&&) noexcept;
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    bool valid() const;
    const std::string& error() const;
    Size size() const;
    double scale() const;
    int pixelWidth() const;
    int pixelHeight() const;

    // The drawing state (transform, clip, hidden-ness) is saved and restored in pairs. A
    // restore without its save, or one that would cross an open group, is ignored.
    void save();
    void restore();

    // Later drawing goes through `t` first, then through the current transform (a sublayer
    // inside its parent). A transform that cannot be inverted hides later drawing until the
    // matching restore, as a layer scaled to nothing shows nothing.
    void concat(const AffineTransform& t);
    // A layer's 3D transform, for drawing the layer's `bounds` (in the coordinates `t` applies
    // to). When the plane z = 0 stays flat on the screen (no perspective from x or y), this is
    // exactly its affine part. Otherwise the four corners of `bounds` are projected and the
    // affine transform nearest to them in the least-squares sense is used: the picture keeps
    // straight, parallel edges and lands where the projected corners put it on average. A
    // layer seen edge-on, or with a corner behind the viewer, is hidden.
    void concat(const Transform3D& t, const Rect& bounds);
    void translate(double dx, double dy) { concat(AffineTransform::translation(dx, dy)); }
    AffineTransform currentTransform() const;  // points to points, without the canvas scale

    // Group opacity: what is drawn up to the matching endGroup() is composed on its own and
    // then laid on the canvas at `alpha`, so overlapping children do not show through each
    // other. endGroup() restores saves left open inside the group; an endGroup() without a
    // group is ignored. The group's pixels cover the whole clip area; with `bounds` (what the
    // group can reach, in current coordinates) only those, which is much cheaper for a small
    // layer on a large canvas. Drawing outside `bounds` is cut off.
    void beginGroup(double alpha);
    void beginGroup(double alpha, const Rect& bounds);
    void endGroup();

    // Narrows the clip to the rectangle with its corners rounded by `cornerRadius` (held to
    // half the shorter side).
    void clip(const Rect& r, double cornerRadius = 0);

    // Fills the whole clip area (a background).
    void paint(const Color& color);
    void fillRect(const Rect& r, const Color& color, double cornerRadius = 0);
    // A layer's border: `width` points inside `r`, following the corner radius (the inner
    // edge is rounded by the radius less the width).
    void strokeBorder(const Rect& r, double width, const Color& color, double cornerRadius = 0);
    void strokeLine(Point from, Point to, double width, const Color& color);

    // A bitmap of `imageScale` pixels per point (its size in points is pixels / scale) laid
    // into `bounds` by `mode`, with good filtering, at `alpha`. A bitmap whose pixel count does
    // not match its size is not drawn.
    void drawBitmap(const Bitmap& bitmap, const Rect& bounds, ContentMode mode, double imageScale = 1,
                    double alpha = 1);
    // The image's frame at `seconds` into its animation, at the image's scale.
    void drawImage(const Image& image, const Rect& bounds, ContentMode mode, double seconds = 0, double alpha = 1);

    // Text as a label draws it in `bounds`: wrapped to the width, at most numberOfLines lines
    // and no more than fit the height (at least one), the block centred vertically, each line
    // aligned. Laid out exactly as measureText measures it.
    void drawText(std::string_view utf8, const Rect& bounds, const TextStyle& style);

    // Marks content that cannot be drawn (a web view without a snapshot): a light grey fill,
    // a border, both diagonals and `caption` in the middle.
    void drawPlaceholder(const Rect& bounds, std::string_view caption);

    // What has been drawn; groups still open are not in it. Empty for a canvas that is not
    // valid.
    Bitmap bitmap() const;
    bool writePNG(const std::string& path) const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace qm::platform
