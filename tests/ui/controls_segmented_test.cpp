// Segmented controls: taps pick the segment under them and report a change once; inserting
// and removing keep the selection on its segment; momentary controls and disabled segments.
#include <gtest/gtest.h>

#include "qmui/gesture.hpp"
#include "qmui/segmented_control.hpp"
#include "test_host.hpp"

using namespace qm::platform;

TEST(ControlsSegmented, TapsSelectTheSegmentUnderThemAndReportAChangeOnce) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 400, 100});
    auto control = std::make_shared<SegmentedControl>(std::vector<std::string>{"All", "Offers", "Others"});
    EXPECT_EQ(control->className(), "UISegmentedControl");
    EXPECT_EQ(control->selectedSegmentIndex(), SegmentedControl::kNoSegment);
    EXPECT_EQ(control->frame().height, SegmentedControl::kHeight);  // made at its own size
    control->setFrame({50, 20, 300, 32});
    root->addSubview(control);

    int changes = 0, ups = 0;
    std::vector<int> seen;
    control->addTarget(
        [&](Control& c) {
            ++changes;
            seen.push_back(static_cast<SegmentedControl&>(c).selectedSegmentIndex());
        },
        ControlEventValueChanged);
    control->addTarget([&](Control&) { ++ups; }, ControlEventTouchUpInside);

    // Segments share the width: 100 points each, from x = 50 in the root.
    EXPECT_TRUE(tap(*root, {260, 30}));  // the third
    EXPECT_EQ(control->selectedSegmentIndex(), 2);
    EXPECT_TRUE(tap(*root, {149, 30}));  // the last point of the first
    EXPECT_EQ(control->selectedSegmentIndex(), 0);
    EXPECT_TRUE(tap(*root, {100, 40}));  // the first again: no change to report
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(seen, (std::vector<int>{2, 0}));  // the new index is set when the action runs
    EXPECT_EQ(ups, 3);

    // Setting the index in code sends nothing; out-of-range indices are ignored.
    control->setSelectedSegmentIndex(1);
    control->setSelectedSegmentIndex(3);
    control->setSelectedSegmentIndex(-7);
    EXPECT_EQ(control->selectedSegmentIndex(), 1);
    control->setSelectedSegmentIndex(SegmentedControl::kNoSegment);
    EXPECT_EQ(control->selectedSegmentIndex(), SegmentedControl::kNoSegment);
    EXPECT_EQ(changes, 2);

    // A disabled control takes no taps.
    control->setEnabled(false);
    EXPECT_FALSE(tap(*root, {260, 30}));
    EXPECT_EQ(control->selectedSegmentIndex(), SegmentedControl::kNoSegment);
}

TEST(ControlsSegmented, InsertingAndRemovingKeepTheSelectionOnItsSegment) {
    qm::testkit::TestHost host;
    SegmentedControl control({"A", "B", "C"});
    control.setSelectedSegmentIndex(1);  // "B"
    control.insertSegmentWithTitle("First", 0);
    EXPECT_EQ(control.numberOfSegments(), 4);
    EXPECT_EQ(control.selectedSegmentIndex(), 2);
    EXPECT_EQ(control.titleForSegmentAtIndex(2), "B");
    control.insertSegmentWithTitle("Last", 99);  // held to the end
    EXPECT_EQ(control.titleForSegmentAtIndex(4), "Last");
    control.insertSegmentWithTitle("After B", 3);  // after the selection: it stays
    EXPECT_EQ(control.selectedSegmentIndex(), 2);

    control.removeSegmentAtIndex(0);
    EXPECT_EQ(control.selectedSegmentIndex(), 1);
    EXPECT_EQ(control.titleForSegmentAtIndex(1), "B");
    control.removeSegmentAtIndex(1);  // the selected one
    EXPECT_EQ(control.selectedSegmentIndex(), SegmentedControl::kNoSegment);
    control.removeSegmentAtIndex(42);
    EXPECT_EQ(control.numberOfSegments(), 4);
    control.setTitle("Renamed", 0);
    control.setTitle("Nowhere", 9);
    EXPECT_EQ(control.titleForSegmentAtIndex(0), "Renamed");
    EXPECT_FALSE(control.titleForSegmentAtIndex(9));
    control.removeAllSegments();
    EXPECT_EQ(control.numberOfSegments(), 0);
    EXPECT_EQ(control.intrinsicContentSize().width, 0);
}

TEST(ControlsSegmented, MomentaryControlsAndDisabledSegments) {
    qm::testkit::TestHost host;
    auto root = View::create({0, 0, 300, 40});
    auto control = std::make_shared<SegmentedControl>(std::vector<std::string>{"Left", "Middle", "Right"});
    control->setFrame({0, 0, 300, 32});
    root->addSubview(control);
    std::vector<int> seen;
    control->addTarget([&](Control& c) { seen.push_back(static_cast<SegmentedControl&>(c).selectedSegmentIndex()); },
                       ControlEventValueChanged);

    // Momentary: every tap reports, even on the same segment, and the selection goes away.
    control->setMomentary(true);
    EXPECT_TRUE(tap(*root, {50, 10}));
    EXPECT_TRUE(tap(*root, {50, 10}));
    EXPECT_EQ(seen, (std::vector<int>{0, 0}));
    EXPECT_EQ(control->selectedSegmentIndex(), SegmentedControl::kNoSegment);

    // A disabled segment ignores taps; its neighbours still work.
    control->setMomentary(false);
    control->setEnabledForSegmentAtIndex(false, 1);
    EXPECT_FALSE(control->isEnabledForSegmentAtIndex(1));
    EXPECT_FALSE(control->isEnabledForSegmentAtIndex(7));
    tap(*root, {150, 10});
    EXPECT_EQ(control->selectedSegmentIndex(), SegmentedControl::kNoSegment);
    tap(*root, {250, 10});
    EXPECT_EQ(control->selectedSegmentIndex(), 2);
    EXPECT_EQ(seen.size(), 3u);

    // A fixed width: the other segments share the rest.
    control->setWidthForSegmentAtIndex(100, 0);
    const auto frames = control->segmentFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].width, 100);
    EXPECT_EQ(frames[1].width, 100);
    EXPECT_EQ(frames[1].x, 100);
    control->setWidthForSegmentAtIndex(200, 0);
    EXPECT_EQ(control->segmentIndexAtPoint({199, 5}), 0);
    EXPECT_EQ(control->segmentIndexAtPoint({220, 5}), 1);  // the other two: 50 each
    EXPECT_EQ(control->segmentIndexAtPoint({270, 5}), 2);
    EXPECT_EQ(control->segmentIndexAtPoint({350, 5}), SegmentedControl::kNoSegment);

    // The intrinsic width gives every automatic segment the widest title's room.
    SegmentedControl sized({"a", "a much longer title"});
    const double widest = measureText("a much longer title", Font::systemFont(13), 0, 1).size.width;
    EXPECT_GE(sized.intrinsicContentSize().width, 2 * widest);
    EXPECT_EQ(sized.intrinsicContentSize().height, SegmentedControl::kHeight);
}
