#include "text_layout.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace qm::platform::draw {

namespace {

constexpr const char* kEllipsis = "\xE2\x80\xA6";
// Longer text is cut (at a character boundary) before layout: no label shows this much, and
// Pango counts in int.
constexpr std::size_t kMaxTextBytes = 1 << 22;
// Widths past this are no limit (Pango's units would overflow).
constexpr double kMaxWrapWidth = 1e6;

bool isLimit(double width) { return std::isfinite(width) && width > 0 && width < kMaxWrapWidth; }

bool truncates(LineBreakMode mode) {
    return mode == LineBreakMode::TruncateHead || mode == LineBreakMode::TruncateTail ||
           mode == LineBreakMode::TruncateMiddle;
}

class Layouter {
public:
    Layouter(const Font& font, double wrapWidth, PangoWrapMode wrap)
        : description_(font), wrapWidth_(wrapWidth), wrap_(wrap) {}

    GRef<PangoLayout> make(const std::string& text, bool wraps = true) const {
        GRef<PangoLayout> layout(pango_layout_new(threadContext()));
        pango_layout_set_font_description(layout.get(), description_.get());
        pango_layout_set_wrap(layout.get(), wrap_);
        // Lines broken inside a word end without a hyphen, as on the platform.
        PangoAttrList* attributes = pango_attr_list_new();
        pango_attr_list_insert(attributes, pango_attr_insert_hyphens_new(FALSE));
        pango_layout_set_attributes(layout.get(), attributes);
        pango_attr_list_unref(attributes);
        if (wraps && wrapWidth_ > 0) pango_layout_set_width(layout.get(), static_cast<int>(wrapWidth_ * PANGO_SCALE));
        pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
        return layout;
    }

    // Width of the text on one line, unwrapped.
    double width(const std::string& text) const {
        if (!probe_) probe_ = make(std::string(), false);
        pango_layout_set_text(probe_.get(), text.data(), static_cast<int>(text.size()));
        PangoRectangle logical;
        pango_layout_get_extents(probe_.get(), nullptr, &logical);
        return fromPango(logical.width);
    }

private:
    FontDescription description_;
    double wrapWidth_;
    PangoWrapMode wrap_;
    mutable GRef<PangoLayout> probe_;
};

struct LineSpan {
    int start = 0, length = 0;  // bytes; the paragraph break after a line is not in it
};

std::vector<LineSpan> lineSpans(PangoLayout* layout) {
    std::vector<LineSpan> spans;
    for (GSList* l = pango_layout_get_lines_readonly(layout); l; l = l->next) {
        const auto* line = static_cast<PangoLayoutLine*>(l->data);
        spans.push_back({line->start_index, line->length});
    }
    return spans;
}

// Paragraph breaks as spaces: what is left for the last line is shown on one line.
std::string joinedOnOneLine(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += ' ';
        } else if (c == '\n') {
            out += ' ';
        } else if (text.compare(i, 3, "\xE2\x80\xA8") == 0 || text.compare(i, 3, "\xE2\x80\xA9") == 0) {
            out += ' ';
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// Byte offsets where the text may be cut without splitting a character as the reader sees
// it, from 0 to the end.
std::vector<std::size_t> cutPoints(const std::string& text) {
    std::vector<std::size_t> points;
    const glong count = g_utf8_strlen(text.data(), static_cast<gssize>(text.size()));
    std::vector<PangoLogAttr> attrs(static_cast<std::size_t>(count) + 1);
    pango_get_log_attrs(text.data(), static_cast<int>(text.size()), -1, pango_language_from_string("en"),
                        attrs.data(), static_cast<int>(attrs.size()));
    const char* p = text.data();
    for (glong i = 0; i <= count; ++i) {
        if (attrs[static_cast<std::size_t>(i)].is_cursor_position || i == 0 || i == count)
            points.push_back(static_cast<std::size_t>(p - text.data()));
        if (i < count) p = g_utf8_next_char(p);
    }
    return points;
}

std::string trimmedEnd(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}

std::string trimmedStart(std::string text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    return text.substr(i);
}

// The line as shown in `maxWidth`: whole when it fits, else as many characters as fit with
// the ellipsis at the head, the middle or the tail. Empty when not even the ellipsis fits.
std::string ellipsized(const Layouter& layouter, const std::string& line, double maxWidth, LineBreakMode mode) {
    if (layouter.width(line) <= maxWidth) return line;
    const std::vector<std::size_t> cuts = cutPoints(line);
    const int n = static_cast<int>(cuts.size()) - 1;  // characters
    auto keeping = [&](int k) {
        switch (mode) {
            case LineBreakMode::TruncateHead: return kEllipsis + trimmedStart(line.substr(cuts[n - k]));
            case LineBreakMode::TruncateMiddle: {
                const int head = (k + 1) / 2, tail = k / 2;
                return trimmedEnd(line.substr(0, cuts[head])) + kEllipsis + trimmedStart(line.substr(cuts[n - tail]));
            }
            default: return trimmedEnd(line.substr(0, cuts[k])) + kEllipsis;
        }
    };
    // The most characters that fit with the ellipsis; fewer characters are never wider.
    int low = -1, high = n;  // keeping(low) fits (low = -1: nothing does), keeping(high) does not
    while (high - low > 1) {
        const int mid = low + (high - low) / 2;
        if (layouter.width(keeping(mid)) <= maxWidth)
            low = mid;
        else
            high = mid;
    }
    return low < 0 ? std::string() : keeping(low);
}

}  // namespace

TextLayout layOutText(std::string_view utf8, const Font& font, double maxWidth, int maxLines, LineBreakMode mode) {
    TextLayout out;
    std::string text = validUTF8(utf8.substr(0, std::min(utf8.size(), kMaxTextBytes)));
    if (text.empty()) return out;
    if (maxLines < 0) maxLines = 0;

    const bool limited = isLimit(maxWidth);
    // A single clipped line runs on past the edge; everything else wraps at the width.
    const bool wraps = limited && !(mode == LineBreakMode::Clip && maxLines == 1);
    const Layouter layouter(font, wraps ? maxWidth : -1,
                            mode == LineBreakMode::CharWrap ? PANGO_WRAP_CHAR : PANGO_WRAP_WORD_CHAR);
    GRef<PangoLayout> layout = layouter.make(text);
    std::vector<LineSpan> spans = lineSpans(layout.get());

    if (maxLines > 0 && static_cast<int>(spans.size()) > maxLines) {
        out.truncated = true;
        const LineSpan& last = spans[static_cast<std::size_t>(maxLines) - 1];
        std::string shown;
        if (truncates(mode)) {
            // The lines before the last stay as they were; the last holds what is left.
            shown = text.substr(0, static_cast<std::size_t>(last.start));
            if (maxLines > 1) {
                const LineSpan& before = spans[static_cast<std::size_t>(maxLines) - 2];
                if (before.start + before.length == last.start) shown += '\n';  // was a soft break
            }
            const std::string rest = joinedOnOneLine(std::string_view(text).substr(static_cast<std::size_t>(last.start)));
            const std::string lastLine = limited ? ellipsized(layouter, rest, maxWidth, mode) : rest;
            // Only the line breaks were lost when the rest fits on the last line.
            out.truncated = lastLine != rest;
            shown += lastLine;
        } else {
            shown = text.substr(0, static_cast<std::size_t>(last.start + last.length));
        }
        layout = layouter.make(shown);
        spans = lineSpans(layout.get());
        if (static_cast<int>(spans.size()) > maxLines) {
            // Re-wrapping the kept part came out differently; drop what runs over.
            const LineSpan& over = spans[static_cast<std::size_t>(maxLines) - 1];
            shown.resize(static_cast<std::size_t>(over.start + over.length));
            layout = layouter.make(shown);
        }
    }

    PangoLayoutIter* it = pango_layout_get_iter(layout.get());
    double widest = 0;
    int lines = 0;
    do {
        PangoRectangle logical;
        pango_layout_iter_get_line_extents(it, nullptr, &logical);
        widest = std::max(widest, fromPango(logical.width));
        const double baseline = fromPango(pango_layout_iter_get_baseline(it));
        if (lines++ == 0) out.firstBaseline = baseline;
        out.lastBaseline = baseline;
    } while (pango_layout_iter_next_line(it));
    pango_layout_iter_free(it);

    PangoRectangle logical;
    pango_layout_get_extents(layout.get(), nullptr, &logical);
    out.width = limited ? std::min(widest, maxWidth) : widest;
    out.height = fromPango(logical.height);
    out.lineCount = lines;
    out.layout = std::move(layout);
    return out;
}

}  // namespace qm::platform::draw

namespace qm::platform {

TextMeasurement measureText(std::string_view utf8, const Font& font, double maxWidth, int numberOfLines,
                            LineBreakMode mode) {
    const draw::TextLayout laid = draw::layOutText(utf8, font, maxWidth, numberOfLines, mode);
    TextMeasurement out;
    if (!laid.layout) return out;
    out.size = {std::ceil(laid.width), std::ceil(laid.height)};
    out.firstBaseline = laid.firstBaseline;
    out.lastBaseline = laid.lastBaseline;
    out.lineCount = laid.lineCount;
    out.truncated = laid.truncated;
    return out;
}

}  // namespace qm::platform
