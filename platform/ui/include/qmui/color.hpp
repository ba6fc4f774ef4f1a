// Colours as views, layers and drawing use them: red, green, blue and alpha in 0…1, not
// premultiplied.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

struct Color {
    double red = 0, green = 0, blue = 0, alpha = 0;

    static Color rgba(double r, double g, double b, double a = 1) { return {r, g, b, a}; }
    static Color white(double w, double a = 1) { return {w, w, w, a}; }
    // "#RGB", "#RRGGBB" or "#RRGGBBAA" (the "#" may be left out); nothing for other text.
    static std::optional<Color> fromHex(std::string_view text);

    static Color clear() { return {}; }
    static Color black() { return {0, 0, 0, 1}; }
    static Color whiteColor() { return {1, 1, 1, 1}; }
    static Color gray() { return {0.5, 0.5, 0.5, 1}; }
    static Color lightGray() { return {2.0 / 3, 2.0 / 3, 2.0 / 3, 1}; }
    static Color darkGray() { return {1.0 / 3, 1.0 / 3, 1.0 / 3, 1}; }
    static Color redColor() { return {1, 0, 0, 1}; }
    static Color greenColor() { return {0, 1, 0, 1}; }
    static Color blueColor() { return {0, 0, 1, 1}; }
    // The platform's tint for system buttons and links.
    static Color systemBlue() { return {0, 122.0 / 255, 1, 1}; }

    Color withAlpha(double a) const { return {red, green, blue, a}; }
    // "#RRGGBBAA", for logs and test failures.
    std::string hex() const;

    friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace qm::platform
