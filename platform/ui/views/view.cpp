#include "qmui/view.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "layout_engine.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/gesture.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/view_animation.hpp"

namespace qm::platform {

namespace {

bool finite(double v) { return std::isfinite(v); }
bool finite(Rect r) { return finite(r.x) && finite(r.y) && finite(r.width) && finite(r.height); }
bool finite(Point p) { return finite(p.x) && finite(p.y); }

// The transform about the view's center, as the view's own coordinates are placed in the
// superview's: bounds origin to the center, the transform, then the center's position.
AffineTransform boundsToSuperview(const View& view) {
    const Rect b = view.bounds();
    return AffineTransform::translation(-b.x - b.width / 2, -b.y - b.height / 2)
        .concatenating(view.transform())
        .concatenating(AffineTransform::translation(view.center().x, view.center().y));
}

// From this view's bounds to the coordinates of the topmost view of its tree.
AffineTransform toRoot(const View* view) {
    AffineTransform t;
    for (const View* v = view; v; v = v->superview().get()) {
        if (!v->superview()) break;  // the root's own coordinates are the result
        t = t.concatenating(boundsToSuperview(*v));
    }
    return t;
}

}  // namespace

View::View(Rect frame) : layer_(std::make_shared<Layer>()) {
    if (!finite(frame)) frame = {};
    frame = frame.standardized();
    layer_->setBounds({0, 0, frame.width, frame.height});
    layer_->setPosition({frame.x + frame.width / 2, frame.y + frame.height / 2});
}

View::~View() = default;

namespace {
// Sets a layer property through its key path, animating the change inside an animation block.
template <typename T>
void change(Layer& layer, std::string_view keyPath, const T& from, const T& to) {
    if (from == to) return;
    ViewAnimation::animateChange(layer, keyPath, LayerValue(from), LayerValue(to));
}
}  // namespace

Rect View::bounds() const { return layer_->bounds(); }
Point View::center() const { return layer_->position(); }
AffineTransform View::transform() const { return layer_->affineTransform(); }
double View::alpha() const { return layer_->opacity(); }
bool View::isHidden() const { return layer_->isHidden(); }
bool View::clipsToBounds() const { return layer_->masksToBounds(); }
void View::setClipsToBounds(bool clips) { layer_->setMasksToBounds(clips); }
double View::cornerRadius() const { return layer_->cornerRadius(); }
double View::borderWidth() const { return layer_->borderWidth(); }
Color View::borderColor() const { return layer_->borderColor(); }

Rect View::frame() const {
    const Rect b = layer_->bounds();
    const Point c = layer_->position();
    const AffineTransform t = layer_->affineTransform();
    if (t.isIdentity()) return {c.x - b.width / 2, c.y - b.height / 2, b.width, b.height};
    const Rect local{-b.width / 2, -b.height / 2, b.width, b.height};
    return t.concatenating(AffineTransform::translation(c.x, c.y)).apply(local);
}

void View::setFrame(Rect frame) {
    if (!finite(frame)) {
        SystemLog::write("quelmar: a view's frame was set to a value that is not a number; ignored");
        return;
    }
    frame = frame.standardized();
    const Rect before = layer_->bounds();
    const Point center{frame.x + frame.width / 2, frame.y + frame.height / 2};
    const Rect bounds{before.x, before.y, frame.width, frame.height};
    change(*layer_, "position", layer_->position(), center);
    change(*layer_, "bounds", before, bounds);
    layer_->setPosition(center);
    layer_->setBounds(bounds);
    if (!(bounds.size() == before.size())) {
        boundsSizeDidChange();
        setNeedsLayout();
    }
    notifyLayoutChange();
}

void View::setFrameFromLayout(Rect frame) {
    settingFrameFromLayout_ = true;
    if (transform().isIdentity()) {
        setFrame(frame);
    } else {
        setCenter({frame.x + frame.width / 2, frame.y + frame.height / 2});
        const Rect b = bounds();
        setBounds({b.x, b.y, frame.width, frame.height});
    }
    settingFrameFromLayout_ = false;
}

void View::setBounds(Rect bounds) {
    if (!finite(bounds)) return;
    const Rect before = layer_->bounds();
    bounds = {bounds.x, bounds.y, std::abs(bounds.width), std::abs(bounds.height)};
    change(*layer_, "bounds", before, bounds);
    layer_->setBounds(bounds);
    if (!(bounds.size() == before.size())) {
        boundsSizeDidChange();
        setNeedsLayout();
    }
    notifyLayoutChange();
}

void View::setCenter(Point center) {
    if (!finite(center)) return;
    change(*layer_, "position", layer_->position(), center);
    layer_->setPosition(center);
    notifyLayoutChange();
}

void View::setTransform(AffineTransform transform) {
    if (!finite(transform.a) || !finite(transform.b) || !finite(transform.c) || !finite(transform.d) ||
        !finite(transform.tx) || !finite(transform.ty))
        return;
    change(*layer_, "transform", layer_->transform(), Transform3D::fromAffine(transform));
    layer_->setAffineTransform(transform);
}

void View::setAlpha(double alpha) {
    if (std::isnan(alpha)) return;
    alpha = std::clamp(alpha, 0.0, 1.0);
    change(*layer_, "opacity", layer_->opacity(), alpha);
    layer_->setOpacity(alpha);
}

void View::setHidden(bool hidden) { layer_->setHidden(hidden); }

void View::setBackgroundColor(std::optional<Color> color) {
    backgroundColor_ = color;
    const Color to = color.value_or(Color::clear());
    change(*layer_, "backgroundColor", layer_->backgroundColor(), to);
    layer_->setBackgroundColor(to);
}

void View::setCornerRadius(double radius) {
    if (!finite(radius)) return;
    radius = std::max(0.0, radius);
    change(*layer_, "cornerRadius", layer_->cornerRadius(), radius);
    layer_->setCornerRadius(radius);
}

void View::setBorderWidth(double width) {
    if (!finite(width)) return;
    width = std::max(0.0, width);
    change(*layer_, "borderWidth", layer_->borderWidth(), width);
    layer_->setBorderWidth(width);
}

void View::setBorderColor(Color color) {
    change(*layer_, "borderColor", layer_->borderColor(), color);
    layer_->setBorderColor(color);
}

Color View::tintColor() const {
    for (const View* v = this; v; v = v->superview().get())
        if (v->tintColor_) return *v->tintColor_;
    return Color::systemBlue();
}

void View::setTintColor(std::optional<Color> color) { tintColor_ = color; }

// ---- The tree -------------------------------------------------------------------------------

bool View::addSubview(const std::shared_ptr<View>& view) { return insertSubview(view, subviews_.size()); }

bool View::insertSubview(const std::shared_ptr<View>& view, std::size_t index) {
    if (!view) return false;
    if (view.get() == this || isDescendantOfView(view.get())) {
        SystemLog::write("quelmar: a view cannot be added to itself or to one of its subviews; refused");
        return false;
    }
    const auto self = shared_from_this();
    const bool moving = view->superview().get() == this;
    if (moving) {
        // Re-inserting into the same superview only changes the order.
        auto it = std::find(subviews_.begin(), subviews_.end(), view);
        const std::size_t from = static_cast<std::size_t>(it - subviews_.begin());
        subviews_.erase(it);
        if (from < index) --index;
        subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(std::min(index, subviews_.size())), view);
        syncSublayers();
        return true;
    }
    view->willMoveToSuperview(this);
    if (auto old = view->superview()) {
        old->willRemoveSubview(view.get());
        auto& list = old->subviews_;
        list.erase(std::remove(list.begin(), list.end(), view), list.end());
        old->setNeedsLayout();
    }
    subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(std::min(index, subviews_.size())), view);
    view->superview_ = self;
    syncSublayers();
    view->moveToWindow(window_.lock());
    view->didMoveToSuperview();
    didAddSubview(view.get());
    view->setNeedsLayout();
    setNeedsLayout();
    LayoutEngine::treeChanged(*view);
    return true;
}

bool View::insertSubviewAbove(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling) {
    auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
    if (it == subviews_.end()) return addSubview(view);
    std::size_t index = static_cast<std::size_t>(it - subviews_.begin()) + 1;
    return insertSubview(view, index);
}

bool View::insertSubviewBelow(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling) {
    auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
    if (it == subviews_.end()) return insertSubview(view, 0);
    return insertSubview(view, static_cast<std::size_t>(it - subviews_.begin()));
}

void View::removeFromSuperview() {
    auto parent = superview();
    if (!parent) return;
    const auto self = shared_from_this();  // the parent's reference may be the last one
    willMoveToSuperview(nullptr);
    parent->willRemoveSubview(this);
    // Constraints the old ancestors hold between this view (or a view inside it) and the rest
    // of the tree go with it; left behind they would tie the ancestors to a view that is gone.
    for (View* ancestor = parent.get(); ancestor; ancestor = ancestor->superview().get()) {
        std::vector<std::shared_ptr<LayoutConstraint>> leaving;
        for (const auto& constraint : ancestor->constraints()) {
            auto first = constraint->firstItem();
            auto second = constraint->secondItem();
            if ((first && (first.get() == this || first->isDescendantOfView(this))) ||
                (second && (second.get() == this || second->isDescendantOfView(this)))) {
                leaving.push_back(constraint);
            }
        }
        if (!leaving.empty()) LayoutConstraint::deactivateConstraints(leaving);
    }
    LayoutEngine::willLeaveTree(*this);
    auto& list = parent->subviews_;
    list.erase(std::remove(list.begin(), list.end(), self), list.end());
    layer_->removeFromSuperlayer();
    superview_.reset();
    moveToWindow(nullptr);
    didMoveToSuperview();
    parent->setNeedsLayout();
}

void View::bringSubviewToFront(const std::shared_ptr<View>& view) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    if (it == subviews_.end()) return;
    std::rotate(it, it + 1, subviews_.end());
    syncSublayers();
}

void View::sendSubviewToBack(const std::shared_ptr<View>& view) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    if (it == subviews_.end()) return;
    std::rotate(subviews_.begin(), it, it + 1);
    syncSublayers();
}

// The layer tree follows the view tree: the subviews' layers, in the subviews' order, after
// any sublayers added to this view's layer directly.
void View::syncSublayers() {
    std::vector<std::shared_ptr<Layer>> layers;
    for (const auto& sublayer : layer_->sublayers()) {
        const bool ofSubview = std::any_of(subviews_.begin(), subviews_.end(),
                                           [&](const std::shared_ptr<View>& v) { return v->layer_ == sublayer; });
        if (!ofSubview) layers.push_back(sublayer);
    }
    for (const auto& sub : subviews_) layers.push_back(sub->layer_);
    layer_->setSublayers(std::move(layers));
}

bool View::isDescendantOfView(const View* view) const {
    for (const View* v = this; v; v = v->superview().get())
        if (v == view) return true;
    return false;
}

std::shared_ptr<View> View::viewWithTag(long tag) {
    if (tag_ == tag) return shared_from_this();
    for (const auto& sub : subviews_)
        if (auto found = sub->viewWithTag(tag)) return found;
    return nullptr;
}

std::shared_ptr<Window> View::window() const { return window_.lock(); }

void View::willMoveToSuperview(View*) {}

void View::moveToWindow(const std::shared_ptr<Window>& window) {
    const bool changed = window_.lock() != window;
    window_ = window;
    for (const auto& sub : subviews_) sub->moveToWindow(window);
    if (changed) didMoveToWindow();
}

// ---- Coordinates ----------------------------------------------------------------------------

Point View::convertPointTo(Point point, const View* view) const {
    const Point inRoot = toRoot(this).apply(point);
    return view ? toRoot(view).inverted().apply(inRoot) : inRoot;
}

Point View::convertPointFrom(Point point, const View* view) const {
    const Point inRoot = view ? toRoot(view).apply(point) : point;
    return toRoot(this).inverted().apply(inRoot);
}

Rect View::convertRectTo(Rect rect, const View* view) const {
    const AffineTransform t = toRoot(this).concatenating(view ? toRoot(view).inverted() : AffineTransform{});
    return t.apply(rect);
}

Rect View::convertRectFrom(Rect rect, const View* view) const {
    const AffineTransform t = (view ? toRoot(view) : AffineTransform{}).concatenating(toRoot(this).inverted());
    return t.apply(rect);
}

EdgeInsets View::safeAreaInsets() const {
    // The screen's safe area, in the coordinates of the root of this tree (a window's view
    // fills the screen), then where it overlaps this view.
    const Screen& screen = Screen::main();
    const Rect safe = screen.safeAreaInsets().inset(screen.bounds());
    const Rect mine = convertRectTo(bounds(), nullptr);
    EdgeInsets insets;
    insets.top = std::clamp(safe.minY() - mine.minY(), 0.0, mine.height);
    insets.left = std::clamp(safe.minX() - mine.minX(), 0.0, mine.width);
    insets.bottom = std::clamp(mine.maxY() - safe.maxY(), 0.0, mine.height);
    insets.right = std::clamp(mine.maxX() - safe.maxX(), 0.0, mine.width);
    return insets;
}

void View::setLayoutMargins(EdgeInsets margins) {
    layoutMargins_ = margins;
    notifyLayoutChange();
}

// ---- Layout ---------------------------------------------------------------------------------

void View::setNeedsLayout() {
    if (needsLayout_) return;
    needsLayout_ = true;
    LayoutEngine::scheduleLayoutPass(*this);
}

std::shared_ptr<View> View::layoutRoot() {
    std::shared_ptr<View> root = shared_from_this();
    while (auto up = root->superview()) root = up;
    return root;
}

void View::layoutIfNeeded() { LayoutEngine::layoutIfNeeded(*this); }

void View::invalidateIntrinsicContentSize() { LayoutEngine::intrinsicSizeChanged(*this); }

Size View::sizeThatFits(Size) const {
    const Size intrinsic = intrinsicContentSize();
    const Rect b = bounds();
    return {intrinsic.width < 0 ? b.width : intrinsic.width, intrinsic.height < 0 ? b.height : intrinsic.height};
}

void View::sizeToFit() {
    const Size fits = sizeThatFits(bounds().size());
    const Rect f = frame();
    setFrame({f.x, f.y, fits.width, fits.height});
}

float View::contentHuggingPriority(LayoutAxis axis) const { return hugging_[static_cast<int>(axis)]; }

void View::setContentHuggingPriority(float priority, LayoutAxis axis) {
    hugging_[static_cast<int>(axis)] = std::clamp(priority, 1.0f, 1000.0f);
    LayoutEngine::constraintsChanged(*this);
}

float View::contentCompressionResistancePriority(LayoutAxis axis) const { return compression_[static_cast<int>(axis)]; }

void View::setContentCompressionResistancePriority(float priority, LayoutAxis axis) {
    compression_[static_cast<int>(axis)] = std::clamp(priority, 1.0f, 1000.0f);
    LayoutEngine::constraintsChanged(*this);
}

void View::setTranslatesAutoresizingMaskIntoConstraints(bool translates) {
    if (translatesMask_ == translates) return;
    translatesMask_ = translates;
    LayoutEngine::constraintsChanged(*this);
}

void View::addConstraint(const std::shared_ptr<LayoutConstraint>& constraint) { addConstraints({constraint}); }

void View::addConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints) {
        if (!c || std::find(constraints_.begin(), constraints_.end(), c) != constraints_.end()) continue;
        // A constraint lives on one view at a time.
        if (auto holder = c->holder_.lock(); holder && holder.get() != this) holder->removeConstraint(c);
        constraints_.push_back(c);
        LayoutEngine::constraintAdded(*this, c);
    }
}

void View::removeConstraint(const std::shared_ptr<LayoutConstraint>& constraint) { removeConstraints({constraint}); }

void View::removeConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints) {
        auto it = std::find(constraints_.begin(), constraints_.end(), c);
        if (it == constraints_.end()) continue;
        constraints_.erase(it);
        LayoutEngine::constraintRemoved(*this, c);
    }
}

void View::notifyLayoutChange() { LayoutEngine::frameChanged(*this); }

// ---- Events ---------------------------------------------------------------------------------

bool View::pointInside(Point point) const { return bounds().contains(point); }

std::shared_ptr<View> View::hitTest(Point point) {
    if (isHidden() || !userInteractionEnabled_ || alpha() < 0.01) return nullptr;
    if (ViewAnimation::blocksUserInteraction(*layer_)) return nullptr;
    if (!pointInside(point) && clipsToBounds()) return nullptr;
    // Front to back: the last subview is on top.
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        const auto& sub = *it;
        const Point local = boundsToSuperview(*sub).inverted().apply(point);
        if (auto hit = sub->hitTest(local)) return hit;
    }
    return pointInside(point) ? shared_from_this() : nullptr;
}

void View::addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
    if (!recognizer || std::find(gestures_.begin(), gestures_.end(), recognizer) != gestures_.end()) return;
    if (auto previous = recognizer->view()) previous->removeGestureRecognizer(recognizer);
    gestures_.push_back(recognizer);
    recognizer->attach(weak_from_this());
}

void View::removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
    auto it = std::find(gestures_.begin(), gestures_.end(), recognizer);
    if (it == gestures_.end()) return;
    gestures_.erase(it);
    recognizer->attach({});
}

void View::drawContent(Canvas&, const Rect&, double) const {}

std::string View::description() const {
    const Rect f = frame();
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "<%s frame = (%g %g; %g %g); tag = %ld>", className().c_str(), f.x, f.y,
                  f.width, f.height, tag_);
    return buffer;
}

// ---- Root views of windows and controllers --------------------------------------------------

std::shared_ptr<View> viewOf(Window& window) {
    if (auto view = window.viewIfLoaded()) return view;
    auto view = View::create(window.frame());
    // The window's view is the root of its tree: its own coordinates are the window's.
    view->setFrame({0, 0, window.frame().width, window.frame().height});
    window.setView(view);
    view->moveToWindow(window.weak_from_this().lock());
    if (auto root = window.rootViewController()) {
        auto content = viewOf(*root);
        content->setFrame(view->bounds());
        view->insertSubview(content, 0);
    }
    return view;
}

std::shared_ptr<View> viewOf(ViewController& controller) {
    if (auto view = controller.viewIfLoaded()) return view;
    controller.loadView();
    if (!controller.viewIfLoaded()) controller.setView(View::create(Screen::main().bounds()));
    controller.viewDidLoad();
    return controller.viewIfLoaded();
}

}  // namespace qm::platform
