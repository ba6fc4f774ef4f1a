// Layout constraints with the platform's meaning:
//
//     firstItem.firstAttribute  relation  multiplier × secondItem.secondAttribute + constant
//
// at a priority (1000 = required). A constraint is active while it is installed on a view
// (the nearest common ancestor of its items when activated); the views' layout pass solves
// the active constraints of a tree and sets the frames of the views that do not translate
// their frames into constraints. Main thread only, like views.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qmui/layout_attributes.hpp"
#include "qmui/layout_solver.hpp"

namespace qm::platform {

class View;

class LayoutConstraint : public std::enable_shared_from_this<LayoutConstraint> {
public:
    // Not active yet. A constant or multiplier that is not a number, or a second item with a
    // size attribute where the first is a position (or the reverse), gives nothing (logged).
    static std::shared_ptr<LayoutConstraint> constraintWithItem(const std::shared_ptr<View>& view1, LayoutAttribute attribute1,
                                                                LayoutRelation relation, const std::shared_ptr<View>& view2,
                                                                LayoutAttribute attribute2, double multiplier, double constant);
    // The constraints a visual format describes, not active yet. The views must have a common
    // superview for "|". An unreadable format is logged (the platform's text) and gives none.
    static std::vector<std::shared_ptr<LayoutConstraint>> constraintsWithVisualFormat(
        std::string_view format, LayoutFormatOptions options, const std::map<std::string, double, std::less<>>& metrics,
        const std::map<std::string, std::shared_ptr<View>, std::less<>>& views);
    static void activateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
    static void deactivateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);

    std::shared_ptr<View> firstItem() const { return first_.lock(); }
    LayoutAttribute firstAttribute() const { return firstAttribute_; }
    LayoutRelation relation() const { return relation_; }
    std::shared_ptr<View> secondItem() const { return second_.lock(); }
    LayoutAttribute secondAttribute() const { return secondAttribute_; }
    double multiplier() const { return multiplier_; }

    double constant() const { return constant_; }
    // Takes effect at the next layout pass, without re-solving from scratch.
    void setConstant(double constant);
    float priority() const { return priority_; }
    // Between optional priorities, or before the constraint is active. Making an active
    // constraint required or optional is refused (logged), as on the platform.
    void setPriority(float priority);

    bool isActive() const { return !holder_.expired(); }
    // Installs the constraint on the nearest common ancestor of its items (refused, logged,
    // when they have none), or removes it from the view holding it.
    void setActive(bool active);

    std::string identifier;

    // "<LayoutConstraint card.height == 200 @1000>"-like text, naming views by their
    // accessibility identifier (or class) — what logs and broken-constraint reports show.
    std::string description() const;

private:
    friend class LayoutEngine;
    friend class LayoutEngineTree;
    friend class View;
    LayoutConstraint() = default;

    std::weak_ptr<View> first_, second_;
    LayoutAttribute firstAttribute_ = LayoutAttribute::NotAnAttribute;
    LayoutAttribute secondAttribute_ = LayoutAttribute::NotAnAttribute;
    LayoutRelation relation_ = LayoutRelation::Equal;
    double multiplier_ = 1;
    double constant_ = 0;
    float priority_ = 1000;
    std::weak_ptr<View> holder_;  // the view it is installed on
    unsigned long long installed_ = 0;  // when it was installed, to solve in that order

    // The engine's copy in its solver, while solved there.
    layout::Constraint solved_;
    bool broken_ = false;  // refused by the solver at the last rebuild
};

// The constraints of the tree of `view` the last layout pass could not satisfy and broke.
std::vector<std::shared_ptr<LayoutConstraint>> brokenConstraints(const View& view);

}  // namespace qm::platform
