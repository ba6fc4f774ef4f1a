#include "quelmar/value.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace qm {
namespace {

// Never destroyed: background threads may still read values while the process exits.
const std::string& kEmptyString = *new std::string();
const Bytes& kEmptyBytes = *new Bytes();
const Array& kEmptyArray = *new Array();
const Dictionary& kEmptyDictionary = *new Dictionary();
const Value& kNothing = *new Value();

template <typename T>
const T& as(const detail::StorageRef& p) {
    return *static_cast<const T*>(p.get());
}

// Counted storage and its object in one allocation.
template <typename T>
struct Box final : detail::SharedStorage {
    T value;
    explicit Box(T&& v) : value(std::move(v)) {
        object = &value;
        destroy = [](detail::SharedStorage* s) noexcept { delete static_cast<Box*>(s); };
    }
};

template <typename T>
detail::StorageRef make(T&& v) {
    using Object = std::decay_t<T>;
    return detail::StorageRef(new Box<Object>(Object(std::forward<T>(v))));
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The platform's text-to-number reading: leading blanks, optional sign, digits, junk ignored.
long long parseInteger(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    unsigned long long acc = 0;
    const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    bool saturated = false;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        if (saturated) continue;
        acc = acc * 10 + static_cast<unsigned>(s[i] - '0');
        if (acc > limit) { acc = limit; saturated = true; }
    }
    if (negative) return acc == limit ? std::numeric_limits<long long>::min() : -static_cast<long long>(acc);
    return static_cast<long long>(acc);
}

double parseReal(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    std::size_t start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    bool digits = false;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; digits = true; }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; digits = true; }
    }
    if (!digits) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
            while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
            i = j;
        }
    }
    std::string text(s.substr(start, i - start));
    if (!text.empty() && text[0] == '+') text.erase(0, 1);
    double out = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), out);
    if (res.ec == std::errc::result_out_of_range) return text[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    return out;
}

bool parseBool(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::string dateDescription(Date d) {
    double unix = std::floor(d.unixSeconds());
    if (!std::isfinite(unix) || std::fabs(unix) > 1e15) return "<invalid date>";
    std::time_t t = static_cast<std::time_t>(unix);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string dataDescription(const Bytes& b) {
    static const char* hex = "0123456789abcdef";
    std::string out = "{length = " + std::to_string(b.size()) + ", bytes = 0x";
    auto put = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            out += hex[b[i] >> 4];
            out += hex[b[i] & 15];
        }
    };
    if (b.size() <= 24) {
        put(0, b.size());
    } else {
        put(0, 8);
        out += " ... ";
        put(b.size() - 4, b.size());
    }
    out += "}";
    return out;
}

// Text inside a list or dictionary description is quoted unless it is a plain word
// (letters, digits and "_"): "2.5", "-1" and "a b" are quoted.
void appendQuotedIfNeeded(std::string& out, const std::string& s) {
    bool plain = !s.empty();
    for (unsigned char c : s) {
        if (!(std::isalnum(c) || c == '_')) {
            plain = false;
            break;
        }
    }
    if (plain) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    out += '"';
}

void appendIndent(std::string& out, int level) { out.append(static_cast<std::size_t>(level) * 4, ' '); }

void describe(std::string& out, const Value& v, int level, bool nested);

void describeItem(std::string& out, const Value& v, int level) {
    if (v.isArray() || v.isDictionary()) {
        describe(out, v, level, true);
    } else if (v.isString()) {
        appendQuotedIfNeeded(out, v.string());
    } else {
        appendQuotedIfNeeded(out, v.description());
    }
}

void describe(std::string& out, const Value& v, int level, bool nested) {
    if (nested) appendIndent(out, level);
    if (v.isArray()) {
        out += "(\n";
        const Array& items = v.arrayItems();
        for (std::size_t i = 0; i < items.size(); ++i) {
            appendIndent(out, level + 1);
            describeItem(out, items[i], level + 1);
            out += i + 1 < items.size() ? ",\n" : "\n";
        }
        appendIndent(out, level);
        out += ")";
    } else {
        out += "{\n";
        for (const auto& [key, item] : v.dictionaryItems()) {
            appendIndent(out, level + 1);
            appendQuotedIfNeeded(out, key);
            out += " = ";
            describeItem(out, item, level + 1);
            out += ";\n";
        }
        appendIndent(out, level);
        out += "}";
    }
}

// Appends one printf conversion. A piece longer than the stack buffer (a long text under %s,
// a wide field) is printed again straight into the output, so it is never cut short.
template <typename T>
void appendPrinted(std::string& out, const std::string& directive, T arg) {
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, directive.c_str(), arg);
    if (n <= 0) return;
    std::size_t length = static_cast<std::size_t>(n);
    if (length < sizeof buf) {
        out.append(buf, length);
        return;
    }
    std::size_t at = out.size();
    out.resize(at + length + 1);  // room for the terminator snprintf writes
    std::snprintf(out.data() + at, length + 1, directive.c_str(), arg);
    out.resize(at + length);
}

}  // namespace

std::string formatReal(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    if (d == 0) return std::signbit(d) ? "-0" : "0";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d);
    std::string s(buf, res.ptr);
    // Exponents read as printf's %g writes them: at least two digits.
    auto e = s.find('e');
    if (e != std::string::npos) {
        std::size_t digits = e + 1;
        if (digits < s.size() && (s[digits] == '+' || s[digits] == '-')) ++digits;
        else s.insert(digits++, "+");
        if (s.size() - digits < 2) s.insert(digits, "0");
    }
    return s;
}

Value Value::null() {
    Value v;
    v.type_ = Type::Null;
    return v;
}

Value::Value(bool b) noexcept : type_(Type::Boolean) { b_ = b; }
Value::Value(int i) noexcept : type_(Type::Integer) { i_ = i; }
Value::Value(long i) noexcept : type_(Type::Integer) { i_ = i; }
Value::Value(long long i) noexcept : type_(Type::Integer) { i_ = i; }
Value::Value(unsigned i) noexcept : type_(Type::Integer) { i_ = static_cast<long long>(i); }
Value::Value(unsigned long i) noexcept : type_(Type::Integer) { i_ = static_cast<long long>(i); }
Value::Value(unsigned long long i) noexcept : type_(Type::Integer) { i_ = static_cast<long long>(i); }
Value::Value(double d) noexcept : type_(Type::Real) { d_ = d; }
Value::Value(float f) noexcept : type_(Type::Real) { d_ = static_cast<double>(f); }
Value::Value(const char* s) : type_(s ? Type::String : Type::None) {
    if (s) p_ = make(std::string(s));
}
Value::Value(std::string s) : type_(Type::String), p_(make(std::move(s))) {}
Value::Value(std::string_view s) : type_(Type::String), p_(make(std::string(s))) {}
Value::Value(qm::Date d) noexcept : type_(Type::Date) { d_ = d.seconds; }
Value::Value(qm::Bytes data) : type_(Type::Data), p_(make(std::move(data))) {}
Value::Value(qm::Array array) : type_(Type::Array), p_(make(std::move(array))) {}
Value::Value(qm::Dictionary dict) : type_(Type::Dictionary), p_(make(std::move(dict))) {}
Value::Value(std::initializer_list<std::pair<const std::string, Value>> entries)
    : type_(Type::Dictionary), p_(make(qm::Dictionary(entries))) {}

Value Value::array(std::initializer_list<Value> items) { return Value(qm::Array(items)); }

std::string Value::description() const {
    switch (type_) {
        case Type::None: return "(null)";
        case Type::Null: return "<null>";
        case Type::Boolean: return b_ ? "1" : "0";
        case Type::Integer: return std::to_string(i_);
        case Type::Real: return formatReal(d_);
        case Type::String: return as<std::string>(p_);
        case Type::Date: return dateDescription(qm::Date{d_});
        case Type::Data: return dataDescription(as<Bytes>(p_));
        case Type::Array:
        case Type::Dictionary: {
            std::string out;
            describe(out, *this, 0, false);
            return out;
        }
    }
    return {};
}

long long Value::integerValue() const noexcept {
    switch (type_) {
        case Type::Boolean: return b_ ? 1 : 0;
        case Type::Integer: return i_;
        case Type::Real:
            if (std::isnan(d_)) return 0;
            if (d_ >= 9.2233720368547758e18) return std::numeric_limits<long long>::max();
            if (d_ <= -9.2233720368547758e18) return std::numeric_limits<long long>::min();
            return static_cast<long long>(d_);
        case Type::String: return parseInteger(as<std::string>(p_));
        default: return 0;
    }
}

double Value::doubleValue() const noexcept {
    switch (type_) {
        case Type::Boolean: return b_ ? 1 : 0;
        case Type::Integer: return static_cast<double>(i_);
        case Type::Real: return d_;
        case Type::Date: return d_;
        case Type::String: return parseReal(as<std::string>(p_));
        default: return 0;
    }
}

bool Value::boolValue() const noexcept {
    switch (type_) {
        case Type::Boolean: return b_;
        case Type::Integer: return i_ != 0;
        case Type::Real: return d_ != 0;
        case Type::String: return parseBool(as<std::string>(p_));
        default: return false;
    }
}

const std::string& Value::string() const& noexcept { return type_ == Type::String ? as<std::string>(p_) : kEmptyString; }

std::optional<std::string> Value::stringIfText() const {
    if (type_ != Type::String) return std::nullopt;
    return as<std::string>(p_);
}

qm::Date Value::date() const noexcept { return type_ == Type::Date ? qm::Date{d_} : qm::Date{}; }
const Bytes& Value::data() const& noexcept { return type_ == Type::Data ? as<Bytes>(p_) : kEmptyBytes; }
const Array& Value::arrayItems() const& noexcept { return type_ == Type::Array ? as<Array>(p_) : kEmptyArray; }
const Dictionary& Value::dictionaryItems() const& noexcept {
    return type_ == Type::Dictionary ? as<Dictionary>(p_) : kEmptyDictionary;
}

std::size_t Value::count() const noexcept {
    switch (type_) {
        case Type::String: return as<std::string>(p_).size();
        case Type::Data: return as<Bytes>(p_).size();
        case Type::Array: return as<Array>(p_).size();
        case Type::Dictionary: return as<Dictionary>(p_).size();
        default: return 0;
    }
}

const Value& Value::operator[](std::string_view key) const& noexcept {
    if (type_ != Type::Dictionary) return kNothing;
    const auto& d = as<Dictionary>(p_);
    auto it = d.find(key);
    return it == d.end() ? kNothing : it->second;
}

const Value& Value::operator[](std::size_t index) const& noexcept {
    if (type_ != Type::Array) return kNothing;
    const auto& a = as<Array>(p_);
    return index < a.size() ? a[index] : kNothing;
}

bool Value::contains(std::string_view key) const noexcept {
    return type_ == Type::Dictionary && as<Dictionary>(p_).count(key) > 0;
}

// Copies the storage when another Value still holds it (see StorageRef for why the check is
// safe against holders on other threads letting go at the same time).
void Value::detach() {
    if (!p_.isShared()) return;
    switch (type_) {
        case Type::String: p_ = make(std::string(as<std::string>(p_))); break;
        case Type::Data: p_ = make(Bytes(as<Bytes>(p_))); break;
        case Type::Array: p_ = make(Array(as<Array>(p_))); break;
        case Type::Dictionary: p_ = make(Dictionary(as<Dictionary>(p_))); break;
        default: break;
    }
}

Array& Value::mutableArray() & {
    if (type_ != Type::Array) *this = Value(Array{});
    detach();
    return *static_cast<Array*>(p_.get());
}

Dictionary& Value::mutableDictionary() & {
    if (type_ != Type::Dictionary) *this = Value(Dictionary{});
    detach();
    return *static_cast<Dictionary*>(p_.get());
}

void Value::set(std::string_view key, Value v) {
    if (v.isNone()) {
        remove(key);
        return;
    }
    auto& d = mutableDictionary();
    auto it = d.find(key);
    if (it != d.end()) it->second = std::move(v);
    else d.emplace(std::string(key), std::move(v));
}

void Value::remove(std::string_view key) {
    if (type_ != Type::Dictionary || !contains(key)) return;
    auto& d = mutableDictionary();
    d.erase(d.find(key));
}

void Value::append(Value v) { mutableArray().push_back(std::move(v)); }

void Value::removeAt(std::size_t index) {
    if (type_ != Type::Array || index >= count()) return;
    auto& a = mutableArray();
    a.erase(a.begin() + static_cast<std::ptrdiff_t>(index));
}

void Value::insert(std::size_t index, Value v) {
    auto& a = mutableArray();
    if (index > a.size()) index = a.size();
    a.insert(a.begin() + static_cast<std::ptrdiff_t>(index), std::move(v));
}

bool operator==(const Value& a, const Value& b) noexcept {
    if (a.isNumber() && b.isNumber()) {
        if (a.isReal() || b.isReal()) return a.doubleValue() == b.doubleValue();
        return a.integerValue() == b.integerValue();
    }
    if (a.type_ != b.type_) return false;
    if (a.p_ && a.p_ == b.p_) return true;
    switch (a.type_) {
        case Value::Type::None:
        case Value::Type::Null: return true;
        case Value::Type::Date: return a.d_ == b.d_;
        case Value::Type::String: return a.string() == b.string();
        case Value::Type::Data: return a.data() == b.data();
        case Value::Type::Array: return a.arrayItems() == b.arrayItems();
        case Value::Type::Dictionary: return a.dictionaryItems() == b.dictionaryItems();
        default: return false;
    }
}

bool isValidString(const Value& v, bool rejectNullText) {
    if (v.isNone() || v.isNull()) return false;
    if (v.isString()) {
        const auto& s = v.string();
        return !s.empty() && !(rejectNullText && s == "(null)");
    }
    std::string text = v.description();
    return !text.empty() && !(rejectNullText && text == "(null)");
}

std::string formatv(std::string_view fmt, const std::vector<Value>& args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    std::size_t next = 0;
    static const Value& missing = *new Value();
    auto take = [&]() -> const Value& { return next < args.size() ? args[next++] : missing; };
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        std::size_t start = i++;
        if (i >= fmt.size()) {
            out += '%';
            break;
        }
        if (fmt[i] == '%') {
            out += '%';
            continue;
        }
        std::string directive = "%";
        while (i < fmt.size() && std::string_view("-+ #0'").find(fmt[i]) != std::string_view::npos) directive += fmt[i++];
        while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) directive += fmt[i++];
        if (i < fmt.size() && fmt[i] == '.') {
            directive += fmt[i++];
            while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) directive += fmt[i++];
        }
        while (i < fmt.size() && std::string_view("hlqzjtL").find(fmt[i]) != std::string_view::npos) ++i;
        if (i >= fmt.size()) {
            out.append(fmt.substr(start));
            break;
        }
        char conv = fmt[i];
        switch (conv) {
            case '@': {
                std::string text = take().description();
                if (directive == "%") {
                    out += text;
                } else {
                    appendPrinted(out, directive + "s", text.c_str());
                }
                break;
            }
            case 's': appendPrinted(out, directive + "s", take().description().c_str()); break;
            case 'd':
            case 'i': appendPrinted(out, directive + "lld", take().integerValue()); break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                appendPrinted(out, directive + "ll" + conv, static_cast<unsigned long long>(take().integerValue()));
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G': appendPrinted(out, directive + conv, take().doubleValue()); break;
            case 'c': appendPrinted(out, directive + "c", static_cast<int>(take().integerValue())); break;
            default: out.append(fmt.substr(start, i - start + 1)); break;
        }
    }
    return out;
}

}  // namespace qm
