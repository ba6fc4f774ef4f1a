// Constraint layout for view trees.
//
// Each tree (its topmost view) keeps a solver with four variables per view taking part:
// left, top, width and height, each view placed in its superview's content coordinates. Taking part are the items of
// the tree's active constraints and their superviews up to the root. Views that translate
// their frames into constraints (and the root) are pinned to their frames relative to their
// superview's variables; the others get their frames from the solution. Views with an
// intrinsic size get hugging and compression-resistance constraints at their priorities. A
// view placed by constraints that no constraint names but that has an intrinsic size takes
// part too: it gets that size and keeps its position (nothing else can move it).
//
// The solver is rebuilt when the structure changes (constraints added, removed or activated,
// views moved, translation switched); constant changes, moved pinned frames and new
// intrinsic sizes go into the existing solver as constant changes, which is cheap.
#include "layout_engine.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/system_log.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

using layout::Constraint;
using layout::Expression;
using layout::Relation;
using layout::Variable;

// The engine's state for one view.
struct View::LayoutState {
    Variable left{"left"}, top{"top"}, width{"width"}, height{"height"};
    // Pins for views that translate their frames (or the root): their constants follow the
    // frame.
    Constraint pinX, pinY, pinWidth, pinHeight;
    // Intrinsic size: width ≤ intrinsic at hugging, ≥ at compression; per axis.
    Constraint hug[2], resist[2];
    Size intrinsic{kViewNoIntrinsicMetric, kViewNoIntrinsicMetric};
    bool pinned = false;
    // Sized by its intrinsic size alone: the position is pinned, the size is not.
    bool selfSizing = false;
    bool takingPart = false;

    // For a root: its tree's solver.
    struct Tree {
        layout::Solver solver;
        unsigned long structure = 0;  // the structure version it was built for
        std::vector<std::weak_ptr<View>> views;  // taking part, parents before children
        std::vector<std::weak_ptr<LayoutConstraint>> constraints;
        std::vector<std::weak_ptr<LayoutConstraint>> broken;
        bool dirty = true;  // a constant changed since the last solve
    };
    std::unique_ptr<Tree> tree;
};

namespace {

// Bumped by every change of structure; a tree whose solver was built for an older value
// rebuilds it at its next layout.
unsigned long gStructure = 1;

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

const View* rootPtr(const View& view) {
    const View* root = &view;
    while (auto up = root->superview()) root = up.get();
    return root;
}

View::LayoutState& stateOf(View& view) {
    if (!view.layoutState_) view.layoutState_ = std::make_shared<View::LayoutState>();
    return *view.layoutState_;
}

Expression attributeExpression(View& view, LayoutAttribute attribute) {
    auto& s = stateOf(view);
    switch (attribute) {
        case LayoutAttribute::Left:
        case LayoutAttribute::Leading:
            return s.left;
        case LayoutAttribute::Right:
        case LayoutAttribute::Trailing:
            return Expression(s.left) + Expression(s.width);
        case LayoutAttribute::Top:
        case LayoutAttribute::FirstBaseline:
            return s.top;
        case LayoutAttribute::Bottom:
        case LayoutAttribute::LastBaseline:
            return Expression(s.top) + Expression(s.height);
        case LayoutAttribute::Width:
            return s.width;
        case LayoutAttribute::Height:
            return s.height;
        case LayoutAttribute::CenterX:
            return Expression(s.left) + Expression(s.width) * 0.5;
        case LayoutAttribute::CenterY:
            return Expression(s.top) + Expression(s.height) * 0.5;
        default:
            return Expression(0.0);
    }
}

Constraint solverConstraint(LayoutConstraint& c) {
    auto first = c.firstItem();
    auto second = c.secondItem();
    Expression lhs = attributeExpression(*first, c.firstAttribute());
    Expression rhs = second ? attributeExpression(*second, c.secondAttribute()) * c.multiplier() + Expression(c.constant())
                            : Expression(c.constant());
    const auto relation = static_cast<Relation>(static_cast<int>(c.relation()));
    return Constraint(lhs - rhs, relation, std::clamp(static_cast<double>(c.priority()), 1.0, 1000.0));
}

// The pins' constants: where the frame puts the view relative to its superview's variables.
// left − parent.left − frame.x == 0, width − frame.width == 0, … Positions relative to a
// superview are in its content coordinates, whatever its bounds origin (a scroll view's
// offset does not move what is pinned to its edges), as on the platform.
struct PinConstants {
    double x, y, width, height;
};
PinConstants pinConstants(View& view) {
    const Rect frame = view.frame();
    if (!view.superview()) return {0, 0, -view.bounds().width, -view.bounds().height};
    return {-frame.x, -frame.y, -frame.width, -frame.height};
}

void collectTree(View& view, std::vector<std::shared_ptr<View>>& all) {
    all.push_back(view.shared_from_this());
    for (const auto& sub : view.subviews()) collectTree(*sub, all);
}

void logBroken(const std::shared_ptr<LayoutConstraint>& c, const std::string& why) {
    SystemLog::write("quelmar: Unable to simultaneously satisfy constraints. Will attempt to recover by breaking constraint " +
                     c->description() + " (" + why + ")");
}

}  // namespace

class LayoutEngineTree {
public:
    // Builds the solver of the tree under `root` from scratch.
    static void rebuild(View& root) {
        auto& rootState = stateOf(root);
        if (!rootState.tree) rootState.tree = std::make_unique<View::LayoutState::Tree>();
        auto& tree = *rootState.tree;
        tree.solver.reset();
        tree.views.clear();
        tree.constraints.clear();
        tree.broken.clear();
        tree.structure = gStructure;
        tree.dirty = true;

        std::vector<std::shared_ptr<View>> all;
        collectTree(root, all);
        for (const auto& view : all)
            if (view->layoutState_) view->layoutState_->takingPart = view->layoutState_->selfSizing = false;
        std::vector<std::shared_ptr<LayoutConstraint>> constraints;
        std::set<View*> referenced;
        for (const auto& view : all) {
            for (const auto& c : view->constraints()) {
                auto first = c->firstItem();
                auto second = c->secondItem();
                // Items outside this tree (or gone) cannot be solved here.
                if (!first || rootPtr(*first) != &root) continue;
                if (second && rootPtr(*second) != &root) continue;
                constraints.push_back(c);
                referenced.insert(first.get());
                if (second) referenced.insert(second.get());
            }
        }
        std::set<View*> selfSizing;
        for (const auto& view : all) {
            if (view.get() == &root || view->translatesAutoresizingMaskIntoConstraints() || referenced.count(view.get()))
                continue;
            const Size size = view->intrinsicContentSize();
            if ((size.width >= 0 && std::isfinite(size.width)) || (size.height >= 0 && std::isfinite(size.height)))
                selfSizing.insert(view.get());
        }
        if (constraints.empty() && selfSizing.empty()) return;
        // In the order they were installed, as the platform adds them: which of two
        // contradicting constraints is broken depends on it.
        std::stable_sort(constraints.begin(), constraints.end(),
                         [](const auto& a, const auto& b) { return a->installed_ < b->installed_; });
        // Taking part: the referenced views and their ancestors.
        std::set<View*> taking;
        for (const auto* set : {&referenced, &selfSizing})
            for (View* v : *set)
                for (View* a = v; a; a = a->superview().get()) taking.insert(a);
        for (const auto& view : all) {
            if (!taking.count(view.get())) continue;
            tree.views.push_back(view);  // `all` is parents-first
            auto& s = stateOf(*view);
            s.takingPart = true;
            s.selfSizing = selfSizing.count(view.get()) > 0;
            s.pinned = view.get() == &root || view->translatesAutoresizingMaskIntoConstraints() ||
                       (!referenced.count(view.get()) && !s.selfSizing);
            s.hug[0] = s.hug[1] = s.resist[0] = s.resist[1] = {};
            s.pinX = s.pinY = s.pinWidth = s.pinHeight = {};
            Expression parentLeft(0.0), parentTop(0.0);
            if (auto parent = view->superview()) {
                parentLeft = stateOf(*parent).left;
                parentTop = stateOf(*parent).top;
            }
            if (s.pinned) {
                const PinConstants k = pinConstants(*view);
                s.pinX = Constraint(Expression(s.left) - parentLeft + Expression(k.x), Relation::Equal);
                s.pinY = Constraint(Expression(s.top) - parentTop + Expression(k.y), Relation::Equal);
                s.pinWidth = Constraint(Expression(s.width) + Expression(k.width), Relation::Equal);
                s.pinHeight = Constraint(Expression(s.height) + Expression(k.height), Relation::Equal);
                for (auto* pin : {&s.pinX, &s.pinY, &s.pinWidth, &s.pinHeight}) tree.solver.addConstraint(*pin);
            } else {
                if (s.selfSizing) {
                    const PinConstants k = pinConstants(*view);
                    s.pinX = Constraint(Expression(s.left) - parentLeft + Expression(k.x), Relation::Equal);
                    s.pinY = Constraint(Expression(s.top) - parentTop + Expression(k.y), Relation::Equal);
                    tree.solver.addConstraint(s.pinX);
                    tree.solver.addConstraint(s.pinY);
                }
                // No implicit "size >= 0": like the platform's engine, contradictory constraints
                // may solve to a negative size, which the frame shows as 0 (positions stay as
                // solved, so neighbours are placed as the constraints say).
                addIntrinsic(tree, *view);
            }
        }
        for (const auto& c : constraints) {
            c->solved_ = solverConstraint(*c);
            c->broken_ = false;
            const auto result = tree.solver.addConstraint(c->solved_);
            if (!result.ok()) {
                c->broken_ = true;
                c->solved_ = {};
                tree.broken.push_back(c);
                logBroken(c, result.message);
            }
            tree.constraints.push_back(c);
        }
    }

    static void addIntrinsic(View::LayoutState::Tree& tree, View& view) {
        auto& s = stateOf(view);
        s.intrinsic = view.intrinsicContentSize();
        const Variable* sizes[2] = {&s.width, &s.height};
        const double values[2] = {s.intrinsic.width, s.intrinsic.height};
        for (int axis = 0; axis < 2; ++axis) {
            if (values[axis] < 0 || !std::isfinite(values[axis])) continue;
            const auto a = static_cast<LayoutAxis>(axis);
            s.hug[axis] = Constraint(Expression(*sizes[axis]) - Expression(values[axis]), Relation::LessThanOrEqual,
                                     view.contentHuggingPriority(a));
            s.resist[axis] = Constraint(Expression(*sizes[axis]) - Expression(values[axis]), Relation::GreaterThanOrEqual,
                                        view.contentCompressionResistancePriority(a));
            // A required size that conflicts is dropped like any broken constraint.
            if (!tree.solver.addConstraint(s.hug[axis]).ok()) s.hug[axis] = {};
            if (!tree.solver.addConstraint(s.resist[axis]).ok()) s.resist[axis] = {};
        }
    }

    // Brings constants up to date: pinned frames, intrinsic sizes. True when the structure
    // must be rebuilt instead (an intrinsic size appeared or went).
    static bool refreshConstants(View::LayoutState::Tree& tree) {
        for (const auto& weak : tree.views) {
            auto view = weak.lock();
            if (!view) return true;
            auto& s = stateOf(*view);
            if (s.pinned) {
                const PinConstants k = pinConstants(*view);
                tree.solver.changeConstant(s.pinX, k.x);
                tree.solver.changeConstant(s.pinY, k.y);
                tree.solver.changeConstant(s.pinWidth, k.width);
                tree.solver.changeConstant(s.pinHeight, k.height);
                continue;
            }
            if (s.selfSizing) {
                const PinConstants k = pinConstants(*view);
                tree.solver.changeConstant(s.pinX, k.x);
                tree.solver.changeConstant(s.pinY, k.y);
            }
            const Size now = view->intrinsicContentSize();
            if (now == s.intrinsic) continue;
            const double values[2] = {now.width, now.height};
            for (int axis = 0; axis < 2; ++axis) {
                const bool had = !s.hug[axis].isNull() || !s.resist[axis].isNull();
                const bool has = values[axis] >= 0 && std::isfinite(values[axis]);
                if (had != has) return true;
                if (!has) continue;
                if (!s.hug[axis].isNull()) tree.solver.changeConstant(s.hug[axis], -values[axis]);
                if (!s.resist[axis].isNull()) tree.solver.changeConstant(s.resist[axis], -values[axis]);
            }
            s.intrinsic = now;
        }
        return false;
    }

    // Solves and sets the frames of the views placed by constraints.
    static void solveAndApply(View& root) {
        auto& rootState = stateOf(root);
        if (!rootState.tree || rootState.tree->structure != gStructure) rebuild(root);
        auto& tree = *rootState.tree;
        // A tree left without constraints (its last constrained view removed) has nothing
        // to solve, and is settled.
        tree.dirty = false;
        if (tree.views.empty()) return;
        if (refreshConstants(tree)) {
            rebuild(root);
            if (tree.views.empty()) return;
        }
        tree.solver.updateVariables();
        for (const auto& weak : tree.views) {
            auto view = weak.lock();
            if (!view) continue;
            auto& s = stateOf(*view);
            if (s.pinned) continue;
            auto parent = view->superview();
            if (!parent) continue;
            const auto& ps = stateOf(*parent);
            auto clean = [](double v) { return std::abs(v) < 1e-9 ? 0.0 : v; };
            const Rect frame{clean(s.left.value() - ps.left.value()), clean(s.top.value() - ps.top.value()),
                             clean(std::max(0.0, s.width.value())), clean(std::max(0.0, s.height.value()))};
            if (!(view->frame() == frame)) view->setFrameFromLayout(frame);
        }
    }
};

// ---- Notifications --------------------------------------------------------------------------

void LayoutEngine::clearNeedsLayout(View& view) { view.needsLayout_ = false; }

void LayoutEngine::treeChanged(View& view) {
    ++gStructure;
    view.setNeedsLayout();
}

void LayoutEngine::willLeaveTree(View&) { ++gStructure; }

void LayoutEngine::constraintAdded(View& holder, const std::shared_ptr<LayoutConstraint>& constraint) {
    static unsigned long long installs = 0;
    constraint->holder_ = holder.weak_from_this();
    constraint->installed_ = ++installs;
    ++gStructure;
    holder.setNeedsLayout();
}

void LayoutEngine::constraintRemoved(View& holder, const std::shared_ptr<LayoutConstraint>& constraint) {
    constraint->holder_.reset();
    constraint->solved_ = {};
    ++gStructure;
    holder.setNeedsLayout();
}

void LayoutEngine::constraintChanged(LayoutConstraint& constraint) {
    auto holder = constraint.holder_.lock();
    if (!holder) return;
    auto root = rootOf(*holder);
    auto& state = stateOf(*root);
    bool done = false;
    if (!constraint.solved_.isNull() && state.tree && state.tree->structure == gStructure &&
        constraint.solved_.priority() == std::clamp(static_cast<double>(constraint.priority()), 1.0, 1000.0)) {
        // Only the constant moved: the expression's constant is −constant (lhs − rhs).
        const Constraint fresh = solverConstraint(constraint);
        done = state.tree->solver.changeConstant(constraint.solved_, fresh.expression().constant).ok();
        state.tree->dirty = true;
    }
    if (!done) ++gStructure;
    holder->setNeedsLayout();
    if (auto first = constraint.firstItem()) first->setNeedsLayout();
}

void LayoutEngine::constraintsChanged(View& view) {
    ++gStructure;
    view.setNeedsLayout();
    if (auto up = view.superview()) up->setNeedsLayout();
}

void LayoutEngine::intrinsicSizeChanged(View& view) {
    // A view placed by constraints that was left out for having no say may now size itself.
    if (!view.translatesAutoresizingMaskIntoConstraints() && (!view.layoutState_ || !view.layoutState_->takingPart))
        ++gStructure;
    view.setNeedsLayout();
    if (auto up = view.superview()) up->setNeedsLayout();
}

void LayoutEngine::frameChanged(View& view) {
    // A pinned view moved by hand: its subtree's constraints follow at the next layout.
    if (view.layoutState_ && (view.layoutState_->pinned || view.layoutState_->selfSizing) && !view.settingFrameFromLayout_)
        view.setNeedsLayout();
}

std::vector<std::shared_ptr<LayoutConstraint>> brokenConstraints(const View& view) {
    const View* root = &view;
    while (auto up = root->superview()) root = up.get();
    std::vector<std::shared_ptr<LayoutConstraint>> out;
    if (!root->layoutState_ || !root->layoutState_->tree) return out;
    for (const auto& weak : root->layoutState_->tree->broken)
        if (auto c = weak.lock()) out.push_back(c);
    return out;
}

// ---- Passes ---------------------------------------------------------------------------------

namespace {

// The tree's constraints changed since they were last solved.
bool needsSolve(View& root) {
    const auto& state = root.layoutState_;
    if (!state || !state->tree) return true;
    return state->tree->structure != gStructure || state->tree->dirty;
}

bool treeNeedsLayout(const View& view) {
    if (view.needsLayout()) return true;
    for (const auto& sub : view.subviews())
        if (treeNeedsLayout(*sub)) return true;
    return false;
}

// layoutSubviews top-down for the views that need it.
void layoutTree(View& view, int depth) {
    if (depth > 512) return;  // a tree this deep is a fault of the host; stop
    if (view.needsLayout()) {
        LayoutEngine::clearNeedsLayout(view);
        view.layoutSubviews();
    }
    const auto subviews = view.subviews();  // layoutSubviews may change the list
    for (const auto& sub : subviews) layoutTree(*sub, depth + 1);
}

}  // namespace

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

// Solves the constraints of the whole tree (frames depend on each other across it), then
// lays out `view`'s subtree, again while layoutSubviews changes constraints or frames.
void LayoutEngine::layoutIfNeeded(View& view) {
    auto self = view.weak_from_this().lock();
    if (!self) return;
    auto root = rootOf(view);
    static int depth = 0;  // layoutIfNeeded called from layoutSubviews
    if (depth > 16) return;
    ++depth;
    // A few rounds settle any sensible tree; more mean two views keep undoing each other.
    constexpr int kMaxRounds = 8;
    int round = 0;
    for (; round < kMaxRounds; ++round) {
        if (!treeNeedsLayout(*self) && !needsSolve(*root)) break;
        LayoutEngineTree::solveAndApply(*root);
        layoutTree(*self, 0);
    }
    --depth;
    if (round == kMaxRounds)
        SystemLog::write("quelmar: layout did not settle after " + std::to_string(kMaxRounds) + " passes: " + root->description());
}

}  // namespace qm::platform
