// Draws view trees. The layer tree is copied as it looks at the time drawn (its presentation
// copy) and walked front to back: each layer is placed by its position, anchor point and
// transform, then draws its background, its contents or its view's content, its sublayers
// (clipped when it masks to its bounds) and finally its border, the whole at its opacity.
#include "qmui/render.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "qmplatform/screen.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/window.hpp"
#include "qmui/canvas.hpp"
#include "qmui/layer.hpp"
#include "qmui/picture.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

namespace {

using ViewsByLayer = std::unordered_map<const Layer*, const View*>;

void mapViews(const View& view, ViewsByLayer& map) {
    map[&view.layer()] = &view;
    for (const auto& sub : view.subviews()) mapViews(*sub, map);
}

ContentMode modeFor(ContentsGravity gravity) {
    switch (gravity) {
        case ContentsGravity::Center: return ContentMode::Center;
        case ContentsGravity::Top: return ContentMode::Top;
        case ContentsGravity::Bottom: return ContentMode::Bottom;
        case ContentsGravity::Left: return ContentMode::Left;
        case ContentsGravity::Right: return ContentMode::Right;
        case ContentsGravity::TopLeft: return ContentMode::TopLeft;
        case ContentsGravity::TopRight: return ContentMode::TopRight;
        case ContentsGravity::BottomLeft: return ContentMode::BottomLeft;
        case ContentsGravity::BottomRight: return ContentMode::BottomRight;
        case ContentsGravity::ResizeAspect: return ContentMode::ScaleAspectFit;
        case ContentsGravity::ResizeAspectFill: return ContentMode::ScaleAspectFill;
        case ContentsGravity::Resize: break;
    }
    return ContentMode::ScaleToFill;
}

// Draws `layer` (a presentation copy) in the coordinates of its superlayer's bounds.
void drawLayer(Canvas& canvas, const Layer& layer, const ViewsByLayer& views, double time, int depth) {
    if (depth > 256) return;  // a tree this deep is a fault of the host
    if (layer.isHidden() || layer.opacity() <= 0.001) return;
    const Rect bounds = layer.bounds();
    const Point position = layer.position();
    const Point anchor = layer.anchorPoint();
    canvas.save();
    canvas.translate(position.x, position.y);
    // The layer's own coordinates, centred on its anchor point, are what its transform turns.
    const Rect aroundAnchor{-anchor.x * bounds.width, -anchor.y * bounds.height, bounds.width, bounds.height};
    const Transform3D transform = layer.transform();
    if (!transform.isIdentity()) canvas.concat(transform, aroundAnchor);
    canvas.translate(aroundAnchor.x - bounds.x, aroundAnchor.y - bounds.y);

    const double opacity = std::clamp(layer.opacity(), 0.0, 1.0);
    const bool group = opacity < 0.999;
    if (group) {
        // What the layer can reach: its bounds, or everything when sublayers may spill out.
        if (layer.masksToBounds()) canvas.beginGroup(opacity, bounds);
        else canvas.beginGroup(opacity);
    }
    const double radius = layer.cornerRadius();
    const Color background = layer.backgroundColor();
    if (background.alpha > 0) canvas.fillRect(bounds, background, radius);

    canvas.save();
    if (layer.masksToBounds()) canvas.clip(bounds, radius);
    if (const auto& contents = layer.contents())
        canvas.drawImage(*contents, bounds, modeFor(layer.contentsGravity()), time);
    const auto model = layer.modelLayer();
    if (auto it = views.find(model.get()); model && it != views.end()) it->second->drawContent(canvas, bounds, time);
    const Transform3D sublayerTransform = layer.sublayerTransform();
    if (!sublayerTransform.isIdentity()) {
        // About the layer's anchor point, like its own transform.
        const Point pivot{bounds.x + anchor.x * bounds.width, bounds.y + anchor.y * bounds.height};
        canvas.translate(pivot.x, pivot.y);
        canvas.concat(sublayerTransform, Rect{-pivot.x, -pivot.y, bounds.width, bounds.height});
        canvas.translate(-pivot.x, -pivot.y);
    }
    for (const auto& sublayer : layer.sublayersInDrawingOrder()) drawLayer(canvas, *sublayer, views, time, depth + 1);
    canvas.restore();

    if (layer.borderWidth() > 0 && layer.borderColor().alpha > 0)
        canvas.strokeBorder(bounds, layer.borderWidth(), layer.borderColor(), radius);
    if (group) canvas.endGroup();
    canvas.restore();
}

Bitmap draw(View& view, Size size, const RenderOptions& options) {
    const double scale = options.scale.value_or(Screen::main().scale());
    const double time = options.time.value_or(Layer::currentTime());
    Canvas canvas(size, scale);
    if (!canvas.valid()) {
        SystemLog::write("quelmar: a view was not drawn: " + canvas.error());
        return {};
    }
    if (options.background) canvas.paint(*options.background);
    ViewsByLayer views;
    mapViews(view, views);
    const auto presentation = view.layer().presentationLayer(time);
    // The view's own placement in its superview is not drawn: its bounds fill the picture.
    canvas.save();
    const Rect bounds = presentation->bounds();
    const Point anchor = presentation->anchorPoint();
    presentation->setTransform({});
    presentation->setPosition({bounds.x + anchor.x * bounds.width, bounds.y + anchor.y * bounds.height});
    canvas.translate(-bounds.x, -bounds.y);
    drawLayer(canvas, *presentation, views, time, 0);
    canvas.restore();
    return canvas.bitmap();
}

}  // namespace

Bitmap renderView(View& view, const RenderOptions& options) {
    view.layoutIfNeeded();
    return draw(view, view.bounds().size(), options);
}

Bitmap renderWindow(Window& window, const RenderOptions& options) {
    auto root = viewOf(window);
    root->layoutIfNeeded();
    RenderOptions withBackground = options;
    if (!withBackground.background) withBackground.background = Color::black();
    return draw(*root, root->bounds().size(), withBackground);
}

bool renderViewToPNG(View& view, const std::string& path, const RenderOptions& options) {
    const Bitmap bitmap = renderView(view, options);
    return !bitmap.empty() && writePNG(bitmap, path);
}

Bitmap renderContactSheet(View& view, double start, double end, int steps, const RenderOptions& options) {
    steps = std::clamp(steps, 2, 64);
    if (!std::isfinite(start) || !std::isfinite(end)) return {};
    std::vector<ContactFrame> frames;
    for (int i = 0; i < steps; ++i) {
        const double t = start + (end - start) * i / (steps - 1);
        RenderOptions at = options;
        at.time = t;
        char label[32];
        std::snprintf(label, sizeof label, "%.2f s", t - start);
        frames.push_back({renderView(view, at), label});
    }
    return contactSheet(frames, 0, 0);
}

}  // namespace qm::platform
