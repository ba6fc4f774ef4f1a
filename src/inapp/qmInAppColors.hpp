// Colour texts of campaign records: "#RRGGBB", or "rgba(r, g, b, a)" with red, green and blue
// from 0 to 255 and alpha from 0 to 1. An absent, empty or malformed text reads as red, green,
// blue and alpha 0.
#pragma once

#include "qmui/color.hpp"
#include "quelmar/value.hpp"

namespace qm::inapp {

// The colour of a text (clear when absent).
platform::Color GetColor(const Value& text);
// The same, but a fully transparent colour becomes opaque (button titles stay readable).
platform::Color GetButtonColor(const Value& text);
// Whether a call-to-action colour asks for no close button: an "rgba" text whose alpha is 0,
// or no colour at all.
bool shouldHideCloseButton(const Value& text);

}  // namespace qm::inapp
