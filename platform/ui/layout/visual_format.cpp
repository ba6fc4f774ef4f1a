#include "qmui/visual_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace qm::platform::visual_format {

namespace {

std::string number(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", v);
    return buffer;
}

std::string itemName(const Item& item) {
    return item.kind == Item::Kind::Superview ? "superview" : item.name;
}

bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// One predicate: relation, the constant or view it compares with, priority.
struct Predicate {
    LayoutRelation relation = LayoutRelation::Equal;
    std::optional<std::string> view;
    double constant = 0;
    double priority = kLayoutPriorityRequired;
};

struct Element {
    bool superview = false;
    std::string name;
    std::vector<Predicate> predicates;
};

struct Connection {
    bool flush = false;      // [a][b]
    bool standard = false;   // [a]-[b]
    std::vector<Predicate> predicates;
};

class Parser {
public:
    Parser(std::string_view format, const Metrics& metrics, const ViewNames& views)
        : format_(format), metrics_(metrics), views_(views) {}

    const std::string& error() const { return error_; }
    bool vertical = false;
    std::vector<Element> elements;
    std::vector<Connection> connections;  // connections[i] joins elements[i] and elements[i + 1]

    bool run() {
        skipSpaces();
        if (pos_ + 1 < format_.size() && format_[pos_ + 1] == ':' && isNameStart(format_[pos_])) {
            if (format_[pos_] != 'H' && format_[pos_] != 'V') return fail("Unknown orientation: use H: or V:", pos_);
            vertical = format_[pos_] == 'V';
            pos_ += 2;
        }
        skipSpaces();
        if (peek('|')) {
            ++pos_;
            elements.push_back({true, {}, {}});
            Connection connection;
            if (!parseConnection(connection)) return false;
            if (connection.flush && !peek('[')) return fail("Expected a view", pos_);
            connections.push_back(std::move(connection));
        }
        for (;;) {
            Element view;
            if (!parseView(view)) return false;
            elements.push_back(std::move(view));
            skipSpaces();
            if (atEnd()) return true;
            Connection connection;
            if (!parseConnection(connection)) return false;
            const bool flush = connection.flush;
            connections.push_back(std::move(connection));
            skipSpaces();
            if (peek('|')) {
                ++pos_;
                elements.push_back({true, {}, {}});
                skipSpaces();
                if (!atEnd()) return fail("'|' may only stand at the start or the end of the format", pos_);
                return true;
            }
            if (flush && !peek('[')) return fail("Expected a view or '|' here", pos_);
        }
    }

    bool fail(const std::string& reason, std::size_t at) {
        if (error_.empty()) {
            error_ = "Unable to parse constraint format: \n" + reason + "\n" + std::string(format_) + "\n" +
                     std::string(std::min(at, format_.size()), ' ') + "^";
        }
        return false;
    }

private:
    bool atEnd() const { return pos_ >= format_.size(); }
    bool peek(char c) const { return pos_ < format_.size() && format_[pos_] == c; }
    void skipSpaces() {
        while (pos_ < format_.size() && (format_[pos_] == ' ' || format_[pos_] == '\t')) ++pos_;
    }

    bool expect(char c, const char* reason) {
        skipSpaces();
        if (!peek(c)) return fail(reason, pos_);
        ++pos_;
        return true;
    }

    std::string_view name() {
        const std::size_t start = pos_;
        if (pos_ < format_.size() && isNameStart(format_[pos_]))
            while (pos_ < format_.size() && isNameChar(format_[pos_])) ++pos_;
        return format_.substr(start, pos_ - start);
    }

    // [+-]?digits(.digits)?([eE][+-]?digits)?, read without the locale.
    bool parseNumber(double& out, bool allowSign) {
        const std::size_t start = pos_;
        std::size_t p = pos_;
        if (allowSign && p < format_.size() && (format_[p] == '-' || format_[p] == '+')) ++p;
        const std::size_t digitsStart = p;
        while (p < format_.size() && isDigit(format_[p])) ++p;
        if (p < format_.size() && format_[p] == '.') {
            ++p;
            while (p < format_.size() && isDigit(format_[p])) ++p;
        }
        if (p == digitsStart || (p == digitsStart + 1 && format_[digitsStart] == '.'))
            return fail("Expected a number or a metric name", start);
        if (p < format_.size() && (format_[p] == 'e' || format_[p] == 'E')) {
            std::size_t q = p + 1;
            if (q < format_.size() && (format_[q] == '-' || format_[q] == '+')) ++q;
            if (q < format_.size() && isDigit(format_[q])) {
                while (q < format_.size() && isDigit(format_[q])) ++q;
                p = q;
            }
        }
        std::string_view text = format_.substr(start, p - start);
        if (!text.empty() && text.front() == '+') text.remove_prefix(1);
        double value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
            return fail("The number is out of range", start);
        out = value;
        pos_ = p;
        return true;
    }

    bool metric(std::string_view key, std::size_t at, double& out) {
        auto it = metrics_.find(key);
        if (it == metrics_.end()) return fail(std::string(key) + " is not a key in the metrics dictionary.", at);
        if (!std::isfinite(it->second)) return fail("The metric " + std::string(key) + " is not a finite number", at);
        out = it->second;
        return true;
    }

    // A number or a metric name; in a view's predicate also a view name.
    bool parseObject(Predicate& predicate, bool allowView) {
        skipSpaces();
        const std::size_t at = pos_;
        if (pos_ < format_.size() && isNameStart(format_[pos_])) {
            const std::string_view key = name();
            if (metrics_.count(key)) return metric(key, at, predicate.constant);
            if (views_.count(key)) {
                if (!allowView) return fail("A view cannot give a spacing: " + std::string(key), at);
                predicate.view = std::string(key);
                return true;
            }
            return fail(std::string(key) + " is not a key in the " + (allowView ? "views" : "metrics") + " dictionary.", at);
        }
        return parseNumber(predicate.constant, true);
    }

    bool parsePriority(double& out) {
        skipSpaces();
        const std::size_t at = pos_;
        if (pos_ < format_.size() && isNameStart(format_[pos_])) {
            if (!metric(name(), at, out)) return false;
        } else if (!parseNumber(out, false)) {
            return false;
        }
        if (!(out > 0 && out <= kLayoutPriorityRequired))
            return fail("A priority must be greater than 0 and at most 1000", at);
        return true;
    }

    bool parsePredicate(Predicate& predicate, bool allowView) {
        skipSpaces();
        if (pos_ + 1 < format_.size() && format_[pos_ + 1] == '=' &&
            (format_[pos_] == '=' || format_[pos_] == '<' || format_[pos_] == '>')) {
            predicate.relation = format_[pos_] == '=' ? LayoutRelation::Equal
                                 : format_[pos_] == '<' ? LayoutRelation::LessThanOrEqual
                                                        : LayoutRelation::GreaterThanOrEqual;
            pos_ += 2;
        } else if (peek('=') || peek('<') || peek('>')) {
            return fail("Unknown relation. Must be ==, >=, or <=", pos_);
        }
        if (!parseObject(predicate, allowView)) return false;
        skipSpaces();
        if (peek('@')) {
            ++pos_;
            if (!parsePriority(predicate.priority)) return false;
        }
        return true;
    }

    // After '(': predicates up to ')'.
    bool parsePredicateList(std::vector<Predicate>& out, bool allowView) {
        for (;;) {
            Predicate predicate;
            if (!parsePredicate(predicate, allowView)) return false;
            out.push_back(std::move(predicate));
            skipSpaces();
            if (peek(',')) {
                ++pos_;
                continue;
            }
            if (peek(')')) {
                ++pos_;
                return true;
            }
            return fail("Expected ',' or ')' in the predicate list", pos_);
        }
    }

    bool parseView(Element& view) {
        if (!expect('[', "Expected a view: '[' starts one")) return false;
        skipSpaces();
        const std::size_t at = pos_;
        const std::string_view key = name();
        if (key.empty()) return fail("Expected a view name after '['", at);
        if (!views_.count(key)) return fail(std::string(key) + " is not a key in the views dictionary.", at);
        view.name = std::string(key);
        skipSpaces();
        if (peek('(')) {
            ++pos_;
            if (!parsePredicateList(view.predicates, true)) return false;
        }
        return expect(']', "Expected ']' to end the view");
    }

    // Nothing (flush), '-', '-N-', '-name-' or '-(…)-'.
    bool parseConnection(Connection& connection) {
        skipSpaces();
        if (!peek('-')) {
            connection.flush = true;
            return true;
        }
        ++pos_;
        skipSpaces();
        if (peek('[') || peek('|')) {
            connection.standard = true;
            return true;
        }
        if (peek('(')) {
            ++pos_;
            if (!parsePredicateList(connection.predicates, false)) return false;
        } else if (pos_ < format_.size() && (isNameStart(format_[pos_]) || isDigit(format_[pos_]) || format_[pos_] == '.')) {
            Predicate predicate;
            const std::size_t at = pos_;
            if (isNameStart(format_[pos_])) {
                const std::string_view key = name();
                if (!metrics_.count(key) && views_.count(key))
                    return fail("A view cannot give a spacing: " + std::string(key), at);
                if (!metric(key, at, predicate.constant)) return false;
            } else if (!parseNumber(predicate.constant, false)) {
                return false;
            }
            connection.predicates.push_back(predicate);
        } else {
            return fail("Expected a number, a metric name or '(' after '-'", pos_);
        }
        return expect('-', "Expected '-' after the spacing");
    }

    std::string_view format_;
    const Metrics& metrics_;
    const ViewNames& views_;
    std::size_t pos_ = 0;
    std::string error_;
};

bool horizontalAttribute(LayoutAttribute a) {
    return a == LayoutAttribute::Left || a == LayoutAttribute::Right || a == LayoutAttribute::Leading ||
           a == LayoutAttribute::Trailing || a == LayoutAttribute::CenterX;
}

}  // namespace

std::string ConstraintDescription::description() const {
    std::string text = itemName(firstItem) + "." + layoutAttributeName(firstAttribute);
    text += relation == LayoutRelation::Equal ? " == " : relation == LayoutRelation::LessThanOrEqual ? " <= " : " >= ";
    if (secondItem.kind != Item::Kind::None && secondAttribute != LayoutAttribute::NotAnAttribute) {
        if (multiplier != 1) text += number(multiplier) + " * ";
        text += itemName(secondItem) + "." + layoutAttributeName(secondAttribute);
        if (constant != 0) text += (constant < 0 ? " - " : " + ") + number(std::fabs(constant));
    } else {
        text += number(constant);
    }
    if (priority < kLayoutPriorityRequired) text += " @" + number(priority);
    return text;
}

Result parse(std::string_view format, LayoutFormatOptions options, const Metrics& metrics, const ViewNames& views) {
    Result result;
    Parser parser(format, metrics, views);
    if (!parser.run()) {
        result.error = parser.error();
        return result;
    }
    const bool vertical = parser.vertical;

    // Alignment options must lie across the format's own axis.
    std::vector<LayoutAttribute> alignments;
    for (int bit = 1; bit <= 15; ++bit) {
        if (!(options & (LayoutFormatOptions{1} << bit))) continue;
        const auto attribute = static_cast<LayoutAttribute>(bit);
        if (bit == 7 || bit == 8 || bit > 12) {
            parser.fail("Unknown alignment in the options", 0);
            result.error = parser.error();
            return result;
        }
        if (horizontalAttribute(attribute) != vertical) {
            parser.fail(vertical ? "Options mask required views to be aligned on a vertical edge, which is not allowed "
                                   "for layout that is also vertical."
                                 : "Options mask required views to be aligned on a horizontal edge, which is not "
                                   "allowed for layout that is also horizontal.",
                        0);
            result.error = parser.error();
            return result;
        }
        alignments.push_back(attribute);
    }
    const LayoutFormatOptions direction = options & kDirectionMask;
    if (direction != kDirectionLeadingToTrailing && direction != kDirectionLeftToRight &&
        direction != kDirectionRightToLeft) {
        parser.fail("Unknown direction in the options", 0);
        result.error = parser.error();
        return result;
    }

    // The edge where an element starts and ends in reading order; right to left, coordinates
    // fall along the reading order, so the pair is written from the other side.
    LayoutAttribute start = LayoutAttribute::Leading, end = LayoutAttribute::Trailing;
    bool reversed = false;
    if (vertical) {
        start = LayoutAttribute::Top;
        end = LayoutAttribute::Bottom;
    } else if (direction == kDirectionLeftToRight) {
        start = LayoutAttribute::Left;
        end = LayoutAttribute::Right;
    } else if (direction == kDirectionRightToLeft) {
        start = LayoutAttribute::Right;
        end = LayoutAttribute::Left;
        reversed = true;
    }
    const LayoutAttribute size = vertical ? LayoutAttribute::Height : LayoutAttribute::Width;

    auto item = [](const Element& e) { return e.superview ? Item::superview() : Item::view(e.name); };
    auto& out = result.constraints;
    const auto& elements = parser.elements;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const Element& element = elements[i];
        for (const auto& p : element.predicates) {
            ConstraintDescription d;
            d.firstItem = item(element);
            d.firstAttribute = size;
            d.relation = p.relation;
            if (p.view) {
                d.secondItem = Item::view(*p.view);
                d.secondAttribute = size;
            } else {
                d.constant = p.constant;
            }
            d.priority = p.priority;
            out.push_back(std::move(d));
        }
        if (i + 1 == elements.size()) break;
        const Element& next = elements[i + 1];
        const Connection& connection = parser.connections[i];
        // The earlier element's edge facing the gap, and the later one's.
        const LayoutAttribute earlierEdge = element.superview ? start : end;
        const LayoutAttribute laterEdge = next.superview ? end : start;
        std::vector<Predicate> gaps = connection.predicates;
        if (connection.flush) gaps.push_back(Predicate{});
        if (connection.standard) {
            Predicate standard;
            standard.constant = element.superview || next.superview ? kSuperviewSpacing : kStandardSpacing;
            gaps.push_back(standard);
        }
        for (const auto& gap : gaps) {
            ConstraintDescription d;
            if (!reversed) {
                d.firstItem = item(next), d.firstAttribute = laterEdge;
                d.secondItem = item(element), d.secondAttribute = earlierEdge;
            } else {
                d.firstItem = item(element), d.firstAttribute = earlierEdge;
                d.secondItem = item(next), d.secondAttribute = laterEdge;
            }
            d.relation = gap.relation;
            d.constant = gap.constant;
            d.priority = gap.priority;
            out.push_back(std::move(d));
        }
    }
    for (const auto attribute : alignments) {
        const Element* previous = nullptr;
        for (const auto& element : elements) {
            if (element.superview) continue;
            if (previous) {
                ConstraintDescription d;
                d.firstItem = item(element), d.firstAttribute = attribute;
                d.secondItem = item(*previous), d.secondAttribute = attribute;
                out.push_back(std::move(d));
            }
            previous = &element;
        }
    }
    return result;
}

}  // namespace qm::platform::visual_format
