// Shared between the property-list codec and the keyed archiver: owned libplist nodes,
// guarded parsing and serialising, and the conversion between nodes and Values.
#pragma once

#include <plist/plist.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qmplatform/plist.hpp"
#include "quelmar/value.hpp"

namespace qm::platform::plist_nodes {

struct NodeDeleter {
    void operator()(void* node) const noexcept {
        if (node) plist_free(node);
    }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Deepest nesting of lists and dictionaries accepted when reading or writing.
inline constexpr int kMaxDepth = 512;

// Parses XML or binary property-list bytes. The input is checked before libplist sees it
// (size, binary object table bounds, reference cycles, nesting depth, expansion of shared
// references); null on anything corrupt.
Node parse(std::string_view bytes);

// Serialises a node tree; nothing when libplist produces no output.
std::optional<std::string> serialize(void* node, plist::Format format);

// Node -> Value. A UID reads as the dictionary {"CF$UID": n}, the way XML spells it.
// Nothing for nodes that have no Value counterpart or nest deeper than kMaxDepth.
std::optional<Value> toValue(void* node, int depth = 0);

// Value -> node. Null when the value holds nothing or the null object anywhere, text or
// keys with an embedded NUL, a non-finite date, or nests deeper than kMaxDepth. The
// dictionary {"CF$UID": n} with a non-negative 32-bit integer n becomes a UID node.
Node fromValue(const Value& value, int depth = 0);

}  // namespace qm::platform::plist_nodes
