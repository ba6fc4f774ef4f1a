// JSON text to and from Values, written the way the platform writes it ("/" escaped as "\/",
// pretty form with two-space indent and " : " between key and value).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm::platform::json {

// Containers nested deeper than this are refused by both the reader and the writer, so
// everything the writer produces can be read back.
inline constexpr std::size_t kMaxDepth = 512;

struct ReadOptions {
    // Accept a top level that is not an object or array ("1", "\"x\"", "null").
    bool allowFragments = false;
};

// Parses UTF-8 JSON into a Value. Objects -> Dictionary, arrays -> Array, strings -> text,
// integers (no '.', no exponent, fitting in int64) -> Integer, all other numbers (integers
// too large for int64 included) -> Real, true/false -> Boolean, null -> Value::null().
// Numbers beyond the range of a double ("1e400") are refused. A leading
// UTF-8 byte-order mark is skipped; when an object repeats a key the last one wins.
// Invalid UTF-8 or JSON, trailing garbage, empty input, nesting deeper than kMaxDepth, or
// (without allowFragments) a top level that is not an object or array: nothing, and *error
// (if given) gets a one-line description.
std::optional<Value> parse(std::string_view text, ReadOptions options = {},
                           std::string* error = nullptr);

enum class WriteStyle { Compact, Pretty };

struct WriteOptions {
    WriteStyle style = WriteStyle::Compact;
    // Accept a top level that is not a list or dictionary.
    bool allowFragments = false;
};

// The platform's JSON text, without a trailing newline. Nothing (and *error) when the value
// holds a date, data, nothing (Value()), a non-finite real, text or a key that is not valid
// UTF-8, nesting deeper than kMaxDepth, or (without allowFragments) the top level is not a
// list or dictionary.
std::optional<std::string> write(const Value& value, WriteOptions options = {},
                                 std::string* error = nullptr);

// Top level is a list or dictionary and write() accepts the value.
bool isValidJSONObject(const Value& value);

}  // namespace qm::platform::json
