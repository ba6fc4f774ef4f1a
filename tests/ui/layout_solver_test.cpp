// The constraint solver: required and optional constraints, edit variables, incremental
// constant changes against solving from scratch, removal, refusals that leave the solver as
// it was. Expected values are worked out by hand in each test.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "qmui/layout_solver.hpp"

using namespace qm::platform::layout;

namespace {

// A container of width `outer` with two boxes side by side: 10 from the left edge, 8 apart,
// 10 from the right edge, the first box twice as wide as the second.
struct TwoBoxes {
    Variable outer{"outer"}, left1{"left1"}, width1{"width1"}, left2{"left2"}, width2{"width2"};
    std::vector<Constraint> constraints;

    explicit TwoBoxes(double outerWidth) {
        constraints = {
            outer == outerWidth,
            left1 == 10,
            left2 == left1 + width1 + 8,
            outer == left2 + width2 + 10,
            width1 == 2 * width2,
        };
    }
    void addTo(Solver& solver) {
        for (auto& c : constraints) ASSERT_TRUE(solver.addConstraint(c)) << c.description();
        solver.updateVariables();
    }
};

}  // namespace

TEST(LayoutSolver, RequiredEqualitiesAndInequalitiesHold) {
    Solver solver;
    TwoBoxes boxes(400);
    boxes.addTo(solver);
    // 400 − 10 − 8 − 10 = 372 shared 2:1.
    EXPECT_DOUBLE_EQ(boxes.width1.value(), 248);
    EXPECT_DOUBLE_EQ(boxes.width2.value(), 124);
    EXPECT_DOUBLE_EQ(boxes.left2.value(), 266);

    // An inequality that already holds changes nothing; one that does not moves the answer.
    Variable x("x");
    ASSERT_TRUE(solver.addConstraint(x >= 5));
    ASSERT_TRUE(solver.addConstraint(x <= boxes.width2));
    ASSERT_TRUE(solver.addConstraint((x == 1000).withPriority(kPriorityDefaultLow)));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(x.value(), 124);  // pulled up as far as the required bound lets it
}

TEST(LayoutSolver, HigherPriorityWinsAgainstSeveralLowerOnes) {
    Solver solver;
    Variable width("width");
    // Four low-priority wishes for 100 against one high-priority wish for 300.
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(solver.addConstraint((width == 100).withPriority(kPriorityDefaultLow)));
    ASSERT_TRUE(solver.addConstraint((width == 300).withPriority(kPriorityDefaultHigh)));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(width.value(), 300);

    // Equal priorities: the weighted sum settles on the side with more constraints.
    Solver tie;
    Variable w("w");
    ASSERT_TRUE(tie.addConstraint((w == 10).withPriority(500)));
    ASSERT_TRUE(tie.addConstraint((w == 20).withPriority(500)));
    ASSERT_TRUE(tie.addConstraint((w == 20).withPriority(500)));
    tie.updateVariables();
    EXPECT_DOUBLE_EQ(w.value(), 20);

    EXPECT_DOUBLE_EQ(priorityWeight(250), 100);
    EXPECT_DOUBLE_EQ(priorityWeight(750), 1e6);
}

TEST(LayoutSolver, OptionalInequalitiesGiveWayToRequiredOnes) {
    // Hugging and compression of a 40-point label in a 30-point slot: the slot wins, then
    // compression (750) beats hugging (250) once the slot is wider.
    Solver solver;
    Variable width("width");
    Constraint slot = width == 30;
    ASSERT_TRUE(solver.addConstraint((width <= 40).withPriority(kPriorityDefaultLow)));
    ASSERT_TRUE(solver.addConstraint((width >= 40).withPriority(kPriorityDefaultHigh)));
    ASSERT_TRUE(solver.addConstraint(slot));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(width.value(), 30);
    ASSERT_TRUE(solver.removeConstraint(slot));
    Constraint wish = (width == 60).withPriority(500);
    ASSERT_TRUE(solver.addConstraint(wish));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(width.value(), 60);  // 500 beats hugging at 250
    ASSERT_TRUE(solver.changeConstant(wish, -20));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(width.value(), 40);  // compression at 750 beats 500
}

TEST(LayoutSolver, EditVariablesFollowSuggestions) {
    Solver solver;
    TwoBoxes boxes(0);
    // The container's width is edited instead of fixed.
    boxes.constraints.erase(boxes.constraints.begin());
    boxes.addTo(solver);
    ASSERT_TRUE(solver.addEditVariable(boxes.outer, 999));
    EXPECT_TRUE(solver.hasEditVariable(boxes.outer));
    for (double outer : {400.0, 128.0, 700.0}) {
        ASSERT_TRUE(solver.suggestValue(boxes.outer, outer));
        solver.updateVariables();
        EXPECT_DOUBLE_EQ(boxes.outer.value(), outer);
        EXPECT_NEAR(boxes.width2.value(), (outer - 28) / 3, 1e-9);
        EXPECT_NEAR(boxes.width1.value(), 2 * (outer - 28) / 3, 1e-9);
    }
    // A required constraint beats the suggestion.
    ASSERT_TRUE(solver.addConstraint(boxes.outer <= 300));
    ASSERT_TRUE(solver.suggestValue(boxes.outer, 500));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(boxes.outer.value(), 300);

    EXPECT_EQ(solver.addEditVariable(boxes.outer, 500).status, SolverStatus::DuplicateEditVariable);
    EXPECT_EQ(solver.addEditVariable(boxes.width1, kPriorityRequired).status, SolverStatus::BadPriority);
    EXPECT_EQ(solver.suggestValue(boxes.width1, 1).status, SolverStatus::UnknownEditVariable);
    EXPECT_EQ(solver.suggestValue(boxes.outer, std::nan("")).status, SolverStatus::BadNumber);
    ASSERT_TRUE(solver.removeEditVariable(boxes.outer));
    EXPECT_FALSE(solver.hasEditVariable(boxes.outer));
    EXPECT_EQ(solver.removeEditVariable(boxes.outer).status, SolverStatus::UnknownEditVariable);
    EXPECT_EQ(solver.constraintCount(), 5u);
}

// A card with a title, a body and a button: required chains, a centred button, optional
// widths that compete, a minimum height. Constants change one at a time; after each change
// the incremental answer must equal a new solver given the changed problem.
TEST(LayoutSolver, ChangingConstantsIncrementallyEqualsSolvingAfresh) {
    struct Card {
        Variable cardX{"cardX"}, cardW{"cardW"}, cardY{"cardY"}, cardH{"cardH"};
        Variable titleX{"titleX"}, titleW{"titleW"}, titleY{"titleY"}, titleH{"titleH"};
        Variable bodyY{"bodyY"}, bodyH{"bodyH"}, buttonX{"buttonX"}, buttonW{"buttonW"}, buttonY{"buttonY"};
        std::vector<Constraint> list;
        // k[i] is the constant of list[i].
        explicit Card(const std::vector<double>& k) {
            list = {
                cardX == k[0],
                cardX + cardW == k[1],
                cardY == k[2],
                titleX == cardX + k[3],
                titleX + titleW <= cardX + cardW - k[4],
                (titleW == k[5]).withPriority(500),
                titleY == cardY + k[6],
                bodyY == titleY + titleH + k[7],
                bodyH >= k[8],
                buttonY == bodyY + bodyH + k[9],
                (buttonW == k[10]).withPriority(750),
                buttonW <= cardW - k[11],
                cardY + cardH == buttonY + 44 + k[12],
                titleH == 22,
                (bodyH == 0).withPriority(250),
                buttonX + buttonW / 2 == cardX + cardW / 2,
            };
        }
        std::vector<double> values() const {
            std::vector<double> v;
            for (const auto* var : {&cardX, &cardW, &cardY, &cardH, &titleX, &titleW, &titleY, &titleH, &bodyY, &bodyH,
                                    &buttonX, &buttonW, &buttonY})
                v.push_back(var->value());
            return v;
        }
    };
    std::vector<double> k = {20, 370, 60, 16, 16, 400, 12, 8, 40, 16, 200, 32, 12};
    Card incremental(k);
    Solver solver;
    for (auto& c : incremental.list) ASSERT_TRUE(solver.addConstraint(c)) << c.description();
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(incremental.titleW.value(), 350 - 32);  // the 400 wish gives way to the card
    EXPECT_DOUBLE_EQ(incremental.buttonX.value(), 95);

    // Optional constraints that start or stop winning, a required minimum growing past the
    // optional zero height, a card narrower than the button's wish and than its margins.
    const std::vector<std::pair<std::size_t, double>> changes = {
        {5, 100}, {8, 120}, {10, 500}, {10, 80}, {3, 40}, {8, 0}, {5, 260},
        {7, 30},  {2, 0},   {3, 16},   {1, 200}, {11, 200}, {1, 600}, {12, -5}};
    for (const auto& [index, value] : changes) {
        k[index] = value;
        Card fresh(k);
        // The incremental solver keeps its own constraint objects; give them the new constant.
        const double constant = fresh.list[index].expression().constant;
        ASSERT_TRUE(solver.changeConstant(incremental.list[index], constant));
        EXPECT_EQ(incremental.list[index].expression().constant, constant);
        solver.updateVariables();
        Solver scratch;
        for (auto& c : fresh.list) ASSERT_TRUE(scratch.addConstraint(c));
        scratch.updateVariables();
        auto got = incremental.values(), want = fresh.values();
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i], want[i], 1e-9) << "value " << i << " after k" << index << " = " << value;
    }
}

TEST(LayoutSolver, RemovingAConstraintRestoresTheEarlierAnswer) {
    Solver solver;
    TwoBoxes boxes(400);
    boxes.addTo(solver);
    const double before[] = {boxes.left2.value(), boxes.width1.value(), boxes.width2.value()};

    // Changing the ratio through an extra required constraint needs the old one gone; an
    // optional one and an inequality that bind are added and removed again.
    Variable spare("spare");
    std::vector<Constraint> extra = {(boxes.width2 == 50).withPriority(900), spare >= boxes.width1 - 10,
                                     spare >= 300, (spare == 3).withPriority(100)};
    for (auto& c : extra) ASSERT_TRUE(solver.addConstraint(c));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(boxes.width2.value(), 124);  // the required ratio holds
    EXPECT_DOUBLE_EQ(spare.value(), 300);         // 248 − 10 < 300: the larger bound binds
    for (auto it = extra.rbegin(); it != extra.rend(); ++it) ASSERT_TRUE(solver.removeConstraint(*it));
    EXPECT_FALSE(solver.hasConstraint(extra[0]));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(boxes.left2.value(), before[0]);
    EXPECT_DOUBLE_EQ(boxes.width1.value(), before[1]);
    EXPECT_DOUBLE_EQ(boxes.width2.value(), before[2]);

    // A variable whose constraints are all gone is forgotten, and comes back cleanly.
    ASSERT_TRUE(solver.addConstraint(spare == 7));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(spare.value(), 7);

    // Removing in the order added, including the required equalities, leaves nothing behind.
    for (auto& c : boxes.constraints) ASSERT_TRUE(solver.removeConstraint(c));
    ASSERT_TRUE(solver.addConstraint(boxes.width1 == 1));
    ASSERT_TRUE(solver.addConstraint(boxes.width2 == 1));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(boxes.width1.value(), 1);
    EXPECT_DOUBLE_EQ(boxes.width2.value(), 1);
}

TEST(LayoutSolver, UnsatisfiableRequiredConstraintIsRefusedWithoutDamage) {
    Solver solver;
    TwoBoxes boxes(400);
    boxes.addTo(solver);
    Variable x("x");
    ASSERT_TRUE(solver.addConstraint(x >= boxes.width2 + 10));
    ASSERT_TRUE(solver.addConstraint((x == 0).withPriority(300)));

    // A plain contradiction, one found only through the artificial variable (x >= 134 and
    // x <= width2 = 124 share no symbol once substituted), and a conflicting equality.
    std::vector<Constraint> conflicting = {boxes.width1 == 10, x <= boxes.width2, boxes.left1 + boxes.width1 == 100,
                                           boxes.outer <= 399};
    for (auto& bad : conflicting) {
        auto result = solver.addConstraint(bad);
        EXPECT_EQ(result.status, SolverStatus::Unsatisfiable) << bad.description();
        EXPECT_TRUE(result.constraint.isSame(bad));
        EXPECT_FALSE(result.message.empty());
        EXPECT_FALSE(solver.hasConstraint(bad));
        solver.updateVariables();
        EXPECT_DOUBLE_EQ(boxes.width1.value(), 248);
        EXPECT_DOUBLE_EQ(x.value(), 134);
    }
    // The solver goes on working as before: incremental changes, removal.
    ASSERT_TRUE(solver.changeConstant(boxes.constraints[0], -700));  // outer == 700
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(boxes.width2.value(), 224);
    EXPECT_DOUBLE_EQ(x.value(), 234);

    // A constant change that a required constraint cannot follow is refused and undone.
    Constraint cap = x <= 300;
    ASSERT_TRUE(solver.addConstraint(cap));
    auto result = solver.changeConstant(cap, -200);  // x <= 200 against x >= 234
    EXPECT_EQ(result.status, SolverStatus::Unsatisfiable);
    EXPECT_EQ(cap.expression().constant, -300);
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(x.value(), 234);
    // An equality implied by others cannot move either.
    Constraint implied = boxes.left1 == 10;
    ASSERT_TRUE(solver.addConstraint(implied));
    EXPECT_EQ(solver.changeConstant(implied, -11).status, SolverStatus::Unsatisfiable);
    ASSERT_TRUE(solver.changeConstant(boxes.constraints[0], -400));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(x.value(), 134);
}

// Found by the fuzzer: moving the constant of a required equality that others repeat (or
// imply together) must not leave the repeated one silently broken.
TEST(LayoutSolver, ConstantChangeAgainstARepeatedEqualityIsRefused) {
    Solver solver;
    Variable a("a"), b("b"), c("c");
    Constraint first = a == 100, again = a == 100, ab = a == b + 10, bc = b == c, ac = a == c + 10;
    for (auto* constraint : {&first, &again, &ab, &bc, &ac}) ASSERT_TRUE(solver.addConstraint(*constraint));
    for (auto* constraint : {&first, &again, &ab, &bc}) {
        const double before = constraint->expression().constant;
        EXPECT_EQ(solver.changeConstant(*constraint, before - 20).status, SolverStatus::Unsatisfiable)
            << constraint->description();
        EXPECT_EQ(constraint->expression().constant, before);
        solver.updateVariables();
        EXPECT_DOUBLE_EQ(a.value(), 100);
        EXPECT_DOUBLE_EQ(b.value(), 90);
        EXPECT_DOUBLE_EQ(c.value(), 90);
    }
    // Once the repetition is gone the change goes through.
    ASSERT_TRUE(solver.removeConstraint(again));
    ASSERT_TRUE(solver.removeConstraint(ac));
    ASSERT_TRUE(solver.changeConstant(first, -120));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(c.value(), 110);
}

TEST(LayoutSolver, BadInputIsRefused) {
    Solver solver;
    Variable x("x");
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    std::vector<std::pair<Constraint, SolverStatus>> refused = {
        {Constraint(), SolverStatus::NullConstraint},
        {nan * x == 0, SolverStatus::BadNumber},
        {x == inf, SolverStatus::BadNumber},
        {x * 1e300 == 1, SolverStatus::BadNumber},
        {(x == 1).withPriority(0), SolverStatus::BadPriority},
        {(x == 1).withPriority(1000.5), SolverStatus::BadPriority},
        {(x == 1).withPriority(nan), SolverStatus::BadPriority},
    };
    for (auto& [constraint, status] : refused) {
        EXPECT_EQ(solver.addConstraint(constraint).status, status) << constraint.description();
        EXPECT_FALSE(solver.hasConstraint(constraint));
    }
    Constraint ok = x == 4;
    ASSERT_TRUE(solver.addConstraint(ok));
    EXPECT_EQ(solver.addConstraint(ok).status, SolverStatus::DuplicateConstraint);
    EXPECT_EQ(solver.changeConstant(ok, nan).status, SolverStatus::BadNumber);
    EXPECT_EQ(solver.changeConstant(x == 4, 1).status, SolverStatus::UnknownConstraint);
    EXPECT_EQ(solver.removeConstraint(x == 4).status, SolverStatus::UnknownConstraint);
    EXPECT_EQ(solver.removeConstraint(Constraint()).status, SolverStatus::UnknownConstraint);
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(x.value(), 4);
    EXPECT_EQ(solver.constraintCount(), 1u);

    // Like terms merge and cancel; a constraint left without variables is checked as a number.
    Constraint cancelled = x - x == 0;
    EXPECT_TRUE(cancelled.expression().terms.empty());
    EXPECT_TRUE(solver.addConstraint(cancelled));
    EXPECT_EQ(solver.addConstraint(x - x == 1).status, SolverStatus::Unsatisfiable);
}

TEST(LayoutSolver, SameProblemInSameOrderGivesSameAnswer) {
    // An underdetermined problem (any split of 100 is optimal) must still come out the same.
    auto solve = [] {
        Solver solver;
        Variable a("a"), b("b"), c("c");
        solver.addConstraint(a + b + c == 100);
        solver.addConstraint(a >= 0);
        solver.addConstraint(b >= 0);
        solver.addConstraint(c >= 0);
        solver.addConstraint((a == b).withPriority(10));
        solver.updateVariables();
        return std::vector<double>{a.value(), b.value(), c.value()};
    };
    const auto first = solve();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(solve(), first);
    EXPECT_DOUBLE_EQ(first[0] + first[1] + first[2], 100);
}

TEST(LayoutSolver, ResetForgetsEverything) {
    Solver solver;
    Variable x("x");
    Constraint c = x == 5;
    ASSERT_TRUE(solver.addConstraint(c));
    ASSERT_TRUE(solver.addEditVariable(x, 100));
    solver.reset();
    EXPECT_FALSE(solver.hasConstraint(c));
    EXPECT_FALSE(solver.hasEditVariable(x));
    ASSERT_TRUE(solver.addConstraint(x == 6));
    solver.updateVariables();
    EXPECT_DOUBLE_EQ(x.value(), 6);
}
