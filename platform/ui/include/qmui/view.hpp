// Views: rectangles in a tree, with the platform's geometry (frame, bounds, center,
// transform), appearance, layout (constraints, layoutSubviews), hit testing and gesture
// recognisers. Views are main-thread objects, as on the platform; they are not guarded.
//
// Ownership follows the platform: a view holds its subviews; the links up (superview) are
// weak. Views must be owned by a std::shared_ptr to take part in a tree (make them with
// View::create or std::make_shared).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmplatform/geometry.hpp"
#include "qmui/canvas.hpp"
#include "qmui/color.hpp"
#include "qmui/layer.hpp"

namespace qm::platform {

class GestureRecognizer;
class LayoutConstraint;
class Window;
class ViewController;


enum class LayoutAxis { Horizontal = 0, Vertical = 1 };

// "No intrinsic size along this axis".
inline constexpr double kViewNoIntrinsicMetric = -1;

// Priorities of the layout engine (1…1000; 1000 is required).
namespace LayoutPriority {
inline constexpr float Required = 1000;
inline constexpr float DefaultHigh = 750;
inline constexpr float DragThatCanResizeScene = 510;
inline constexpr float SceneSizeStayPut = 500;
inline constexpr float DefaultLow = 250;
inline constexpr float FittingSizeLevel = 50;
}  // namespace LayoutPriority

class View : public std::enable_shared_from_this<View> {
public:
    static std::shared_ptr<View> create(Rect frame = {}) { return std::make_shared<View>(frame); }
    explicit View(Rect frame = {});
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // The class name the view reports (logs and descriptions use it).
    virtual std::string className() const { return "UIView"; }

    // The layer the view draws into and animates; the view's geometry and appearance are the
    // layer's (center is its position, alpha its opacity, …). Inside an animation block
    // (ViewAnimation) the setters below animate the change.
    Layer& layer() const { return *layer_; }
    const std::shared_ptr<Layer>& layerPointer() const { return layer_; }

    // ---- Geometry. The frame is derived from center, bounds size and transform; setting it
    // with a non-identity transform is undefined on the platform (here: sets center and size
    // as if the transform were the identity).
    Rect frame() const;
    void setFrame(Rect frame);
    Rect bounds() const;
    void setBounds(Rect bounds);
    Point center() const;
    void setCenter(Point center);
    AffineTransform transform() const;
    void setTransform(AffineTransform transform);

    // ---- Appearance.
    double alpha() const;
    void setAlpha(double alpha);
    bool isHidden() const;
    void setHidden(bool hidden);
    std::optional<Color> backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<Color> color);
    bool clipsToBounds() const;
    void setClipsToBounds(bool clips);
    // The layer's corner radius and border (drawn inside the bounds).
    double cornerRadius() const;
    void setCornerRadius(double radius);
    double borderWidth() const;
    void setBorderWidth(double width);
    Color borderColor() const;
    void setBorderColor(Color color);
    ContentMode contentMode() const { return contentMode_; }
    void setContentMode(ContentMode mode) { contentMode_ = mode; }
    // The tint of system controls; inherited from the superview when not set.
    Color tintColor() const;
    void setTintColor(std::optional<Color> color);

    long tag() const { return tag_; }
    void setTag(long tag) { tag_ = tag; }
    bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
    void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
    const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
    void setAccessibilityIdentifier(std::string identifier) { accessibilityIdentifier_ = std::move(identifier); }

    // ---- The tree.
    std::shared_ptr<View> superview() const { return superview_.lock(); }
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    // Adding a view that has another superview moves it; adding a view to itself or to one of
    // its descendants is refused (false, logged).
    bool addSubview(const std::shared_ptr<View>& view);
    bool insertSubview(const std::shared_ptr<View>& view, std::size_t index);
    bool insertSubviewAbove(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling);
    bool insertSubviewBelow(const std::shared_ptr<View>& view, const std::shared_ptr<View>& sibling);
    void removeFromSuperview();
    void bringSubviewToFront(const std::shared_ptr<View>& view);
    void sendSubviewToBack(const std::shared_ptr<View>& view);
    bool isDescendantOfView(const View* view) const;
    // This view or the first descendant (depth first) with the tag.
    std::shared_ptr<View> viewWithTag(long tag);
    // The window whose view holds this one, if any.
    std::shared_ptr<Window> window() const;

    // Called when the tree changes (override to react; call the base).
    virtual void willMoveToSuperview(View* newSuperview);
    virtual void didMoveToSuperview() {}
    virtual void didMoveToWindow() {}
    virtual void didAddSubview(View*) {}
    virtual void willRemoveSubview(View*) {}

    // ---- Coordinates. Points and rectangles between this view's bounds and another view's
    // (nullptr: the window's).
    Point convertPointTo(Point point, const View* view) const;
    Point convertPointFrom(Point point, const View* view) const;
    Rect convertRectTo(Rect rect, const View* view) const;
    Rect convertRectFrom(Rect rect, const View* view) const;

    // The safe area of the screen where it overlaps this view, in its own coordinates.
    EdgeInsets safeAreaInsets() const;
    // Insets for content; 8 on every side until changed.
    EdgeInsets layoutMargins() const { return layoutMargins_; }
    void setLayoutMargins(EdgeInsets margins);

    // ---- Layout.
    // Lays out the subviews; the default does nothing beyond what constraints did. Called by
    // layoutIfNeeded and the layout pass of the run loop, never directly.
    virtual void layoutSubviews() {}
    void setNeedsLayout();
    bool needsLayout() const { return needsLayout_; }
    // Lays out this view's tree now if it needs it: solves the constraints, applies the frames
    // and calls layoutSubviews top-down, again while layoutSubviews changes constraints.
    void layoutIfNeeded();
    // The size the content wants (kViewNoIntrinsicMetric where it has no say).
    virtual Size intrinsicContentSize() const { return {kViewNoIntrinsicMetric, kViewNoIntrinsicMetric}; }
    void invalidateIntrinsicContentSize();
    virtual Size sizeThatFits(Size size) const;
    void sizeToFit();
    float contentHuggingPriority(LayoutAxis axis) const;
    void setContentHuggingPriority(float priority, LayoutAxis axis);
    float contentCompressionResistancePriority(LayoutAxis axis) const;
    void setContentCompressionResistancePriority(float priority, LayoutAxis axis);
    // True for views made in code: the frame set by hand is kept by fixed constraints once
    // the view takes part in constraint layout. Views positioned by constraints set it false.
    bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool translates);

    // Constraints held by this view (they may relate any views of its tree).
    const std::vector<std::shared_ptr<LayoutConstraint>>& constraints() const { return constraints_; }
    void addConstraint(const std::shared_ptr<LayoutConstraint>& constraint);
    void addConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
    void removeConstraint(const std::shared_ptr<LayoutConstraint>& constraint);
    void removeConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);

    // ---- Events.
    // The deepest visible, interaction-enabled view under `point` (in this view's
    // coordinates), this one included; nothing when the point is outside.
    virtual std::shared_ptr<View> hitTest(Point point);
    virtual bool pointInside(Point point) const;
    const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const { return gestures_; }
    void addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
    void removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);

    // Draws what this view shows inside its bounds (text, an image, a spinner), after its
    // layer's background and before its subviews; `time` is the clock time being drawn (for
    // animated content). The default draws nothing.
    virtual void drawContent(Canvas& canvas, const Rect& bounds, double time) const;

    // A short description for logs: class, frame, tag.
    std::string description() const;

protected:
    // Subclasses changing what intrinsicContentSize returns call invalidateIntrinsicContentSize.
    // Called after the frame or bounds size changed.
    virtual void boundsSizeDidChange() {}

private:
    friend class LayoutEngine;
    friend class LayoutEngineTree;
    friend class LayoutConstraint;
    friend std::shared_ptr<View> viewOf(Window& window);
    void moveToWindow(const std::shared_ptr<Window>& window);
    // The frame the layout engine solved (the transform, if any, is kept).
    void setFrameFromLayout(Rect frame);
    void syncSublayers();
    void notifyLayoutChange();
    std::shared_ptr<View> layoutRoot();

    std::shared_ptr<Layer> layer_;
    std::optional<Color> backgroundColor_;
    ContentMode contentMode_ = ContentMode::ScaleToFill;
    std::optional<Color> tintColor_;
    long tag_ = 0;
    bool userInteractionEnabled_ = true;
    std::string accessibilityIdentifier_;
    EdgeInsets layoutMargins_{8, 8, 8, 8};

    std::weak_ptr<View> superview_;
    std::vector<std::shared_ptr<View>> subviews_;
    std::weak_ptr<Window> window_;  // set on the window's own view and its whole tree

    bool needsLayout_ = true;
    bool settingFrameFromLayout_ = false;
    bool translatesMask_ = true;
    float hugging_[2] = {LayoutPriority::DefaultLow, LayoutPriority::DefaultLow};
    float compression_[2] = {LayoutPriority::DefaultHigh, LayoutPriority::DefaultHigh};
    std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
    std::vector<std::shared_ptr<GestureRecognizer>> gestures_;

public:
    // The layout engine's per-view state (its variables); opaque here.
    struct LayoutState;
    std::shared_ptr<LayoutState> layoutState_;
};

// The root view of a window or controller, made on first use: a window's view fills the
// window's frame; a controller's comes from its loadView(), else a plain view filling the
// screen, then viewDidLoad() runs. A controller's view is placed in the window's view when the
// controller is the window's root (and on top of it when presented).
std::shared_ptr<View> viewOf(Window& window);
std::shared_ptr<View> viewOf(ViewController& controller);

}  // namespace qm::platform
