#include "qmui/segmented_control.hpp"

#include <algorithm>
#include <cmath>

#include "qmui/canvas.hpp"
#include "qmui/text.hpp"

namespace qm::platform {

namespace {
constexpr double kDefaultFontSize = 13;
constexpr double kTitlePadding = 10;  // on each side of the widest title
constexpr double kCornerRadius = 5;
constexpr double kLineWidth = 1;
constexpr double kDisabledAlpha = 0.35;
}  // namespace

SegmentedControl::SegmentedControl(std::vector<std::string> items) {
    for (auto& title : items) segments_.push_back({std::move(title)});
    const Size size = intrinsicContentSize();
    setFrame({0, 0, size.width, size.height});
}

void SegmentedControl::insertSegmentWithTitle(std::string title, int index, bool) {
    index = std::clamp(index, 0, numberOfSegments());
    segments_.insert(segments_.begin() + index, Segment{std::move(title)});
    if (selected_ != kNoSegment && selected_ >= index) ++selected_;
    invalidateIntrinsicContentSize();
}

void SegmentedControl::removeSegmentAtIndex(int index, bool) {
    if (index < 0 || index >= numberOfSegments()) return;
    segments_.erase(segments_.begin() + index);
    if (selected_ == index) selected_ = kNoSegment;
    else if (selected_ > index) --selected_;
    invalidateIntrinsicContentSize();
}

void SegmentedControl::removeAllSegments() {
    segments_.clear();
    selected_ = kNoSegment;
    invalidateIntrinsicContentSize();
}

void SegmentedControl::setTitle(std::string title, int index) {
    if (index < 0 || index >= numberOfSegments()) return;
    segments_[static_cast<std::size_t>(index)].title = std::move(title);
    invalidateIntrinsicContentSize();
}

std::optional<std::string> SegmentedControl::titleForSegmentAtIndex(int index) const {
    if (index < 0 || index >= numberOfSegments()) return std::nullopt;
    return segments_[static_cast<std::size_t>(index)].title;
}

void SegmentedControl::setEnabledForSegmentAtIndex(bool enabled, int index) {
    if (index < 0 || index >= numberOfSegments()) return;
    segments_[static_cast<std::size_t>(index)].enabled = enabled;
}

bool SegmentedControl::isEnabledForSegmentAtIndex(int index) const {
    return index >= 0 && index < numberOfSegments() && segments_[static_cast<std::size_t>(index)].enabled;
}

void SegmentedControl::setWidthForSegmentAtIndex(double width, int index) {
    if (index < 0 || index >= numberOfSegments() || !std::isfinite(width)) return;
    segments_[static_cast<std::size_t>(index)].width = std::max(0.0, width);
    invalidateIntrinsicContentSize();
}

double SegmentedControl::widthForSegmentAtIndex(int index) const {
    if (index < 0 || index >= numberOfSegments()) return 0;
    return segments_[static_cast<std::size_t>(index)].width;
}

void SegmentedControl::setSelectedSegmentIndex(int index) {
    if (index != kNoSegment && (index < 0 || index >= numberOfSegments())) return;
    selected_ = index;
}

void SegmentedControl::setMomentary(bool momentary) { momentary_ = momentary; }

void SegmentedControl::setTitleTextAttributes(SegmentTitleAttributes attributes, unsigned state) {
    attributes_[state] = std::move(attributes);
    invalidateIntrinsicContentSize();
}

SegmentTitleAttributes SegmentedControl::titleTextAttributesForState(unsigned state) const {
    auto it = attributes_.find(state);
    return it == attributes_.end() ? SegmentTitleAttributes{} : it->second;
}

Font SegmentedControl::titleFont(unsigned state) const {
    if (auto it = attributes_.find(state); it != attributes_.end() && it->second.font) return *it->second.font;
    if (auto it = attributes_.find(ControlStateNormal); it != attributes_.end() && it->second.font) return *it->second.font;
    return Font::systemFont(kDefaultFontSize);
}

Color SegmentedControl::titleColor(unsigned state) const {
    if (auto it = attributes_.find(state); it != attributes_.end() && it->second.color) return *it->second.color;
    // The selected segment's default title stands out of the tinted fill.
    if (state & ControlStateSelected) return Color::whiteColor();
    if (auto it = attributes_.find(ControlStateNormal); it != attributes_.end() && it->second.color) return *it->second.color;
    return tintColor();
}

// ---- Geometry -------------------------------------------------------------------------------

std::vector<Rect> SegmentedControl::segmentFrames() const {
    const Rect b = bounds();
    double fixed = 0;
    int automatic = 0;
    for (const auto& s : segments_) {
        if (s.width > 0) fixed += s.width;
        else ++automatic;
    }
    const double share = automatic ? std::max(0.0, b.width - fixed) / automatic : 0;
    std::vector<Rect> frames;
    double x = b.x;
    for (const auto& s : segments_) {
        const double w = s.width > 0 ? s.width : share;
        frames.push_back({x, b.y, w, b.height});
        x += w;
    }
    return frames;
}

int SegmentedControl::segmentIndexAtPoint(Point point) const {
    const auto frames = segmentFrames();
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (frames[i].contains(point)) return static_cast<int>(i);
    return kNoSegment;
}

Size SegmentedControl::intrinsicContentSize() const {
    double widest = 0, fixed = 0;
    int automatic = 0;
    for (const auto& s : segments_) {
        if (s.width > 0) {
            fixed += s.width;
            continue;
        }
        ++automatic;
        for (unsigned state : {unsigned(ControlStateNormal), unsigned(ControlStateSelected)})
            widest = std::max(widest, measureText(s.title, titleFont(state), 0, 1).size.width);
    }
    return {fixed + automatic * (widest + 2 * kTitlePadding), kHeight};
}

Size SegmentedControl::sizeThatFits(Size) const { return intrinsicContentSize(); }

// ---- Events ---------------------------------------------------------------------------------

void SegmentedControl::handleTap(Point point) {
    if (!isEnabled()) return;
    const int index = segmentIndexAtPoint(point);
    if (!isEnabledForSegmentAtIndex(index)) return;
    const auto self = weak_from_this().lock();  // an action may release the control's last owner
    touched_ = index;
    setHighlighted(true);
    sendActionsForControlEvents(ControlEventTouchDown);
    setHighlighted(false);
    touched_ = kNoSegment;
    const bool changed = momentary_ || index != selected_;
    selected_ = index;
    if (changed) sendActionsForControlEvents(ControlEventValueChanged);
    sendActionsForControlEvents(ControlEventTouchUpInside | ControlEventPrimaryActionTriggered);
    // A momentary control goes back to no selection once the tap is over (unless an action
    // chose another segment meanwhile).
    if (momentary_ && selected_ == index) selected_ = kNoSegment;
}

// ---- Drawing --------------------------------------------------------------------------------

void SegmentedControl::drawContent(Canvas& canvas, const Rect& bounds, double) const {
    if (bounds.width <= 0 || bounds.height <= 0) return;
    const Color tint = tintColor();
    const double alpha = isEnabled() ? 1 : kDisabledAlpha;
    const auto frames = segmentFrames();
    canvas.save();
    canvas.clip(bounds, kCornerRadius);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const int index = static_cast<int>(i);
        const Segment& segment = segments_[i];
        unsigned state = ControlStateNormal;
        if (index == selected_ && !momentary_) state |= ControlStateSelected;
        if (index == touched_) state |= ControlStateHighlighted;
        if (!segment.enabled || !isEnabled()) state |= ControlStateDisabled;
        if (state & ControlStateSelected) canvas.fillRect(frames[i], selectedTint_.value_or(tint).withAlpha(alpha));
        else if (state & ControlStateHighlighted) canvas.fillRect(frames[i], tint.withAlpha(0.15));
        if (i > 0) {
            const double x = frames[i].x;
            canvas.strokeLine({x, bounds.y}, {x, bounds.maxY()}, kLineWidth, tint.withAlpha(alpha));
        }
        TextStyle style;
        style.font = titleFont(state);
        Color color = titleColor(state);
        if (state & ControlStateDisabled) color = color.withAlpha(color.alpha * kDisabledAlpha);
        style.color = color;
        style.alignment = TextAlignment::Center;
        style.lineBreakMode = LineBreakMode::TruncateTail;
        canvas.drawText(segment.title, frames[i].insetBy(4, 0), style);
    }
    canvas.restore();
    canvas.strokeBorder(bounds, kLineWidth, tint.withAlpha(alpha), kCornerRadius);
}

}  // namespace qm::platform
