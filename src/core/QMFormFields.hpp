// Request bodies are form texts: "name=value" fields joined by "&". Every value is
// percent-encoded on its own, so that "&", "=", "+" and "%" inside a value reach the service
// as part of that value instead of starting a new field.
#pragma once

#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm {

// The "%@" text of the value without any "(null)" (so a missing value is empty text),
// percent-encoded: every byte but ALPHA DIGIT - . _ ~.
std::string qmFormValue(const Value& value);
// "&name=value" with the value encoded as above.
std::string qmFormField(std::string_view name, const Value& value);

// A copy of a dictionary or list whose texts (keys included) have every invalid UTF-8 byte
// sequence replaced by U+FFFD, so that it can be written as JSON; `replaced` tells whether
// anything changed.
Value qmReplacingInvalidUTF8(const Value& value, bool& replaced);

}  // namespace qm
