// Laying out label text with Pango: wrapping, the line limit and truncation. Measuring and
// drawing share it, so that text draws exactly as it was measured (private to the screen
// library).
#pragma once

#include <string_view>

#include "pango_support.hpp"
#include "qmui/text.hpp"

namespace qm::platform::draw {

struct TextLayout {
    GRef<PangoLayout> layout;  // the text as shown; none for empty text
    // Logical size of the lines shown (not rounded; the width held to the maximum width), and
    // the baselines from the top.
    double width = 0, height = 0;
    double firstBaseline = 0, lastBaseline = 0;
    int lineCount = 0;
    bool truncated = false;
};

TextLayout layOutText(std::string_view utf8, const Font& font, double maxWidth, int maxLines, LineBreakMode mode);

}  // namespace qm::platform::draw
