#include "inapp/qmInAppColors.hpp"

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace qm::inapp {

namespace {

struct Parsed {
    platform::Color color;
    bool hex = false;
};

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    const auto e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> split(const std::string& s, const std::string& separators) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : s) {
        if (separators.find(c) != std::string::npos) {
            pieces.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    pieces.push_back(piece);
    return pieces;
}

// A number as a scanner reads one: leading blanks, then as much of a decimal number as there
// is; nothing when no digit comes.
std::optional<double> number(const std::string& s) {
    const std::string t = trimmed(s);
    if (t.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<Parsed> parse(const Value& value) {
    if (!value.isString()) return std::nullopt;
    const std::string text = trimmed(value.string());
    if (text.empty()) return std::nullopt;
    if (text[0] == '#') {
        // As much of a hexadecimal number as there is (none reads as black).
        unsigned long v = 0;
        for (std::size_t i = 1; i < text.size() && i <= 8; ++i) {
            const char c = text[i];
            const int digit = c >= '0' && c <= '9' ? c - '0'
                            : c >= 'a' && c <= 'f' ? c - 'a' + 10
                            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : -1;
            if (digit < 0) break;
            v = v * 16 + static_cast<unsigned long>(digit);
        }
        return Parsed{platform::Color::rgba(((v >> 16) & 0xFF) / 255.0, ((v >> 8) & 0xFF) / 255.0, (v & 0xFF) / 255.0, 1),
                      true};
    }
    const auto pieces = split(text, "()");
    if (pieces.size() < 2) return std::nullopt;
    const auto parts = split(pieces[1], ",");
    if (parts.size() < 4) return std::nullopt;
    const auto r = number(parts[0]), g = number(parts[1]), b = number(parts[2]), a = number(parts[3]);
    if (!r || !g || !b || !a) return std::nullopt;
    return Parsed{platform::Color::rgba(*r / 255.0, *g / 255.0, *b / 255.0, *a), false};
}

}  // namespace

platform::Color GetColor(const Value& text) {
    const auto parsed = parse(text);
    return parsed ? parsed->color : platform::Color::rgba(0, 0, 0, 0);
}

platform::Color GetButtonColor(const Value& text) {
    platform::Color color = GetColor(text);
    if (color.alpha == 0) color.alpha = 1;
    return color;
}

bool shouldHideCloseButton(const Value& text) {
    const auto parsed = parse(text);
    if (!parsed) return true;
    return !parsed->hex && parsed->color.alpha == 0;
}

}  // namespace qm::inapp
