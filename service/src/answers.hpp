// Request decoding and answer building for the local service (no networking here).
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm::service::detail {

// %XX sequences decoded; "+" and malformed escapes stay as they are.
std::string percentDecode(std::string_view text);

// A name or value of form text (application/x-www-form-urlencoded): "+" is a space, then %XX
// sequences are decoded ("%2B" is a literal "+").
std::string formDecode(std::string_view text);

// Adds the fields of form or URL-query text ("a=1&b=x%20y+z") to `fields` (a dictionary): split
// at "&" and at the first "=" of each piece, names and values decoded with formDecode, a piece
// without "=" is a name with an empty value, pieces without a name are skipped, a repeated name
// keeps its last value.
void decodeForm(std::string_view text, qm::Value& fields);

// Standard Base64 without line breaks.
std::string base64(std::string_view bytes);

// Every "*.json" file of `dir`, keyed by file name without ".json". False (with *error)
// when the folder cannot be read or a file is not a JSON object.
bool loadFixtures(const std::string& dir, std::map<std::string, qm::Value>& fixtures,
                  std::string* error);

// The answer with its placeholders filled in from the request's fields: in any text,
// "{{name}}" becomes the field's value (empty when absent) and "{{uevent:name}}" the
// hit-cookie encoding of a one-name event list: Base64 of uevent=["<value>"]. The service
// adds "@domain" (its domain) to the fields for links back to itself.
qm::Value fillPlaceholders(const qm::Value& answer, const qm::Value& fields);

// The answer as a refusing service sends it: "Authentication" and "Account" "failed",
// "Message" "Refused by test", each member's "data"."Authentication" "failed", and an
// "http_code" of 401 where the answer carries one.
qm::Value refusal(const qm::Value& answer);

}  // namespace qm::service::detail
