#include "value_math.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace qm::platform::anim {

namespace {

using Kind = LayerValue::Kind;
using M4 = std::array<std::array<double, 4>, 4>;
using V3 = std::array<double, 3>;

M4 toMatrix(const Transform3D& t) {
    return {{{t.m11, t.m12, t.m13, t.m14}, {t.m21, t.m22, t.m23, t.m24}, {t.m31, t.m32, t.m33, t.m34}, {t.m41, t.m42, t.m43, t.m44}}};
}

Transform3D fromMatrix(const M4& m) {
    return {m[0][0], m[0][1], m[0][2], m[0][3], m[1][0], m[1][1], m[1][2], m[1][3],
            m[2][0], m[2][1], m[2][2], m[2][3], m[3][0], m[3][1], m[3][2], m[3][3]};
}

std::optional<M4> invert(M4 m) {
    M4 r{};
    for (int i = 0; i < 4; ++i) r[i][i] = 1;
    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int row = col + 1; row < 4; ++row)
            if (std::fabs(m[row][col]) > std::fabs(m[pivot][col])) pivot = row;
        if (!(std::fabs(m[pivot][col]) > 1e-12)) return std::nullopt;
        std::swap(m[pivot], m[col]);
        std::swap(r[pivot], r[col]);
        const double scale = 1 / m[col][col];
        for (int j = 0; j < 4; ++j) {
            m[col][j] *= scale;
            r[col][j] *= scale;
        }
        for (int row = 0; row < 4; ++row) {
            if (row == col || m[row][col] == 0) continue;
            const double f = m[row][col];
            for (int j = 0; j < 4; ++j) {
                m[row][j] -= f * m[col][j];
                r[row][j] -= f * r[col][j];
            }
        }
    }
    return r;
}

double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
V3 cross(const V3& a, const V3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double length(const V3& a) { return std::sqrt(dot(a, a)); }
V3 scaled(const V3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
V3 minus(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double mix(double a, double b, double t) { return a + (b - a) * t; }

// The numbers of a value other than a transform, in a fixed order.
struct Numbers {
    Kind kind = Kind::None;
    int count = 0;
    std::array<double, 4> v{};
};

std::optional<Numbers> numbersOf(const LayerValue& value) {
    Numbers n;
    n.kind = value.kind();
    if (auto d = value.number()) {
        n.count = 1;
        n.v = {*d, 0, 0, 0};
    } else if (auto p = value.point()) {
        n.count = 2;
        n.v = {p->x, p->y, 0, 0};
    } else if (auto s = value.size()) {
        n.count = 2;
        n.v = {s->width, s->height, 0, 0};
    } else if (auto r = value.rect()) {
        n.count = 4;
        n.v = {r->x, r->y, r->width, r->height};
    } else if (auto c = value.color()) {
        n.count = 4;
        n.v = {c->red, c->green, c->blue, c->alpha};
    } else {
        return std::nullopt;
    }
    return n;
}

LayerValue valueOf(const Numbers& n) {
    switch (n.kind) {
        case Kind::Number: return n.v[0];
        case Kind::Point: return Point{n.v[0], n.v[1]};
        case Kind::Size: return Size{n.v[0], n.v[1]};
        case Kind::Rect: return Rect{n.v[0], n.v[1], n.v[2], n.v[3]};
        case Kind::Color: return Color{n.v[0], n.v[1], n.v[2], n.v[3]};
        default: return {};
    }
}

// Applies f to the numbers of two values of one kind (not transforms).
template <typename F>
std::optional<LayerValue> combine(const LayerValue& a, const LayerValue& b, F f) {
    auto x = numbersOf(a), y = numbersOf(b);
    if (!x || !y || x->kind != y->kind) return std::nullopt;
    for (int i = 0; i < x->count; ++i) x->v[i] = f(x->v[i], y->v[i]);
    return valueOf(*x);
}

Transform3D elementwise(const Transform3D& a, const Transform3D& b, double t) {
    M4 x = toMatrix(a), y = toMatrix(b);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) x[i][j] = mix(x[i][j], y[i][j], t);
    return fromMatrix(x);
}

// Rotation rows (p' = p · R) from a unit quaternion and back.
std::array<V3, 3> rotationFromQuaternion(const std::array<double, 4>& q) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    return {{{1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w)},
             {2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w)},
             {2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y)}}};
}

std::array<double, 4> quaternionFromRotation(const std::array<V3, 3>& r) {
    std::array<double, 4> q{};
    const double trace = r[0][0] + r[1][1] + r[2][2];
    if (trace > 0) {
        const double s = 0.5 / std::sqrt(trace + 1);
        q = {(r[1][2] - r[2][1]) * s, (r[2][0] - r[0][2]) * s, (r[0][1] - r[1][0]) * s, 0.25 / s};
    } else if (r[0][0] > r[1][1] && r[0][0] > r[2][2]) {
        const double s = 2 * std::sqrt(std::max(0.0, 1 + r[0][0] - r[1][1] - r[2][2]));
        q = {0.25 * s, (r[1][0] + r[0][1]) / s, (r[2][0] + r[0][2]) / s, (r[1][2] - r[2][1]) / s};
    } else if (r[1][1] > r[2][2]) {
        const double s = 2 * std::sqrt(std::max(0.0, 1 + r[1][1] - r[0][0] - r[2][2]));
        q = {(r[0][1] + r[1][0]) / s, 0.25 * s, (r[1][2] + r[2][1]) / s, (r[2][0] - r[0][2]) / s};
    } else {
        const double s = 2 * std::sqrt(std::max(0.0, 1 + r[2][2] - r[0][0] - r[1][1]));
        q = {(r[0][2] + r[2][0]) / s, (r[1][2] + r[2][1]) / s, 0.25 * s, (r[0][1] - r[1][0]) / s};
    }
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(n > 0)) return {0, 0, 0, 1};
    for (double& c : q) c /= n;
    return q;
}

std::array<double, 4> slerp(std::array<double, 4> a, std::array<double, 4> b, double t) {
    double cosine = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
    if (cosine < 0) {  // the same rotation the short way round
        for (double& c : b) c = -c;
        cosine = -cosine;
    }
    std::array<double, 4> r{};
    if (cosine > 0.9995) {
        for (int i = 0; i < 4; ++i) r[i] = mix(a[i], b[i], t);
    } else {
        const double angle = std::acos(std::min(1.0, cosine));
        const double wa = std::sin((1 - t) * angle) / std::sin(angle), wb = std::sin(t * angle) / std::sin(angle);
        for (int i = 0; i < 4; ++i) r[i] = wa * a[i] + wb * b[i];
    }
    const double n = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3]);
    if (!(n > 0)) return {0, 0, 0, 1};
    for (double& c : r) c /= n;
    return r;
}

Transform3D power(const Transform3D& t, long long n) {
    Transform3D result, base = t;
    while (n > 0) {
        if (n & 1) result = result.concatenating(base);
        base = base.concatenating(base);
        n >>= 1;
    }
    return result;
}

// Rows of the rotation R = Rx · Ry · Rz (x applied first).
std::array<V3, 3> rotationFromEuler(const std::array<double, 3>& angles) {
    const double ca = std::cos(angles[0]), sa = std::sin(angles[0]);
    const double cb = std::cos(angles[1]), sb = std::sin(angles[1]);
    const double cg = std::cos(angles[2]), sg = std::sin(angles[2]);
    return {{{cb * cg, cb * sg, -sb},
             {sa * sb * cg - ca * sg, sa * sb * sg + ca * cg, sa * cb},
             {ca * sb * cg + sa * sg, ca * sb * sg - sa * cg, ca * cb}}};
}

std::optional<double> numberOf(const LayerValue& v) { return v.number(); }

}  // namespace

std::optional<LayerValue> interpolate(const LayerValue& a, const LayerValue& b, double t) {
    if (auto x = a.transform()) {
        auto y = b.transform();
        if (!y) return std::nullopt;
        return LayerValue(interpolateTransform(*x, *y, t));
    }
    return combine(a, b, [t](double x, double y) { return mix(x, y, t); });
}

std::optional<LayerValue> add(const LayerValue& a, const LayerValue& b) {
    if (auto x = a.transform()) {
        auto y = b.transform();
        if (!y) return std::nullopt;
        return LayerValue(x->concatenating(*y));
    }
    return combine(a, b, [](double x, double y) { return x + y; });
}

std::optional<LayerValue> subtract(const LayerValue& a, const LayerValue& b) {
    if (auto x = a.transform()) {
        auto y = b.transform();
        if (!y) return std::nullopt;
        auto undo = inverse(*y);
        if (!undo) return std::nullopt;
        return LayerValue(x->concatenating(*undo));
    }
    return combine(a, b, [](double x, double y) { return x - y; });
}

std::optional<LayerValue> repeated(const LayerValue& v, double times) {
    if (!(times >= 0) || !std::isfinite(times)) return std::nullopt;
    if (auto t = v.transform()) {
        if (times > 0x1p62) return std::nullopt;  // beyond what a whole number of repeats can hold
        return LayerValue(power(*t, static_cast<long long>(times)));
    }
    auto n = numbersOf(v);
    if (!n) return std::nullopt;
    for (int i = 0; i < n->count; ++i) n->v[i] *= times;
    return valueOf(*n);
}

std::optional<double> distance(const LayerValue& a, const LayerValue& b) {
    if (auto x = a.transform()) {
        auto y = b.transform();
        if (!y) return std::nullopt;
        const M4 p = toMatrix(*x), q = toMatrix(*y);
        double sum = 0;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) sum += (p[i][j] - q[i][j]) * (p[i][j] - q[i][j]);
        return std::sqrt(sum);
    }
    auto x = numbersOf(a), y = numbersOf(b);
    if (!x || !y || x->kind != y->kind) return std::nullopt;
    double sum = 0;
    for (int i = 0; i < x->count; ++i) sum += (x->v[i] - y->v[i]) * (x->v[i] - y->v[i]);
    return std::sqrt(sum);
}

std::optional<LayerValue> cubic(const LayerValue& p0, const LayerValue& p1, const LayerValue& p2, const LayerValue& p3,
                                double t) {
    if (p1.transform()) return interpolate(p1, p2, t);
    auto a = numbersOf(p0), b = numbersOf(p1), c = numbersOf(p2), d = numbersOf(p3);
    if (!a || !b || !c || !d || a->kind != b->kind || b->kind != c->kind || c->kind != d->kind) return std::nullopt;
    const double t2 = t * t, t3 = t2 * t;
    const double h00 = 2 * t3 - 3 * t2 + 1, h10 = t3 - 2 * t2 + t, h01 = -2 * t3 + 3 * t2, h11 = t3 - t2;
    Numbers r = *b;
    for (int i = 0; i < r.count; ++i) {
        const double m1 = (c->v[i] - a->v[i]) / 2, m2 = (d->v[i] - b->v[i]) / 2;
        r.v[i] = h00 * b->v[i] + h10 * m1 + h01 * c->v[i] + h11 * m2;
    }
    return valueOf(r);
}

// ---------------------------------------------------------------------------------------------
LayerValue component(const LayerValue& value, std::string_view path) {
    if (path.empty()) return value;
    if (auto p = value.point()) {
        if (path == "x") return p->x;
        if (path == "y") return p->y;
    } else if (auto s = value.size()) {
        if (path == "width") return s->width;
        if (path == "height") return s->height;
    } else if (auto r = value.rect()) {
        if (path == "origin") return r->origin();
        if (path == "size") return r->size();
        if (path.starts_with("origin.")) return component(r->origin(), path.substr(7));
        if (path.starts_with("size.")) return component(r->size(), path.substr(5));
    } else if (auto t = value.transform()) {
        const TransformParts parts = transformParts(*t);
        if (path == "scale") return (parts.scale[0] + parts.scale[1] + parts.scale[2]) / 3;
        if (path == "translation") return Size{parts.translation[0], parts.translation[1]};
        if (path == "rotation") return parts.rotation[2];
        const std::string_view groups[] = {"scale.", "rotation.", "translation."};
        for (auto group : groups) {
            if (!path.starts_with(group) || path.size() != group.size() + 1) continue;
            const char axis = path.back();
            if (axis < 'x' || axis > 'z') return {};
            const auto& numbers = group[0] == 's' ? parts.scale : group[0] == 'r' ? parts.rotation : parts.translation;
            return numbers[axis - 'x'];
        }
    }
    return {};
}

std::optional<LayerValue> withComponent(const LayerValue& value, std::string_view path, const LayerValue& part) {
    if (path.empty()) {
        if (part.kind() != value.kind()) return std::nullopt;
        return part;
    }
    if (auto p = value.point()) {
        auto n = numberOf(part);
        if (!n) return std::nullopt;
        if (path == "x") return LayerValue(Point{*n, p->y});
        if (path == "y") return LayerValue(Point{p->x, *n});
    } else if (auto s = value.size()) {
        auto n = numberOf(part);
        if (!n) return std::nullopt;
        if (path == "width") return LayerValue(Size{*n, s->height});
        if (path == "height") return LayerValue(Size{s->width, *n});
    } else if (auto r = value.rect()) {
        if (path == "origin" || path.starts_with("origin.")) {
            auto origin = withComponent(r->origin(), path == "origin" ? "" : path.substr(7), part);
            if (!origin || !origin->point()) return std::nullopt;
            return LayerValue(Rect{*origin->point(), r->size()});
        }
        if (path == "size" || path.starts_with("size.")) {
            auto size = withComponent(r->size(), path == "size" ? "" : path.substr(5), part);
            if (!size || !size->size()) return std::nullopt;
            return LayerValue(Rect{r->origin(), *size->size()});
        }
    } else if (auto t = value.transform()) {
        TransformParts parts = transformParts(*t);
        if (path == "translation") {
            if (auto offset = part.size()) {
                parts.translation[0] = offset->width;
                parts.translation[1] = offset->height;
            } else if (auto point = part.point()) {
                parts.translation[0] = point->x;
                parts.translation[1] = point->y;
            } else {
                return std::nullopt;
            }
            return LayerValue(fromTransformParts(parts, *t));
        }
        auto n = numberOf(part);
        if (!n) return std::nullopt;
        if (path == "scale") {
            parts.scale = {*n, *n, *n};
        } else if (path == "rotation") {
            parts.rotation[2] = *n;
        } else {
            const std::string_view groups[] = {"scale.", "rotation.", "translation."};
            bool found = false;
            for (auto group : groups) {
                if (!path.starts_with(group) || path.size() != group.size() + 1) continue;
                const char axis = path.back();
                if (axis < 'x' || axis > 'z') return std::nullopt;
                auto& numbers = group[0] == 's' ? parts.scale : group[0] == 'r' ? parts.rotation : parts.translation;
                numbers[axis - 'x'] = *n;
                found = true;
            }
            if (!found) return std::nullopt;
        }
        return LayerValue(fromTransformParts(parts, *t));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
std::optional<Transform3D> inverse(const Transform3D& t) {
    auto m = invert(toMatrix(t));
    if (!m) return std::nullopt;
    return fromMatrix(*m);
}

TransformParts transformParts(const Transform3D& t) {
    const M4 m = toMatrix(t);
    TransformParts parts;
    parts.translation = {m[3][0], m[3][1], m[3][2]};
    std::array<V3, 3> rows{{{m[0][0], m[0][1], m[0][2]}, {m[1][0], m[1][1], m[1][2]}, {m[2][0], m[2][1], m[2][2]}}};
    // Each row is the scale of its axis times a row of the rotation.
    bool unit[3];
    for (int i = 0; i < 3; ++i) {
        parts.scale[i] = length(rows[i]);
        unit[i] = parts.scale[i] > 1e-12;
        if (unit[i]) rows[i] = scaled(rows[i], 1 / parts.scale[i]);
    }
    // A flattened axis (scale 0) keeps the rotation of the others: its row is rebuilt square to
    // theirs (or the axis' own when too many are flat to tell).
    for (int i = 0; i < 3; ++i) {
        if (unit[i]) continue;
        const V3& a = rows[(i + 1) % 3];
        const V3& b = rows[(i + 2) % 3];
        if (unit[(i + 1) % 3] && unit[(i + 2) % 3]) {
            rows[i] = cross(a, b);
        } else {
            rows[i] = {0, 0, 0};
            rows[i][i] = 1;
        }
    }
    if (dot(rows[0], cross(rows[1], rows[2])) < 0) {  // a mirror: counted as a negative x scale
        parts.scale[0] = -parts.scale[0];
        rows[0] = scaled(rows[0], -1);
    }
    const double sb = std::clamp(-rows[0][2], -1.0, 1.0);
    parts.rotation[1] = std::asin(sb);
    if (std::fabs(sb) < 1 - 1e-12) {
        parts.rotation[0] = std::atan2(rows[1][2], rows[2][2]);
        parts.rotation[2] = std::atan2(rows[0][1], rows[0][0]);
    } else {  // x and z turn about the same axis: all of it counted as z
        parts.rotation[0] = 0;
        parts.rotation[2] = std::atan2(-rows[1][0], rows[1][1]);
    }
    return parts;
}

Transform3D fromTransformParts(const TransformParts& parts, const Transform3D& base) {
    const auto r = rotationFromEuler(parts.rotation);
    M4 m = toMatrix(base);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = parts.scale[i] * r[i][j];
    for (int j = 0; j < 3; ++j) m[3][j] = parts.translation[j];
    return fromMatrix(m);
}

std::optional<DecomposedTransform> decompose(const Transform3D& t) {
    M4 m = toMatrix(t);
    if (!(std::fabs(m[3][3]) > 1e-12)) return std::nullopt;
    const double w = m[3][3];
    for (auto& row : m)
        for (double& v : row) v /= w;
    DecomposedTransform d;
    // The matrix is an affine part A followed by a perspective P whose last column is p:
    // the last column of the matrix is A·p.
    M4 affine = m;
    affine[0][3] = affine[1][3] = affine[2][3] = 0;
    affine[3][3] = 1;
    auto affineInverse = invert(affine);
    if (!affineInverse) return std::nullopt;
    if (m[0][3] != 0 || m[1][3] != 0 || m[2][3] != 0) {
        const double column[4] = {m[0][3], m[1][3], m[2][3], m[3][3]};
        for (int i = 0; i < 4; ++i) {
            double sum = 0;
            for (int j = 0; j < 4; ++j) sum += (*affineInverse)[i][j] * column[j];
            d.perspective[i] = sum;
        }
    }
    d.translation = {m[3][0], m[3][1], m[3][2]};
    // Rows l0, l1, l2 = D · K · R: scale, then shear, then rotation (Gram-Schmidt).
    V3 r0{m[0][0], m[0][1], m[0][2]}, l1{m[1][0], m[1][1], m[1][2]}, l2{m[2][0], m[2][1], m[2][2]};
    d.scale[0] = length(r0);
    if (!(d.scale[0] > 1e-12)) return std::nullopt;
    r0 = scaled(r0, 1 / d.scale[0]);
    const double a = dot(r0, l1);
    V3 r1 = minus(l1, scaled(r0, a));
    d.scale[1] = length(r1);
    if (!(d.scale[1] > 1e-12)) return std::nullopt;
    r1 = scaled(r1, 1 / d.scale[1]);
    const double b = dot(r0, l2), c = dot(r1, l2);
    V3 r2 = minus(minus(l2, scaled(r0, b)), scaled(r1, c));
    d.scale[2] = length(r2);
    if (!(d.scale[2] > 1e-12)) return std::nullopt;
    r2 = scaled(r2, 1 / d.scale[2]);
    d.shear = {a / d.scale[1], b / d.scale[2], c / d.scale[2]};
    if (dot(r0, cross(r1, r2)) < 0) {  // a mirror: every scale and row flips
        for (double& s : d.scale) s = -s;
        r0 = scaled(r0, -1);
        r1 = scaled(r1, -1);
        r2 = scaled(r2, -1);
    }
    d.quaternion = quaternionFromRotation({r0, r1, r2});
    return d;
}

Transform3D recompose(const DecomposedTransform& d) {
    const auto r = rotationFromQuaternion(d.quaternion);
    // Rows of K · R, then each scaled by its axis.
    const double k[3][3] = {{1, 0, 0}, {d.shear[0], 1, 0}, {d.shear[1], d.shear[2], 1}};
    M4 m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double sum = 0;
            for (int n = 0; n < 3; ++n) sum += k[i][n] * r[n][j];
            m[i][j] = d.scale[i] * sum;
        }
    }
    for (int j = 0; j < 3; ++j) m[3][j] = d.translation[j];
    for (int i = 0; i < 3; ++i)
        m[i][3] = m[i][0] * d.perspective[0] + m[i][1] * d.perspective[1] + m[i][2] * d.perspective[2];
    m[3][3] = m[3][0] * d.perspective[0] + m[3][1] * d.perspective[1] + m[3][2] * d.perspective[2] + d.perspective[3];
    return fromMatrix(m);
}

Transform3D interpolateTransform(const Transform3D& a, const Transform3D& b, double t) {
    if (t == 0) return a;
    if (t == 1) return b;
    auto x = decompose(a), y = decompose(b);
    if (!x || !y) return elementwise(a, b, t);
    DecomposedTransform r;
    for (int i = 0; i < 3; ++i) {
        r.translation[i] = mix(x->translation[i], y->translation[i], t);
        r.scale[i] = mix(x->scale[i], y->scale[i], t);
        r.shear[i] = mix(x->shear[i], y->shear[i], t);
    }
    for (int i = 0; i < 4; ++i) r.perspective[i] = mix(x->perspective[i], y->perspective[i], t);
    r.quaternion = slerp(x->quaternion, y->quaternion, t);
    return recompose(r);
}

}  // namespace qm::platform::anim
