// The visual format language: "H:|-(pad)-[title(>=80@750)]-[button(==title)]-|" read into
// plain constraint descriptions, which the view tree turns into constraints.
//
//   format      (H: | V:)? ('|' connection)? view (connection view)* (connection '|')?
//   view        '[' name ('(' predicate (',' predicate)* ')')? ']'
//   connection  nothing (flush) | '-' (standard spacing) | '-' number '-' | '-' metric '-'
//               | '-(' predicate (',' predicate)* ')-'
//   predicate   ('==' | '<=' | '>=')? (number | metric | view name) ('@' (number | metric))?
//
// Names are [A-Za-z_][A-Za-z0-9_]*; spaces between tokens are ignored. A name in a view's
// predicate is a metric when the metrics hold it, else a view (sizes equal). The standard
// spacing is 8 points between views and 20 to the superview's edge. Spacing reads as
// "later edge == earlier edge + gap": [a]-8-[b] is b.leading == a.trailing + 8 and [a]-|
// is superview.trailing == a.trailing + 20. Right to left, the earlier view is the one on
// the right: a.left == b.right + 8. Alignment options add later.attribute == earlier
// .attribute for every pair of neighbouring views, after the format's own constraints.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "qmui/layout_attributes.hpp"

namespace qm::platform::visual_format {

struct Item {
    enum class Kind { None, View, Superview };
    Kind kind = Kind::None;
    std::string name;  // for views

    static Item none() { return {}; }
    static Item view(std::string name) { return {Kind::View, std::move(name)}; }
    static Item superview() { return {Kind::Superview, {}}; }
    friend bool operator==(const Item&, const Item&) = default;
};

// firstItem.firstAttribute relation multiplier × secondItem.secondAttribute + constant.
struct ConstraintDescription {
    Item firstItem;
    LayoutAttribute firstAttribute = LayoutAttribute::NotAnAttribute;
    LayoutRelation relation = LayoutRelation::Equal;
    Item secondItem;
    LayoutAttribute secondAttribute = LayoutAttribute::NotAnAttribute;
    double multiplier = 1;
    double constant = 0;
    double priority = kLayoutPriorityRequired;

    friend bool operator==(const ConstraintDescription&, const ConstraintDescription&) = default;
    // "b.leading == a.trailing + 8", "a.width >= 50 @250", for logs and test failures.
    std::string description() const;
};

inline constexpr double kStandardSpacing = 8;
inline constexpr double kSuperviewSpacing = 20;

using Metrics = std::map<std::string, double, std::less<>>;
using ViewNames = std::set<std::string, std::less<>>;

struct Result {
    std::vector<ConstraintDescription> constraints;
    // Empty on success; otherwise "Unable to parse constraint format: " with the reason, the
    // format and a caret under the place it stopped, as the platform prints it.
    std::string error;

    bool ok() const { return error.empty(); }
};

// Never throws; any text gives either descriptions or an error.
Result parse(std::string_view format, LayoutFormatOptions options, const Metrics& metrics, const ViewNames& views);

}  // namespace qm::platform::visual_format
