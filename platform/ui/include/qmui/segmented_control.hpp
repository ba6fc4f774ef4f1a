// Segmented controls: a row of titled segments, one of which may be selected. A tap selects
// the segment under it and sends value changed when the selection changed; a momentary
// control selects only for the length of the tap.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "qmui/control.hpp"
#include "qmui/font.hpp"

namespace qm::platform {

// How segment titles are drawn in a control state; what is not set falls back to the normal
// state's, then to the control's defaults.
struct SegmentTitleAttributes {
    std::optional<Font> font;
    std::optional<Color> color;
};

class SegmentedControl : public Control {
public:
    static constexpr int kNoSegment = -1;
    // The platform's standard height.
    static constexpr double kHeight = 32;

    explicit SegmentedControl(std::vector<std::string> items = {});
    std::string className() const override { return "UISegmentedControl"; }

    int numberOfSegments() const { return static_cast<int>(segments_.size()); }
    // `index` is held to 0…numberOfSegments. A selection at or after it moves along.
    void insertSegmentWithTitle(std::string title, int index, bool animated = false);
    // Out of range: nothing happens. Removing the selected segment leaves none selected.
    void removeSegmentAtIndex(int index, bool animated = false);
    void removeAllSegments();
    // Out of range: nothing happens (set) or nothing (get).
    void setTitle(std::string title, int index);
    std::optional<std::string> titleForSegmentAtIndex(int index) const;
    void setEnabledForSegmentAtIndex(bool enabled, int index);
    bool isEnabledForSegmentAtIndex(int index) const;
    // A fixed width for the segment; 0 (the default) shares the remaining width equally.
    void setWidthForSegmentAtIndex(double width, int index);
    double widthForSegmentAtIndex(int index) const;

    // kNoSegment when none is selected. Setting it sends no event; an index out of range
    // (other than kNoSegment) is ignored.
    int selectedSegmentIndex() const { return selected_; }
    void setSelectedSegmentIndex(int index);
    bool isMomentary() const { return momentary_; }
    void setMomentary(bool momentary);

    // The selected segment's fill; the tint colour when not set.
    std::optional<Color> selectedSegmentTintColor() const { return selectedTint_; }
    void setSelectedSegmentTintColor(std::optional<Color> color) { selectedTint_ = color; }
    // Title font and colour by control state (Normal, Selected, Highlighted, Disabled).
    void setTitleTextAttributes(SegmentTitleAttributes attributes, unsigned state = ControlStateNormal);
    SegmentTitleAttributes titleTextAttributesForState(unsigned state) const;

    // The segments' frames in the control's bounds, left to right.
    std::vector<Rect> segmentFrames() const;
    // The segment under `point` (own coordinates), kNoSegment outside them.
    int segmentIndexAtPoint(Point point) const;

    // Picks the segment under the point. An enabled segment is selected (shown highlighted
    // while touched) and value changed is sent when the selection changed; a momentary
    // control sends it on every tap and then shows no selection again.
    void handleTap(Point point) override;

    // As wide as the widest title needs for every segment (fixed widths as given), kHeight
    // high.
    Size intrinsicContentSize() const override;
    Size sizeThatFits(Size size) const override;
    void drawContent(Canvas& canvas, const Rect& bounds, double time) const override;

private:
    struct Segment {
        std::string title;
        bool enabled = true;
        double width = 0;
    };
    Font titleFont(unsigned state) const;
    Color titleColor(unsigned state) const;

    std::vector<Segment> segments_;
    int selected_ = kNoSegment;
    int touched_ = kNoSegment;  // shown highlighted during a tap
    bool momentary_ = false;
    std::optional<Color> selectedTint_;
    std::map<unsigned, SegmentTitleAttributes> attributes_;
};

}  // namespace qm::platform
