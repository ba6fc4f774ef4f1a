#include "qmui/layout_constraint.hpp"

#include <cmath>
#include <cstdio>

#include "layout_engine.hpp"
#include "qmplatform/system_log.hpp"
#include "qmui/view.hpp"
#include "qmui/visual_format.hpp"

namespace qm::platform {

namespace {

bool isSize(LayoutAttribute a) { return a == LayoutAttribute::Width || a == LayoutAttribute::Height; }
bool isHorizontal(LayoutAttribute a) {
    switch (a) {
        case LayoutAttribute::Left:
        case LayoutAttribute::Right:
        case LayoutAttribute::Leading:
        case LayoutAttribute::Trailing:
        case LayoutAttribute::CenterX:
            return true;
        default:
            return false;
    }
}
bool isVertical(LayoutAttribute a) {
    switch (a) {
        case LayoutAttribute::Top:
        case LayoutAttribute::Bottom:
        case LayoutAttribute::CenterY:
        case LayoutAttribute::FirstBaseline:
        case LayoutAttribute::LastBaseline:
            return true;
        default:
            return false;
    }
}

std::string viewName(const std::shared_ptr<View>& view) {
    if (!view) return "(null)";
    if (!view->accessibilityIdentifier().empty()) return view->accessibilityIdentifier();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s:%p", view->className().c_str(), static_cast<const void*>(view.get()));
    return buffer;
}

std::shared_ptr<View> commonAncestor(const std::shared_ptr<View>& a, const std::shared_ptr<View>& b) {
    if (!b) return a;
    for (auto v = a; v; v = v->superview())
        if (b->isDescendantOfView(v.get())) return v;
    return nullptr;
}

}  // namespace

std::shared_ptr<LayoutConstraint> LayoutConstraint::constraintWithItem(const std::shared_ptr<View>& view1,
                                                                       LayoutAttribute attribute1, LayoutRelation relation,
                                                                       const std::shared_ptr<View>& view2,
                                                                       LayoutAttribute attribute2, double multiplier,
                                                                       double constant) {
    auto refuse = [](const std::string& why) {
        SystemLog::write("quelmar: a layout constraint was not made: " + why);
        return nullptr;
    };
    if (!view1 || attribute1 == LayoutAttribute::NotAnAttribute) return refuse("it needs a first item and attribute");
    if (!std::isfinite(multiplier) || !std::isfinite(constant)) return refuse("its multiplier or constant is not a number");
    if (view2 && attribute2 == LayoutAttribute::NotAnAttribute) return refuse("a second item needs an attribute");
    if (!view2 && attribute2 != LayoutAttribute::NotAnAttribute) return refuse("a second attribute needs a second item");
    if (!view2 && !isSize(attribute1)) return refuse("a position cannot be set to a constant; relate it to another item");
    if (view2 && multiplier == 0 && !isSize(attribute1)) return refuse("a position needs a multiplier other than 0");
    if (view2 && !isSize(attribute1) && !isSize(attribute2) &&
        ((isHorizontal(attribute1) && isVertical(attribute2)) || (isVertical(attribute1) && isHorizontal(attribute2))))
        return refuse(std::string("a horizontal and a vertical position cannot be related (") + layoutAttributeName(attribute1) +
                      ", " + layoutAttributeName(attribute2) + ")");
    if (view2 && isSize(attribute1) != isSize(attribute2))
        return refuse(std::string("a size and a position cannot be related (") + layoutAttributeName(attribute1) + ", " +
                      layoutAttributeName(attribute2) + ")");
    std::shared_ptr<LayoutConstraint> c(new LayoutConstraint);
    c->first_ = view1;
    c->firstAttribute_ = attribute1;
    c->relation_ = relation;
    c->second_ = view2;
    c->secondAttribute_ = view2 ? attribute2 : LayoutAttribute::NotAnAttribute;
    c->multiplier_ = multiplier;
    c->constant_ = constant;
    return c;
}

std::vector<std::shared_ptr<LayoutConstraint>> LayoutConstraint::constraintsWithVisualFormat(
    std::string_view format, LayoutFormatOptions options, const std::map<std::string, double, std::less<>>& metrics,
    const std::map<std::string, std::shared_ptr<View>, std::less<>>& views) {
    visual_format::Metrics m(metrics.begin(), metrics.end());
    visual_format::ViewNames names;
    for (const auto& [name, view] : views)
        if (view) names.insert(name);
    const auto parsed = visual_format::parse(format, options, m, names);
    if (!parsed.ok()) {
        SystemLog::write("quelmar: " + parsed.error);
        return {};
    }
    auto resolve = [&](const visual_format::Item& item, const std::shared_ptr<View>& other) -> std::shared_ptr<View> {
        switch (item.kind) {
            case visual_format::Item::Kind::View: {
                auto it = views.find(item.name);
                return it == views.end() ? nullptr : it->second;
            }
            case visual_format::Item::Kind::Superview:
                return other ? other->superview() : nullptr;
            default:
                return nullptr;
        }
    };
    std::vector<std::shared_ptr<LayoutConstraint>> out;
    for (const auto& d : parsed.constraints) {
        // "|" is the superview of the view the description relates it to.
        const auto viewSide = d.firstItem.kind == visual_format::Item::Kind::View ? resolve(d.firstItem, nullptr)
                                                                                   : resolve(d.secondItem, nullptr);
        auto first = resolve(d.firstItem, viewSide);
        auto second = resolve(d.secondItem, viewSide);
        if (!first || (d.secondItem.kind != visual_format::Item::Kind::None && !second)) {
            SystemLog::write("quelmar: Unable to interpret '|' character, because the related view doesn't have a superview " +
                             std::string(format));
            return {};
        }
        auto c = constraintWithItem(first, d.firstAttribute, d.relation, second, d.secondAttribute, d.multiplier, d.constant);
        if (!c) return {};
        c->priority_ = static_cast<float>(d.priority);
        out.push_back(std::move(c));
    }
    return out;
}

void LayoutConstraint::activateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints)
        if (c) c->setActive(true);
}

void LayoutConstraint::deactivateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints)
        if (c) c->setActive(false);
}

void LayoutConstraint::setConstant(double constant) {
    if (!std::isfinite(constant) || constant == constant_) return;
    constant_ = constant;
    LayoutEngine::constraintChanged(*this);
}

void LayoutConstraint::setPriority(float priority) {
    if (!(priority > 0) || priority > 1000) return;
    if (isActive() && ((priority >= 1000) != (priority_ >= 1000))) {
        SystemLog::write("quelmar: mutating a priority from required to not on an installed constraint (or vice-versa) "
                         "is not supported; " + description());
        return;
    }
    priority_ = priority;
    LayoutEngine::constraintChanged(*this);
}

void LayoutConstraint::setActive(bool active) {
    if (active == isActive()) return;
    const auto self = shared_from_this();
    if (!active) {
        if (auto holder = holder_.lock()) holder->removeConstraint(self);
        return;
    }
    auto holder = commonAncestor(firstItem(), secondItem());
    if (!holder) {
        SystemLog::write("quelmar: Unable to activate constraint with anchors " + description() +
                         " because they have no common ancestor. Does the constraint or its anchors reference items in "
                         "different view hierarchies? That's illegal.");
        return;
    }
    holder->addConstraint(self);
}

std::string LayoutConstraint::description() const {
    static const char* relations[] = {"<=", "==", ">="};
    std::string text = "<LayoutConstraint " + viewName(firstItem()) + "." + layoutAttributeName(firstAttribute_) + " " +
                       relations[static_cast<int>(relation_) + 1] + " ";
    char number[64];
    if (auto second = secondItem()) {
        if (multiplier_ != 1) {
            std::snprintf(number, sizeof number, "%g*", multiplier_);
            text += number;
        }
        text += viewName(second) + "." + layoutAttributeName(secondAttribute_);
        if (constant_ != 0) {
            std::snprintf(number, sizeof number, " %s %g", constant_ < 0 ? "-" : "+", std::abs(constant_));
            text += number;
        }
    } else {
        std::snprintf(number, sizeof number, "%g", constant_);
        text += number;
    }
    if (priority_ < 1000) {
        std::snprintf(number, sizeof number, " @%g", static_cast<double>(priority_));
        text += number;
    }
    if (!identifier.empty()) text += " (" + identifier + ")";
    return text + ">";
}

}  // namespace qm::platform
