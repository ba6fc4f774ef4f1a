// The values layer properties hold and animations move through: a number, a point, a size, a
// rectangle, a colour or a 3D transform (or nothing).
#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include "qmplatform/geometry.hpp"
#include "qmui/color.hpp"

namespace qm::platform {

class LayerValue {
public:
    enum class Kind { None, Number, Point, Size, Rect, Color, Transform };

    LayerValue() = default;  // nothing
    LayerValue(double number) : storage_(number) {}
    LayerValue(int number) : storage_(static_cast<double>(number)) {}
    LayerValue(Point point) : storage_(point) {}
    LayerValue(Size size) : storage_(size) {}
    LayerValue(Rect rect) : storage_(rect) {}
    LayerValue(Color color) : storage_(color) {}
    LayerValue(Transform3D transform) : storage_(transform) {}
    LayerValue(const AffineTransform& transform) : storage_(Transform3D::fromAffine(transform)) {}

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool isNone() const { return kind() == Kind::None; }
    explicit operator bool() const { return !isNone(); }

    // The name of the type, which in-app code picks behaviour by: "CGRect", "CGPoint",
    // "CGSize", "CATransform3D", "number" or "color"; empty for nothing.
    std::string_view typeName() const;

    // The value when it is of that type.
    std::optional<double> number() const { return get<double>(); }
    std::optional<Point> point() const { return get<Point>(); }
    std::optional<Size> size() const { return get<Size>(); }
    std::optional<Rect> rect() const { return get<Rect>(); }
    std::optional<Color> color() const { return get<Color>(); }
    std::optional<Transform3D> transform() const { return get<Transform3D>(); }

    // True when every number in it is finite (nothing counts as finite).
    bool isFinite() const;

    friend bool operator==(const LayerValue&, const LayerValue&) = default;

private:
    template <typename T>
    std::optional<T> get() const {
        if (auto* v = std::get_if<T>(&storage_)) return *v;
        return std::nullopt;
    }
    // The order matches Kind.
    std::variant<std::monostate, double, Point, Size, Rect, Color, Transform3D> storage_;
};

}  // namespace qm::platform
