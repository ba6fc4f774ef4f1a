// Measuring text as labels lay it out: for a maximum width and a number of lines, with the
// platform's line-break modes. Results do not depend on the machine or on the scale the text
// is later drawn at; every call is safe from any thread.
#pragma once

#include <string_view>

#include "qmplatform/geometry.hpp"
#include "qmui/font.hpp"

namespace qm::platform {

// The platform's values.
enum class TextAlignment { Left = 0, Center = 1, Right = 2, Justified = 3, Natural = 4 };

// The platform's values. Word wrap breaks a word that is longer than a line between
// characters; clip shows a single line uncut and lets the edge clip it; the truncating modes
// put an ellipsis on the last line shown when text is left out.
enum class LineBreakMode {
    WordWrap = 0,
    CharWrap = 1,
    Clip = 2,
    TruncateHead = 3,
    TruncateTail = 4,
    TruncateMiddle = 5,
};

struct TextMeasurement {
    // Rounded up to whole points, as labels report their intrinsic size; never wider than the
    // maximum width. Zero for empty text.
    Size size;
    // From the top of the text to the baseline of its first and last line (not rounded).
    double firstBaseline = 0, lastBaseline = 0;
    int lineCount = 0;
    // Text was left out (lines dropped, or an ellipsis stands for part of it).
    bool truncated = false;
};

// `maxWidth` of zero, negative or infinite: no limit (one line per paragraph).
// `numberOfLines` 0: as many lines as the text needs.
TextMeasurement measureText(std::string_view utf8, const Font& font, double maxWidth = 0, int numberOfLines = 0,
                            LineBreakMode mode = LineBreakMode::WordWrap);

}  // namespace qm::platform
