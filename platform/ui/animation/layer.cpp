#include "qmui/layer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "context.hpp"
#include "evaluate.hpp"
#include "layer_access.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/dispatch.hpp"
#include "value_math.hpp"

namespace qm::platform {

namespace anim {

// The animations a layer holds and their timers. Timers and posted blocks reach it through a
// weak reference, so a layer that goes away takes its animations with it; those that had not
// stopped report an unfinished stop.
class LayerAnimations : public std::enable_shared_from_this<LayerAnimations> {
public:
    struct Entry {
        std::uint64_t id = 0;
        std::string key;
        std::shared_ptr<Animation> animation;  // the layer's resolved copy
        double end = INFINITY;
        bool started = false, stopped = false;
        std::shared_ptr<Timer> startTimer, stopTimer;
        std::vector<std::shared_ptr<AnimationWatch>> watches;
    };

    ~LayerAnimations() {
        for (auto& entry : entries_) stopEarly(std::move(entry));
    }

    const std::vector<Entry>& entries() const { return entries_; }

    void add(std::shared_ptr<Animation> animation, const std::string& key) {
        if (!key.empty()) remove(key);
        Entry entry;
        entry.id = ++lastId_;
        entry.key = key;
        entry.end = endTime(*animation);
        const double begin = animation->beginTime;
        entry.animation = std::move(animation);
        for (const auto& watch : openWatches()) {
            watch->joined();
            entry.watches.push_back(watch);
        }
        const double now = Layer::currentTime();
        std::weak_ptr<LayerAnimations> weak = weak_from_this();
        const auto id = entry.id;
        if (begin <= now) {
            Queue::main().async([weak, id] {
                if (auto self = weak.lock()) self->started(id);
            });
        } else {
            entry.startTimer = Timer::scheduled(begin - now, false, [weak, id](Timer&) {
                if (auto self = weak.lock()) self->started(id);
            });
        }
        if (std::isfinite(entry.end)) {
            entry.stopTimer = Timer::scheduled(std::max(0.0, entry.end - now), false, [weak, id](Timer&) {
                if (auto self = weak.lock()) self->ended(id);
            });
        }
        entries_.push_back(std::move(entry));
    }

    void remove(std::string_view key) {
        std::vector<Entry> removed;
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (it->key == key) {
                removed.push_back(std::move(*it));
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& entry : removed) stopEarly(std::move(entry));
    }

    void removeAll() {
        auto removed = std::exchange(entries_, {});
        for (auto& entry : removed) stopEarly(std::move(entry));
    }

    // Shapes `target` as the animations make it look at `time`.
    void applyTo(Layer& target, double time) const {
        for (const auto& entry : entries_) {
            // One that is taken off when it completes shows nothing from its end on, whether or
            // not its timer has come round yet.
            if (entry.animation->removedOnCompletion && time >= entry.end) continue;
            apply(*entry.animation, time, target);
        }
    }

private:
    Entry* find(std::uint64_t id) {
        for (auto& entry : entries_)
            if (entry.id == id) return &entry;
        return nullptr;
    }

    // Runs on the main run loop. Callbacks may add, remove or drop animations (this object
    // included: the caller holds it), so nothing of entries_ is held across them.
    void started(std::uint64_t id) {
        Entry* entry = find(id);
        if (!entry || entry->started) return;
        entry->started = true;
        entry->startTimer = nullptr;
        auto animation = entry->animation;
        auto watches = entry->watches;
        if (animation->didStart) animation->didStart(*animation);
        for (const auto& watch : watches) watch->animationStarted();
    }

    void ended(std::uint64_t id) {
        if (Entry* entry = find(id); entry && !entry->started) started(id);
        Entry* entry = find(id);
        if (!entry || entry->stopped) return;
        entry->stopped = true;
        entry->stopTimer = nullptr;
        auto animation = entry->animation;
        auto watches = std::move(entry->watches);
        if (animation->removedOnCompletion) {
            std::erase_if(entries_, [id](const Entry& e) { return e.id == id; });
        }
        if (animation->didStop) animation->didStop(*animation, true);
        for (const auto& watch : watches) watch->animationStopped(true);
    }

    // An animation taken off before its end: its timers stop, and unless it has already
    // reported its stop it reports an unfinished one on the main run loop (never inside the
    // caller's remove).
    static void stopEarly(Entry entry) {
        if (entry.startTimer) entry.startTimer->invalidate();
        if (entry.stopTimer) entry.stopTimer->invalidate();
        if (entry.stopped) return;
        Queue::main().async([animation = std::move(entry.animation), watches = std::move(entry.watches)] {
            if (animation->didStop) animation->didStop(*animation, false);
            for (const auto& watch : watches) watch->animationStopped(false);
        });
    }

    std::vector<Entry> entries_;
    std::uint64_t lastId_ = 0;
};

}  // namespace anim

// ---------------------------------------------------------------------------------------------
struct Layer::State {
    Rect bounds;
    Point position;
    Point anchorPoint{0.5, 0.5};
    double zPosition = 0;
    Transform3D transform, sublayerTransform;
    double opacity = 1;
    bool hidden = false;
    Color backgroundColor;
    double cornerRadius = 0, borderWidth = 0;
    Color borderColor = Color::black();
    bool masksToBounds = false;
    std::shared_ptr<Image> contents;
    ContentsGravity contentsGravity = ContentsGravity::Resize;
    std::string name;

    bool implicitAnimations = false;
    bool presentation = false;
    std::weak_ptr<Layer> model;
    std::weak_ptr<Layer> superlayer;
    std::vector<std::shared_ptr<Layer>> sublayers;
    std::shared_ptr<anim::LayerAnimations> animations;

    // The look of the layer, without its place in a tree, animations or settings.
    void copyAppearance(const State& o) {
        bounds = o.bounds;
        position = o.position;
        anchorPoint = o.anchorPoint;
        zPosition = o.zPosition;
        transform = o.transform;
        sublayerTransform = o.sublayerTransform;
        opacity = o.opacity;
        hidden = o.hidden;
        backgroundColor = o.backgroundColor;
        cornerRadius = o.cornerRadius;
        borderWidth = o.borderWidth;
        borderColor = o.borderColor;
        masksToBounds = o.masksToBounds;
        contents = o.contents;
        contentsGravity = o.contentsGravity;
        name = o.name;
    }
};

void LayerAccess::forEachAnimation(const Layer& layer, const std::function<void(const Animation&, double)>& visit) {
    if (!layer.state_->animations) return;
    for (const auto& entry : layer.state_->animations->entries()) visit(*entry.animation, entry.end);
}

namespace {

bool finite(double v) { return std::isfinite(v); }
bool finite(Point p) { return finite(p.x) && finite(p.y); }
bool finite(const Rect& r) { return finite(r.x) && finite(r.y) && finite(r.width) && finite(r.height); }
bool finite(const Color& c) { return finite(c.red) && finite(c.green) && finite(c.blue) && finite(c.alpha); }
bool finite(const Transform3D& t) { return LayerValue(t).isFinite(); }

// The animatable properties, by key.
constexpr std::array<std::string_view, 11> kAnimatable = {
    "position", "bounds", "anchorPoint", "zPosition", "transform", "sublayerTransform",
    "opacity", "cornerRadius", "borderWidth", "backgroundColor", "borderColor"};

// A change that, on a layer with implicit animations, animates from the presentation value
// the properties had before it.
class ImplicitChange {
public:
    ImplicitChange(Layer& layer, std::initializer_list<std::string_view> keys, bool on) : layer_(layer) {
        if (!on || Transaction::disableActions() || !(Transaction::animationDuration() > 0)) return;
        for (auto key : keys) before_.push_back({key, layer.valueForKeyPath(key), layer.presentationValue(key)});
    }
    ~ImplicitChange() {
        for (const auto& [key, model, shown] : before_) {
            if (layer_.valueForKeyPath(key) == model) continue;
            BasicAnimation animation{std::string(key)};
            animation.fromValue = shown;
            if (!Transaction::animationTimingFunction()) animation.timingFunction = TimingFunction::systemDefault();
            layer_.addAnimation(animation, std::string(key));
        }
    }
    ImplicitChange(const ImplicitChange&) = delete;
    ImplicitChange& operator=(const ImplicitChange&) = delete;

private:
    struct Before {
        std::string_view key;
        LayerValue model, shown;
    };
    Layer& layer_;
    std::vector<Before> before_;
};

// Plane maps as 3×3 matrices on row vectors (x, y, 1): a layer's transform seen in the plane
// z = 0, with its perspective divide.
using Plane = std::array<std::array<double, 3>, 3>;

Plane identityPlane() { return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }
Plane translationPlane(double x, double y) { return {{{1, 0, 0}, {0, 1, 0}, {x, y, 1}}}; }
Plane planeOf(const Transform3D& t) { return {{{t.m11, t.m12, t.m14}, {t.m21, t.m22, t.m24}, {t.m41, t.m42, t.m44}}}; }

Plane multiply(const Plane& a, const Plane& b) {
    Plane r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}

std::optional<Plane> invertPlane(const Plane& m) {
    const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    const double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    const double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    const double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
    if (!(std::fabs(det) > 1e-300)) return std::nullopt;
    Plane r;
    r[0] = {c00 / det, (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det, (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det};
    r[1] = {c01 / det, (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det, (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det};
    r[2] = {c02 / det, (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det, (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det};
    return r;
}

Point applyPlane(const Plane& m, Point p) {
    const double x = p.x * m[0][0] + p.y * m[1][0] + m[2][0];
    const double y = p.x * m[0][1] + p.y * m[1][1] + m[2][1];
    const double w = p.x * m[0][2] + p.y * m[1][2] + m[2][2];
    if (w == 0 || !std::isfinite(w)) return {x, y};
    return {x / w, y / w};
}

Point anchorInBounds(const Rect& bounds, Point anchor) {
    return {bounds.x + anchor.x * bounds.width, bounds.y + anchor.y * bounds.height};
}

Rect boundingBox(const std::array<Point, 4>& corners) {
    double minX = corners[0].x, maxX = minX, minY = corners[0].y, maxY = minY;
    for (const auto& c : corners) {
        minX = std::min(minX, c.x);
        maxX = std::max(maxX, c.x);
        minY = std::min(minY, c.y);
        maxY = std::max(maxY, c.y);
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

// The frame of a layer of `size` at `position` (before the superlayer's sublayer transform).
Rect frameFor(Point position, Size size, Point anchor, const Transform3D& transform) {
    const double left = -anchor.x * size.width, top = -anchor.y * size.height;
    if (transform.isIdentity()) return {position.x + left, position.y + top, size.width, size.height};
    const double right = left + size.width, bottom = top + size.height;
    std::array<Point, 4> corners{Point{left, top}, Point{right, top}, Point{left, bottom}, Point{right, bottom}};
    for (auto& c : corners) {
        const Point moved = transform.apply(c);
        c = {moved.x + position.x, moved.y + position.y};
    }
    return boundingBox(corners);
}

std::shared_ptr<Layer> presentationTree(const Layer& model, double time, const std::shared_ptr<Layer>& parent);

}  // namespace

// ---------------------------------------------------------------------------------------------
Layer::Layer() : state_(std::make_unique<State>()) {}
Layer::~Layer() = default;

double Layer::currentTime() { return Clock::currentDate().seconds; }

Rect Layer::bounds() const { return state_->bounds; }
void Layer::setBounds(const Rect& bounds) {
    if (!finite(bounds)) return;
    ImplicitChange change(*this, {"bounds"}, state_->implicitAnimations);
    state_->bounds = bounds;
}

Point Layer::position() const { return state_->position; }
void Layer::setPosition(Point position) {
    if (!finite(position)) return;
    ImplicitChange change(*this, {"position"}, state_->implicitAnimations);
    state_->position = position;
}

Point Layer::anchorPoint() const { return state_->anchorPoint; }
void Layer::setAnchorPoint(Point anchor) {
    if (!finite(anchor)) return;
    ImplicitChange change(*this, {"anchorPoint"}, state_->implicitAnimations);
    state_->anchorPoint = anchor;
}

double Layer::zPosition() const { return state_->zPosition; }
void Layer::setZPosition(double z) {
    if (!finite(z)) return;
    ImplicitChange change(*this, {"zPosition"}, state_->implicitAnimations);
    state_->zPosition = z;
}

Transform3D Layer::transform() const { return state_->transform; }
void Layer::setTransform(const Transform3D& transform) {
    if (!finite(transform)) return;
    ImplicitChange change(*this, {"transform"}, state_->implicitAnimations);
    state_->transform = transform;
}

AffineTransform Layer::affineTransform() const { return state_->transform.affine(); }
void Layer::setAffineTransform(const AffineTransform& transform) { setTransform(Transform3D::fromAffine(transform)); }

Transform3D Layer::sublayerTransform() const { return state_->sublayerTransform; }
void Layer::setSublayerTransform(const Transform3D& transform) {
    if (!finite(transform)) return;
    ImplicitChange change(*this, {"sublayerTransform"}, state_->implicitAnimations);
    state_->sublayerTransform = transform;
}

Rect Layer::frame() const {
    return frameFor(state_->position, state_->bounds.size(), state_->anchorPoint, state_->transform);
}

void Layer::setFrame(const Rect& requested) {
    if (!finite(requested)) return;
    const Rect frame = requested.standardized();
    const Transform3D& t = state_->transform;
    Size size = state_->bounds.size();
    if (t.isIdentity()) {
        size = frame.size();
    } else if (t.isAffine()) {
        // The frame of a w × h layer is |m11|·w + |m21|·h wide and |m12|·w + |m22|·h high.
        const double a = std::fabs(t.m11), c = std::fabs(t.m21), b = std::fabs(t.m12), d = std::fabs(t.m22);
        const double det = a * d - b * c;
        if (std::fabs(det) > 1e-12) {
            const double w = (frame.width * d - frame.height * c) / det;
            const double h = (frame.height * a - frame.width * b) / det;
            if (w >= -1e-9 && h >= -1e-9) size = {std::max(0.0, w), std::max(0.0, h)};
        }
    }
    // The position that puts the frame's origin where it was asked for.
    const Rect atOrigin = frameFor({0, 0}, size, state_->anchorPoint, t);
    ImplicitChange change(*this, {"position", "bounds"}, state_->implicitAnimations);
    state_->bounds = {state_->bounds.origin(), size};
    state_->position = {frame.x - atOrigin.x, frame.y - atOrigin.y};
}

double Layer::opacity() const { return state_->opacity; }
void Layer::setOpacity(double opacity) {
    if (!finite(opacity)) return;
    ImplicitChange change(*this, {"opacity"}, state_->implicitAnimations);
    state_->opacity = opacity;
}

bool Layer::isHidden() const { return state_->hidden; }
void Layer::setHidden(bool hidden) { state_->hidden = hidden; }

Color Layer::backgroundColor() const { return state_->backgroundColor; }
void Layer::setBackgroundColor(Color color) {
    if (!finite(color)) return;
    ImplicitChange change(*this, {"backgroundColor"}, state_->implicitAnimations);
    state_->backgroundColor = color;
}

double Layer::cornerRadius() const { return state_->cornerRadius; }
void Layer::setCornerRadius(double radius) {
    if (!finite(radius)) return;
    ImplicitChange change(*this, {"cornerRadius"}, state_->implicitAnimations);
    state_->cornerRadius = radius;
}

double Layer::borderWidth() const { return state_->borderWidth; }
void Layer::setBorderWidth(double width) {
    if (!finite(width)) return;
    ImplicitChange change(*this, {"borderWidth"}, state_->implicitAnimations);
    state_->borderWidth = width;
}

Color Layer::borderColor() const { return state_->borderColor; }
void Layer::setBorderColor(Color color) {
    if (!finite(color)) return;
    ImplicitChange change(*this, {"borderColor"}, state_->implicitAnimations);
    state_->borderColor = color;
}

bool Layer::masksToBounds() const { return state_->masksToBounds; }
void Layer::setMasksToBounds(bool masks) { state_->masksToBounds = masks; }
const std::shared_ptr<Image>& Layer::contents() const { return state_->contents; }
void Layer::setContents(std::shared_ptr<Image> image) { state_->contents = std::move(image); }
ContentsGravity Layer::contentsGravity() const { return state_->contentsGravity; }
void Layer::setContentsGravity(ContentsGravity gravity) { state_->contentsGravity = gravity; }
const std::string& Layer::name() const { return state_->name; }
void Layer::setName(std::string name) { state_->name = std::move(name); }

bool Layer::implicitAnimations() const { return state_->implicitAnimations; }
void Layer::setImplicitAnimations(bool on) { state_->implicitAnimations = on && !state_->presentation; }

// ---------------------------------------------------------------------------------------------
std::shared_ptr<Layer> Layer::superlayer() const { return state_->superlayer.lock(); }
const std::vector<std::shared_ptr<Layer>>& Layer::sublayers() const { return state_->sublayers; }

std::vector<std::shared_ptr<Layer>> Layer::sublayersInDrawingOrder() const {
    auto layers = state_->sublayers;
    std::stable_sort(layers.begin(), layers.end(),
                     [](const auto& a, const auto& b) { return a->zPosition() < b->zPosition(); });
    return layers;
}

bool Layer::isDescendant(const Layer* ancestor) const {
    if (!ancestor) return false;
    for (auto layer = superlayer(); layer; layer = layer->superlayer())
        if (layer.get() == ancestor) return true;
    return false;
}

void Layer::addSublayer(std::shared_ptr<Layer> layer) { insertSublayer(std::move(layer), SIZE_MAX); }

void Layer::insertSublayer(std::shared_ptr<Layer> layer, std::size_t index) {
    // The layer itself or an ancestor would close a loop in the tree.
    if (!layer || layer.get() == this || isDescendant(layer.get())) return;
    layer->removeFromSuperlayer();
    auto& layers = state_->sublayers;
    index = std::min(index, layers.size());
    layer->state_->superlayer = weak_from_this();
    layers.insert(layers.begin() + static_cast<std::ptrdiff_t>(index), std::move(layer));
}

void Layer::insertSublayerBelow(std::shared_ptr<Layer> layer, const Layer* sibling) {
    if (!layer || layer.get() == sibling) return;
    layer->removeFromSuperlayer();
    const auto& layers = state_->sublayers;
    auto it = std::find_if(layers.begin(), layers.end(), [&](const auto& l) { return l.get() == sibling; });
    insertSublayer(std::move(layer), it == layers.end() ? 0 : static_cast<std::size_t>(it - layers.begin()));
}

void Layer::insertSublayerAbove(std::shared_ptr<Layer> layer, const Layer* sibling) {
    if (!layer || layer.get() == sibling) return;
    layer->removeFromSuperlayer();
    const auto& layers = state_->sublayers;
    auto it = std::find_if(layers.begin(), layers.end(), [&](const auto& l) { return l.get() == sibling; });
    insertSublayer(std::move(layer), it == layers.end() ? SIZE_MAX : static_cast<std::size_t>(it - layers.begin()) + 1);
}

void Layer::replaceSublayer(const Layer* oldLayer, std::shared_ptr<Layer> newLayer) {
    if (!oldLayer || !newLayer || newLayer.get() == oldLayer) return;
    if (newLayer.get() == this || isDescendant(newLayer.get())) return;
    auto& layers = state_->sublayers;
    auto holds = [&] { return std::find_if(layers.begin(), layers.end(), [&](const auto& l) { return l.get() == oldLayer; }); };
    if (holds() == layers.end()) return;
    newLayer->removeFromSuperlayer();  // may be one of ours: look the old one up again after
    auto it = holds();
    std::shared_ptr<Layer> old = std::move(*it);  // released after the tree is consistent again
    old->state_->superlayer.reset();
    newLayer->state_->superlayer = weak_from_this();
    *it = std::move(newLayer);
}

void Layer::setSublayers(std::vector<std::shared_ptr<Layer>> layers) {
    auto old = std::exchange(state_->sublayers, {});
    for (const auto& layer : old) layer->state_->superlayer.reset();
    for (auto& layer : layers) addSublayer(std::move(layer));
}

void Layer::removeFromSuperlayer() {
    auto parent = superlayer();
    if (!parent) return;
    auto& layers = parent->state_->sublayers;
    auto it = std::find_if(layers.begin(), layers.end(), [&](const auto& l) { return l.get() == this; });
    state_->superlayer.reset();
    if (it == layers.end()) return;
    auto self = std::move(*it);  // keeps this layer alive until the erase is done
    layers.erase(it);
}

// ---------------------------------------------------------------------------------------------
namespace {

// This layer's coordinates to its superlayer's.
Plane toSuperlayer(const Layer& layer) {
    const Point anchor = anchorInBounds(layer.bounds(), layer.anchorPoint());
    const Point position = layer.position();
    Plane m = multiply(multiply(translationPlane(-anchor.x, -anchor.y), planeOf(layer.transform())),
                       translationPlane(position.x, position.y));
    if (auto parent = layer.superlayer(); parent && !parent->sublayerTransform().isIdentity()) {
        const Point center = anchorInBounds(parent->bounds(), parent->anchorPoint());
        m = multiply(multiply(multiply(m, translationPlane(-center.x, -center.y)), planeOf(parent->sublayerTransform())),
                     translationPlane(center.x, center.y));
    }
    return m;
}

Plane toRoot(const Layer& layer) {
    Plane m = toSuperlayer(layer);
    for (auto parent = layer.superlayer(); parent; parent = parent->superlayer()) m = multiply(m, toSuperlayer(*parent));
    return m;
}

Plane fromRoot(const Layer* layer) {
    if (!layer) return identityPlane();
    return invertPlane(toRoot(*layer)).value_or(identityPlane());
}

}  // namespace

Point Layer::convertPointTo(Point point, const Layer* layer) const {
    if (layer == this) return point;
    return applyPlane(fromRoot(layer), applyPlane(toRoot(*this), point));
}

Point Layer::convertPointFrom(Point point, const Layer* layer) const {
    if (layer == this) return point;
    const Point inRoot = layer ? applyPlane(toRoot(*layer), point) : point;
    return applyPlane(fromRoot(this), inRoot);
}

Rect Layer::convertRectTo(const Rect& rect, const Layer* layer) const {
    const Rect r = rect.standardized();
    return boundingBox({convertPointTo({r.minX(), r.minY()}, layer), convertPointTo({r.maxX(), r.minY()}, layer),
                        convertPointTo({r.minX(), r.maxY()}, layer), convertPointTo({r.maxX(), r.maxY()}, layer)});
}

Rect Layer::convertRectFrom(const Rect& rect, const Layer* layer) const {
    const Rect r = rect.standardized();
    return boundingBox({convertPointFrom({r.minX(), r.minY()}, layer), convertPointFrom({r.maxX(), r.minY()}, layer),
                        convertPointFrom({r.minX(), r.maxY()}, layer), convertPointFrom({r.maxX(), r.maxY()}, layer)});
}

// ---------------------------------------------------------------------------------------------
bool Layer::setValue(std::string_view keyPath, const LayerValue& value) {
    if (value.isNone() || !value.isFinite()) return false;
    const std::string_view property = anim::propertyOf(keyPath);
    const std::string_view rest = property.size() < keyPath.size() ? keyPath.substr(property.size() + 1) : "";
    const LayerValue current = valueForKeyPath(property);
    if (current.isNone()) return false;
    auto updated = anim::withComponent(current, rest, value);
    if (!updated || !updated->isFinite()) return false;
    if (property == "position") setPosition(*updated->point());
    else if (property == "bounds") setBounds(*updated->rect());
    else if (property == "frame") setFrame(*updated->rect());
    else if (property == "anchorPoint") setAnchorPoint(*updated->point());
    else if (property == "zPosition") setZPosition(*updated->number());
    else if (property == "transform") setTransform(*updated->transform());
    else if (property == "sublayerTransform") setSublayerTransform(*updated->transform());
    else if (property == "opacity") setOpacity(*updated->number());
    else if (property == "cornerRadius") setCornerRadius(*updated->number());
    else if (property == "borderWidth") setBorderWidth(*updated->number());
    else if (property == "backgroundColor") setBackgroundColor(*updated->color());
    else if (property == "borderColor") setBorderColor(*updated->color());
    else return false;
    return true;
}

LayerValue Layer::valueForKeyPath(std::string_view keyPath) const {
    const std::string_view property = anim::propertyOf(keyPath);
    const State& s = *state_;
    LayerValue value;
    if (property == "position") value = s.position;
    else if (property == "bounds") value = s.bounds;
    else if (property == "frame") value = frame();
    else if (property == "anchorPoint") value = s.anchorPoint;
    else if (property == "zPosition") value = s.zPosition;
    else if (property == "transform") value = s.transform;
    else if (property == "sublayerTransform") value = s.sublayerTransform;
    else if (property == "opacity") value = s.opacity;
    else if (property == "cornerRadius") value = s.cornerRadius;
    else if (property == "borderWidth") value = s.borderWidth;
    else if (property == "backgroundColor") value = s.backgroundColor;
    else if (property == "borderColor") value = s.borderColor;
    else return {};
    if (property.size() == keyPath.size()) return value;
    return anim::component(value, keyPath.substr(property.size() + 1));
}

// ---------------------------------------------------------------------------------------------
void Layer::addAnimation(const Animation& animation, const std::string& key) {
    if (state_->presentation) return;
    auto copy = animation.clone();
    if (!copy) return;
    anim::resolve(*copy, Transaction::animationDuration(), Transaction::animationTimingFunction());
    if (copy->beginTime == 0) copy->beginTime = currentTime();
    if (!state_->animations) state_->animations = std::make_shared<anim::LayerAnimations>();
    state_->animations->add(std::move(copy), key);
}

std::shared_ptr<const Animation> Layer::animationForKey(std::string_view key) const {
    if (key.empty() || !state_->animations) return nullptr;
    for (const auto& entry : state_->animations->entries())
        if (entry.key == key) return entry.animation;
    return nullptr;
}

std::vector<std::string> Layer::animationKeys() const {
    std::vector<std::string> keys;
    if (!state_->animations) return keys;
    for (const auto& entry : state_->animations->entries())
        if (!entry.key.empty()) keys.push_back(entry.key);
    return keys;
}

void Layer::removeAnimationForKey(std::string_view key) {
    if (!key.empty() && state_->animations) state_->animations->remove(key);
}

void Layer::removeAllAnimations() {
    if (state_->animations) state_->animations->removeAll();
}

bool Layer::hasAnimations() const { return state_->animations && !state_->animations->entries().empty(); }

// ---------------------------------------------------------------------------------------------
namespace {

std::shared_ptr<Layer> presentationTree(const Layer& model, double time, const std::shared_ptr<Layer>& parent) {
    auto copy = std::make_shared<Layer>();
    LayerAccess::copyForPresentation(*copy, model, parent);
    LayerAccess::animate(*copy, model, time);
    for (const auto& sublayer : model.sublayers())
        LayerAccess::appendPresentationSublayer(*copy, presentationTree(*sublayer, time, copy));
    return copy;
}

}  // namespace

void LayerAccess::copyForPresentation(Layer& copy, const Layer& model, const std::shared_ptr<Layer>& parent) {
    copy.state_->copyAppearance(*model.state_);
    copy.state_->presentation = true;
    copy.state_->model = model.state_->presentation ? model.state_->model
                                                    : std::const_pointer_cast<Layer>(model.weak_from_this().lock());
    copy.state_->superlayer = parent;
}

void LayerAccess::animate(Layer& copy, const Layer& model, double time) {
    if (model.state_->animations) model.state_->animations->applyTo(copy, time);
}

void LayerAccess::appendPresentationSublayer(Layer& copy, std::shared_ptr<Layer> sublayer) {
    copy.state_->sublayers.push_back(std::move(sublayer));
}

std::shared_ptr<Layer> Layer::presentationLayer() const { return presentationLayer(currentTime()); }
std::shared_ptr<Layer> Layer::presentationLayer(double time) const { return presentationTree(*this, time, nullptr); }

LayerValue Layer::presentationValue(std::string_view keyPath) const { return presentationValue(keyPath, currentTime()); }

LayerValue Layer::presentationValue(std::string_view keyPath, double time) const {
    if (!state_->animations || state_->animations->entries().empty()) return valueForKeyPath(keyPath);
    Layer copy;
    copy.state_->copyAppearance(*state_);
    copy.state_->presentation = true;
    state_->animations->applyTo(copy, time);
    return copy.valueForKeyPath(keyPath);
}

bool Layer::isPresentation() const { return state_->presentation; }

std::shared_ptr<Layer> Layer::modelLayer() const {
    if (state_->presentation) return state_->model.lock();
    return std::const_pointer_cast<Layer>(weak_from_this().lock());
}

// ---------------------------------------------------------------------------------------------
Rect contentsPlacement(ContentsGravity gravity, Size content, const Rect& bounds) {
    const Rect b = bounds.standardized();
    if (gravity == ContentsGravity::Resize) return b;
    double w = content.width, h = content.height;
    if (gravity == ContentsGravity::ResizeAspect || gravity == ContentsGravity::ResizeAspectFill) {
        if (!(w > 0) || !(h > 0)) return {b.midX(), b.midY(), 0, 0};
        const double sx = b.width / w, sy = b.height / h;
        const double scale = gravity == ContentsGravity::ResizeAspect ? std::min(sx, sy) : std::max(sx, sy);
        w *= scale;
        h *= scale;
        return {b.midX() - w / 2, b.midY() - h / 2, w, h};
    }
    double x = b.midX() - w / 2, y = b.midY() - h / 2;
    switch (gravity) {
        case ContentsGravity::Top: y = b.y; break;
        case ContentsGravity::Bottom: y = b.maxY() - h; break;
        case ContentsGravity::Left: x = b.x; break;
        case ContentsGravity::Right: x = b.maxX() - w; break;
        case ContentsGravity::TopLeft: x = b.x, y = b.y; break;
        case ContentsGravity::TopRight: x = b.maxX() - w, y = b.y; break;
        case ContentsGravity::BottomLeft: x = b.x, y = b.maxY() - h; break;
        case ContentsGravity::BottomRight: x = b.maxX() - w, y = b.maxY() - h; break;
        default: break;
    }
    return {x, y, w, h};
}

}  // namespace qm::platform
