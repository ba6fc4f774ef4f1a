// The layout engine behind views: keeps, per tree, what the constraints of that tree need,
// and runs layout passes (solve, apply frames, layoutSubviews top-down). Main thread only.
#pragma once

#include <memory>

namespace qm::platform {

class View;
class LayoutConstraint;

class LayoutEngine {
public:
    // Notifications from views and constraints.
    static void treeChanged(View& view);     // `view` joined a tree
    static void willLeaveTree(View& view);   // `view` is about to leave its superview
    static void constraintAdded(View& holder, const std::shared_ptr<LayoutConstraint>& constraint);
    static void constraintRemoved(View& holder, const std::shared_ptr<LayoutConstraint>& constraint);
    static void constraintChanged(LayoutConstraint& constraint);  // constant or priority
    static void constraintsChanged(View& view);  // e.g. translatesAutoresizingMaskIntoConstraints
    static void intrinsicSizeChanged(View& view);
    static void frameChanged(View& view);

    // A layout pass on the main run loop for the tree of `view` (once per turn, however many
    // views ask).
    static void scheduleLayoutPass(View& view);
    // Lays out the tree of `view` now, if anything in it needs it.
    static void layoutIfNeeded(View& view);

    static void clearNeedsLayout(View& view);
};

}  // namespace qm::platform
