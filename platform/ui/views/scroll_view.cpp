#include "qmui/scroll_view.hpp"

#include <algorithm>
#include <cmath>

#include "qmplatform/dispatch.hpp"

namespace qm::platform {

ScrollView::ScrollView(Rect frame) : View(frame) { setClipsToBounds(true); }

void ScrollView::setContentSize(Size size) {
    if (!std::isfinite(size.width) || !std::isfinite(size.height)) return;
    contentSize_ = {std::max(0.0, size.width), std::max(0.0, size.height)};
}

void ScrollView::setContentInset(EdgeInsets inset) { contentInset_ = inset; }

Point ScrollView::minimumContentOffset() const { return {-contentInset_.left, -contentInset_.top}; }

Point ScrollView::maximumContentOffset() const {
    const Point minimum = minimumContentOffset();
    return {std::max(minimum.x, contentSize_.width + contentInset_.right - bounds().width),
            std::max(minimum.y, contentSize_.height + contentInset_.bottom - bounds().height)};
}

void ScrollView::setContentOffset(Point offset, bool animated) {
    if (!std::isfinite(offset.x) || !std::isfinite(offset.y)) return;
    const Rect b = bounds();
    if (b.x != offset.x || b.y != offset.y) {
        setBounds({offset.x, offset.y, b.width, b.height});
        setNeedsLayout();
        contentOffsetDidChange();
        if (auto d = delegate.lock()) d->scrollViewDidScroll(*this);
    }
    if (animated) {
        std::weak_ptr<View> weak = weak_from_this();
        Queue::main().async([weak] {
            auto self = std::static_pointer_cast<ScrollView>(weak.lock());
            if (!self) return;
            if (auto d = self->delegate.lock()) d->scrollViewDidEndScrollingAnimation(*self);
        });
    }
}

void ScrollView::scrollRectToVisible(Rect rect, bool animated) {
    const Rect b = bounds();
    Point offset = b.origin();
    if (rect.maxY() > b.maxY()) offset.y = rect.maxY() - b.height;
    if (rect.minY() < offset.y) offset.y = rect.minY();
    if (rect.maxX() > b.maxX()) offset.x = rect.maxX() - b.width;
    if (rect.minX() < offset.x) offset.x = rect.minX();
    const Point lo = minimumContentOffset(), hi = maximumContentOffset();
    offset = {std::clamp(offset.x, lo.x, hi.x), std::clamp(offset.y, lo.y, hi.y)};
    setContentOffset(offset, animated);
}

void ScrollView::dragBy(Point delta) {
    if (!scrollEnabled_ || !std::isfinite(delta.x) || !std::isfinite(delta.y)) return;
    const auto self = shared_from_this();
    if (auto d = delegate.lock()) d->scrollViewWillBeginDragging(*this);
    const Point lo = minimumContentOffset(), hi = maximumContentOffset();
    const Point from = contentOffset();
    setContentOffset({std::clamp(from.x + delta.x, lo.x, hi.x), std::clamp(from.y + delta.y, lo.y, hi.y)});
    if (auto d = delegate.lock()) d->scrollViewDidEndDragging(*this, false);
}

}  // namespace qm::platform
