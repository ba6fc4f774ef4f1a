#include "qmui/label.hpp"

#include <cmath>

#include "qmui/canvas.hpp"

namespace qm::platform {

std::shared_ptr<Label> Label::create(std::string text) {
    auto label = std::make_shared<Label>();
    label->setText(std::move(text));
    label->sizeToFit();
    return label;
}

Label::Label(Rect frame) : View(frame) {
    // Labels let touches through to what is under them, as on the platform.
    setUserInteractionEnabled(false);
}

void Label::changed() {
    cache_.valid = false;
    invalidateIntrinsicContentSize();
}

void Label::setText(std::string text) {
    if (text == text_) return;
    text_ = std::move(text);
    changed();
}

void Label::setFont(Font font) {
    if (font == font_) return;
    font_ = std::move(font);
    changed();
}

void Label::setTextColor(Color color) { textColor_ = color; }

void Label::setNumberOfLines(int lines) {
    lines = std::max(0, lines);
    if (lines == lines_) return;
    lines_ = lines;
    changed();
}

void Label::setLineBreakMode(LineBreakMode mode) {
    if (mode == lineBreakMode_) return;
    lineBreakMode_ = mode;
    changed();
}

void Label::setPreferredMaxLayoutWidth(double width) {
    if (!std::isfinite(width) || width < 0) width = 0;
    if (width == preferredMaxLayoutWidth_) return;
    preferredMaxLayoutWidth_ = width;
    changed();
}

double Label::wrapWidth() const {
    if (preferredMaxLayoutWidth_ > 0) return preferredMaxLayoutWidth_;
    // A single line is as wide as its text; more lines wrap at the width the label was given.
    if (lines_ != 1 && bounds().width > 0) return bounds().width;
    return 0;
}

const TextMeasurement& Label::measure(double width) const {
    if (!cache_.valid || cache_.width != width) {
        cache_.result = measureText(text_, font_, width, lines_, lineBreakMode_);
        cache_.width = width;
        cache_.valid = true;
    }
    return cache_.result;
}

Size Label::intrinsicContentSize() const {
    intrinsicWrapWidth_ = wrapWidth();
    return measure(intrinsicWrapWidth_).size;
}

Size Label::sizeThatFits(Size size) const {
    const double width = lines_ == 1 || !(size.width > 0) || !std::isfinite(size.width) ? 0 : size.width;
    return measure(width).size;
}

void Label::layoutSubviews() {
    // Laid out at a new width: lines wrap there now, so the height the label asks for may
    // change. The layout solves again with it (and settles, the width being the same then).
    if (lines_ != 1 && preferredMaxLayoutWidth_ <= 0 && intrinsicWrapWidth_ >= 0 && intrinsicWrapWidth_ != wrapWidth())
        changed();
}

Color Label::displayedTextColor() const {
    if (!enabled_) return textColor_.withAlpha(textColor_.alpha * 0.44);
    if (highlighted_ && highlightedTextColor_) return *highlightedTextColor_;
    return textColor_;
}

void Label::drawContent(Canvas& canvas, const Rect& bounds, double) const {
    if (text_.empty()) return;
    TextStyle style;
    style.font = font_;
    style.color = displayedTextColor();
    style.alignment = alignment_;
    style.numberOfLines = lines_;
    style.lineBreakMode = lineBreakMode_;
    canvas.drawText(text_, bounds, style);
}

}  // namespace qm::platform
