// What the log may show of secrets and personal data: the secret key, user ids and
// parameters, event attributes, analytics and device ids, cookies. Every log line that can
// carry such a value passes it through here first; what is sent and stored is unchanged.
//
// A redacted value keeps its length and a short keyed hash, so that lines can still be told
// apart and matched within one run: "sec…(27)#1a2b3c4d" (the first three characters only
// for values of 16 characters or more), "…(3)#5e6f7a8b" for a short one. The hash key is
// random per process, so the hash of a guessable value (an e-mail address) reveals nothing.
#pragma once

#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm {

class QMRedaction {
public:
    // One value as text; the empty text stays empty (its absence is worth seeing).
    static std::string qmRedactText(std::string_view text);
    // Every text, number and date inside `value` redacted; keys, nothing and the null
    // object kept.
    static Value qmRedactValue(const Value& value);
    // The values of sensitive keys redacted (with qmRedactValue) at any depth of a
    // dictionary or list; everything else as it is.
    static Value qmRedactSensitiveKeys(const Value& value);
    // A form body "a=b&c=d": the sensitive fields' values redacted by field name, the other
    // fields left exactly as they are. Values may be percent-encoded or not; a JSON value
    // keeps its keys, a cookie list its cookie names.
    static std::string qmRedactFormText(std::string_view form);
    // A URL with its query (and fragment) redacted like a form body.
    static std::string qmRedactURLText(std::string_view url);
    // True for the names of fields and keys whose values are secret or personal.
    static bool qmIsSensitiveName(std::string_view name);
};

}  // namespace qm
