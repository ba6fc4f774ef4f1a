// Scroll views: a window onto content larger than the view. The content offset is the
// bounds origin, as on the platform.
#pragma once

#include <memory>

#include "qmui/view.hpp"

namespace qm::platform {

class ScrollView;

// Optional: override what you need. Main run loop.
class ScrollViewDelegate {
public:
    virtual ~ScrollViewDelegate() = default;
    virtual void scrollViewDidScroll(ScrollView&) {}
    virtual void scrollViewWillBeginDragging(ScrollView&) {}
    virtual void scrollViewDidEndDragging(ScrollView&, bool /*willDecelerate*/) {}
    virtual void scrollViewDidEndScrollingAnimation(ScrollView&) {}
};

class ScrollView : public View {
public:
    explicit ScrollView(Rect frame = {});
    std::string className() const override { return "UIScrollView"; }

    Size contentSize() const { return contentSize_; }
    void setContentSize(Size size);
    Point contentOffset() const { return bounds().origin(); }
    // Without animation the offset changes at once; with animation too (the headless screen
    // has nothing to show in between), and scrollViewDidEndScrollingAnimation follows on the
    // main run loop.
    void setContentOffset(Point offset, bool animated = false);
    EdgeInsets contentInset() const { return contentInset_; }
    void setContentInset(EdgeInsets inset);
    bool isScrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }
    bool bounces() const { return bounces_; }
    void setBounces(bool bounces) { bounces_ = bounces; }
    bool showsVerticalScrollIndicator = true;
    bool showsHorizontalScrollIndicator = true;

    std::weak_ptr<ScrollViewDelegate> delegate;

    // The offsets the content can be scrolled to (insets included).
    Point minimumContentOffset() const;
    Point maximumContentOffset() const;
    // Scrolls just enough to show `rect` (content coordinates).
    void scrollRectToVisible(Rect rect, bool animated = false);
    // A drag by the user (or a test) by `delta` points of content: begins dragging, moves the
    // offset within the scrollable range, ends dragging. Ignored when scrolling is disabled.
    void dragBy(Point delta);

protected:
    // Called after the offset changed, before the delegate hears of it.
    virtual void contentOffsetDidChange() {}

private:
    Size contentSize_;
    EdgeInsets contentInset_;
    bool scrollEnabled_ = true;
    bool bounces_ = true;
};

}  // namespace qm::platform
