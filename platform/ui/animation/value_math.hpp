// Arithmetic on layer values for animations: interpolation, addition, distances, the parts of
// transforms that key paths reach, and taking a transform apart for interpolation.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "qmplatform/geometry.hpp"
#include "qmui/layer_value.hpp"

namespace qm::platform::anim {

// Straight interpolation (t may leave 0…1 for curves that overshoot); transforms are taken
// apart and put together again (interpolateTransform). Nothing when the kinds differ.
std::optional<LayerValue> interpolate(const LayerValue& a, const LayerValue& b, double t);
// a + b; for transforms a then b.
std::optional<LayerValue> add(const LayerValue& a, const LayerValue& b);
// The value that gives a when b is added to it.
std::optional<LayerValue> subtract(const LayerValue& a, const LayerValue& b);
// v added to itself `times` times (a whole number ≥ 0); the identity/zero for 0.
std::optional<LayerValue> repeated(const LayerValue& v, double times);
// The straight-line distance between two values of one kind.
std::optional<double> distance(const LayerValue& a, const LayerValue& b);
// The Hermite curve through p1 (t = 0) and p2 (t = 1) whose tangents come from the
// neighbours p0 and p3. Transforms fall back to straight interpolation.
std::optional<LayerValue> cubic(const LayerValue& p0, const LayerValue& p1, const LayerValue& p2,
                                const LayerValue& p3, double t);

// The part of a value a key path below a property reaches: "x", "size.width",
// "rotation.z", … Nothing for a path the kind has not.
LayerValue component(const LayerValue& value, std::string_view path);
// The value with that part replaced; nothing for a path the kind has not or a part of the
// wrong kind.
std::optional<LayerValue> withComponent(const LayerValue& value, std::string_view path, const LayerValue& part);

// 4×4 inverse; nothing when singular.
std::optional<Transform3D> inverse(const Transform3D& t);

// Translation, rotation (radians about x, then y, then z) and scale of a transform, and the
// transform rebuilt from them (keeping the base transform's perspective column).
struct TransformParts {
    std::array<double, 3> translation{};
    std::array<double, 3> rotation{};
    std::array<double, 3> scale{1, 1, 1};
};
TransformParts transformParts(const Transform3D& t);
Transform3D fromTransformParts(const TransformParts& parts, const Transform3D& base);

// A transform taken apart for interpolation: translation, scale, shear (xy, xz, yz),
// perspective (x, y, z, w) and rotation as a unit quaternion (x, y, z, w).
struct DecomposedTransform {
    std::array<double, 3> translation{};
    std::array<double, 3> scale{1, 1, 1};
    std::array<double, 3> shear{};
    std::array<double, 4> perspective{0, 0, 0, 1};
    std::array<double, 4> quaternion{0, 0, 0, 1};
};
// Nothing for a transform that cannot be taken apart (singular, or w = 0).
std::optional<DecomposedTransform> decompose(const Transform3D& t);
Transform3D recompose(const DecomposedTransform& d);
// Parts interpolated straight, rotation along the shorter arc; element by element when
// either transform cannot be taken apart.
Transform3D interpolateTransform(const Transform3D& a, const Transform3D& b, double t);

}  // namespace qm::platform::anim
