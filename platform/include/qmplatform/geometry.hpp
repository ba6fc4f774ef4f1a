// Points, sizes, rectangles, insets and transforms, in points, for screens, windows, views
// and layers. Coordinates grow right and down, as on the screen.
#pragma once

namespace qm::platform {

struct Size {
    double width = 0, height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;

    Rect() = default;
    Rect(double x_, double y_, double width_, double height_) : x(x_), y(y_), width(width_), height(height_) {}
    Rect(Point origin, Size size) : x(origin.x), y(origin.y), width(size.width), height(size.height) {}

    Point origin() const { return {x, y}; }
    Size size() const { return {width, height}; }
    // Edges of the rectangle as it covers the plane (a negative width or height counts from
    // the other side).
    double minX() const { return width < 0 ? x + width : x; }
    double maxX() const { return width < 0 ? x : x + width; }
    double minY() const { return height < 0 ? y + height : y; }
    double maxY() const { return height < 0 ? y : y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    Point center() const { return {midX(), midY()}; }
    bool isEmpty() const { return !(width != 0 && height != 0); }

    // Same origin and size with positive width and height.
    Rect standardized() const { return {minX(), minY(), maxX() - minX(), maxY() - minY()}; }
    Rect offsetBy(double dx, double dy) const { return {x + dx, y + dy, width, height}; }
    Rect insetBy(double dx, double dy) const;
    bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
    // The overlap; an empty rectangle at the origin when there is none.
    Rect intersection(const Rect& other) const;
    bool intersects(const Rect& other) const { return !intersection(other).isEmpty(); }
    Rect unionWith(const Rect& other) const;

    friend bool operator==(const Rect&, const Rect&) = default;
};

struct EdgeInsets {
    double top = 0, left = 0, bottom = 0, right = 0;
    Rect inset(const Rect& r) const { return {r.x + left, r.y + top, r.width - left - right, r.height - top - bottom}; }
    friend bool operator==(const EdgeInsets&, const EdgeInsets&) = default;
};

// A 2D affine transform: x' = a·x + c·y + tx, y' = b·x + d·y + ty (the platform's layout of
// the six numbers).
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    static AffineTransform translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    static AffineTransform rotation(double radians);

    bool isIdentity() const { return *this == AffineTransform{}; }
    // `this` applied first, then `next`.
    AffineTransform concatenating(const AffineTransform& next) const;
    AffineTransform translatedBy(double x, double y) const { return translation(x, y).concatenating(*this); }
    AffineTransform scaledBy(double sx, double sy) const { return scale(sx, sy).concatenating(*this); }
    AffineTransform rotatedBy(double radians) const { return rotation(radians).concatenating(*this); }
    // The identity when the transform cannot be inverted, as the platform returns it unchanged
    // would draw nothing sensible either.
    AffineTransform inverted() const;
    Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    // The smallest upright rectangle holding the transformed corners.
    Rect apply(const Rect& r) const;

    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// A layer's 3D transform, row-vector convention: p' = p · M, with the translation in the
// fourth row. m34 = -1/distance gives perspective.
struct Transform3D {
    double m11 = 1, m12 = 0, m13 = 0, m14 = 0;
    double m21 = 0, m22 = 1, m23 = 0, m24 = 0;
    double m31 = 0, m32 = 0, m33 = 1, m34 = 0;
    double m41 = 0, m42 = 0, m43 = 0, m44 = 1;

    static Transform3D identity() { return {}; }
    static Transform3D translation(double x, double y, double z);
    static Transform3D scale(double sx, double sy, double sz);
    // A rotation by `radians` about the axis (x, y, z); the identity for a zero axis.
    static Transform3D rotation(double radians, double x, double y, double z);
    static Transform3D fromAffine(const AffineTransform& t);

    bool isIdentity() const { return *this == Transform3D{}; }
    bool isAffine() const;
    // The 2D part, for transforms that keep z out of x and y (isAffine()).
    AffineTransform affine() const { return {m11, m12, m21, m22, m41, m42}; }
    // `this` applied first, then `next`.
    Transform3D concatenating(const Transform3D& next) const;
    // A point of the plane z = 0, projected back onto it (perspective divides by w).
    Point apply(Point p) const;

    friend bool operator==(const Transform3D&, const Transform3D&) = default;
};

}  // namespace qm::platform
