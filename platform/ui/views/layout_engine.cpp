#include "layout_engine.hpp"

#include <string>
#include <vector>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/system_log.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

namespace {

// Roots waiting for the run loop's layout pass.
std::vector<std::weak_ptr<View>>& pendingRoots() {
    static std::vector<std::weak_ptr<View>> roots;  // main thread only
    return roots;
}
bool passScheduled = false;

std::shared_ptr<View> rootOf(View& view) {
    std::shared_ptr<View> root = view.weak_from_this().lock();
    if (!root) return nullptr;
    while (auto up = root->superview()) root = up;
    return root;
}

bool treeNeedsLayout(const View& view) {
    if (view.needsLayout()) return true;
    for (const auto& sub : view.subviews())
        if (treeNeedsLayout(*sub)) return true;
    return false;
}

// layoutSubviews top-down for the views that need it. Returns true when something was laid
// out.
bool layoutTree(View& view, int depth) {
    if (depth > 512) return false;  // a tree this deep is a fault of the host; stop
    bool any = false;
    if (view.needsLayout()) {
        LayoutEngine::clearNeedsLayout(view);
        view.layoutSubviews();
        any = true;
    }
    const auto subviews = view.subviews();  // layoutSubviews may change the list
    for (const auto& sub : subviews) any = layoutTree(*sub, depth + 1) || any;
    return any;
}

}  // namespace

void LayoutEngine::clearNeedsLayout(View& view) { view.needsLayout_ = false; }

void LayoutEngine::treeChanged(View&) {}
void LayoutEngine::willLeaveTree(View&) {}
void LayoutEngine::constraintAdded(View& holder, const std::shared_ptr<LayoutConstraint>&) { holder.setNeedsLayout(); }
void LayoutEngine::constraintRemoved(View& holder, const std::shared_ptr<LayoutConstraint>&) { holder.setNeedsLayout(); }
void LayoutEngine::constraintChanged(LayoutConstraint&) {}
void LayoutEngine::constraintsChanged(View& view) { view.setNeedsLayout(); }
void LayoutEngine::intrinsicSizeChanged(View& view) {
    if (auto up = view.superview()) up->setNeedsLayout();
}
void LayoutEngine::frameChanged(View&) {}

void LayoutEngine::scheduleLayoutPass(View& view) {
    if (!RunLoop::main().isMainThread()) return;  // views are main-thread objects
    auto root = rootOf(view);
    if (!root) return;
    pendingRoots().push_back(root);
    if (passScheduled) return;
    passScheduled = true;
    Queue::main().async([] {
        passScheduled = false;
        auto roots = std::move(pendingRoots());
        pendingRoots().clear();
        for (const auto& weak : roots)
            if (auto pending = weak.lock()) LayoutEngine::layoutIfNeeded(*pending);
    });
}

// Lays out `view` and its subtree (as on the platform, not the views around it).
void LayoutEngine::layoutIfNeeded(View& view) {
    auto root = view.weak_from_this().lock();
    if (!root) return;
    // layoutSubviews may change frames and constraints and ask for more layout; a few rounds
    // settle any sensible tree, more mean two views keep undoing each other.
    constexpr int kMaxRounds = 8;
    for (int round = 0; round < kMaxRounds; ++round) {
        if (!treeNeedsLayout(*root)) return;
        layoutTree(*root, 0);
    }
    SystemLog::write("quelmar: layout did not settle after " + std::to_string(kMaxRounds) + " passes: " +
                     root->description());
}

}  // namespace qm::platform
