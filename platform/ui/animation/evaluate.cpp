#include "evaluate.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "qmui/layer.hpp"
#include "value_math.hpp"

namespace qm::platform::anim {

namespace {

bool fillsBackwards(FillMode m) { return m == FillMode::Backwards || m == FillMode::Both; }
bool fillsForwards(FillMode m) { return m == FillMode::Forwards || m == FillMode::Both; }

double finiteOr(double v, double fallback) { return std::isfinite(v) ? v : fallback; }

// ---------------------------------------------------------------------------------------------
// Basic and spring animations.

std::optional<LayerValue> basicValue(const BasicAnimation& a, double simple, const LayerValue& current) {
    double progress;
    if (auto* spring = dynamic_cast<const SpringAnimation*>(&a)) {
        progress = spring->progressAt(simple);
    } else {
        progress = simple / a.duration;
        if (a.timingFunction) progress = a.timingFunction->evaluate(progress);
    }
    const bool from = !a.fromValue.isNone(), to = !a.toValue.isNone(), by = !a.byValue.isNone();
    std::optional<LayerValue> start, end;
    if (from && to) {
        start = a.fromValue;
        end = a.toValue;
    } else if (from && by) {
        start = a.fromValue;
        end = add(a.fromValue, a.byValue);
    } else if (by && to) {
        start = subtract(a.toValue, a.byValue);
        end = a.toValue;
    } else if (from) {
        start = a.fromValue;
        end = current;
    } else if (to) {
        start = current;
        end = a.toValue;
    } else if (by) {
        start = current;
        end = add(current, a.byValue);
    } else {
        return current;
    }
    if (!start || !end) return std::nullopt;
    return interpolate(*start, *end, progress);
}

// ---------------------------------------------------------------------------------------------
// Keyframes: a list of points in time (boundaries) and what lies between them.

struct PathSegment {
    Path::ElementType type = Path::ElementType::LineTo;  // MoveTo: a jump
    Point start, c1, c2, end;

    Point at(double u) const {
        const double v = 1 - u;
        switch (type) {
            case Path::ElementType::MoveTo: return u < 1 ? start : end;
            case Path::ElementType::QuadCurveTo:
                return {v * v * start.x + 2 * v * u * c1.x + u * u * end.x,
                        v * v * start.y + 2 * v * u * c1.y + u * u * end.y};
            case Path::ElementType::CurveTo:
                return {v * v * v * start.x + 3 * v * v * u * c1.x + 3 * v * u * u * c2.x + u * u * u * end.x,
                        v * v * v * start.y + 3 * v * v * u * c1.y + 3 * v * u * u * c2.y + u * u * u * end.y};
            default: return {start.x + (end.x - start.x) * u, start.y + (end.y - start.y) * u};
        }
    }
    bool isJump() const { return type == Path::ElementType::MoveTo; }

    // Lengths along the segment at kSamples even steps of its parameter.
    static constexpr int kSamples = 32;
    std::vector<double> lengths() const {
        std::vector<double> out(kSamples + 1, 0.0);
        if (isJump()) return out;
        Point last = start;
        for (int i = 1; i <= kSamples; ++i) {
            const Point p = at(static_cast<double>(i) / kSamples);
            out[i] = out[i - 1] + std::hypot(p.x - last.x, p.y - last.y);
            last = p;
        }
        return out;
    }
    // The parameter at a fraction of the segment's length.
    double parameterAtLength(double fraction) const {
        const auto l = lengths();
        const double target = fraction * l.back();
        if (!(l.back() > 0)) return fraction;
        for (int i = 1; i <= kSamples; ++i) {
            if (l[i] >= target) {
                const double span = l[i] - l[i - 1];
                const double within = span > 0 ? (target - l[i - 1]) / span : 0;
                return (i - 1 + within) / kSamples;
            }
        }
        return 1;
    }
};

std::vector<PathSegment> segmentsOf(const Path& path) {
    std::vector<PathSegment> out;
    Point current, subpathStart;
    bool first = true;
    for (const auto& e : path.elements()) {
        PathSegment s;
        s.start = current;
        s.type = e.type;
        switch (e.type) {
            case Path::ElementType::MoveTo:
                s.end = e.points[0];
                subpathStart = s.end;
                break;
            case Path::ElementType::LineTo: s.end = e.points[0]; break;
            case Path::ElementType::QuadCurveTo:
                s.c1 = e.points[0];
                s.end = e.points[1];
                break;
            case Path::ElementType::CurveTo:
                s.c1 = e.points[0];
                s.c2 = e.points[1];
                s.end = e.points[2];
                break;
            case Path::ElementType::Close:
                s.type = Path::ElementType::LineTo;
                s.end = subpathStart;
                break;
        }
        current = s.end;
        if (first) {  // the opening move only sets where the path starts
            first = false;
            if (e.type == Path::ElementType::MoveTo) continue;
        }
        out.push_back(s);
    }
    return out;
}

bool validKeyTimes(const std::vector<double>& keyTimes, std::size_t count, bool discrete) {
    if (keyTimes.size() != count && !(discrete && keyTimes.size() == count + 1)) return false;
    double last = 0;
    for (double t : keyTimes) {
        if (!std::isfinite(t) || t < last || t > 1) return false;
        last = t;
    }
    return true;
}

// Boundaries spread by weights (a jump weighs nothing); even when every weight is 0.
std::vector<double> boundariesFromWeights(const std::vector<double>& weights) {
    std::vector<double> out(weights.size() + 1, 0.0);
    double total = 0;
    for (double w : weights) total += w;
    for (std::size_t i = 0; i < weights.size(); ++i)
        out[i + 1] = out[i] + (total > 0 ? weights[i] / total : 1.0 / static_cast<double>(weights.size()));
    out.back() = 1;
    return out;
}

// Each value holds from its key time to the next; without usable key times value i of n holds
// from i/n.
LayerValue discreteValue(const std::vector<LayerValue>& values, const std::vector<double>& keyTimes, double f) {
    const std::size_t n = values.size();
    std::vector<double> boundaries;
    if (validKeyTimes(keyTimes, n, true)) {
        boundaries = keyTimes;
    } else {
        for (std::size_t i = 0; i < n; ++i) boundaries.push_back(static_cast<double>(i) / static_cast<double>(n));
    }
    std::size_t i = 0;
    while (i + 1 < n && boundaries[i + 1] <= f) ++i;
    return values[i];
}

std::optional<LayerValue> keyframeValue(const KeyframeAnimation& a, double simple, const LayerValue& current) {
    double f = simple / a.duration;
    if (a.timingFunction) f = a.timingFunction->evaluate(f);
    const CalculationMode mode = a.calculationMode;
    const bool paced = mode == CalculationMode::Paced || mode == CalculationMode::CubicPaced;
    const bool discrete = mode == CalculationMode::Discrete;

    // A path, for point-valued key paths.
    if (a.path && !a.path->isEmpty() && current.point()) {
        auto segments = segmentsOf(*a.path);
        if (segments.empty()) return LayerValue(a.path->elements().front().points[0]);
        std::vector<Point> vertices{segments.front().start};
        for (const auto& s : segments) vertices.push_back(s.end);
        if (discrete) return discreteValue(std::vector<LayerValue>(vertices.begin(), vertices.end()), a.keyTimes, f);
        std::vector<double> boundaries;
        if (!paced && validKeyTimes(a.keyTimes, vertices.size(), false)) {
            boundaries = a.keyTimes;
        } else {
            std::vector<double> weights;
            for (const auto& s : segments)
                weights.push_back(s.isJump() ? 0.0 : paced ? s.lengths().back() : 1.0);
            boundaries = boundariesFromWeights(weights);
        }
        if (f <= boundaries.front()) return LayerValue(vertices.front());
        if (f >= boundaries[segments.size()]) return LayerValue(vertices.back());
        std::size_t i = 0;
        while (i + 1 < segments.size() && boundaries[i + 1] <= f) ++i;
        const double span = boundaries[i + 1] - boundaries[i];
        double u = span > 0 ? (f - boundaries[i]) / span : 1;
        if (paced) {
            u = segments[i].parameterAtLength(u);
        } else if (i < a.timingFunctions.size()) {
            u = a.timingFunctions[i].evaluate(u);
        }
        return LayerValue(segments[i].at(u));
    }

    const auto& values = a.values;
    if (values.empty()) return std::nullopt;
    if (values.size() == 1) return values.front();
    const std::size_t n = values.size();

    if (discrete) return discreteValue(values, a.keyTimes, f);

    std::vector<double> boundaries;
    if (paced) {
        std::vector<double> weights;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            auto d = distance(values[i], values[i + 1]);
            if (!d) return std::nullopt;
            weights.push_back(*d);
        }
        boundaries = boundariesFromWeights(weights);
    } else if (validKeyTimes(a.keyTimes, n, false)) {
        boundaries = a.keyTimes;
    } else {
        boundaries = boundariesFromWeights(std::vector<double>(n - 1, 1.0));
    }
    if (f <= boundaries.front()) return values.front();
    if (f >= boundaries.back()) return values.back();
    std::size_t i = 0;
    while (i + 2 < n && boundaries[i + 1] <= f) ++i;
    const double span = boundaries[i + 1] - boundaries[i];
    double u = span > 0 ? (f - boundaries[i]) / span : 1;
    if (!paced && i < a.timingFunctions.size()) u = a.timingFunctions[i].evaluate(u);
    if (mode == CalculationMode::Cubic || mode == CalculationMode::CubicPaced) {
        const auto& before = values[i == 0 ? 0 : i - 1];
        const auto& after = values[i + 2 < n ? i + 2 : n - 1];
        return cubic(before, values[i], values[i + 1], after, u);
    }
    return interpolate(values[i], values[i + 1], u);
}

std::optional<LayerValue> propertyValue(const PropertyAnimation& a, double simple, const LayerValue& current) {
    if (auto* basic = dynamic_cast<const BasicAnimation*>(&a)) return basicValue(*basic, simple, current);
    if (auto* keyframe = dynamic_cast<const KeyframeAnimation*>(&a)) return keyframeValue(*keyframe, simple, current);
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
void resolve(Animation& a, double fallbackDuration, const std::optional<TimingFunction>& fallbackTiming) {
    if (!(a.duration > 0) || !std::isfinite(a.duration)) a.duration = fallbackDuration;
    a.beginTime = finiteOr(a.beginTime, 0);
    a.speed = finiteOr(a.speed, 1);
    a.timeOffset = finiteOr(a.timeOffset, 0);
    if (!(a.repeatCount >= 0)) a.repeatCount = 0;         // NaN too; infinity repeats forever
    if (!(a.repeatDuration >= 0)) a.repeatDuration = 0;
    if (!a.timingFunction) a.timingFunction = fallbackTiming;
    if (auto* group = dynamic_cast<AnimationGroup*>(&a)) {
        std::erase(group->animations, nullptr);
        for (auto& child : group->animations) resolve(*child, a.duration, std::nullopt);
    }
}

double activeDuration(const Animation& a) {
    if (a.repeatDuration > 0) return a.repeatDuration;
    const double period = a.duration * (a.autoreverses ? 2 : 1);
    return (a.repeatCount > 0 ? a.repeatCount : 1) * period;
}

double endTime(const Animation& a) {
    const double active = activeDuration(a);
    if (!(a.speed > 0) || !std::isfinite(active)) return INFINITY;
    return a.beginTime + active / a.speed;
}

std::optional<Phase> phaseAt(const Animation& a, double time) {
    const double d = a.duration;
    if (!(d > 0)) return std::nullopt;
    const double active = activeDuration(a);
    double elapsed = a.speed == 0 ? 0 : (time - a.beginTime) * a.speed;
    bool atEnd = false;
    if (elapsed < 0) {
        if (!fillsBackwards(a.fillMode)) return std::nullopt;
        elapsed = 0;
    } else if (elapsed >= active) {
        if (!fillsForwards(a.fillMode)) return std::nullopt;
        elapsed = active;
        atEnd = true;
    }
    // The offset shifts where in its span the animation is, wrapping round within the span.
    double t = elapsed + a.timeOffset;
    if (std::isfinite(active) && (t > active || t < 0)) {
        t = std::fmod(t, active);
        if (t < 0) t += active;
    }
    double k = std::floor(t / d);
    double within = t - k * d;
    if (within < 0) within = 0;
    if (within > d) within = d;
    if (atEnd && within == 0 && t > 0) {  // the end of the last period, not the start of a next
        k -= 1;
        within = d;
    }
    Phase phase;
    if (a.autoreverses) {
        const bool backwards = std::fmod(k, 2) == 1;
        phase.simple = backwards ? d - within : within;
        phase.iteration = std::floor(k / 2);
    } else {
        phase.simple = within;
        phase.iteration = k;
    }
    return phase;
}

void apply(const Animation& a, double time, Layer& target) {
    auto phase = phaseAt(a, time);
    if (!phase) return;
    if (auto* group = dynamic_cast<const AnimationGroup*>(&a)) {
        double local = phase->simple;
        if (a.timingFunction) local = a.timingFunction->evaluate(local / a.duration) * a.duration;
        for (const auto& child : group->animations)
            if (child) apply(*child, local, target);
        return;
    }
    auto* property = dynamic_cast<const PropertyAnimation*>(&a);
    if (!property) return;
    const LayerValue current = target.valueForKeyPath(property->keyPath);
    if (current.isNone()) return;  // not a key path layers have
    auto value = propertyValue(*property, phase->simple, current);
    if (!value) return;
    if (property->cumulative && phase->iteration > 0) {
        auto end = propertyValue(*property, a.duration, current);
        auto before = end ? repeated(*end, phase->iteration) : std::nullopt;
        if (auto sum = before ? add(*value, *before) : std::nullopt) value = sum;
    }
    if (property->additive) {
        value = add(current, *value);
        if (!value) return;
    }
    target.setValue(property->keyPath, *value);
}

std::string_view propertyOf(std::string_view keyPath) { return keyPath.substr(0, keyPath.find('.')); }

bool animatesProperty(const Animation& a, std::string_view property) {
    if (auto* group = dynamic_cast<const AnimationGroup*>(&a)) {
        for (const auto& child : group->animations)
            if (child && animatesProperty(*child, property)) return true;
        return false;
    }
    auto* p = dynamic_cast<const PropertyAnimation*>(&a);
    return p && propertyOf(p->keyPath) == property;
}

}  // namespace qm::platform::anim
