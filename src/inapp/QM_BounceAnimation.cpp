#include "quelmar/QM_BounceAnimation.hpp"

#include <cmath>
#include <numbers>

namespace qm {

const double QMBounceAnimationStiffnessLight = 5.0;
const double QMBounceAnimationStiffnessMedium = static_cast<double>(0.1f);
const double QMBounceAnimationStiffnessHeavy = static_cast<double>(0.001f);

using platform::LayerValue;

QM_BounceAnimation::QM_BounceAnimation(std::string path)
    : KeyframeAnimation(std::move(path)), stiffness_(QMBounceAnimationStiffnessMedium) {
    timingFunction = platform::TimingFunction::linear();
}

void QM_BounceAnimation::setFromValue(LayerValue value) {
    fromValue_ = std::move(value);
    recompute();
}
void QM_BounceAnimation::setToValue(LayerValue value) {
    toValue_ = std::move(value);
    recompute();
}
void QM_BounceAnimation::setNumberOfBounces(unsigned long bounces) {
    numberOfBounces_ = bounces;
    recompute();
}
void QM_BounceAnimation::setStiffness(double stiffness) {
    stiffness_ = stiffness;
    recompute();
}
void QM_BounceAnimation::setShouldOvershoot(bool overshoot) {
    shouldOvershoot_ = overshoot;
    recompute();
}
void QM_BounceAnimation::setShake(bool shake) {
    shake_ = shake;
    recompute();
}
void QM_BounceAnimation::setDuration(double seconds) {
    duration = seconds;
    recompute();
}

std::vector<float> QM_BounceAnimation::keyframes(double start, double end) const {
    // A duration that is not a sensible number of frames gives none (and never a huge list).
    if (!(duration > 0) || !std::isfinite(duration) || duration > 3600) return {};
    const int steps = static_cast<int>(duration * 60);
    if (steps <= 0 || !std::isfinite(start) || !std::isfinite(end)) return {};
    const double distance = start == end ? 1.0 : std::fabs(end - start);
    const float alpha = std::log2(static_cast<float>(stiffness_ / distance)) / static_cast<float>(steps);
    const float decay = -std::fabs(alpha);
    const unsigned long half = numberOfBounces_ / 2;
    const double omega = (static_cast<double>(half) + 0.5) * 2 * std::numbers::pi / steps;
    std::vector<float> values;
    values.reserve(static_cast<std::size_t>(steps));
    for (int i = 0; i < steps; ++i) {
        double oscillation = shake_ ? std::sin(omega * i) : std::cos(omega * i);
        if (!shouldOvershoot_) oscillation = std::fabs(oscillation);
        values.push_back(static_cast<float>(std::pow(2.71, i * decay) * (start - end) * oscillation + end));
    }
    return values;
}

void QM_BounceAnimation::recompute() {
    values.clear();
    path.reset();
    if (fromValue_.isNone() || toValue_.isNone() || !(duration > 0)) return;
    if (fromValue_.kind() != toValue_.kind()) return;

    // Lists of several scalars, one per component, taken together from index `first` on.
    auto lists = [&](std::initializer_list<std::pair<double, double>> components) {
        std::vector<std::vector<float>> out;
        for (const auto& [s, e] : components) out.push_back(keyframes(s, e));
        return out;
    };
    auto frameCount = [](const std::vector<std::vector<float>>& l) { return l.empty() ? std::size_t{0} : l[0].size(); };

    switch (fromValue_.kind()) {
    case LayerValue::Kind::Number:
        for (float v : keyframes(*fromValue_.number(), *toValue_.number())) values.emplace_back(static_cast<double>(v));
        break;
    case LayerValue::Kind::Color: {
        const auto a = *fromValue_.color(), b = *toValue_.color();
        const auto l = lists({{a.red, b.red}, {a.green, b.green}, {a.blue, b.blue}, {a.alpha, b.alpha}});
        for (std::size_t i = 1; i < frameCount(l); ++i) values.emplace_back(platform::Color::rgba(l[0][i], l[1][i], l[2][i], l[3][i]));
        break;
    }
    case LayerValue::Kind::Rect: {
        const auto a = *fromValue_.rect(), b = *toValue_.rect();
        const auto l = lists({{a.x, b.x}, {a.y, b.y}, {a.width, b.width}, {a.height, b.height}});
        for (std::size_t i = 1; i < frameCount(l); ++i) values.emplace_back(platform::Rect{l[0][i], l[1][i], l[2][i], l[3][i]});
        break;
    }
    case LayerValue::Kind::Point:
    case LayerValue::Kind::Size: {
        const bool isPoint = fromValue_.kind() == LayerValue::Kind::Point;
        const platform::Point a = isPoint ? *fromValue_.point() : platform::Point{fromValue_.size()->width, fromValue_.size()->height};
        const platform::Point b = isPoint ? *toValue_.point() : platform::Point{toValue_.size()->width, toValue_.size()->height};
        const auto l = lists({{a.x, b.x}, {a.y, b.y}});
        if (frameCount(l) == 0) break;
        platform::Path p;
        p.moveTo({l[0][0], l[1][0]});
        for (std::size_t i = 1; i < frameCount(l); ++i) p.lineTo({l[0][i], l[1][i]});
        path = std::move(p);
        break;
    }
    case LayerValue::Kind::Transform: {
        const auto a = *fromValue_.transform(), b = *toValue_.transform();
        const auto l = lists({{a.m11, b.m11}, {a.m12, b.m12}, {a.m13, b.m13}, {a.m14, b.m14},
                              {a.m21, b.m21}, {a.m22, b.m22}, {a.m23, b.m23}, {a.m24, b.m24},
                              {a.m31, b.m31}, {a.m32, b.m32}, {a.m33, b.m33}, {a.m34, b.m34},
                              {a.m41, b.m41}, {a.m42, b.m42}, {a.m43, b.m43}, {a.m44, b.m44}});
        for (std::size_t i = 1; i < frameCount(l); ++i) {
            platform::Transform3D t;
            double* entries[] = {&t.m11, &t.m12, &t.m13, &t.m14, &t.m21, &t.m22, &t.m23, &t.m24,
                                 &t.m31, &t.m32, &t.m33, &t.m34, &t.m41, &t.m42, &t.m43, &t.m44};
            for (std::size_t k = 0; k < 16; ++k) *entries[k] = l[k][i];
            values.emplace_back(t);
        }
        break;
    }
    default: break;
    }
}

}  // namespace qm
