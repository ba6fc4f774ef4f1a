// A keyframe animation that springs from a start value to an end value with damped bounces.
// It computes its keyframes when a property is set (60 per second of duration), so nothing is
// computed while it runs. Numbers become `values`; colours, rectangles and 3D transforms
// become `values` from their second keyframe on; points and sizes become a `path`.
//
//     QM_BounceAnimation spring("position.x");
//     spring.setDuration(0.5);
//     spring.setNumberOfBounces(4);
//     spring.setStiffness(QMBounceAnimationStiffnessLight);
//     spring.setFromValue(0.0);
//     spring.setToValue(195.0);
//     view->layer().addAnimation(spring, "someKey");
#pragma once

#include <string>

#include "qmui/animation.hpp"

namespace qm {

// How quickly the bounces die away: the light stiffness bounces longest.
extern const double QMBounceAnimationStiffnessLight;   // 5.0
extern const double QMBounceAnimationStiffnessMedium;  // 0.1 in single precision
extern const double QMBounceAnimationStiffnessHeavy;   // 0.001 in single precision

class QM_BounceAnimation : public platform::KeyframeAnimation {
public:
    static QM_BounceAnimation animationWithKeyPath(std::string keyPath) { return QM_BounceAnimation(std::move(keyPath)); }
    QM_BounceAnimation() : QM_BounceAnimation(std::string()) {}
    explicit QM_BounceAnimation(std::string keyPath);
    std::shared_ptr<platform::Animation> clone() const override { return std::make_shared<QM_BounceAnimation>(*this); }

    const platform::LayerValue& fromValue() const { return fromValue_; }
    void setFromValue(platform::LayerValue value);
    const platform::LayerValue& toValue() const { return toValue_; }
    void setToValue(platform::LayerValue value);
    // Not used by the computation.
    platform::LayerValue byValue;
    unsigned long numberOfBounces() const { return numberOfBounces_; }
    void setNumberOfBounces(unsigned long bounces);
    double stiffness() const { return stiffness_; }
    void setStiffness(double stiffness);
    bool shouldOvershoot() const { return shouldOvershoot_; }
    void setShouldOvershoot(bool overshoot);
    // Oscillates with the sine instead of the cosine: starts at the end value and swings.
    bool shake() const { return shake_; }
    void setShake(bool shake);
    // Sets `duration` and computes the keyframes again (writing `duration` directly does not).
    void setDuration(double seconds);

    // The keyframes of one scalar from `start` to `end` with the current settings.
    std::vector<float> keyframes(double start, double end) const;

private:
    void recompute();
    platform::LayerValue fromValue_, toValue_;
    unsigned long numberOfBounces_ = 2;
    double stiffness_;
    bool shouldOvershoot_ = true;
    bool shake_ = false;
};

}  // namespace qm
