// Fonts as labels and drawing use them: a family, a size in points, a weight and a slant.
// The system family is DejaVu Sans, so that text measures and draws alike on every machine.
// Metrics come from Pango with fixed options (no hinting of metrics, one resolution: one
// point is one unit at scale 1); every call is safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

enum class FontWeight { Regular, Medium, Semibold, Bold };

struct Font {
    // Sizes that are not a positive number fall back to the label's default (17 points);
    // others are held between kMinimumSize and kMaximumSize.
    static constexpr double kDefaultSize = 17;
    static constexpr double kMinimumSize = 1;
    static constexpr double kMaximumSize = 1000;
    static constexpr const char* kSystemFamily = "DejaVu Sans";

    std::string family = kSystemFamily;
    double pointSize = kDefaultSize;
    FontWeight weight = FontWeight::Regular;
    bool italic = false;

    static Font systemFont(double size);
    static Font boldSystemFont(double size);
    static Font systemFont(double size, FontWeight weight);
    static Font italicSystemFont(double size);
    // A font by its family name ("DejaVu Serif") or its face name ("DejaVuSans-BoldOblique",
    // "DejaVu Sans Mono Bold"); nothing when no installed family has that name.
    static std::optional<Font> fontWithName(std::string_view name, double size);

    Font withSize(double size) const;
    // "DejaVuSans-BoldOblique": the face name fontWithName reads back.
    std::string fontName() const;

    // In points. The line height is what one line of text takes in a label (ascender plus
    // descent); the descender is negative, as the platform reports it.
    double lineHeight() const;
    double ascender() const;
    double descender() const;

    friend bool operator==(const Font&, const Font&) = default;
};

}  // namespace qm::platform
