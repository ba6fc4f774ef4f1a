// How an animation a layer holds shapes the layer's presentation at a given time.
#pragma once

#include <optional>
#include <string_view>

#include "qmui/animation.hpp"

namespace qm::platform {
class Layer;
}

namespace qm::platform::anim {

// Readies the copy of an animation a layer keeps: numbers it cannot use fall back (a
// non-finite speed to 1, negative or non-finite repeats to none, …), a missing duration takes
// `fallbackDuration`, a missing timing function `fallbackTiming`. A group's children get the
// group's duration when they have none.
void resolve(Animation& animation, double fallbackDuration, const std::optional<TimingFunction>& fallbackTiming);

// The span the animation is active for, in its own time (may be infinite).
double activeDuration(const Animation& animation);
// When the active span ends in the holder's time; infinite when it never does (repeats
// forever, or a speed of 0 or below).
double endTime(const Animation& animation);

// Where the animation is at `time` (the holder's time): the time within one duration
// (0…duration, already turned round when autoreversing) and how many whole periods lie behind
// it. Nothing when it shows nothing then (before or after its span without a fill).
struct Phase {
    double simple = 0;
    double iteration = 0;
};
std::optional<Phase> phaseAt(const Animation& animation, double time);

// Applies the animation as it is at `time` to the properties of `target`.
void apply(const Animation& animation, double time, Layer& target);

// The property a key path belongs to: "position" for "position.x".
std::string_view propertyOf(std::string_view keyPath);
// True when the animation (or a child of a group) animates that property.
bool animatesProperty(const Animation& animation, std::string_view property);

}  // namespace qm::platform::anim
