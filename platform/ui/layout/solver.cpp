// The incremental simplex behind layout.
//
// Every constraint becomes a row "0 = constant + Σ coefficient·symbol" over the problem's
// variables (external symbols) and symbols of its own: a slack for an inequality, a dummy for
// a required equality, and error symbols weighted by priority for optional ones. The tableau
// keeps one row per basic symbol, written in the parametric (non-basic) symbols, whose value is
// zero; slacks and errors must stay non-negative. The objective sums the weighted errors and
// is minimised by the primal simplex after each addition or removal. A constant change or a
// suggested value moves only the constraint's marker symbol, which may leave basic rows
// negative: the dual simplex repairs them without losing optimality.
//
// Everything is visited in symbol order (symbols are numbered as they are made), so the same
// problem given in the same order always takes the same pivots and gives the same answer.
#include "qmui/layout_solver.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <unordered_map>
#include <utility>

namespace qm::platform::layout {

double priorityWeight(double priority) { return std::pow(10.0, priority / 125.0); }

// --- Variables, expressions, constraints -------------------------------------------------

Variable::Variable() : data_(std::make_shared<Data>()) {}
Variable::Variable(std::string name) : data_(std::make_shared<Data>()) { data_->name = std::move(name); }

double Expression::value() const {
    double sum = constant;
    for (const auto& term : terms) sum += term.coefficient * term.variable.value();
    return sum;
}

Expression operator+(const Expression& a, const Expression& b) {
    Expression sum = a;
    sum.terms.insert(sum.terms.end(), b.terms.begin(), b.terms.end());
    sum.constant += b.constant;
    return sum;
}

Expression operator*(const Expression& a, double factor) {
    Expression product = a;
    for (auto& term : product.terms) term.coefficient *= factor;
    product.constant *= factor;
    return product;
}

Expression operator*(double factor, const Expression& a) { return a * factor; }
Expression operator/(const Expression& a, double divisor) { return a * (1.0 / divisor); }
Expression operator-(const Expression& a) { return a * -1.0; }
Expression operator-(const Expression& a, const Expression& b) { return a + b * -1.0; }

Constraint::Constraint(const Expression& expression, Relation relation, double priority)
    : data_(std::make_shared<Data>()) {
    // Like terms merged in the order they first appear, zero terms dropped.
    for (const auto& term : expression.terms) {
        auto same = std::find_if(data_->expression.terms.begin(), data_->expression.terms.end(),
                                 [&](const Term& t) { return t.variable.isSame(term.variable); });
        if (same != data_->expression.terms.end())
            same->coefficient += term.coefficient;
        else
            data_->expression.terms.push_back(term);
    }
    std::erase_if(data_->expression.terms, [](const Term& t) { return t.coefficient == 0; });
    data_->expression.constant = expression.constant;
    data_->relation = relation;
    data_->priority = priority;
}

const Expression& Constraint::expression() const {
    static const Expression empty;
    return data_ ? data_->expression : empty;
}
Relation Constraint::relation() const { return data_ ? data_->relation : Relation::Equal; }
double Constraint::priority() const { return data_ ? data_->priority : kPriorityRequired; }

Constraint Constraint::withPriority(double priority) const {
    return Constraint(expression(), relation(), priority);
}

std::string Constraint::description() const {
    if (!data_) return "(null constraint)";
    auto number = [](double v) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%g", v);
        return std::string(buffer);
    };
    std::string text;
    for (const auto& term : data_->expression.terms) {
        if (!text.empty()) text += " + ";
        if (term.coefficient != 1) text += number(term.coefficient) + "*";
        text += term.variable.name().empty() ? "?" : term.variable.name();
    }
    if (data_->expression.constant != 0 || text.empty())
        text += (text.empty() ? "" : " + ") + number(data_->expression.constant);
    text += data_->relation == Relation::Equal ? " == 0"
            : data_->relation == Relation::LessThanOrEqual ? " <= 0" : " >= 0";
    if (data_->priority < kPriorityRequired) text += " @" + number(data_->priority);
    return text;
}

Constraint operator==(const Expression& lhs, const Expression& rhs) {
    return Constraint(lhs - rhs, Relation::Equal);
}
Constraint operator<=(const Expression& lhs, const Expression& rhs) {
    return Constraint(lhs - rhs, Relation::LessThanOrEqual);
}
Constraint operator>=(const Expression& lhs, const Expression& rhs) {
    return Constraint(lhs - rhs, Relation::GreaterThanOrEqual);
}

// --- The tableau -------------------------------------------------------------------------

namespace {

constexpr double kEpsilon = 1e-8;
// Beyond this the tableau's products could overflow; no screen needs such numbers.
constexpr double kMaxMagnitude = 1e15;

bool nearZero(double v) { return std::fabs(v) < kEpsilon; }
bool usable(double v) { return std::isfinite(v) && std::fabs(v) <= kMaxMagnitude; }

enum class Kind : std::uint8_t { External, Slack, Error, Dummy };

struct Symbol {
    std::uint64_t id = 0;  // 0: no symbol
    Kind kind = Kind::External;

    bool valid() const { return id != 0; }
    // Slacks and errors are non-negative; externals are free; dummies are held at zero.
    bool restricted() const { return kind == Kind::Slack || kind == Kind::Error; }
};

struct SymbolOrder {
    bool operator()(Symbol a, Symbol b) const { return a.id < b.id; }
};

struct Cell {
    Symbol symbol;
    double coefficient;
};

// constant + Σ coefficient·symbol, cells kept in symbol order.
class Row {
public:
    explicit Row(double constant = 0) : constant_(constant) {}

    double constant() const { return constant_; }
    const std::vector<Cell>& cells() const { return cells_; }
    double add(double value) { return constant_ += value; }

    double coefficientFor(Symbol s) const {
        auto it = find(s);
        return it != cells_.end() && it->symbol.id == s.id ? it->coefficient : 0.0;
    }

    // Adds coefficient·s; a coefficient that cancels to (nearly) zero removes the cell.
    void insert(Symbol s, double coefficient) {
        auto it = find(s);
        if (it != cells_.end() && it->symbol.id == s.id) {
            it->coefficient += coefficient;
            if (nearZero(it->coefficient)) cells_.erase(it);
        } else if (!nearZero(coefficient)) {
            cells_.insert(it, Cell{s, coefficient});
        }
    }

    // Adds factor·other, constant included.
    void insert(const Row& other, double factor) {
        constant_ += other.constant_ * factor;
        for (const auto& cell : other.cells_) insert(cell.symbol, cell.coefficient * factor);
    }

    void remove(Symbol s) {
        auto it = find(s);
        if (it != cells_.end() && it->symbol.id == s.id) cells_.erase(it);
    }

    void reverseSign() {
        constant_ = -constant_;
        for (auto& cell : cells_) cell.coefficient = -cell.coefficient;
    }

    // 0 = this  becomes  s = …
    void solveFor(Symbol s) {
        const double factor = -1.0 / coefficientFor(s);
        remove(s);
        constant_ *= factor;
        for (auto& cell : cells_) cell.coefficient *= factor;
    }

    // lhs = this  becomes  rhs = …
    void solveFor(Symbol lhs, Symbol rhs) {
        insert(lhs, -1.0);
        solveFor(rhs);
    }

    // Replaces s by the row that defines it; whether s was there.
    bool substitute(Symbol s, const Row& row) {
        auto it = find(s);
        if (it == cells_.end() || it->symbol.id != s.id) return false;
        const double coefficient = it->coefficient;
        cells_.erase(it);
        insert(row, coefficient);
        return true;
    }

private:
    std::vector<Cell>::iterator find(Symbol s) {
        return std::lower_bound(cells_.begin(), cells_.end(), s.id,
                                [](const Cell& c, std::uint64_t id) { return c.symbol.id < id; });
    }
    std::vector<Cell>::const_iterator find(Symbol s) const {
        return std::lower_bound(cells_.begin(), cells_.end(), s.id,
                                [](const Cell& c, std::uint64_t id) { return c.symbol.id < id; });
    }

    double constant_;
    std::vector<Cell> cells_;
};

using RowMap = std::map<Symbol, Row, SymbolOrder>;

SolverResult refusal(SolverStatus status, const Constraint& constraint, std::string message) {
    return SolverResult{status, constraint, std::move(message)};
}

}  // namespace

struct Solver::Impl {
    struct Record {
        Constraint constraint;
        Symbol marker;  // moves when the constant changes; leaves with the constraint
        Symbol other;   // the second error of an optional constraint
        double markerCoefficient = 1;  // the marker's coefficient in the constraint's own row
        double constant = 0;           // the expression constant the tableau holds
        std::uint64_t order = 0;       // when it was added, for rebuilding in the same order
    };
    struct VariableEntry {
        Variable variable;
        Symbol symbol;
        int uses = 0;  // constraints that mention it
    };
    struct Edit {
        Variable variable;
        Constraint constraint;
    };

    RowMap rows;
    Row objective;
    std::unique_ptr<Row> artificial;
    std::unordered_map<const void*, Record> constraints;
    std::unordered_map<const void*, VariableEntry> variables;
    std::unordered_map<const void*, Edit> edits;
    std::vector<Symbol> infeasible;
    std::uint64_t nextId = 1;
    std::uint64_t nextOrder = 1;

    static const void* key(const Constraint& c) { return c.data_.get(); }
    static const void* key(const Variable& v) { return v.data_.get(); }

    Symbol makeSymbol(Kind kind) { return Symbol{nextId++, kind}; }

    std::size_t iterationLimit() const { return 10000 + 50 * rows.size(); }

    // --- Rows ---

    Symbol symbolFor(const Variable& v, std::vector<const void*>& created) {
        auto [it, inserted] = variables.try_emplace(key(v));
        if (inserted) {
            it->second.variable = v;
            it->second.symbol = makeSymbol(Kind::External);
            created.push_back(key(v));
        }
        return it->second.symbol;
    }

    // The constraint's row in the current parametric symbols, with its own new symbols;
    // optional ones add their weighted errors to the objective.
    Row createRow(const Constraint& constraint, double constant, Record& record,
                  std::vector<const void*>& created) {
        const auto& data = *constraint.data_;
        Row row(constant);
        for (const auto& term : data.expression.terms) {
            // Registered even when too small to count, so that uses are counted alike.
            const Symbol symbol = symbolFor(term.variable, created);
            if (nearZero(term.coefficient)) continue;
            auto basic = rows.find(symbol);
            if (basic != rows.end())
                row.insert(basic->second, term.coefficient);
            else
                row.insert(symbol, term.coefficient);
        }
        const bool required = data.priority >= kPriorityRequired;
        const double weight = required ? 0 : priorityWeight(data.priority);
        if (data.relation == Relation::Equal) {
            if (required) {
                record.marker = makeSymbol(Kind::Dummy);
                record.markerCoefficient = 1;
                row.insert(record.marker, 1);
            } else {
                record.marker = makeSymbol(Kind::Error);
                record.other = makeSymbol(Kind::Error);
                record.markerCoefficient = -1;
                row.insert(record.marker, -1);
                row.insert(record.other, 1);
                objective.insert(record.marker, weight);
                objective.insert(record.other, weight);
            }
        } else {
            // expr + slack = 0 for <=, expr − slack = 0 for >=; the error lets expr cross 0.
            const double sign = data.relation == Relation::LessThanOrEqual ? 1.0 : -1.0;
            record.marker = makeSymbol(Kind::Slack);
            record.markerCoefficient = sign;
            row.insert(record.marker, sign);
            if (!required) {
                record.other = makeSymbol(Kind::Error);
                row.insert(record.other, -sign);
                objective.insert(record.other, weight);
            }
        }
        // A subject chosen with a negative coefficient then starts at a feasible value.
        if (row.constant() < 0) row.reverseSign();
        return row;
    }

    static Symbol chooseSubject(const Row& row, const Record& record) {
        for (const auto& cell : row.cells())
            if (cell.symbol.kind == Kind::External) return cell.symbol;
        if (record.marker.restricted() && row.coefficientFor(record.marker) < 0) return record.marker;
        if (record.other.valid() && record.other.restricted() && row.coefficientFor(record.other) < 0)
            return record.other;
        return {};
    }

    static bool allDummies(const Row& row) {
        return std::all_of(row.cells().begin(), row.cells().end(),
                           [](const Cell& c) { return c.symbol.kind == Kind::Dummy; });
    }

    void substitute(Symbol symbol, const Row& row) {
        for (auto& [basic, r] : rows)
            if (r.substitute(symbol, row) && basic.restricted() && r.constant() < 0) infeasible.push_back(basic);
        objective.substitute(symbol, row);
        if (artificial) artificial->substitute(symbol, row);
    }

    void pivot(Symbol leaving, Symbol entering) {
        auto it = rows.find(leaving);
        Row row = std::move(it->second);
        rows.erase(it);
        row.solveFor(leaving, entering);
        substitute(entering, row);
        rows.emplace(entering, std::move(row));
    }

    // --- Primal and dual simplex ---

    // The first symbol (in symbol order) whose move lowers the objective, with the direction
    // of the move: restricted symbols only grow, free ones go either way.
    static std::pair<Symbol, double> enteringSymbol(const Row& objective) {
        for (const auto& cell : objective.cells()) {
            if (cell.symbol.kind == Kind::Dummy) continue;
            if (cell.symbol.restricted() && cell.coefficient < 0) return {cell.symbol, 1.0};
            if (cell.symbol.kind == Kind::External) return {cell.symbol, cell.coefficient < 0 ? 1.0 : -1.0};
        }
        return {};
    }

    // The restricted row that reaches zero first as `entering` moves; ties to the lowest symbol.
    Symbol leavingSymbol(Symbol entering, double direction) const {
        Symbol leaving;
        double best = std::numeric_limits<double>::infinity();
        for (const auto& [basic, row] : rows) {
            if (basic.kind == Kind::External) continue;
            const double rate = row.coefficientFor(entering) * direction;
            if (rate >= 0) continue;
            const double ratio = -row.constant() / rate;
            if (ratio < best) {
                best = ratio;
                leaving = basic;
            }
        }
        return leaving;
    }

    // Minimises `target` (the objective, or the artificial row); false when it will not settle.
    bool optimize(const Row& target) {
        for (std::size_t i = 0, limit = iterationLimit(); i < limit; ++i) {
            const auto [entering, direction] = enteringSymbol(target);
            if (!entering.valid()) return true;
            const Symbol leaving = leavingSymbol(entering, direction);
            if (!leaving.valid()) return false;  // unbounded: errors are non-negative, so never in theory
            pivot(leaving, entering);
        }
        return false;
    }

    // Brings negative restricted rows back to zero or above, keeping the objective optimal;
    // false when a row cannot be repaired (the constraints conflict).
    bool dualOptimize() {
        std::size_t steps = 0;
        const std::size_t limit = iterationLimit();
        while (!infeasible.empty()) {
            if (++steps > limit) return false;
            const Symbol leaving = infeasible.back();
            infeasible.pop_back();
            auto it = rows.find(leaving);
            if (it == rows.end() || nearZero(it->second.constant()) || it->second.constant() >= 0) continue;
            Symbol entering;
            double best = std::numeric_limits<double>::infinity();
            for (const auto& cell : it->second.cells()) {
                double ratio;
                if (cell.symbol.restricted() && cell.coefficient > 0)
                    ratio = objective.coefficientFor(cell.symbol) / cell.coefficient;
                else if (cell.symbol.kind == Kind::External)
                    ratio = std::fabs(objective.coefficientFor(cell.symbol) / cell.coefficient);
                else
                    continue;
                if (ratio < best) {
                    best = ratio;
                    entering = cell.symbol;
                }
            }
            if (!entering.valid()) return false;
            pivot(leaving, entering);
        }
        return true;
    }

    // --- Adding ---

    // Adds through an artificial variable when the row offers no subject: minimise it, and the
    // constraint can hold exactly when it reaches zero.
    bool addWithArtificialVariable(const Row& row) {
        const Symbol art = makeSymbol(Kind::Slack);
        rows.emplace(art, row);
        artificial = std::make_unique<Row>(row);
        const bool settled = optimize(*artificial);
        const bool success = settled && nearZero(artificial->constant());
        artificial.reset();
        if (!success) return false;
        auto it = rows.find(art);
        if (it != rows.end()) {
            Row r = std::move(it->second);
            rows.erase(it);
            if (r.cells().empty()) return true;
            Symbol entering;
            for (const auto& cell : r.cells())
                if (cell.symbol.kind != Kind::Dummy) {
                    entering = cell.symbol;
                    break;
                }
            if (!entering.valid()) return false;
            r.solveFor(art, entering);
            substitute(entering, r);
            rows.emplace(entering, std::move(r));
        }
        for (auto& [basic, r] : rows) r.remove(art);
        objective.remove(art);
        return true;
    }

    void forgetCreated(const std::vector<const void*>& created) {
        for (const void* k : created) variables.erase(k);
    }

    SolverResult add(const Constraint& constraint, double constant, std::uint64_t order) {
        Record record;
        record.constraint = constraint;
        record.constant = constant;
        record.order = order;
        std::vector<const void*> created;

        // The artificial path pivots the tableau before it knows the answer; a refusal puts
        // back this copy so the solver is exactly as it was.
        struct Saved {
            RowMap rows;
            Row objective;
        };
        std::unique_ptr<Saved> saved;

        Row row = createRow(constraint, constant, record, created);
        Symbol subject = chooseSubject(row, record);
        if (!subject.valid() && allDummies(row)) {
            if (!nearZero(row.constant())) {
                forgetCreated(created);
                return refusal(SolverStatus::Unsatisfiable, constraint,
                               "unsatisfiable required constraint: " + constraint.description());
            }
            subject = record.marker;  // implied by the others: its dummy stays at zero
        }
        if (subject.valid()) {
            row.solveFor(subject);
            substitute(subject, row);
            rows.emplace(subject, std::move(row));
        } else {
            saved = std::make_unique<Saved>(Saved{rows, objective});
            if (!addWithArtificialVariable(row)) {
                rows = std::move(saved->rows);
                objective = std::move(saved->objective);
                infeasible.clear();
                forgetCreated(created);
                return refusal(SolverStatus::Unsatisfiable, constraint,
                               "unsatisfiable required constraint: " + constraint.description());
            }
        }
        for (const auto& term : constraint.data_->expression.terms) ++variables[key(term.variable)].uses;
        constraints.emplace(key(constraint), std::move(record));
        infeasible.clear();
        if (!optimize(objective)) return rebuildWithout(constraint);
        return {};
    }

    // --- Removing ---

    // Where `symbol` can be pivoted in while every restricted row stays non-negative: a
    // restricted row it would bring to zero first, else one it would drive towards zero
    // least, else a row of a free variable.
    Symbol markerLeavingSymbol(Symbol symbol) const {
        double first = std::numeric_limits<double>::infinity(), second = first;
        Symbol firstRow, secondRow, thirdRow;
        for (const auto& [basic, row] : rows) {
            const double c = row.coefficientFor(symbol);
            if (c == 0) continue;
            if (basic.kind == Kind::External) {
                if (!thirdRow.valid()) thirdRow = basic;
            } else if (c < 0) {
                const double r = -row.constant() / c;
                if (r < first) first = r, firstRow = basic;
            } else {
                const double r = row.constant() / c;
                if (r < second) second = r, secondRow = basic;
            }
        }
        return firstRow.valid() ? firstRow : secondRow.valid() ? secondRow : thirdRow;
    }

    // Takes a symbol no constraint mentions any more out of the tableau.
    void eliminate(Symbol symbol) {
        auto it = rows.find(symbol);
        if (it != rows.end()) {
            rows.erase(it);
            return;
        }
        const Symbol leaving = markerLeavingSymbol(symbol);
        if (!leaving.valid()) {
            objective.remove(symbol);
            return;
        }
        it = rows.find(leaving);
        Row row = std::move(it->second);
        rows.erase(it);
        row.solveFor(leaving, symbol);
        substitute(symbol, row);
    }

    void removeErrorEffect(Symbol error, double weight) {
        auto it = rows.find(error);
        if (it != rows.end())
            objective.insert(it->second, -weight);
        else
            objective.insert(error, -weight);
    }

    void release(const Constraint& constraint) {
        for (const auto& term : constraint.data_->expression.terms) {
            auto it = variables.find(key(term.variable));
            if (it == variables.end() || --it->second.uses > 0) continue;
            eliminate(it->second.symbol);
            variables.erase(it);
        }
    }

    void remove(const Record& record) {
        if (record.constraint.priority() < kPriorityRequired) {
            const double weight = priorityWeight(record.constraint.priority());
            // Taken out of the objective before any pivot, or substitutions would carry them.
            if (record.marker.kind == Kind::Error) removeErrorEffect(record.marker, weight);
            if (record.other.valid() && record.other.kind == Kind::Error) removeErrorEffect(record.other, weight);
        }
        eliminate(record.marker);
        if (record.other.valid()) eliminate(record.other);
        release(record.constraint);
    }

    // --- Constant changes ---

    // The constraint's row reads expr + a·marker + … = 0; a constant moved by delta is the same
    // system with marker replaced by marker + delta/a. A dummy must stay zero: false, with
    // nothing changed, when the marker is a dummy in the basis (the constraint is implied by
    // others and would now contradict them) or when the shift would move a dummy that is
    // (another required equality implied by this one and others, which would then fail).
    bool shiftMarker(const Record& record, double delta) {
        const double shift = delta / record.markerCoefficient;
        auto basic = rows.find(record.marker);
        if (basic != rows.end()) {
            if (record.marker.kind == Kind::Dummy) return nearZero(shift);
            if (basic->second.add(-shift) < 0 && record.marker.restricted()) infeasible.push_back(record.marker);
            return true;
        }
        for (const auto& [symbol, row] : rows) {
            if (symbol.kind != Kind::Dummy) continue;
            const double c = row.coefficientFor(record.marker);
            if (c != 0 && !nearZero(row.constant() + c * shift)) return false;
        }
        for (auto& [symbol, row] : rows) {
            const double c = row.coefficientFor(record.marker);
            if (c != 0 && row.add(c * shift) < 0 && symbol.restricted()) infeasible.push_back(symbol);
        }
        objective.add(objective.coefficientFor(record.marker) * shift);
        return true;
    }

    SolverResult changeConstant(Record& record, double constant) {
        const double delta = constant - record.constant;
        if (delta == 0) return {};
        if (!shiftMarker(record, delta))
            return refusal(SolverStatus::Unsatisfiable, record.constraint,
                           "constant change conflicts with required constraints: " +
                               record.constraint.description());
        if (!dualOptimize()) {
            // Put the old constant back; the old system was feasible, so the dual simplex
            // finds its optimum again from wherever it stopped.
            infeasible.clear();
            shiftMarker(record, -delta);
            if (!dualOptimize() || !optimize(objective)) return rebuildWithout(record.constraint);
            return refusal(SolverStatus::Unsatisfiable, record.constraint,
                           "constant change conflicts with required constraints: " +
                               record.constraint.description());
        }
        record.constant = constant;
        record.constraint.data_->expression.constant = constant;
        if (!optimize(objective)) return rebuildWithout(record.constraint);
        return {};
    }

    // --- Recovery ---

    // The simplex did not settle (it cannot in exact arithmetic; this guards against numeric
    // trouble): build the tableau again from the records, in their order, without `culprit`.
    SolverResult rebuildWithout(const Constraint& culpritRef) {
        const Constraint culprit = culpritRef;  // the reference may point into a record cleared below
        std::vector<Record> records;
        for (auto& [k, record] : constraints)
            if (!record.constraint.isSame(culprit)) records.push_back(record);
        std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.order < b.order; });
        clearTableau();
        for (const auto& record : records) add(record.constraint, record.constant, record.order);
        for (auto it = edits.begin(); it != edits.end();)
            it = constraints.count(key(it->second.constraint)) ? std::next(it) : edits.erase(it);
        return refusal(SolverStatus::InternalError, culprit,
                       "the solver did not settle and was rebuilt without: " + culprit.description());
    }

    void clearTableau() {
        rows.clear();
        objective = Row();
        artificial.reset();
        constraints.clear();
        variables.clear();
        infeasible.clear();
    }
};

// --- Solver ------------------------------------------------------------------------------

Solver::Solver() : impl_(std::make_unique<Impl>()) {}
Solver::~Solver() = default;
Solver::Solver(Solver&&) noexcept = default;
Solver& Solver::operator=(Solver&&) noexcept = default;

namespace {

SolverResult checkNumbers(const Constraint& constraint) {
    for (const auto& term : constraint.expression().terms)
        if (!usable(term.coefficient))
            return refusal(SolverStatus::BadNumber, constraint, "unusable coefficient in " + constraint.description());
    if (!usable(constraint.expression().constant))
        return refusal(SolverStatus::BadNumber, constraint, "unusable constant in " + constraint.description());
    return {};
}

bool validPriority(double priority) { return std::isfinite(priority) && priority > 0 && priority <= kPriorityRequired; }

}  // namespace

SolverResult Solver::addConstraint(const Constraint& constraint) {
    if (constraint.isNull()) return refusal(SolverStatus::NullConstraint, constraint, "null constraint");
    if (impl_->constraints.count(Impl::key(constraint)))
        return refusal(SolverStatus::DuplicateConstraint, constraint, "constraint added twice: " + constraint.description());
    if (auto bad = checkNumbers(constraint); !bad) return bad;
    if (!validPriority(constraint.priority()))
        return refusal(SolverStatus::BadPriority, constraint, "priority out of (0, 1000]: " + constraint.description());
    return impl_->add(constraint, constraint.expression().constant, impl_->nextOrder++);
}

SolverResult Solver::removeConstraint(const Constraint& constraint) {
    auto it = constraint.isNull() ? impl_->constraints.end() : impl_->constraints.find(Impl::key(constraint));
    if (it == impl_->constraints.end())
        return refusal(SolverStatus::UnknownConstraint, constraint, "constraint not in the solver: " + constraint.description());
    const Impl::Record record = std::move(it->second);
    impl_->constraints.erase(it);
    impl_->remove(record);
    if (!impl_->optimize(impl_->objective)) return impl_->rebuildWithout(constraint);
    return {};
}

bool Solver::hasConstraint(const Constraint& constraint) const {
    return !constraint.isNull() && impl_->constraints.count(Impl::key(constraint)) > 0;
}

std::size_t Solver::constraintCount() const { return impl_->constraints.size() - impl_->edits.size(); }

SolverResult Solver::changeConstant(const Constraint& constraint, double constant) {
    auto it = constraint.isNull() ? impl_->constraints.end() : impl_->constraints.find(Impl::key(constraint));
    if (it == impl_->constraints.end())
        return refusal(SolverStatus::UnknownConstraint, constraint, "constraint not in the solver: " + constraint.description());
    if (!usable(constant)) return refusal(SolverStatus::BadNumber, constraint, "unusable constant for " + constraint.description());
    return impl_->changeConstant(it->second, constant);
}

SolverResult Solver::addEditVariable(const Variable& variable, double priority) {
    if (impl_->edits.count(Impl::key(variable)))
        return refusal(SolverStatus::DuplicateEditVariable, {}, "edit variable added twice: " + variable.name());
    if (!validPriority(priority) || priority >= kPriorityRequired)
        return refusal(SolverStatus::BadPriority, {}, "edit priority out of (0, 1000): " + variable.name());
    Constraint constraint(Expression(variable), Relation::Equal, priority);
    auto result = impl_->add(constraint, 0, impl_->nextOrder++);
    if (result) impl_->edits.emplace(Impl::key(variable), Impl::Edit{variable, constraint});
    return result;
}

SolverResult Solver::removeEditVariable(const Variable& variable) {
    auto it = impl_->edits.find(Impl::key(variable));
    if (it == impl_->edits.end())
        return refusal(SolverStatus::UnknownEditVariable, {}, "not an edit variable: " + variable.name());
    const Constraint constraint = it->second.constraint;
    impl_->edits.erase(it);
    return removeConstraint(constraint);
}

bool Solver::hasEditVariable(const Variable& variable) const { return impl_->edits.count(Impl::key(variable)) > 0; }

SolverResult Solver::suggestValue(const Variable& variable, double value) {
    auto it = impl_->edits.find(Impl::key(variable));
    if (it == impl_->edits.end())
        return refusal(SolverStatus::UnknownEditVariable, {}, "not an edit variable: " + variable.name());
    if (!usable(value)) return refusal(SolverStatus::BadNumber, it->second.constraint, "unusable value for " + variable.name());
    // The edit constraint reads variable − value == 0.
    return changeConstant(it->second.constraint, -value);
}

void Solver::updateVariables() {
    for (auto& [k, entry] : impl_->variables) {
        auto row = impl_->rows.find(entry.symbol);
        const double value = row != impl_->rows.end() ? row->second.constant() : 0.0;
        entry.variable.data_->value = value == 0 ? 0.0 : value;  // no -0
    }
}

void Solver::reset() {
    impl_->clearTableau();
    impl_->edits.clear();
}

}  // namespace qm::platform::layout
