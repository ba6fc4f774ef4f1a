// Property lists (XML and binary) and keyed archives of Values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm::platform::plist {

enum class Format { XML, Binary };

// Reads an XML or binary property list (detected from the content). Nothing on corrupt input.
std::optional<Value> read(std::string_view bytes);
// Writes a property list. Nothing when the value holds something a property list cannot
// (nothing, the null object) anywhere inside it.
std::optional<std::string> write(const Value& value, Format format = Format::Binary);

}  // namespace qm::platform::plist

namespace qm::platform::keyed_archive {

// Encodes a value in the platform's keyed-archive layout as a binary property list.
std::optional<std::string> archive(const Value& root);
// Decodes a keyed archive; nothing on corrupt or unsupported input (never a crash).
std::optional<Value> unarchive(std::string_view bytes);

}  // namespace qm::platform::keyed_archive
