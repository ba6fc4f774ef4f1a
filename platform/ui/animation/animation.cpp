// The animation descriptions: timing functions, paths, springs and groups.
#include <algorithm>
#include <cmath>

#include "qmui/animation.hpp"

namespace qm::platform {

// ---------------------------------------------------------------------------------------------
TimingFunction TimingFunction::controlPoints(double x1, double y1, double x2, double y2) {
    TimingFunction f;
    if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2)) return f;
    f.x1_ = std::clamp(x1, 0.0, 1.0);
    f.y1_ = y1;
    f.x2_ = std::clamp(x2, 0.0, 1.0);
    f.y2_ = y2;
    return f;
}

double TimingFunction::evaluate(double t) const {
    if (!(t > 0)) return 0;  // NaN too
    if (t >= 1) return 1;
    // Each coordinate is a·s³ + b·s² + c·s along the curve parameter s.
    const double cx = 3 * x1_, bx = 3 * (x2_ - x1_) - cx, ax = 1 - cx - bx;
    const double cy = 3 * y1_, by = 3 * (y2_ - y1_) - cy, ay = 1 - cy - by;
    auto x = [&](double s) { return ((ax * s + bx) * s + cx) * s; };
    auto dx = [&](double s) { return (3 * ax * s + 2 * bx) * s + cx; };
    // Newton's method converges in a few steps where the slope is healthy; bisection (x grows
    // with s because x1 and x2 lie in 0…1) takes over where it is not.
    double s = t;
    bool solved = false;
    for (int i = 0; i < 8; ++i) {
        const double error = x(s) - t;
        if (std::fabs(error) < 1e-12) {
            solved = true;
            break;
        }
        const double slope = dx(s);
        if (std::fabs(slope) < 1e-9) break;
        s -= error / slope;
        if (s < 0 || s > 1) break;
    }
    if (!solved) {
        double lo = 0, hi = 1;
        s = t;
        for (int i = 0; i < 100 && hi - lo > 1e-15; ++i) {
            s = (lo + hi) / 2;
            (x(s) < t ? lo : hi) = s;
        }
        s = (lo + hi) / 2;
    }
    return ((ay * s + by) * s + cy) * s;
}

Point TimingFunction::controlPoint(int index) const {
    switch (index) {
        case 1: return {x1_, y1_};
        case 2: return {x2_, y2_};
        case 3: return {1, 1};
        default: return {0, 0};
    }
}

// ---------------------------------------------------------------------------------------------
bool Path::startIfNeeded(Point point) {
    if (!elements_.empty()) return false;
    moveTo(point);
    return true;
}

void Path::moveTo(Point point) {
    elements_.push_back({ElementType::MoveTo, {point, {}, {}}});
    subpathStart_ = point;
}

void Path::lineTo(Point point) {
    if (startIfNeeded(point)) return;
    elements_.push_back({ElementType::LineTo, {point, {}, {}}});
}

void Path::quadCurveTo(Point control, Point end) {
    if (startIfNeeded(end)) return;
    elements_.push_back({ElementType::QuadCurveTo, {control, end, {}}});
}

void Path::curveTo(Point control1, Point control2, Point end) {
    if (startIfNeeded(end)) return;
    elements_.push_back({ElementType::CurveTo, {control1, control2, end}});
}

void Path::close() {
    if (elements_.empty() || elements_.back().type == ElementType::Close) return;
    elements_.push_back({ElementType::Close, {}});
}

std::optional<Point> Path::currentPoint() const {
    if (elements_.empty()) return std::nullopt;
    // After a close the current point is the start of that subpath.
    for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) {
        switch (it->type) {
            case ElementType::MoveTo:
            case ElementType::LineTo: return it->points[0];
            case ElementType::QuadCurveTo: return it->points[1];
            case ElementType::CurveTo: return it->points[2];
            case ElementType::Close: return subpathStart_;
        }
    }
    return std::nullopt;
}

bool operator==(const Path& a, const Path& b) {
    if (a.elements_.size() != b.elements_.size()) return false;
    for (std::size_t i = 0; i < a.elements_.size(); ++i) {
        const auto& x = a.elements_[i];
        const auto& y = b.elements_[i];
        if (x.type != y.type) return false;
        for (int p = 0; p < 3; ++p)
            if (!(x.points[p] == y.points[p])) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
Animation::~Animation() = default;

AnimationGroup::AnimationGroup(const AnimationGroup& other) : Animation(other) {
    for (const auto& child : other.animations)
        if (child) animations.push_back(child->clone());
}

AnimationGroup& AnimationGroup::operator=(const AnimationGroup& other) {
    if (this == &other) return *this;
    Animation::operator=(other);
    animations.clear();
    for (const auto& child : other.animations)
        if (child) animations.push_back(child->clone());
    return *this;
}

// ---------------------------------------------------------------------------------------------
namespace {

constexpr double kSettledFraction = 0.001;
constexpr double kNeverSettles = 3600;

// The spring's constants after the fallbacks for values it cannot use.
struct Oscillator {
    double omega;  // undamped angular frequency
    double zeta;   // damping ratio
    double x0 = 1, v0;

    explicit Oscillator(const SpringAnimation& s) {
        const double mass = std::isfinite(s.mass) && s.mass > 0 ? s.mass : 1;
        const double stiffness = std::isfinite(s.stiffness) && s.stiffness > 0 ? s.stiffness : 100;
        const double damping = std::isfinite(s.damping) && s.damping > 0 ? s.damping : 0;
        omega = std::sqrt(stiffness / mass);
        zeta = damping / (2 * std::sqrt(stiffness * mass));
        if (std::fabs(zeta - 1) < 1e-9) zeta = 1;  // the critical case has its own closed form
        v0 = std::isfinite(s.initialVelocity) ? -s.initialVelocity : 0;
    }

    double displacement(double t) const {
        if (zeta < 1) {
            const double wd = omega * std::sqrt(1 - zeta * zeta);
            return std::exp(-zeta * omega * t) *
                   (x0 * std::cos(wd * t) + (zeta * omega * x0 + v0) / wd * std::sin(wd * t));
        }
        if (zeta == 1) return std::exp(-omega * t) * (x0 + (v0 + omega * x0) * t);
        const double root = std::sqrt(zeta * zeta - 1);
        const double r1 = -omega * (zeta - root), r2 = -omega * (zeta + root);
        const double c2 = (v0 - r1 * x0) / (r2 - r1), c1 = x0 - c2;
        return c1 * std::exp(r1 * t) + c2 * std::exp(r2 * t);
    }

    // A bound on |displacement| from t on: the envelope of the swing.
    double envelope(double t) const {
        if (zeta < 1) {
            const double wd = omega * std::sqrt(1 - zeta * zeta);
            const double b = (zeta * omega * x0 + v0) / wd;
            return std::exp(-zeta * omega * t) * std::sqrt(x0 * x0 + b * b);
        }
        if (zeta == 1) return std::exp(-omega * t) * (std::fabs(x0) + std::fabs(v0 + omega * x0) * t);
        const double root = std::sqrt(zeta * zeta - 1);
        const double r1 = -omega * (zeta - root), r2 = -omega * (zeta + root);
        const double c2 = (v0 - r1 * x0) / (r2 - r1), c1 = x0 - c2;
        return std::fabs(c1) * std::exp(r1 * t) + std::fabs(c2) * std::exp(r2 * t);
    }

    double settlingTime() const {
        if (zeta <= 0) return kNeverSettles;
        if (zeta < 1) {
            const double amplitude = envelope(0);
            const double t = std::log(amplitude / kSettledFraction) / (zeta * omega);
            return std::clamp(t, 0.0, kNeverSettles);
        }
        // The envelope falls from its peak on (critical damping may rise first); find where it
        // crosses the threshold after that peak.
        double lo = 0;
        if (zeta == 1) {
            const double slope = std::fabs(v0 + omega * x0);
            if (slope > 0) lo = std::max(0.0, 1 / omega - std::fabs(x0) / slope);
        }
        if (envelope(lo) < kSettledFraction) return lo;
        double hi = lo + 1;
        while (envelope(hi) >= kSettledFraction) {
            hi = lo + (hi - lo) * 2;
            if (hi > kNeverSettles) return kNeverSettles;
        }
        for (int i = 0; i < 100; ++i) {
            const double mid = (lo + hi) / 2;
            (envelope(mid) >= kSettledFraction ? lo : hi) = mid;
        }
        return hi;
    }
};

}  // namespace

double SpringAnimation::settlingDuration() const { return Oscillator(*this).settlingTime(); }

double SpringAnimation::progressAt(double seconds) const {
    if (!(seconds > 0)) return 0;
    return 1 - Oscillator(*this).displacement(seconds);
}

}  // namespace qm::platform
