#include "qmplatform/geometry.hpp"

#include <algorithm>
#include <cmath>

namespace qm::platform {

Rect Rect::insetBy(double dx, double dy) const {
    const Rect r = standardized();
    return {r.x + dx, r.y + dy, r.width - 2 * dx, r.height - 2 * dy};
}

Rect Rect::intersection(const Rect& other) const {
    const double left = std::max(minX(), other.minX());
    const double right = std::min(maxX(), other.maxX());
    const double top = std::max(minY(), other.minY());
    const double bottom = std::min(maxY(), other.maxY());
    if (!(left < right && top < bottom)) return {};
    return {left, top, right - left, bottom - top};
}

Rect Rect::unionWith(const Rect& other) const {
    if (isEmpty()) return other.standardized();
    if (other.isEmpty()) return standardized();
    const double left = std::min(minX(), other.minX());
    const double top = std::min(minY(), other.minY());
    return {left, top, std::max(maxX(), other.maxX()) - left, std::max(maxY(), other.maxY()) - top};
}

AffineTransform AffineTransform::rotation(double radians) {
    const double c = std::cos(radians), s = std::sin(radians);
    return {c, s, -s, c, 0, 0};
}

AffineTransform AffineTransform::concatenating(const AffineTransform& n) const {
    return {a * n.a + b * n.c,         a * n.b + b * n.d,         c * n.a + d * n.c,
            c * n.b + d * n.d,         tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
}

AffineTransform AffineTransform::inverted() const {
    const double det = a * d - b * c;
    if (det == 0 || !std::isfinite(det)) return *this;
    return {d / det, -b / det, -c / det, a / det, (c * ty - d * tx) / det, (b * tx - a * ty) / det};
}

Rect AffineTransform::apply(const Rect& r) const {
    const Rect s = r.standardized();
    const Point corners[] = {apply(Point{s.x, s.y}), apply(Point{s.maxX(), s.y}), apply(Point{s.x, s.maxY()}),
                             apply(Point{s.maxX(), s.maxY()})};
    double left = corners[0].x, right = left, top = corners[0].y, bottom = top;
    for (const Point& p : corners) {
        left = std::min(left, p.x);
        right = std::max(right, p.x);
        top = std::min(top, p.y);
        bottom = std::max(bottom, p.y);
    }
    return {left, top, right - left, bottom - top};
}

Transform3D Transform3D::translation(double x, double y, double z) {
    Transform3D t;
    t.m41 = x;
    t.m42 = y;
    t.m43 = z;
    return t;
}

Transform3D Transform3D::scale(double sx, double sy, double sz) {
    Transform3D t;
    t.m11 = sx;
    t.m22 = sy;
    t.m33 = sz;
    return t;
}

Transform3D Transform3D::rotation(double radians, double x, double y, double z) {
    const double length = std::sqrt(x * x + y * y + z * z);
    if (!(length > 0)) return {};
    x /= length;
    y /= length;
    z /= length;
    const double c = std::cos(radians), s = std::sin(radians), k = 1 - c;
    Transform3D t;
    t.m11 = c + k * x * x;
    t.m12 = k * x * y + s * z;
    t.m13 = k * x * z - s * y;
    t.m21 = k * x * y - s * z;
    t.m22 = c + k * y * y;
    t.m23 = k * y * z + s * x;
    t.m31 = k * x * z + s * y;
    t.m32 = k * y * z - s * x;
    t.m33 = c + k * z * z;
    return t;
}

Transform3D Transform3D::fromAffine(const AffineTransform& a) {
    Transform3D t;
    t.m11 = a.a;
    t.m12 = a.b;
    t.m21 = a.c;
    t.m22 = a.d;
    t.m41 = a.tx;
    t.m42 = a.ty;
    return t;
}

bool Transform3D::isAffine() const {
    return m13 == 0 && m14 == 0 && m23 == 0 && m24 == 0 && m31 == 0 && m32 == 0 && m33 == 1 && m34 == 0 &&
           m43 == 0 && m44 == 1;
}

Transform3D Transform3D::concatenating(const Transform3D& n) const {
    const double a[4][4] = {{m11, m12, m13, m14}, {m21, m22, m23, m24}, {m31, m32, m33, m34}, {m41, m42, m43, m44}};
    const double b[4][4] = {{n.m11, n.m12, n.m13, n.m14},
                            {n.m21, n.m22, n.m23, n.m24},
                            {n.m31, n.m32, n.m33, n.m34},
                            {n.m41, n.m42, n.m43, n.m44}};
    double r[4][4] = {};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k) r[i][j] += a[i][k] * b[k][j];
    return {r[0][0], r[0][1], r[0][2], r[0][3], r[1][0], r[1][1], r[1][2], r[1][3],
            r[2][0], r[2][1], r[2][2], r[2][3], r[3][0], r[3][1], r[3][2], r[3][3]};
}

Point Transform3D::apply(Point p) const {
    const double x = p.x * m11 + p.y * m21 + m41;
    const double y = p.x * m12 + p.y * m22 + m42;
    const double w = p.x * m14 + p.y * m24 + m44;
    if (w == 0 || !std::isfinite(w)) return {x, y};
    return {x / w, y / w};
}

}  // namespace qm::platform
