// Layout attributes, relations and format options with the platform's numbering, shared by
// the visual format language and the view tree's constraints.
#pragma once

#include <cstdint>

namespace qm::platform {

enum class LayoutAttribute : int {
    NotAnAttribute = 0,
    Left = 1,
    Right = 2,
    Top = 3,
    Bottom = 4,
    Leading = 5,
    Trailing = 6,
    Width = 7,
    Height = 8,
    CenterX = 9,
    CenterY = 10,
    LastBaseline = 11,
    FirstBaseline = 12,
};

// The attribute's name as descriptions and scene files spell it ("centerX"); "notAnAttribute"
// for anything else.
constexpr const char* layoutAttributeName(LayoutAttribute a) {
    switch (a) {
        case LayoutAttribute::Left: return "left";
        case LayoutAttribute::Right: return "right";
        case LayoutAttribute::Top: return "top";
        case LayoutAttribute::Bottom: return "bottom";
        case LayoutAttribute::Leading: return "leading";
        case LayoutAttribute::Trailing: return "trailing";
        case LayoutAttribute::Width: return "width";
        case LayoutAttribute::Height: return "height";
        case LayoutAttribute::CenterX: return "centerX";
        case LayoutAttribute::CenterY: return "centerY";
        case LayoutAttribute::LastBaseline: return "lastBaseline";
        case LayoutAttribute::FirstBaseline: return "firstBaseline";
        case LayoutAttribute::NotAnAttribute: break;
    }
    return "notAnAttribute";
}

enum class LayoutRelation : int { LessThanOrEqual = -1, Equal = 0, GreaterThanOrEqual = 1 };

// Format options: the alignment bit of an attribute is 1 << its number; the direction sits in
// bits 16 and 17.
using LayoutFormatOptions = std::uint64_t;
inline constexpr LayoutFormatOptions kAlignAllLeft = 1u << 1;
inline constexpr LayoutFormatOptions kAlignAllRight = 1u << 2;
inline constexpr LayoutFormatOptions kAlignAllTop = 1u << 3;
inline constexpr LayoutFormatOptions kAlignAllBottom = 1u << 4;
inline constexpr LayoutFormatOptions kAlignAllLeading = 1u << 5;
inline constexpr LayoutFormatOptions kAlignAllTrailing = 1u << 6;
inline constexpr LayoutFormatOptions kAlignAllCenterX = 1u << 9;
inline constexpr LayoutFormatOptions kAlignAllCenterY = 1u << 10;
inline constexpr LayoutFormatOptions kAlignAllLastBaseline = 1u << 11;
inline constexpr LayoutFormatOptions kAlignAllFirstBaseline = 1u << 12;
inline constexpr LayoutFormatOptions kAlignmentMask = 0xFFFF;
inline constexpr LayoutFormatOptions kDirectionLeadingToTrailing = 0u << 16;
inline constexpr LayoutFormatOptions kDirectionLeftToRight = 1u << 16;
inline constexpr LayoutFormatOptions kDirectionRightToLeft = 2u << 16;
inline constexpr LayoutFormatOptions kDirectionMask = 3u << 16;

// The platform's priorities, as in the solver: 1000 is required.
inline constexpr double kLayoutPriorityRequired = 1000;
inline constexpr double kLayoutPriorityDefaultHigh = 750;
inline constexpr double kLayoutPriorityDefaultLow = 250;

}  // namespace qm::platform
