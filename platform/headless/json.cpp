// JSON reading (simdjson DOM parser) and writing in the platform's text form.
#include "qmplatform/json.hpp"

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace qm::platform::json {
namespace {

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// ---------------------------------------------------------------------------------------
// The parser's lifetime
//
// simdjson keeps its implementations (the objects every parser is made by) in static
// objects that are destroyed when the process exits, while threads the host or the library
// left running may still read JSON: a parser made then would call into a destroyed object.
// An exit handler registered after those objects were made runs before they go; from then
// on reading refuses, and the handler waits a moment for reads already running.

std::atomic<int> gReaders{0};
std::atomic<bool> gExiting{false};

void endReading() {
    gExiting = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (gReaders.load() > 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Counts one read while it runs; `allowed` is false once the process is exiting.
class Reading {
public:
    Reading() {
        [[maybe_unused]] static const bool registered = [] {
            // Makes simdjson pick (and so create) its implementations first.
            [[maybe_unused]] const bool valid = simdjson::validate_utf8("", 0);
            std::atexit(endReading);
            return true;
        }();
        ++gReaders;
        allowed = !gExiting.load();
    }
    ~Reading() { --gReaders; }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    bool allowed = false;
};

// Whether the bytes are UTF-8 (no overlong forms, surrogates or values past U+10FFFF). The
// writer checks with this rather than simdjson so that writing works until the very end.
bool validUTF8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length = 0;
        std::uint32_t code = 0, least = 0;
        if ((c & 0xE0) == 0xC0) length = 2, code = c & 0x1F, least = 0x80;
        else if ((c & 0xF0) == 0xE0) length = 3, code = c & 0x0F, least = 0x800;
        else if ((c & 0xF8) == 0xF0) length = 4, code = c & 0x07, least = 0x10000;
        else return false;
        if (end - p < length) return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        p += length;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Reading

std::string describe(simdjson::error_code code) {
    switch (code) {
        case simdjson::EMPTY: return "no JSON value in the text";
        case simdjson::UTF8_ERROR: return "the text is not valid UTF-8";
        case simdjson::DEPTH_ERROR:
            return "objects and arrays are nested more than " + std::to_string(kMaxDepth) +
                   " levels deep";
        case simdjson::NUMBER_ERROR:
        case simdjson::NUMBER_OUT_OF_RANGE: return "a number is malformed or out of range";
        case simdjson::STRING_ERROR: return "a string holds an invalid escape sequence";
        case simdjson::UNESCAPED_CHARS: return "a string holds an unescaped control character";
        case simdjson::UNCLOSED_STRING: return "a string is not closed";
        case simdjson::T_ATOM_ERROR:
        case simdjson::F_ATOM_ERROR:
        case simdjson::N_ATOM_ERROR: return "malformed literal (expected true, false or null)";
        case simdjson::TAPE_ERROR:
            return "malformed JSON: unexpected, missing or trailing characters";
        case simdjson::CAPACITY: return "the text is too large";
        case simdjson::MEMALLOC: return "out of memory";
        default: return std::string("malformed JSON: ") + simdjson::error_message(code);
    }
}

// One parser per thread keeps its buffers between calls.
simdjson::dom::parser* threadParser(simdjson::error_code& failure) {
    thread_local std::unique_ptr<simdjson::dom::parser> parser;
    if (!parser) {
        auto fresh = std::make_unique<simdjson::dom::parser>();
        // The depth limit set here sticks when the parser later grows its capacity.
        failure = fresh->allocate(4096, kMaxDepth);
        if (failure) return nullptr;
        parser = std::move(fresh);
    }
    return parser.get();
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNumberChar(char c) {
    return isDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

// The parser refuses integer literals that fit neither int64 nor uint64. This copy of the
// text has ".0" appended to each of them so that they read as reals; nothing when the text
// has no such literal. Everything else is copied unchanged, so invalid text stays invalid.
std::optional<std::string> widenHugeIntegers(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool changed = false;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {  // a string literal, copied as is
            std::size_t end = i + 1;
            while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
            end = std::min(end + 1, text.size());
            out.append(text.substr(i, end - i));
            i = end;
        } else if (c == '-' || isDigit(c)) {
            std::size_t end = i + 1;
            while (end < text.size() && isNumberChar(text[end])) ++end;
            std::string_view token = text.substr(i, end - i);
            out.append(token);
            std::string_view digits = token[0] == '-' ? token.substr(1) : token;
            if (!digits.empty() && std::all_of(digits.begin(), digits.end(), isDigit)) {
                std::from_chars_result result;
                if (token[0] == '-') {
                    std::int64_t ignored = 0;
                    result = std::from_chars(token.data(), token.data() + token.size(), ignored);
                } else {
                    std::uint64_t ignored = 0;
                    result = std::from_chars(token.data(), token.data() + token.size(), ignored);
                }
                if (result.ec == std::errc::result_out_of_range) {
                    out += ".0";
                    changed = true;
                }
            }
            i = end;
        } else {
            out += c;
            ++i;
        }
    }
    if (!changed) return std::nullopt;
    return out;
}

// Converts a parsed element. Depth is bounded by the parser's limit.
Value convert(simdjson::dom::element element) {
    using simdjson::dom::element_type;
    switch (element.type()) {
        case element_type::ARRAY: {
            simdjson::dom::array items = element.get_array().value_unsafe();
            Array out;
            out.reserve(items.size());
            for (simdjson::dom::element item : items) out.push_back(convert(item));
            return Value(std::move(out));
        }
        case element_type::OBJECT: {
            simdjson::dom::object fields = element.get_object().value_unsafe();
            Dictionary out;
            for (simdjson::dom::key_value_pair field : fields)
                out.insert_or_assign(std::string(field.key), convert(field.value));
            return Value(std::move(out));
        }
        case element_type::INT64:
            return Value(static_cast<long long>(element.get_int64().value_unsafe()));
        case element_type::UINT64:
            // Only values above INT64_MAX come here; they do not fit an Integer.
            return Value(static_cast<double>(element.get_uint64().value_unsafe()));
        case element_type::DOUBLE: return Value(element.get_double().value_unsafe());
        case element_type::STRING: return Value(element.get_string().value_unsafe());
        case element_type::BOOL: return Value(element.get_bool().value_unsafe());
        case element_type::NULL_VALUE: return Value::null();
    }
    return Value::null();
}

// ---------------------------------------------------------------------------------------
// Writing

class Writer {
public:
    Writer(std::string& out, bool pretty) : out_(out), pretty_(pretty) {}

    // Empty when the value was written; otherwise why it could not be.
    std::string write(const Value& value, std::size_t depth) {
        switch (value.type()) {
            case Value::Type::None: return "JSON cannot hold a missing value";
            case Value::Type::Null: out_ += "null"; return {};
            case Value::Type::Boolean: out_ += value.boolValue() ? "true" : "false"; return {};
            case Value::Type::Integer: out_ += std::to_string(value.integerValue()); return {};
            case Value::Type::Real: {
                double d = value.doubleValue();
                if (!std::isfinite(d)) return "JSON cannot hold an infinite or NaN number";
                out_ += formatReal(d);
                return {};
            }
            case Value::Type::String:
                if (!writeString(value.string()))
                    return "JSON cannot hold text that is not valid UTF-8";
                return {};
            case Value::Type::Date: return "JSON cannot hold a date";
            case Value::Type::Data: return "JSON cannot hold data";
            case Value::Type::Array: return writeArray(value.arrayItems(), depth + 1);
            case Value::Type::Dictionary:
                return writeDictionary(value.dictionaryItems(), depth + 1);
        }
        return "JSON cannot hold this value";
    }

    // Where the refused value sits, like `["items"][2]`; empty at the top level. Only
    // meaningful after write() failed (the path is left as it was at the failure).
    std::string location() const {
        std::string text;
        for (const auto& step : path_) {
            text += '[';
            if (step.key && !validUTF8(*step.key)) {
                text += "<key that is not UTF-8>";
            } else if (step.key) {
                text += '"';
                // Keep the description on one line.
                for (char c : *step.key) text += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
                text += '"';
            } else {
                text += std::to_string(step.index);
            }
            text += ']';
        }
        return text;
    }

private:
    struct Step {
        const std::string* key = nullptr;
        std::size_t index = 0;
    };

    std::string& out_;
    bool pretty_;
    std::vector<Step> path_;

    static std::string tooDeep() {
        return "lists and dictionaries are nested more than " + std::to_string(kMaxDepth) +
               " levels deep";
    }

    void newline(std::size_t depth) {
        out_ += '\n';
        out_.append(2 * depth, ' ');
    }

    std::string writeArray(const Array& items, std::size_t depth) {
        if (depth > kMaxDepth) return tooDeep();
        out_ += '[';
        if (items.empty()) {
            if (pretty_) {
                out_ += '\n';
                newline(depth - 1);
            }
            out_ += ']';
            return {};
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i > 0) out_ += ',';
            if (pretty_) newline(depth);
            path_.push_back(Step{nullptr, i});
            if (auto failure = write(items[i], depth); !failure.empty()) return failure;
            path_.pop_back();
        }
        if (pretty_) newline(depth - 1);
        out_ += ']';
        return {};
    }

    std::string writeDictionary(const Dictionary& items, std::size_t depth) {
        if (depth > kMaxDepth) return tooDeep();
        out_ += '{';
        if (items.empty()) {
            if (pretty_) {
                out_ += '\n';
                newline(depth - 1);
            }
            out_ += '}';
            return {};
        }
        bool first = true;
        for (const auto& [key, item] : items) {
            if (!first) out_ += ',';
            first = false;
            if (pretty_) newline(depth);
            path_.push_back(Step{&key, 0});
            if (!writeString(key)) return "JSON cannot hold a key that is not valid UTF-8";
            out_ += pretty_ ? " : " : ":";
            if (auto failure = write(item, depth); !failure.empty()) return failure;
            path_.pop_back();
        }
        if (pretty_) newline(depth - 1);
        out_ += '}';
        return {};
    }

    // False when the text is not valid UTF-8.
    bool writeString(const std::string& text) {
        if (!validUTF8(text)) return false;
        static constexpr char kHex[] = "0123456789abcdef";
        out_ += '"';
        for (char c : text) {
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '/': out_ += "\\/"; break;
                case '\b': out_ += "\\b"; break;
                case '\f': out_ += "\\f"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default: {
                    auto byte = static_cast<unsigned char>(c);
                    if (byte < 0x20) {
                        out_ += "\\u00";
                        out_ += kHex[byte >> 4];
                        out_ += kHex[byte & 0xF];
                    } else {
                        out_ += c;
                    }
                }
            }
        }
        out_ += '"';
        return true;
    }
};

}  // namespace

std::optional<Value> parse(std::string_view text, ReadOptions options, std::string* error) {
    try {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
        const Reading reading;
        if (!reading.allowed) {
            setError(error, "JSON is not read while the process exits");
            return std::nullopt;
        }
        simdjson::error_code failure = simdjson::SUCCESS;
        simdjson::dom::parser* parser = threadParser(failure);
        if (!parser) {
            setError(error, describe(failure));
            return std::nullopt;
        }
        simdjson::padded_string padded(text);
        if (padded.size() != text.size()) {
            setError(error, describe(simdjson::MEMALLOC));
            return std::nullopt;
        }
        simdjson::dom::element root;
        auto code = parser->parse(padded).get(root);
        if (code == simdjson::NUMBER_ERROR) {
            // Perhaps an integer too large for 64 bits: read those as reals.
            if (auto widened = widenHugeIntegers(text)) {
                padded = simdjson::padded_string(*widened);
                if (padded.size() != widened->size()) code = simdjson::MEMALLOC;
                else code = parser->parse(padded).get(root);
            }
        }
        if (code != simdjson::SUCCESS) {
            setError(error, describe(code));
            return std::nullopt;
        }
        if (!options.allowFragments && !root.is_array() && !root.is_object()) {
            setError(error, "the top level is not an object or array");
            return std::nullopt;
        }
        return convert(root);
    } catch (const std::bad_alloc&) {
        setError(error, describe(simdjson::MEMALLOC));
    } catch (const std::exception& e) {
        setError(error, std::string("JSON could not be read: ") + e.what());
    }
    return std::nullopt;
}

std::optional<std::string> write(const Value& value, WriteOptions options, std::string* error) {
    try {
        if (!options.allowFragments && !value.isArray() && !value.isDictionary()) {
            setError(error, "the top level is not a list or dictionary");
            return std::nullopt;
        }
        std::string out;
        Writer writer(out, options.style == WriteStyle::Pretty);
        if (auto failure = writer.write(value, 0); !failure.empty()) {
            if (auto where = writer.location(); !where.empty()) failure += " at " + where;
            setError(error, std::move(failure));
            return std::nullopt;
        }
        return out;
    } catch (const std::bad_alloc&) {
        setError(error, "out of memory");
    } catch (const std::exception& e) {
        setError(error, std::string("JSON could not be written: ") + e.what());
    }
    return std::nullopt;
}

bool isValidJSONObject(const Value& value) {
    return (value.isArray() || value.isDictionary()) && write(value).has_value();
}

}  // namespace qm::platform::json
