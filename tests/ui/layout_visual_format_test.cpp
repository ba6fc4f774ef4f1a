// The visual format language: each construct against descriptions worked out by hand (in the
// order the format gives them), the direction and alignment options, and refusals with the
// platform's error text.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/visual_format_input.hpp"
#include "qmui/visual_format.hpp"

using namespace qm::platform;
using namespace qm::platform::visual_format;
using A = LayoutAttribute;
using R = LayoutRelation;

namespace qm::platform::visual_format {
void PrintTo(const ConstraintDescription& d, std::ostream* out) { *out << d.description(); }
}  // namespace qm::platform::visual_format

namespace {

const ViewNames kViews = {"a", "b", "c", "wide"};
const Metrics kMetrics = {{"pad", 12}, {"low", 250}, {"wide", 300}, {"bad", std::nan("")}};

ConstraintDescription d(Item first, A firstAttribute, R relation, Item second, A secondAttribute, double constant,
                        double priority = 1000) {
    ConstraintDescription out;
    out.firstItem = std::move(first);
    out.firstAttribute = firstAttribute;
    out.relation = relation;
    out.secondItem = std::move(second);
    out.secondAttribute = secondAttribute;
    out.constant = constant;
    out.priority = priority;
    return out;
}
// view.attribute relation constant
ConstraintDescription size(const char* view, A attribute, R relation, double constant, double priority = 1000) {
    return d(Item::view(view), attribute, relation, Item::none(), A::NotAnAttribute, constant, priority);
}

const Item a = Item::view("a"), b = Item::view("b"), c = Item::view("c"), sv = Item::superview();

std::vector<std::string> texts(const std::vector<ConstraintDescription>& list) {
    std::vector<std::string> out;
    for (const auto& item : list) out.push_back(item.description());
    return out;
}

void expectParse(std::string_view format, LayoutFormatOptions options, const std::vector<ConstraintDescription>& want) {
    const auto result = parse(format, options, kMetrics, kViews);
    ASSERT_TRUE(result.ok()) << format << "\n" << result.error;
    EXPECT_EQ(texts(result.constraints), texts(want)) << format;
    EXPECT_EQ(result.constraints, want) << format;
}

}  // namespace

TEST(VisualFormat, SpacingBetweenViewsAndToTheSuperview) {
    // Standard spacing: 20 to the edges, 8 between views; later edge == earlier edge + gap.
    expectParse("H:|-[a]-[b]-|", 0,
                {d(a, A::Leading, R::Equal, sv, A::Leading, 20), d(b, A::Leading, R::Equal, a, A::Trailing, 8),
                 d(sv, A::Trailing, R::Equal, b, A::Trailing, 20)});
    // Flush, with H: left out.
    expectParse("|[a][b]|", 0,
                {d(a, A::Leading, R::Equal, sv, A::Leading, 0), d(b, A::Leading, R::Equal, a, A::Trailing, 0),
                 d(sv, A::Trailing, R::Equal, b, A::Trailing, 0)});
    // Numbers bare and in parentheses, metrics, a negative gap, spaces between tokens.
    expectParse("|-10-[a]-(20.5)-[b]-pad-[c]-(-4)-|", 0,
                {d(a, A::Leading, R::Equal, sv, A::Leading, 10), d(b, A::Leading, R::Equal, a, A::Trailing, 20.5),
                 d(c, A::Leading, R::Equal, b, A::Trailing, 12), d(sv, A::Trailing, R::Equal, c, A::Trailing, -4)});
    expectParse(" H: [a] - (pad) - [b] ", 0, {d(b, A::Leading, R::Equal, a, A::Trailing, 12)});
    // A predicate list: several constraints on one gap, relations and priorities.
    expectParse("[a]-(>=8@750,<=pad,==10@low)-[b]", 0,
                {d(b, A::Leading, R::GreaterThanOrEqual, a, A::Trailing, 8, 750),
                 d(b, A::Leading, R::LessThanOrEqual, a, A::Trailing, 12),
                 d(b, A::Leading, R::Equal, a, A::Trailing, 10, 250)});
    // Vertically: top and bottom.
    expectParse("V:|-[a(44)]-(>=0)-|", 0,
                {d(a, A::Top, R::Equal, sv, A::Top, 20), size("a", A::Height, R::Equal, 44),
                 d(sv, A::Bottom, R::GreaterThanOrEqual, a, A::Bottom, 0)});
}

TEST(VisualFormat, SizePredicatesOnViews) {
    expectParse("[a(==50)]", 0, {size("a", A::Width, R::Equal, 50)});
    expectParse("[a(>=50,<=100@250)]", 0,
                {size("a", A::Width, R::GreaterThanOrEqual, 50), size("a", A::Width, R::LessThanOrEqual, 100, 250)});
    // Another view's size; a name the metrics hold is the metric even when a view has it too.
    expectParse("V:[a(==b)][c(>=wide@999)]", 0,
                {d(a, A::Height, R::Equal, b, A::Height, 0), d(c, A::Top, R::Equal, a, A::Bottom, 0),
                 size("c", A::Height, R::GreaterThanOrEqual, 300, 999)});
    expectParse("[a(<=b@low)]", 0, {d(a, A::Width, R::LessThanOrEqual, b, A::Width, 0, 250)});
}

TEST(VisualFormat, DirectionOptionsChooseTheHorizontalAttributes) {
    expectParse("|-[a]-[b]-|", kDirectionLeftToRight,
                {d(a, A::Left, R::Equal, sv, A::Left, 20), d(b, A::Left, R::Equal, a, A::Right, 8),
                 d(sv, A::Right, R::Equal, b, A::Right, 20)});
    // Right to left the format reads from the right edge: a sits right of b.
    expectParse("|-[a]-(>=6)-[b]-|", kDirectionRightToLeft,
                {d(sv, A::Right, R::Equal, a, A::Right, 20), d(a, A::Left, R::GreaterThanOrEqual, b, A::Right, 6),
                 d(b, A::Left, R::Equal, sv, A::Left, 20)});
    // The direction does not touch vertical formats.
    expectParse("V:[a]-[b]", kDirectionRightToLeft, {d(b, A::Top, R::Equal, a, A::Bottom, 8)});
}

TEST(VisualFormat, AlignmentOptionsJoinNeighbouringViews) {
    expectParse("H:|-[a]-[b][c]", kAlignAllTop | kAlignAllCenterY,
                {d(a, A::Leading, R::Equal, sv, A::Leading, 20), d(b, A::Leading, R::Equal, a, A::Trailing, 8),
                 d(c, A::Leading, R::Equal, b, A::Trailing, 0), d(b, A::Top, R::Equal, a, A::Top, 0),
                 d(c, A::Top, R::Equal, b, A::Top, 0), d(b, A::CenterY, R::Equal, a, A::CenterY, 0),
                 d(c, A::CenterY, R::Equal, b, A::CenterY, 0)});
    expectParse("V:[a]-[b]-|", kAlignAllLeading | kDirectionLeftToRight,
                {d(b, A::Top, R::Equal, a, A::Bottom, 8), d(sv, A::Bottom, R::Equal, b, A::Bottom, 20),
                 d(b, A::Leading, R::Equal, a, A::Leading, 0)});
    expectParse("[a]", kAlignAllLastBaseline | kAlignAllFirstBaseline, {});
}

TEST(VisualFormat, BadFormatsGiveThePlatformsErrorText) {
    auto result = parse("H:[a]-[zz]", 0, kMetrics, kViews);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.constraints.empty());
    EXPECT_EQ(result.error,
              "Unable to parse constraint format: \nzz is not a key in the views dictionary.\nH:[a]-[zz]\n       ^");

    struct Case {
        const char* format;
        LayoutFormatOptions options;
        const char* reason;
        std::size_t caret;
    };
    const std::vector<Case> cases = {
        {"[a]-gap-[b]", 0, "gap is not a key in the metrics dictionary.", 4},
        {"[a]-(>=gap)-[b]", 0, "gap is not a key in the metrics dictionary.", 7},
        {"[a(==zz)]", 0, "zz is not a key in the views dictionary.", 5},
        {"[a]-b-[c]", 0, "A view cannot give a spacing: b", 4},
        {"[a]-bad-[b]", 0, "The metric bad is not a finite number", 4},
        {"[a(==b*2)]", 0, "Expected ',' or ')' in the predicate list", 6},
        {"[a]-(1e999)-[b]", 0, "The number is out of range", 5},
        {"[a(=50)]", 0, "Unknown relation. Must be ==, >=, or <=", 3},
        {"[a(==50@0)]", 0, "A priority must be greater than 0 and at most 1000", 8},
        {"[a(==50@1001)]", 0, "A priority must be greater than 0 and at most 1000", 8},
        {"[a(==50@)]", 0, "Expected a number or a metric name", 8},
        {"[a()]", 0, "Expected a number or a metric name", 3},
        {"[a]-|-[b]", 0, "'|' may only stand at the start or the end of the format", 5},
        {"[]", 0, "Expected a view name after '['", 1},
        {"[a", 0, "Expected ']' to end the view", 2},
        {"[a]-", 0, "Expected a number, a metric name or '(' after '-'", 4},
        {"[a]-8[b]", 0, "Expected '-' after the spacing", 5},
        {"[a]--[b]", 0, "Expected a number, a metric name or '(' after '-'", 4},
        {"[a]x", 0, "Expected a view or '|' here", 3},
        {"X:[a]", 0, "Unknown orientation: use H: or V:", 0},
        {"", 0, "Expected a view: '[' starts one", 0},
        {"H:", 0, "Expected a view: '[' starts one", 2},
        {"|-|", 0, "Expected a view: '[' starts one", 2},
        {"||", 0, "Expected a view", 1},
        {"H:[a][b]", kAlignAllLeft, "Options mask required views to be aligned on a horizontal edge, which is not allowed for layout that is also horizontal.", 0},
        {"V:[a][b]", kAlignAllBottom, "Options mask required views to be aligned on a vertical edge, which is not allowed for layout that is also vertical.", 0},
        {"[a][b]", 3u << 16, "Unknown direction in the options", 0},
        {"[a][b]", 1u << 7, "Unknown alignment in the options", 0},
    };
    for (const auto& test : cases) {
        result = parse(test.format, test.options, kMetrics, kViews);
        EXPECT_EQ(result.error, "Unable to parse constraint format: \n" + std::string(test.reason) + "\n" +
                                    test.format + "\n" + std::string(test.caret, ' ') + "^")
            << test.format;
        EXPECT_TRUE(result.constraints.empty());
    }
}

// The fuzzer's seeds and every input it ever stopped on stay here; all must pass again.
TEST(VisualFormatFuzzReplay, StoredInputsKeepEveryPromise) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QM_TEST_DATA_DIR "/layout/fuzz")) {
        if (!entry.is_regular_file()) continue;
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(qm::fuzz::exerciseVisualFormat(qm::fuzz::splitVisualFormatInput(bytes)), "") << entry.path();
    }
    EXPECT_GE(files, 4u);
}
