// The constraint solver behind layout: variables, linear expressions and constraints, and an
// incremental simplex solver in the Cassowary style. Required constraints hold exactly;
// non-required ones are kept as nearly as their priorities allow. The solver is used from one
// thread at a time (the main run loop); it never throws, it answers every refusal with a
// result the caller can log.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace qm::platform::layout {

// Priorities on the platform's scale: 1000 is required, anything in (0, 1000) is optional.
inline constexpr double kPriorityRequired = 1000;
inline constexpr double kPriorityDefaultHigh = 750;
inline constexpr double kPriorityDefaultLow = 250;
inline constexpr double kPriorityFittingSize = 50;

// The weight an optional constraint's error carries in the objective: 10^(priority / 125).
// Priority 250 weighs 100, 500 weighs 10^4, 750 weighs 10^6 and 999 just under 10^8, so a
// constraint beats 99 equal violations of constraints 250 points below it and 6 that are 100
// points below; neighbouring priorities weigh nearly the same (a factor 1.019 a point). The
// ceiling of 10^8 keeps the objective's coefficients within what doubles resolve next to
// coordinates of a few thousand points. tests/data/layout/generate.py uses the same mapping.
double priorityWeight(double priority);

// A quantity the solver finds: a shared handle, so copies name the same variable.
class Variable {
public:
    Variable();
    explicit Variable(std::string name);

    const std::string& name() const { return data_->name; }
    // The value the last Solver::updateVariables() wrote (0 before that).
    double value() const { return data_->value; }
    bool isSame(const Variable& other) const { return data_ == other.data_; }

private:
    friend class Solver;
    struct Data {
        std::string name;
        double value = 0;
    };
    std::shared_ptr<Data> data_;
};

struct Term {
    Variable variable;
    double coefficient = 1;
};

// Σ coefficient·variable + constant.
struct Expression {
    std::vector<Term> terms;
    double constant = 0;

    Expression() = default;
    Expression(double c) : constant(c) {}  // NOLINT: numbers read as expressions
    Expression(const Variable& v) : terms{{v, 1}} {}  // NOLINT
    Expression(const Term& t) : terms{t} {}  // NOLINT
    Expression(std::vector<Term> t, double c) : terms(std::move(t)), constant(c) {}

    // With the variables' current values.
    double value() const;
};

Expression operator+(const Expression& a, const Expression& b);
Expression operator-(const Expression& a, const Expression& b);
Expression operator-(const Expression& a);
Expression operator*(const Expression& a, double factor);
Expression operator*(double factor, const Expression& a);
Expression operator/(const Expression& a, double divisor);

// expression == 0, <= 0 or >= 0 (the platform's numbering of relations).
enum class Relation { LessThanOrEqual = -1, Equal = 0, GreaterThanOrEqual = 1 };

// An immutable shared handle, except for the constant, which Solver::changeConstant moves.
// Like terms are merged and zero terms dropped when it is made.
class Constraint {
public:
    Constraint() = default;  // a null constraint, refused by the solver
    Constraint(const Expression& expression, Relation relation, double priority = kPriorityRequired);

    bool isNull() const { return !data_; }
    const Expression& expression() const;
    Relation relation() const;
    double priority() const;
    bool isRequired() const { return priority() >= kPriorityRequired; }
    // The same expression and relation with another priority: a new constraint.
    Constraint withPriority(double priority) const;
    bool isSame(const Constraint& other) const { return data_ == other.data_; }
    // "a + -1·b + 10 >= 0 @750", for logs.
    std::string description() const;

private:
    friend class Solver;
    struct Data {
        Expression expression;
        Relation relation = Relation::Equal;
        double priority = kPriorityRequired;
    };
    std::shared_ptr<Data> data_;
};

// lhs − rhs relation 0, required; give another priority with withPriority().
Constraint operator==(const Expression& lhs, const Expression& rhs);
Constraint operator<=(const Expression& lhs, const Expression& rhs);
Constraint operator>=(const Expression& lhs, const Expression& rhs);

enum class SolverStatus {
    Ok,
    Unsatisfiable,          // a required constraint (or a constant change) conflicts with the others
    NullConstraint,
    DuplicateConstraint,
    UnknownConstraint,
    DuplicateEditVariable,
    UnknownEditVariable,
    BadNumber,              // NaN, infinite or beyond ±1e15
    BadPriority,            // not in (0, 1000]; edit variables need (0, 1000)
    InternalError,          // the simplex did not settle; the solver rebuilt itself without it
};

struct SolverResult {
    SolverStatus status = SolverStatus::Ok;
    Constraint constraint;  // the constraint refused, where there is one
    std::string message;    // one line for the log

    bool ok() const { return status == SolverStatus::Ok; }
    explicit operator bool() const { return ok(); }
};

class Solver {
public:
    Solver();
    ~Solver();
    Solver(Solver&&) noexcept;
    Solver& operator=(Solver&&) noexcept;
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    // Adds and solves incrementally. A required constraint that cannot hold with the ones
    // already added is refused with Unsatisfiable and the solver is left as it was, so the
    // caller can log it and keep it out.
    SolverResult addConstraint(const Constraint& constraint);
    SolverResult removeConstraint(const Constraint& constraint);
    bool hasConstraint(const Constraint& constraint) const;
    std::size_t constraintCount() const;

    // Moves the constraint's expression constant to `constant` without rebuilding: the change
    // goes through the constraint's own marker variable and the dual simplex restores
    // feasibility. A required constraint that would then conflict is left at its old constant
    // and the answer is Unsatisfiable.
    SolverResult changeConstant(const Constraint& constraint, double constant);

    // An edit variable takes suggested values as an optional constraint variable == value at
    // `priority` (below required). Suggestions are incremental like constant changes.
    SolverResult addEditVariable(const Variable& variable, double priority);
    SolverResult removeEditVariable(const Variable& variable);
    bool hasEditVariable(const Variable& variable) const;
    SolverResult suggestValue(const Variable& variable, double value);

    // Writes the solution into every variable the solver knows.
    void updateVariables();
    // Forgets every constraint and edit variable; variables keep their last values.
    void reset();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm::platform::layout
