// Labels: read-only text in a font and colour, on one line or several, aligned and truncated
// as the platform does. A label measures its text with Pango (measureText) and draws it the
// same way, so its intrinsic size is exactly what it draws.
#pragma once

#include <memory>
#include <string>

#include "qmui/text.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

class Label : public View {
public:
    // A label showing `text`, sized to fit it.
    static std::shared_ptr<Label> create(std::string text = {});
    explicit Label(Rect frame = {});
    std::string className() const override { return "UILabel"; }

    const std::string& text() const { return text_; }
    void setText(std::string text);
    // The system font of 17 points until changed.
    const Font& font() const { return font_; }
    void setFont(Font font);
    Color textColor() const { return textColor_; }
    void setTextColor(Color color);
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }
    // 1 until changed; 0 is as many lines as the text needs. Negative counts are taken as 0.
    int numberOfLines() const { return lines_; }
    void setNumberOfLines(int lines);
    LineBreakMode lineBreakMode() const { return lineBreakMode_; }
    void setLineBreakMode(LineBreakMode mode);
    // A disabled label draws its text greyed out.
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    // The colour used while highlighted (the text colour when not set).
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
    std::optional<Color> highlightedTextColor() const { return highlightedTextColor_; }
    void setHighlightedTextColor(std::optional<Color> color) { highlightedTextColor_ = color; }

    // The width a multi-line label wraps its text at when measuring its intrinsic size. 0
    // (the default): the label's own width once it has been laid out, so that a label pinned
    // on both sides grows in height to show its lines, as on the platform.
    double preferredMaxLayoutWidth() const { return preferredMaxLayoutWidth_; }
    void setPreferredMaxLayoutWidth(double width);

    // The text's size, rounded up to whole points (zero for no text).
    Size intrinsicContentSize() const override;
    // The size the text takes when wrapped at `size.width` (no limit when it is not a
    // positive number), within the number of lines.
    Size sizeThatFits(Size size) const override;
    // The colour the text is drawn in now (disabled and highlighted taken into account).
    Color displayedTextColor() const;
    void drawContent(Canvas& canvas, const Rect& bounds, double time) const override;
    void layoutSubviews() override;

private:
    // The text measured at `width` (cached: layout asks for the same size many times).
    const TextMeasurement& measure(double width) const;
    double wrapWidth() const;
    // What is measured changed: forget the cached size and tell the layout.
    void changed();

    std::string text_;
    Font font_ = Font::systemFont(Font::kDefaultSize);
    Color textColor_ = Color::black();
    TextAlignment alignment_ = TextAlignment::Natural;
    int lines_ = 1;
    LineBreakMode lineBreakMode_ = LineBreakMode::TruncateTail;
    bool enabled_ = true, highlighted_ = false;
    std::optional<Color> highlightedTextColor_;
    double preferredMaxLayoutWidth_ = 0;
    mutable double intrinsicWrapWidth_ = -1;  // the width the layout last measured at (-1: never)

    struct Cache {
        bool valid = false;
        double width = 0;
        TextMeasurement result;
    };
    mutable Cache cache_;
};

}  // namespace qm::platform
