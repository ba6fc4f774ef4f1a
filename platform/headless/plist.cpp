// Property lists in XML and binary form, read and written through libplist.
//
// libplist trusts its input more than we can afford to, so reading first checks the bytes:
// binary lists have their trailer, offset table, every object's extent and every reference
// verified, and the object graph is walked once to refuse cycles, excessive nesting and
// shared references that would expand into an enormous tree; XML text is scanned for its
// nesting depth. The buffer handed to libplist is always NUL-terminated.
#include "qmplatform/plist.hpp"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "plist_nodes.hpp"

namespace qm::platform::plist_nodes {
namespace {

constexpr std::size_t kMaxInputBytes = 64u * 1024u * 1024u;
// Upper bound on the number of nodes a binary list may expand to once shared references
// are copied out into a tree.
constexpr std::uint64_t kMaxExpandedNodes = 4'000'000;

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// Structural check of a binary property list ("bplist00").
class BinaryChecker {
public:
    explicit BinaryChecker(std::string_view bytes)
        : p_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

    bool valid() {
        if (size_ < 8 + 1 + 32) return false;
        const unsigned char* trailer = p_ + size_ - 32;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        const std::uint64_t count = readBigEndian(trailer + 8, 8);
        const std::uint64_t top = readBigEndian(trailer + 16, 8);
        tableOffset_ = readBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (count == 0 || top >= count) return false;
        if (tableOffset_ < 9 || tableOffset_ > size_ - 32) return false;
        if (count > (size_ - 32 - tableOffset_) / offsetSize_) return false;
        count_ = static_cast<std::size_t>(count);
        offsets_.resize(count_);
        for (std::size_t i = 0; i < count_; ++i) {
            const std::uint64_t off = readBigEndian(p_ + tableOffset_ + i * offsetSize_, offsetSize_);
            if (off < 8 || off >= tableOffset_) return false;
            offsets_[i] = static_cast<std::size_t>(off);
        }
        state_.assign(count_, 0);
        expanded_.assign(count_, 0);
        return visit(static_cast<std::size_t>(top), 0);
    }

private:
    struct Object {
        unsigned type = 0;
        std::size_t refs = 0;      // position of the first reference (containers)
        std::uint64_t refCount = 0;
        std::size_t payload = 0;   // position of a text's characters
        std::uint64_t length = 0;  // count of a text's characters
    };

    // Reads an object's header and checks that its payload lies before the offset table.
    bool describe(std::size_t index, Object& out) const {
        std::size_t pos = offsets_[index];
        const unsigned char marker = p_[pos++];
        const unsigned type = marker >> 4;
        const unsigned info = marker & 0x0f;
        out.type = type;
        auto fits = [&](std::uint64_t bytes) { return bytes <= tableOffset_ - pos; };
        std::uint64_t length = info;
        const bool sized = type == 0x4 || type == 0x5 || type == 0x6 || type == 0xA ||
                           type == 0xC || type == 0xD;
        if (sized && info == 0x0f) {
            if (!fits(1)) return false;
            const unsigned char lengthMarker = p_[pos++];
            if ((lengthMarker >> 4) != 0x1 || (lengthMarker & 0x0f) > 3) return false;
            const std::size_t lengthBytes = std::size_t{1} << (lengthMarker & 0x0f);
            if (!fits(lengthBytes)) return false;
            length = readBigEndian(p_ + pos, lengthBytes);
            pos += lengthBytes;
        }
        out.payload = pos;
        out.length = length;
        switch (type) {
            case 0x0:
                return info == 0x0 || info == 0x8 || info == 0x9 || info == 0xf;
            case 0x1:
                return info <= 4 && fits(std::uint64_t{1} << info);
            case 0x2:
                return (info == 2 || info == 3) && fits(std::uint64_t{1} << info);
            case 0x3:
                return info == 3 && fits(8);
            case 0x4:
            case 0x5:
                return fits(length);
            case 0x6:
                return length <= std::numeric_limits<std::uint64_t>::max() / 2 && fits(length * 2);
            case 0x8:
                return fits(info + 1);
            case 0xA:
            case 0xC:
            case 0xD: {
                const std::uint64_t refs = type == 0xD ? length * 2 : length;
                if (type == 0xD && length > std::numeric_limits<std::uint64_t>::max() / 2) return false;
                if (refs > (tableOffset_ - pos) / refSize_) return false;
                out.refs = pos;
                out.refCount = refs;
                return true;
            }
            default:
                return false;
        }
    }

    // Dictionary keys must be texts without a NUL character (libplist aborts on those).
    bool validKey(std::size_t index) const {
        Object key;
        if (!describe(index, key)) return false;
        const unsigned char* text = p_ + key.payload;
        if (key.type == 0x5) return std::memchr(text, 0, static_cast<std::size_t>(key.length)) == nullptr;
        if (key.type != 0x6) return false;
        for (std::uint64_t i = 0; i < key.length; ++i)
            if (text[2 * i] == 0 && text[2 * i + 1] == 0) return false;
        return true;
    }

    std::size_t ref(const Object& o, std::uint64_t i) const {
        const std::uint64_t r = readBigEndian(p_ + o.refs + i * refSize_, refSize_);
        return r < count_ ? static_cast<std::size_t>(r) : SIZE_MAX;
    }

    // Depth-first walk from the top object: refuses cycles (an object reached again while
    // it is still being visited), nesting beyond kMaxDepth and trees that would expand past
    // kMaxExpandedNodes. Memoised, so each object is examined once.
    bool visit(std::size_t index, int depth) {
        if (depth > kMaxDepth) return false;
        if (state_[index] == 2) return true;
        if (state_[index] == 1) return false;
        state_[index] = 1;
        Object o;
        if (!describe(index, o)) return false;
        std::uint64_t total = 1;
        for (std::uint64_t i = 0; i < o.refCount; ++i) {
            const std::size_t child = ref(o, i);
            if (child == SIZE_MAX) return false;
            if (o.type == 0xD && i < o.refCount / 2 && !validKey(child)) return false;
            if (!visit(child, depth + 1)) return false;
            total += expanded_[child];
            if (total > kMaxExpandedNodes) return false;
        }
        expanded_[index] = total;
        state_[index] = 2;
        return true;
    }

    const unsigned char* p_;
    std::size_t size_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t tableOffset_ = 0;
    std::size_t count_ = 0;
    std::vector<std::size_t> offsets_;
    std::vector<unsigned char> state_;
    std::vector<std::uint64_t> expanded_;
};

// Conservative nesting scan of XML text: counts opening and closing array / dict tags.
bool xmlNestingAcceptable(std::string_view text) {
    int depth = 0;
    auto isNameEnd = [&](std::size_t i) {
        if (i >= text.size()) return true;
        const char c = text[i];
        return !(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == ':');
    };
    for (std::size_t i = text.find('<'); i != std::string_view::npos; i = text.find('<', i + 1)) {
        const std::string_view rest = text.substr(i + 1);
        const bool closing = !rest.empty() && rest[0] == '/';
        const std::string_view name = closing ? rest.substr(1) : rest;
        std::size_t nameLength = 0;
        if (name.substr(0, 5) == "array") nameLength = 5;
        else if (name.substr(0, 4) == "dict") nameLength = 4;
        else if (name.substr(0, 5) == "plist") nameLength = 5;
        if (nameLength == 0 || !isNameEnd(i + 1 + (closing ? 1 : 0) + nameLength)) continue;
        if (closing) {
            --depth;
            continue;
        }
        const std::size_t close = text.find('>', i);
        if (close != std::string_view::npos && close > i && text[close - 1] == '/') continue;
        if (++depth > kMaxDepth) return false;
    }
    return true;
}

struct MallocedText {
    char* p = nullptr;
    ~MallocedText() { std::free(p); }
};

// Texts cross libplist as UTF-8; its binary writer turns non-ASCII text into UTF-16 and
// produces a list it cannot read back when the text is not valid UTF-8 (a high byte in a
// text that was stored as ASCII, for one). Texts are therefore made valid in both
// directions: every byte that does not start a well-formed sequence (no overlong forms,
// no surrogates, nothing past U+10FFFF) becomes U+FFFD.
std::string validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    if (i == s.size()) return std::string(s);
    std::string out(s.substr(0, i));
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t length = 0;
        unsigned lo = 0x80;
        unsigned hi = 0xbf;
        if (c < 0x80) length = 1;
        else if (c >= 0xc2 && c <= 0xdf) length = 2;
        else if (c >= 0xe0 && c <= 0xef) {
            length = 3;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            length = 4;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        }
        bool ok = length > 0 && i + length <= s.size();
        for (std::size_t k = 1; ok && k < length; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xbf);
        }
        if (ok) {
            out.append(s.substr(i, length));
            i += length;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

}  // namespace

Node parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > kMaxInputBytes) return nullptr;
    // An owned, NUL-terminated copy: libplist's number and date parsing reads C strings.
    const std::string buffer(bytes);
    plist_t root = nullptr;
    if (bytes.substr(0, 8) == "bplist00") {
        if (!BinaryChecker(bytes).valid()) return nullptr;
        plist_from_bin(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &root);
    } else {
        if (bytes.substr(0, 6) == "bplist") return nullptr;
        if (bytes.find('<') == std::string_view::npos || !xmlNestingAcceptable(bytes)) return nullptr;
        plist_from_xml(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &root);
    }
    return Node(root);
}

std::optional<std::string> serialize(void* node, plist::Format format) {
    if (!node) return std::nullopt;
    char* out = nullptr;
    std::uint32_t length = 0;
    std::optional<std::string> result;
    if (format == plist::Format::XML) {
        plist_to_xml(node, &out, &length);
        if (out && length > 0) result.emplace(out, length);
        if (out) plist_to_xml_free(out);
    } else {
        plist_to_bin(node, &out, &length);
        if (out && length > 0) result.emplace(out, length);
        if (out) plist_to_bin_free(out);
    }
    return result;
}

namespace {

// libplist keeps a date as whole seconds since 2001 in 32 bits plus microseconds; dates
// beyond that range are clamped to it. Null when not finite.
Node dateNode(double seconds) {
    if (!std::isfinite(seconds)) return nullptr;
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    if (seconds < lo) seconds = lo;
    if (seconds > hi) seconds = hi;
    double whole = std::floor(seconds);
    double micro = std::round((seconds - whole) * 1e6);
    if (micro >= 1e6) {
        if (whole < hi) {
            whole += 1;
            micro = 0;
        } else {
            micro = 999999;
        }
    }
    return Node(plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(micro)));
}

double dateSeconds(void* node) {
    std::int32_t sec = 0;
    std::int32_t usec = 0;
    plist_get_date_val(node, &sec, &usec);
    // A parsed binary date comes back with its seconds truncated toward zero and the
    // magnitude of the fraction, so before 2001 the fraction counts backwards. (A date less
    // than one second before 2001 therefore reads as the same distance after it.)
    if (sec < 0 && usec > 0) return static_cast<double>(sec) - static_cast<double>(usec) / 1e6;
    return static_cast<double>(sec) + static_cast<double>(usec) / 1e6;
}

}  // namespace

std::optional<Value> toValue(void* node, int depth) {
    if (!node || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // libplist keeps every integer in 64 bits; the bits are taken as signed, so a
            // value above the signed range reads as its two's-complement negative.
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(static_cast<long long>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            if (!s) return Value(std::string());
            return Value(validUtf8(std::string_view(s, static_cast<std::size_t>(length))));
        }
        case PLIST_DATE:
            return Value(Date{dateSeconds(node)});
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* d = plist_get_data_ptr(node, &length);
            if (!d || length == 0) return Value(Bytes{});
            const auto* b = reinterpret_cast<const std::uint8_t*>(d);
            return Value(Bytes(b, b + length));
        }
        case PLIST_UID: {
            std::uint64_t uid = 0;
            plist_get_uid_val(node, &uid);
            return Value(Dictionary{{"CF$UID", Value(static_cast<long long>(uid))}});
        }
        case PLIST_ARRAY: {
            Array items;
            plist_array_iter it = nullptr;
            plist_array_new_iter(node, &it);
            if (!it) return std::nullopt;
            std::optional<Value> result;
            for (;;) {
                plist_t item = nullptr;
                plist_array_next_item(node, it, &item);
                if (!item) {
                    result.emplace(std::move(items));
                    break;
                }
                auto v = toValue(item, depth + 1);
                if (!v) break;
                items.push_back(std::move(*v));
            }
            std::free(it);
            return result;
        }
        case PLIST_DICT: {
            Dictionary entries;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return std::nullopt;
            std::optional<Value> result;
            for (;;) {
                MallocedText key;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key.p, &item);
                if (!item) {
                    result.emplace(std::move(entries));
                    break;
                }
                if (!key.p) break;
                auto v = toValue(item, depth + 1);
                if (!v) break;
                entries.insert_or_assign(validUtf8(key.p), std::move(*v));
            }
            std::free(it);
            return result;
        }
        default:
            return std::nullopt;
    }
}

Node fromValue(const Value& value, int depth) {
    if (depth > kMaxDepth) return nullptr;
    switch (value.type()) {
        case Value::Type::None:
        case Value::Type::Null:
            return nullptr;
        case Value::Type::Boolean:
            return Node(plist_new_bool(value.boolValue() ? 1 : 0));
        case Value::Type::Integer:
            return Node(plist_new_uint(static_cast<std::uint64_t>(value.integerValue())));
        case Value::Type::Real:
            return Node(plist_new_real(value.doubleValue()));
        case Value::Type::String: {
            const std::string& s = value.string();
            if (s.find('\0') != std::string::npos) return nullptr;
            return Node(plist_new_string(validUtf8(s).c_str()));
        }
        case Value::Type::Date:
            return dateNode(value.date().seconds);
        case Value::Type::Data: {
            const Bytes& b = value.data();
            return Node(plist_new_data(reinterpret_cast<const char*>(b.data()), b.size()));
        }
        case Value::Type::Array: {
            Node array(plist_new_array());
            for (const Value& item : value.arrayItems()) {
                Node child = fromValue(item, depth + 1);
                if (!child) return nullptr;
                plist_array_append_item(array.get(), child.release());
            }
            return array;
        }
        case Value::Type::Dictionary: {
            const Dictionary& entries = value.dictionaryItems();
            if (entries.size() == 1) {
                const auto& [key, uid] = *entries.begin();
                if (key == "CF$UID" && uid.isInteger() && uid.integerValue() >= 0 &&
                    uid.integerValue() <= std::numeric_limits<std::uint32_t>::max()) {
                    return Node(plist_new_uid(static_cast<std::uint64_t>(uid.integerValue())));
                }
            }
            Node dict(plist_new_dict());
            for (const auto& [key, item] : entries) {
                if (key.find('\0') != std::string::npos) return nullptr;
                Node child = fromValue(item, depth + 1);
                if (!child) return nullptr;
                plist_dict_set_item(dict.get(), validUtf8(key).c_str(), child.release());
            }
            return dict;
        }
    }
    return nullptr;
}

}  // namespace qm::platform::plist_nodes

namespace qm::platform::plist {

std::optional<Value> read(std::string_view bytes) {
    try {
        plist_nodes::Node root = plist_nodes::parse(bytes);
        if (!root) return std::nullopt;
        return plist_nodes::toValue(root.get());
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> write(const Value& value, Format format) {
    try {
        plist_nodes::Node root = plist_nodes::fromValue(value);
        if (!root) return std::nullopt;
        return plist_nodes::serialize(root.get(), format);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace qm::platform::plist
