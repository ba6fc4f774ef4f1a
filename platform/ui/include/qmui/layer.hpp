// Layers: the tree of rectangles that views draw into and that animations move.
//
// Threads: layers are main-thread objects. Create, change, animate and read them on the main
// thread only; their animation callbacks arrive there. Hold layers in std::shared_ptr (a
// sublayer knows its superlayer through a weak reference).
//
// Geometry. bounds is the layer's own coordinate space; anchorPoint (in units of the bounds'
// size, (0.5, 0.5) by default) is the point of the bounds placed at `position` in the
// superlayer, and `transform` turns the layer about it. A point p of the layer lands in the
// superlayer at
//     position + transform(p − (bounds.origin + anchorPoint × bounds.size))
// and then the superlayer's sublayerTransform applies about the superlayer's own anchor point.
// frame is the smallest upright rectangle around the transformed bounds in the superlayer.
//
// Key paths (setValue, valueForKeyPath, animations):
//   "position" (.x .y)   "bounds" (.origin .origin.x .origin.y .size .size.width .size.height)
//   "anchorPoint" (.x .y)   "zPosition"   "opacity"   "cornerRadius"   "borderWidth"
//   "backgroundColor"   "borderColor"   "frame" (derived: setting or animating it moves
//   position and bounds)
//   "transform", "sublayerTransform", and on each of them:
//     .scale (all three axes; reads their mean)  .scale.x .scale.y .scale.z
//     .rotation (= .rotation.z)  .rotation.x .rotation.y .rotation.z   (radians)
//     .translation (a size: x, y)  .translation.x .translation.y .translation.z
//   The transform parts read the transform taken apart into translation, rotation (x, then y,
//   then z) and scale; setting one rebuilds the transform with that part changed and the
//   others kept. Animating one animates that number and builds it into the transform
//   underneath, so a layer keeps its scale while "transform.rotation.z" spins it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qmplatform/geometry.hpp"
#include "qmplatform/image.hpp"
#include "qmui/animation.hpp"
#include "qmui/color.hpp"
#include "qmui/layer_value.hpp"

namespace qm::platform {

// Where a layer's contents sit in its bounds. Top is the top edge as seen on the screen.
enum class ContentsGravity {
    Center, Top, Bottom, Left, Right, TopLeft, TopRight, BottomLeft, BottomRight,
    Resize,            // stretched to fill the bounds
    ResizeAspect,      // as large as fits, keeping its aspect ratio, centred
    ResizeAspectFill   // as small as covers, keeping its aspect ratio, centred
};

// The rectangle, in the coordinates of `bounds`, that contents of `contentSize` (points) cover.
Rect contentsPlacement(ContentsGravity gravity, Size contentSize, const Rect& bounds);

class Layer : public std::enable_shared_from_this<Layer> {
public:
    Layer();
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // The layers' clock: the current clock's seconds (Clock::currentDate().seconds). Animation
    // begin times and presentation times are on it.
    static double currentTime();

    // Geometry. Non-finite numbers are refused: the setter leaves the property unchanged.
    Rect bounds() const;
    void setBounds(const Rect& bounds);
    Point position() const;
    void setPosition(Point position);
    Point anchorPoint() const;
    void setAnchorPoint(Point anchor);
    double zPosition() const;
    void setZPosition(double z);
    Transform3D transform() const;
    void setTransform(const Transform3D& transform);
    // The 2D part of the transform; setting it replaces the whole transform.
    AffineTransform affineTransform() const;
    void setAffineTransform(const AffineTransform& transform);
    Transform3D sublayerTransform() const;
    void setSublayerTransform(const Transform3D& transform);
    // Derived from position, bounds size, anchorPoint and transform. Setting it keeps the
    // transform and anchor point and changes position and bounds size so that frame() returns
    // the new rectangle (standardised); under a transform whose size cannot be solved for (a
    // rotation by 45°, say) only the position changes.
    Rect frame() const;
    void setFrame(const Rect& frame);

    // Appearance.
    double opacity() const;  // 0…1, default 1
    void setOpacity(double opacity);
    bool isHidden() const;
    void setHidden(bool hidden);
    Color backgroundColor() const;  // default clear
    void setBackgroundColor(Color color);
    double cornerRadius() const;
    void setCornerRadius(double radius);
    double borderWidth() const;
    void setBorderWidth(double width);
    Color borderColor() const;  // default opaque black
    void setBorderColor(Color color);
    bool masksToBounds() const;
    void setMasksToBounds(bool masks);
    const std::shared_ptr<Image>& contents() const;
    void setContents(std::shared_ptr<Image> image);
    ContentsGravity contentsGravity() const;  // default Resize
    void setContentsGravity(ContentsGravity gravity);
    const std::string& name() const;
    void setName(std::string name);

    // The tree. A layer added elsewhere first leaves its old superlayer. Adding the layer
    // itself or one of its ancestors (which would make a loop) is refused, as is a null layer.
    std::shared_ptr<Layer> superlayer() const;
    const std::vector<std::shared_ptr<Layer>>& sublayers() const;
    // Sublayers back to front as drawn: by zPosition, in sublayer order where equal.
    std::vector<std::shared_ptr<Layer>> sublayersInDrawingOrder() const;
    void addSublayer(std::shared_ptr<Layer> layer);
    // An index past the end appends.
    void insertSublayer(std::shared_ptr<Layer> layer, std::size_t index);
    // With a sibling that is not a sublayer of this layer (or null) the layer goes to the
    // back (below) or to the front (above).
    void insertSublayerBelow(std::shared_ptr<Layer> layer, const Layer* sibling);
    void insertSublayerAbove(std::shared_ptr<Layer> layer, const Layer* sibling);
    // Does nothing when oldLayer is not a sublayer of this layer.
    void replaceSublayer(const Layer* oldLayer, std::shared_ptr<Layer> newLayer);
    void setSublayers(std::vector<std::shared_ptr<Layer>> layers);
    void removeFromSuperlayer();
    bool isDescendant(const Layer* ancestor) const;

    // Point conversion between layers of one tree (layers of different trees meet in the
    // coordinates of their roots). A null layer means the root's superlayer space.
    Point convertPointTo(Point point, const Layer* layer) const;
    Point convertPointFrom(Point point, const Layer* layer) const;
    // The bounding rectangle of the converted corners.
    Rect convertRectTo(const Rect& rect, const Layer* layer) const;
    Rect convertRectFrom(const Rect& rect, const Layer* layer) const;

    // Key-path access (see the list above). setValue returns false, changing nothing, for an
    // unknown key path, a value of the wrong type or a non-finite number. valueForKeyPath
    // returns nothing for an unknown key path.
    bool setValue(std::string_view keyPath, const LayerValue& value);
    LayerValue valueForKeyPath(std::string_view keyPath) const;

    // When on, setting an animatable property (through its setter or setValue) animates it
    // from its presentation value with the transaction's duration and timing function (the
    // system's default curve when none), under the key path as key, unless the transaction
    // disables actions. Off by default; layers that belong to views leave it off.
    bool implicitAnimations() const;
    void setImplicitAnimations(bool on);

    // Animations. addAnimation copies the animation: changing the caller's object later has
    // no effect. A beginTime of 0 becomes the current time and a duration of 0 the
    // transaction's. An animation under a key already in use replaces the one there, which
    // stops unfinished. An empty key adds an animation that no key reaches (animationKeys
    // leaves it out; removeAllAnimations removes it). Animations on a presentation copy are
    // ignored.
    void addAnimation(const Animation& animation, const std::string& key = {});
    std::shared_ptr<const Animation> animationForKey(std::string_view key) const;
    std::vector<std::string> animationKeys() const;  // in the order they were added
    void removeAnimationForKey(std::string_view key);
    void removeAllAnimations();
    bool hasAnimations() const;

    // The layer as it looks at `time` (default: now): a copy with every animatable property
    // animated, its sublayers copied the same way (the copy is the root of its own tree). The
    // copy has no animations of its own; the model (this layer) is unchanged. Animations that are removed when they complete show
    // nothing from their end on, whether or not the clock has got there.
    std::shared_ptr<Layer> presentationLayer() const;
    std::shared_ptr<Layer> presentationLayer(double time) const;
    // One animated key path at `time` (default: now), without copying the tree.
    LayerValue presentationValue(std::string_view keyPath) const;
    LayerValue presentationValue(std::string_view keyPath, double time) const;
    // True for the copies presentationLayer() makes.
    bool isPresentation() const;
    // For a presentation copy the layer it was made from (while it exists); for a model
    // layer the layer itself.
    std::shared_ptr<Layer> modelLayer() const;

private:
    friend struct LayerAccess;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace qm::platform
