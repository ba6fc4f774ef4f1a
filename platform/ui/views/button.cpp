#include "qmui/button.hpp"

#include <algorithm>
#include <cmath>

#include "qmui/canvas.hpp"

namespace qm::platform {

namespace {

// A system button's title: 6 points above and below; the smallest side of a system button.
constexpr double kSystemTitlePadding = 6;
constexpr double kSystemMinimumSide = 30;
constexpr double kHighlightedDimming = 0.2;

// The title label draws in the colour its button shows now, so that a system button follows
// the tint colour it inherits from wherever it is placed.
class ButtonTitleLabel final : public Label {
public:
    std::weak_ptr<const Button> owner;

    void drawContent(Canvas& canvas, const Rect& bounds, double) const override {
        if (text().empty()) return;
        TextStyle style;
        style.font = font();
        auto button = owner.lock();
        style.color = button ? button->displayedTitleColor() : textColor();
        style.alignment = textAlignment();
        style.numberOfLines = numberOfLines();
        style.lineBreakMode = lineBreakMode();
        canvas.drawText(text(), bounds, style);
    }
};

// Moves `r` as if it had been placed in the area less `insets` with the same alignment.
Rect applyInsets(Rect r, const EdgeInsets& insets, ControlContentHorizontalAlignment h, ControlContentVerticalAlignment v) {
    switch (h) {
        case ControlContentHorizontalAlignment::Center: r.x += (insets.left - insets.right) / 2; break;
        case ControlContentHorizontalAlignment::Left:
        case ControlContentHorizontalAlignment::Leading: r.x += insets.left; break;
        case ControlContentHorizontalAlignment::Right:
        case ControlContentHorizontalAlignment::Trailing: r.x -= insets.right; break;
        case ControlContentHorizontalAlignment::Fill:
            r.x += insets.left;
            r.width = std::max(0.0, r.width - insets.left - insets.right);
            break;
    }
    switch (v) {
        case ControlContentVerticalAlignment::Center: r.y += (insets.top - insets.bottom) / 2; break;
        case ControlContentVerticalAlignment::Top: r.y += insets.top; break;
        case ControlContentVerticalAlignment::Bottom: r.y -= insets.bottom; break;
        case ControlContentVerticalAlignment::Fill:
            r.y += insets.top;
            r.height = std::max(0.0, r.height - insets.top - insets.bottom);
            break;
    }
    return r;
}

double placeVertically(const Rect& area, double height, ControlContentVerticalAlignment v, double* outHeight) {
    *outHeight = height;
    switch (v) {
        case ControlContentVerticalAlignment::Top: return area.y;
        case ControlContentVerticalAlignment::Bottom: return area.maxY() - height;
        case ControlContentVerticalAlignment::Fill: *outHeight = std::max(0.0, area.height); return area.y;
        case ControlContentVerticalAlignment::Center: break;
    }
    return area.y + (area.height - height) / 2;
}

bool finite(const EdgeInsets& e) {
    return std::isfinite(e.top) && std::isfinite(e.left) && std::isfinite(e.bottom) && std::isfinite(e.right);
}

}  // namespace

std::shared_ptr<Button> Button::create(ButtonType type) {
    auto button = std::make_shared<Button>(type);
    button->ensureSubviews();
    return button;
}

Button::Button(ButtonType type, Rect frame) : Control(frame), type_(type) {
    titleLabel_ = std::make_shared<ButtonTitleLabel>();
    titleLabel_->setFont(Font::systemFont(kDefaultFontSize));
    titleLabel_->setLineBreakMode(LineBreakMode::TruncateMiddle);
    titleLabel_->setHidden(true);
    imageView_ = std::make_shared<ImageView>();
    imageView_->setHidden(true);
}

void Button::ensureSubviews() {
    auto self = std::dynamic_pointer_cast<Button>(weak_from_this().lock());
    if (!self) return;
    if (titleLabel_->superview().get() != this) {
        static_cast<ButtonTitleLabel&>(*titleLabel_).owner = self;
        addSubview(imageView_);
        addSubview(titleLabel_);
    }
    updateContent();
}

// ---- Values per state -----------------------------------------------------------------------

void Button::setTitle(std::optional<std::string> title, unsigned state) {
    if (title) titles_[state] = std::move(*title);
    else titles_.erase(state);
    updateContent();
}

std::optional<std::string> Button::titleForState(unsigned state) const {
    if (const auto* title = lookup(titles_, state)) return *title;
    return std::nullopt;
}

void Button::setTitleColor(std::optional<Color> color, unsigned state) {
    if (color) titleColors_[state] = *color;
    else titleColors_.erase(state);
    updateContent();
}

Color Button::titleColorForState(unsigned state) const {
    if (const auto* color = lookup(titleColors_, state)) return *color;
    if (type_ == ButtonType::Custom) return Color::whiteColor();
    if (state & ControlStateDisabled) return Color::rgba(0.6, 0.6, 0.6);
    return tintColor();
}

void Button::setImage(std::shared_ptr<Image> image, unsigned state) {
    if (image) images_[state] = std::move(image);
    else images_.erase(state);
    updateContent();
}

std::shared_ptr<Image> Button::imageForState(unsigned state) const {
    const auto* image = lookup(images_, state);
    return image ? *image : nullptr;
}

void Button::setBackgroundImage(std::shared_ptr<Image> image, unsigned state) {
    if (image) backgroundImages_[state] = std::move(image);
    else backgroundImages_.erase(state);
    updateContent();
}

std::shared_ptr<Image> Button::backgroundImageForState(unsigned state) const {
    const auto* image = lookup(backgroundImages_, state);
    return image ? *image : nullptr;
}

Color Button::displayedTitleColor() const {
    const unsigned s = state();
    const Color color = titleColorForState(s);
    const bool ownHighlight = titleColors_.count(s) != 0 && (s & ControlStateHighlighted);
    if (type_ == ButtonType::System && isHighlighted() && !ownHighlight)
        return color.withAlpha(color.alpha * kHighlightedDimming);
    return color;
}

// ---- State ----------------------------------------------------------------------------------

void Button::setEnabled(bool enabled) {
    Control::setEnabled(enabled);
    updateContent();
}

void Button::setSelected(bool selected) {
    Control::setSelected(selected);
    updateContent();
}

void Button::setHighlighted(bool highlighted) {
    Control::setHighlighted(highlighted);
    updateContent();
}

void Button::handleTap(Point) {
    if (!isEnabled()) return;
    const auto self = weak_from_this().lock();  // an action may release the button's last owner
    setHighlighted(true);
    sendActionsForControlEvents(ControlEventTouchDown);
    setHighlighted(false);
    sendActionsForControlEvents(ControlEventTouchUpInside | ControlEventPrimaryActionTriggered);
}

void Button::updateContent() {
    const auto title = currentTitle();
    const auto image = currentImage();
    const bool sizeChanged = titleLabel_->text() != title.value_or(std::string()) || imageView_->image() != image;
    titleLabel_->setText(title.value_or(std::string()));
    titleLabel_->setHidden(!title || title->empty());
    titleLabel_->setTextColor(displayedTitleColor());
    imageView_->setImage(image);
    imageView_->setHidden(!image);
    imageView_->setAlpha(type_ == ButtonType::System && isHighlighted() ? kHighlightedDimming : 1);
    if (sizeChanged) {
        invalidateIntrinsicContentSize();
        setNeedsLayout();
    }
}

// ---- Geometry -------------------------------------------------------------------------------

void Button::setContentEdgeInsets(EdgeInsets insets) {
    if (!finite(insets) || insets == contentInsets_) return;
    contentInsets_ = insets;
    invalidateIntrinsicContentSize();
    setNeedsLayout();
}

void Button::setTitleEdgeInsets(EdgeInsets insets) {
    if (!finite(insets)) return;
    titleInsets_ = insets;
    setNeedsLayout();
}

void Button::setImageEdgeInsets(EdgeInsets insets) {
    if (!finite(insets)) return;
    imageInsets_ = insets;
    setNeedsLayout();
}

void Button::setContentHorizontalAlignment(ControlContentHorizontalAlignment alignment) {
    horizontal_ = alignment;
    setNeedsLayout();
}

void Button::setContentVerticalAlignment(ControlContentVerticalAlignment alignment) {
    vertical_ = alignment;
    setNeedsLayout();
}

Size Button::titleSize() const {
    const auto title = currentTitle();
    if (!title || title->empty()) return {0, 0};
    return measureText(*title, titleLabel_->font(), 0, 1).size;
}

Size Button::imageSize() const {
    const auto image = currentImage();
    return image ? image->size() : Size{0, 0};
}

Size Button::intrinsicContentSize() const {
    const Size title = titleSize(), image = imageSize();
    double width = title.width + image.width;
    double height = std::max(image.height, title.height);
    if (type_ == ButtonType::System) {
        if (title.height > 0) height = std::max(height, title.height + 2 * kSystemTitlePadding);
        width = std::max(width, kSystemMinimumSide);
        height = std::max(height, kSystemMinimumSide);
    }
    return {std::max(0.0, width + contentInsets_.left + contentInsets_.right),
            std::max(0.0, height + contentInsets_.top + contentInsets_.bottom)};
}

Size Button::sizeThatFits(Size) const { return intrinsicContentSize(); }

void Button::layoutSubviews() {
    ensureSubviews();
    const Rect content = contentInsets_.inset(bounds());
    Size image = imageSize(), title = titleSize();
    image.width = std::clamp(image.width, 0.0, std::max(0.0, content.width));
    image.height = std::clamp(image.height, 0.0, std::max(0.0, content.height));
    title.width = std::clamp(title.width, 0.0, std::max(0.0, content.width - image.width));

    double x = content.x;
    switch (horizontal_) {
        case ControlContentHorizontalAlignment::Center: x = content.x + (content.width - image.width - title.width) / 2; break;
        case ControlContentHorizontalAlignment::Right:
        case ControlContentHorizontalAlignment::Trailing: x = content.maxX() - image.width - title.width; break;
        case ControlContentHorizontalAlignment::Fill:
            title.width = std::max(0.0, content.width - image.width);
            break;
        default: break;
    }
    double imageHeight = 0, titleHeight = 0;
    const double imageY = placeVertically(content, image.height, vertical_, &imageHeight);
    const double titleY = placeVertically(content, title.height, vertical_, &titleHeight);
    imageView_->setFrame(applyInsets({x, imageY, image.width, imageHeight}, imageInsets_, horizontal_, vertical_));
    titleLabel_->setFrame(applyInsets({x + image.width, titleY, title.width, titleHeight}, titleInsets_, horizontal_, vertical_));
    titleLabel_->setTextAlignment(horizontal_ == ControlContentHorizontalAlignment::Right ||
                                          horizontal_ == ControlContentHorizontalAlignment::Trailing
                                      ? TextAlignment::Right
                                      : TextAlignment::Center);
}

void Button::drawContent(Canvas& canvas, const Rect& bounds, double) const {
    if (const auto background = currentBackgroundImage())
        canvas.drawImage(*background, bounds, ContentMode::ScaleToFill);
}

}  // namespace qm::platform
