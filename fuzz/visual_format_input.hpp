// Shared by the visual format fuzzer and the test that replays its findings: how an input's
// bytes become a format, options, metrics and view names, and what must hold for any of them.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "qmui/layout_solver.hpp"
#include "qmui/visual_format.hpp"

namespace qm::fuzz {

struct VisualFormatInput {
    std::string format;
    platform::LayoutFormatOptions options = 0;
    platform::visual_format::Metrics metrics;
    platform::visual_format::ViewNames views;
};

// Four bytes of options (little end first), then lines: the format, then "name=number" for a
// metric or a bare name for a view.
inline VisualFormatInput splitVisualFormatInput(std::string_view bytes) {
    VisualFormatInput input;
    for (int i = 0; i < 4 && !bytes.empty(); ++i, bytes.remove_prefix(1))
        input.options |= static_cast<platform::LayoutFormatOptions>(static_cast<unsigned char>(bytes.front())) << (8 * i);
    bool first = true;
    while (!bytes.empty()) {
        const std::size_t end = std::min(bytes.find('\n'), bytes.size());
        const std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(std::min(end + 1, bytes.size()));
        if (first) {
            input.format = std::string(line);
            first = false;
        } else if (auto eq = line.find('='); eq != std::string_view::npos) {
            double value = 0;
            std::from_chars(line.data() + eq + 1, line.data() + line.size(), value);
            input.metrics[std::string(line.substr(0, eq))] = value;
        } else {
            input.views.insert(std::string(line));
        }
    }
    return input;
}

// Empty when every promise held: a result is either descriptions or an error in the
// platform's shape; descriptions name only known views and carry usable numbers; the solver
// takes them (or refuses them) and its answers stay finite through removals and changes.
inline std::string exerciseVisualFormat(const VisualFormatInput& input) {
    namespace vf = platform::visual_format;
    namespace layout = platform::layout;
    using platform::LayoutAttribute;
    const auto result = vf::parse(input.format, input.options, input.metrics, input.views);
    if (!result.ok()) {
        if (!result.constraints.empty()) return "error with constraints";
        if (result.error.rfind("Unable to parse constraint format: \n", 0) != 0) return "error text: " + result.error;
        if (result.error.back() != '^') return "no caret: " + result.error;
        return {};
    }
    struct Frame {
        layout::Variable left, top, width, height;
    };
    std::map<std::string, Frame> frames;
    auto frameOf = [&](const vf::Item& item) -> Frame& { return frames[item.kind == vf::Item::Kind::View ? item.name : "|"]; };
    auto attribute = [](Frame& f, LayoutAttribute a) -> layout::Expression {
        switch (a) {
            case LayoutAttribute::Left:
            case LayoutAttribute::Leading: return f.left;
            case LayoutAttribute::Right:
            case LayoutAttribute::Trailing: return f.left + f.width;
            case LayoutAttribute::CenterX: return f.left + f.width / 2;
            case LayoutAttribute::Top: return f.top;
            case LayoutAttribute::Bottom:
            case LayoutAttribute::LastBaseline:
            case LayoutAttribute::FirstBaseline: return f.top + f.height;
            case LayoutAttribute::CenterY: return f.top + f.height / 2;
            case LayoutAttribute::Width: return f.width;
            case LayoutAttribute::Height: return f.height;
            case LayoutAttribute::NotAnAttribute: break;
        }
        return 0.0;
    };
    layout::Solver solver;
    std::vector<layout::Constraint> added;
    for (const auto& d : result.constraints) {
        for (const auto* item : {&d.firstItem, &d.secondItem})
            if (item->kind == vf::Item::Kind::View && !input.views.count(item->name)) return "unknown view " + item->name;
        if (d.firstItem.kind == vf::Item::Kind::None || d.firstAttribute == LayoutAttribute::NotAnAttribute)
            return "no first item: " + d.description();
        if (!std::isfinite(d.constant) || !std::isfinite(d.multiplier) || !(d.priority > 0 && d.priority <= 1000))
            return "unusable numbers: " + d.description();
        (void)d.description();
        layout::Expression rhs = d.constant;
        if (d.secondItem.kind != vf::Item::Kind::None)
            rhs = attribute(frameOf(d.secondItem), d.secondAttribute) * d.multiplier + rhs;
        const auto lhs = attribute(frameOf(d.firstItem), d.firstAttribute);
        auto c = d.relation == platform::LayoutRelation::Equal ? lhs == rhs
                 : d.relation == platform::LayoutRelation::LessThanOrEqual ? lhs <= rhs : lhs >= rhs;
        c = c.withPriority(d.priority);
        if (solver.addConstraint(c)) added.push_back(c);
    }
    auto finite = [&] {
        solver.updateVariables();
        for (const auto& [name, f] : frames)
            for (const auto* v : {&f.left, &f.top, &f.width, &f.height})
                if (!std::isfinite(v->value())) return false;
        return true;
    };
    if (!finite()) return "non-finite solution";
    for (std::size_t i = 0; i < added.size(); ++i) {
        if (i % 2) {
            if (!solver.removeConstraint(added[i])) return "could not remove " + added[i].description();
        } else {
            solver.changeConstant(added[i], added[i].expression().constant + 1);
        }
        if (!finite()) return "non-finite solution after a change";
    }
    return {};
}

}  // namespace qm::fuzz
