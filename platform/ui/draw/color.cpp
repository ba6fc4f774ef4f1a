#include "qmui/color.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qm::platform {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<Color> Color::fromHex(std::string_view text) {
    if (!text.empty() && text.front() == '#') text.remove_prefix(1);
    if (text.size() != 3 && text.size() != 6 && text.size() != 8) return std::nullopt;
    int digits[8] = {};
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((digits[i] = hexDigit(text[i])) < 0) return std::nullopt;
    if (text.size() == 3) return Color{digits[0] * 17 / 255.0, digits[1] * 17 / 255.0, digits[2] * 17 / 255.0, 1};
    auto byte = [&](int at) { return (digits[at] * 16 + digits[at + 1]) / 255.0; };
    return Color{byte(0), byte(2), byte(4), text.size() == 8 ? byte(6) : 1.0};
}

std::string Color::hex() const {
    auto byte = [](double v) {
        return static_cast<int>(std::lround(std::clamp(std::isfinite(v) ? v : 0.0, 0.0, 1.0) * 255));
    };
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "#%02X%02X%02X%02X", byte(red), byte(green), byte(blue), byte(alpha));
    return buffer;
}

}  // namespace qm::platform
