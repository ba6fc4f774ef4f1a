// Keyed archives of Values in the platform's archiver layout, stored as binary property lists.
//
//   { "$archiver": "NSKeyedArchiver", "$version": 100000,
//     "$top": { "root": UID }, "$objects": [ "$null", ... ] }
//
// Texts, numbers and data are stored as plain property-list objects; lists, dictionaries,
// dates and the null object as dictionaries that name their class record through "$class".
// Every object sits in "$objects" and is referred to by its index (a UID); UID 0 is "$null".
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <vector>

#include "plist_nodes.hpp"
#include "qmplatform/plist.hpp"

namespace qm::platform::keyed_archive {
namespace {

using plist_nodes::Node;

constexpr std::uint64_t kMaxExpandedNodes = 4'000'000;

// ---- Encoding -------------------------------------------------------------------------

class Archiver {
public:
    // The UID of the encoded value, or nothing when it cannot be archived.
    std::optional<std::uint64_t> encode(const Value& value, int depth) {
        if (depth > plist_nodes::kMaxDepth) return std::nullopt;
        switch (value.type()) {
            case Value::Type::None:
                return 0;
            case Value::Type::Null: {
                const std::uint64_t self = reserve();
                Node object(plist_new_dict());
                plist_dict_set_item(object.get(), "$class", plist_new_uid(classRecord("NSNull")));
                objects_[self] = std::move(object);
                return self;
            }
            case Value::Type::Date: {
                const std::uint64_t self = reserve();
                Node object(plist_new_dict());
                plist_dict_set_item(object.get(), "NS.time", plist_new_real(value.date().seconds));
                plist_dict_set_item(object.get(), "$class", plist_new_uid(classRecord("NSDate")));
                objects_[self] = std::move(object);
                return self;
            }
            case Value::Type::Array: {
                const std::uint64_t self = reserve();
                Node items(plist_new_array());
                for (const Value& item : value.arrayItems()) {
                    auto uid = encode(item, depth + 1);
                    if (!uid) return std::nullopt;
                    plist_array_append_item(items.get(), plist_new_uid(*uid));
                }
                Node object(plist_new_dict());
                plist_dict_set_item(object.get(), "NS.objects", items.release());
                plist_dict_set_item(object.get(), "$class", plist_new_uid(classRecord("NSArray")));
                objects_[self] = std::move(object);
                return self;
            }
            case Value::Type::Dictionary: {
                const std::uint64_t self = reserve();
                Node keys(plist_new_array());
                Node items(plist_new_array());
                for (const auto& [key, item] : value.dictionaryItems()) {
                    auto keyUid = encode(Value(key), depth + 1);
                    if (!keyUid) return std::nullopt;
                    auto itemUid = encode(item, depth + 1);
                    if (!itemUid) return std::nullopt;
                    plist_array_append_item(keys.get(), plist_new_uid(*keyUid));
                    plist_array_append_item(items.get(), plist_new_uid(*itemUid));
                }
                Node object(plist_new_dict());
                plist_dict_set_item(object.get(), "NS.keys", keys.release());
                plist_dict_set_item(object.get(), "NS.objects", items.release());
                plist_dict_set_item(object.get(), "$class", plist_new_uid(classRecord("NSDictionary")));
                objects_[self] = std::move(object);
                return self;
            }
            default: {
                // Texts, numbers and data are plain property-list objects.
                Node object = plist_nodes::fromValue(value, depth);
                if (!object) return std::nullopt;
                const std::uint64_t self = reserve();
                objects_[self] = std::move(object);
                return self;
            }
        }
    }

    std::optional<std::string> finish(std::uint64_t rootUid) {
        Node objects(plist_new_array());
        for (Node& object : objects_) {
            if (!object) return std::nullopt;
            plist_array_append_item(objects.get(), object.release());
        }
        Node top(plist_new_dict());
        plist_dict_set_item(top.get(), "root", plist_new_uid(rootUid));
        Node archive(plist_new_dict());
        plist_dict_set_item(archive.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(archive.get(), "$version", plist_new_uint(100000));
        plist_dict_set_item(archive.get(), "$top", top.release());
        plist_dict_set_item(archive.get(), "$objects", objects.release());
        return plist_nodes::serialize(archive.get(), plist::Format::Binary);
    }

    Archiver() { objects_.emplace_back(plist_new_string("$null")); }

private:
    // Claims the next index; containers claim theirs before their contents, as the
    // platform's archiver does.
    std::uint64_t reserve() {
        objects_.emplace_back();
        return objects_.size() - 1;
    }

    // One shared class record per class: {"$classname": name, "$classes": [name, "NSObject"]}.
    std::uint64_t classRecord(const char* name) {
        auto found = classes_.find(name);
        if (found != classes_.end()) return found->second;
        Node chain(plist_new_array());
        plist_array_append_item(chain.get(), plist_new_string(name));
        plist_array_append_item(chain.get(), plist_new_string("NSObject"));
        Node record(plist_new_dict());
        plist_dict_set_item(record.get(), "$classname", plist_new_string(name));
        plist_dict_set_item(record.get(), "$classes", chain.release());
        const std::uint64_t uid = reserve();
        objects_[uid] = std::move(record);
        classes_.emplace(name, uid);
        return uid;
    }

    std::vector<Node> objects_;
    std::map<std::string, std::uint64_t, std::less<>> classes_;
};

// ---- Decoding -------------------------------------------------------------------------

// A reference: a UID node, or the {"CF$UID": n} dictionary XML lists use for one.
std::optional<std::uint64_t> uidOf(plist_t node) {
    if (!node) return std::nullopt;
    std::uint64_t uid = 0;
    if (plist_get_node_type(node) == PLIST_UID) {
        plist_get_uid_val(node, &uid);
        return uid;
    }
    if (plist_get_node_type(node) == PLIST_DICT && plist_dict_get_size(node) == 1) {
        plist_t n = plist_dict_get_item(node, "CF$UID");
        if (n && plist_get_node_type(n) == PLIST_UINT) {
            plist_get_uint_val(n, &uid);
            return uid;
        }
    }
    return std::nullopt;
}

std::optional<std::string> textOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* s = plist_get_string_ptr(node, &length);
    if (!s) return std::string();
    return std::string(s, static_cast<std::size_t>(length));
}

enum class Kind { Unknown, Dictionary, Array, String, Data, Date, Null };

Kind kindOfClassName(std::string_view name) {
    if (name == "NSDictionary" || name == "NSMutableDictionary") return Kind::Dictionary;
    if (name == "NSArray" || name == "NSMutableArray") return Kind::Array;
    if (name == "NSString" || name == "NSMutableString") return Kind::String;
    if (name == "NSData" || name == "NSMutableData") return Kind::Data;
    if (name == "NSDate") return Kind::Date;
    if (name == "NSNull") return Kind::Null;
    return Kind::Unknown;
}

class Unarchiver {
public:
    explicit Unarchiver(std::vector<plist_t> objects)
        : objects_(std::move(objects)),
          state_(objects_.size(), 0),
          memo_(objects_.size()),
          size_(objects_.size(), 0),
          height_(objects_.size(), 0) {}

    // The decoded object, Value() for "$null", nothing when the archive is broken.
    std::optional<Value> decode(std::uint64_t uid, int depth) {
        if (uid >= objects_.size() || depth > plist_nodes::kMaxDepth) return std::nullopt;
        lastHeight_ = 0;
        if (uid == 0) return Value();
        const auto index = static_cast<std::size_t>(uid);
        if (state_[index] == 2) {
            // Shared objects are decoded once; their nesting still counts where they are reused.
            if (depth + height_[index] > plist_nodes::kMaxDepth) return std::nullopt;
            lastHeight_ = height_[index];
            expanded_ += size_[index];
            if (expanded_ > kMaxExpandedNodes) return std::nullopt;
            return memo_[index];
        }
        if (state_[index] == 1) return std::nullopt;  // refers to itself
        state_[index] = 1;
        const std::uint64_t before = expanded_;
        auto result = decodeObject(objects_[index], depth);
        if (!result) return std::nullopt;
        height_[index] = lastHeight_;
        ++expanded_;
        if (expanded_ > kMaxExpandedNodes) return std::nullopt;
        size_[index] = expanded_ - before;
        memo_[index] = *result;
        state_[index] = 2;
        return result;
    }

private:
    std::optional<Value> decodeObject(plist_t node, int depth) {
        switch (plist_get_node_type(node)) {
            case PLIST_STRING:
            case PLIST_BOOLEAN:
            case PLIST_UINT:
            case PLIST_REAL:
            case PLIST_DATA:
            case PLIST_DATE:
                lastHeight_ = 0;
                return plist_nodes::toValue(node);
            case PLIST_DICT: {
                auto value = decodeInstance(node, depth);
                lastHeight_ = childHeight_ + 1;
                return value;
            }
            default:
                return std::nullopt;
        }
    }

    Kind kindOfClass(plist_t classRef) {
        auto uid = uidOf(classRef);
        if (!uid || *uid == 0 || *uid >= objects_.size()) return Kind::Unknown;
        plist_t record = objects_[static_cast<std::size_t>(*uid)];
        if (plist_get_node_type(record) != PLIST_DICT) return Kind::Unknown;
        auto name = textOf(plist_dict_get_item(record, "$classname"));
        if (!name) return Kind::Unknown;
        if (Kind k = kindOfClassName(*name); k != Kind::Unknown) return k;
        // A subclass we do not know is read as the first known class in its chain.
        plist_t chain = plist_dict_get_item(record, "$classes");
        if (!chain || plist_get_node_type(chain) != PLIST_ARRAY) return Kind::Unknown;
        const std::uint32_t n = plist_array_get_size(chain);
        for (std::uint32_t i = 0; i < n; ++i) {
            auto ancestor = textOf(plist_array_get_item(chain, i));
            if (!ancestor) continue;
            if (Kind k = kindOfClassName(*ancestor); k != Kind::Unknown) return k;
        }
        return Kind::Unknown;
    }

    // The UIDs listed in an "NS.keys" / "NS.objects" array.
    static std::optional<std::vector<std::uint64_t>> references(plist_t list) {
        if (!list || plist_get_node_type(list) != PLIST_ARRAY) return std::nullopt;
        std::vector<std::uint64_t> uids;
        plist_array_iter it = nullptr;
        plist_array_new_iter(list, &it);
        if (!it) return std::nullopt;
        bool ok = true;
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(list, it, &item);
            if (!item) break;
            auto uid = uidOf(item);
            if (!uid) {
                ok = false;
                break;
            }
            uids.push_back(*uid);
        }
        std::free(it);
        if (!ok) return std::nullopt;
        return uids;
    }

    std::optional<Value> decodeInstance(plist_t node, int depth) {
        childHeight_ = 0;
        switch (kindOfClass(plist_dict_get_item(node, "$class"))) {
            case Kind::Null:
                return Value::null();
            case Kind::Date: {
                plist_t time = plist_dict_get_item(node, "NS.time");
                if (!time) return std::nullopt;
                if (plist_get_node_type(time) == PLIST_REAL) {
                    double seconds = 0;
                    plist_get_real_val(time, &seconds);
                    return Value(Date{seconds});
                }
                if (plist_get_node_type(time) == PLIST_UINT) {
                    std::uint64_t u = 0;
                    plist_get_uint_val(time, &u);
                    return Value(Date{static_cast<double>(static_cast<std::int64_t>(u))});
                }
                return std::nullopt;
            }
            case Kind::String: {
                plist_t text = plist_dict_get_item(node, "NS.string");
                if (!text || plist_get_node_type(text) != PLIST_STRING) return std::nullopt;
                return plist_nodes::toValue(text);
            }
            case Kind::Data: {
                plist_t bytes = plist_dict_get_item(node, "NS.bytes");
                if (!bytes || plist_get_node_type(bytes) != PLIST_DATA) return std::nullopt;
                return plist_nodes::toValue(bytes);
            }
            case Kind::Array: {
                auto uids = references(plist_dict_get_item(node, "NS.objects"));
                if (!uids) return std::nullopt;
                Array items;
                items.reserve(uids->size());
                int maxHeight = 0;
                for (std::uint64_t uid : *uids) {
                    auto item = decode(uid, depth + 1);
                    if (!item) return std::nullopt;
                    maxHeight = std::max(maxHeight, lastHeight_);
                    if (item->isNone()) continue;  // "$null" entries are left out
                    items.push_back(std::move(*item));
                }
                childHeight_ = maxHeight;
                return Value(std::move(items));
            }
            case Kind::Dictionary: {
                auto keyUids = references(plist_dict_get_item(node, "NS.keys"));
                auto itemUids = references(plist_dict_get_item(node, "NS.objects"));
                if (!keyUids || !itemUids || keyUids->size() != itemUids->size()) return std::nullopt;
                Dictionary entries;
                int maxHeight = 0;
                for (std::size_t i = 0; i < keyUids->size(); ++i) {
                    auto key = decode((*keyUids)[i], depth + 1);
                    if (!key) return std::nullopt;
                    auto item = decode((*itemUids)[i], depth + 1);
                    if (!item) return std::nullopt;
                    maxHeight = std::max(maxHeight, lastHeight_);
                    if (key->isNone() || item->isNone()) continue;
                    if (!key->isString()) return std::nullopt;  // Values only have text keys
                    entries.insert_or_assign(key->string(), std::move(*item));
                }
                childHeight_ = maxHeight;
                return Value(std::move(entries));
            }
            case Kind::Unknown:
                return std::nullopt;
        }
        return std::nullopt;
    }

    std::vector<plist_t> objects_;
    std::vector<unsigned char> state_;  // 0 not seen, 1 being decoded, 2 done
    std::vector<Value> memo_;
    std::vector<std::uint64_t> size_;  // nodes an object expands to, itself included
    std::vector<int> height_;          // nesting below an object
    std::uint64_t expanded_ = 0;
    int lastHeight_ = 0;               // height of the object decode() last returned
    int childHeight_ = 0;              // tallest child of the instance just decoded
};

}  // namespace

std::optional<std::string> archive(const Value& root) {
    try {
        Archiver archiver;
        auto rootUid = archiver.encode(root, 0);
        if (!rootUid) return std::nullopt;
        return archiver.finish(*rootUid);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<Value> unarchive(std::string_view bytes) {
    try {
        Node archive = plist_nodes::parse(bytes);
        if (!archive || plist_get_node_type(archive.get()) != PLIST_DICT) return std::nullopt;
        auto archiver = textOf(plist_dict_get_item(archive.get(), "$archiver"));
        if (!archiver || *archiver != "NSKeyedArchiver") return std::nullopt;
        plist_t top = plist_dict_get_item(archive.get(), "$top");
        plist_t list = plist_dict_get_item(archive.get(), "$objects");
        if (!top || plist_get_node_type(top) != PLIST_DICT) return std::nullopt;
        if (!list || plist_get_node_type(list) != PLIST_ARRAY) return std::nullopt;
        auto rootUid = uidOf(plist_dict_get_item(top, "root"));
        if (!rootUid) return std::nullopt;

        std::vector<plist_t> objects;
        objects.reserve(plist_array_get_size(list));
        plist_array_iter it = nullptr;
        plist_array_new_iter(list, &it);
        if (!it) return std::nullopt;
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(list, it, &item);
            if (!item) break;
            objects.push_back(item);
        }
        std::free(it);

        Unarchiver unarchiver(std::move(objects));
        auto value = unarchiver.decode(*rootUid, 0);
        if (!value || value->isNone()) return std::nullopt;
        return value;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace qm::platform::keyed_archive
