// The dynamic value that carries payloads, service answers, preferences and file contents.
//
// A Value is one of: nothing (a missing value), the null object, a number (Boolean, integer
// or real, remembered), text, a date, data, a list or a dictionary. Copies share their
// storage; the first mutation of a shared list, dictionary, text or data copies it, so a
// "mutable copy" costs one pointer until it is changed.
//
// Threads. One Value object follows the rules of a standard container: any number of threads
// may read it (and copy it) at once, but a thread that changes it must be the only one using
// that object meanwhile. Copies are separate objects even while they share storage: each
// thread may change its own copy while other threads read or change theirs. A change writes
// in place only when no other copy holds the storage, and that check is ordered after every
// other holder's last use (see detail::StorageRef), so a change never lands in storage that
// another thread can still see. A reference from mutableArray()/mutableDictionary() is good
// until this Value is next copied, assigned or changed.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm {

class Value;

namespace detail {
// Storage of a text, data, list or dictionary, counted by the Values that hold it.
struct SharedStorage {
    std::atomic<long> holders{1};
    void* object = nullptr;  // the std::string, Bytes, Array or Dictionary
    void (*destroy)(SharedStorage*) noexcept = nullptr;
};

// One Value's hold on shared storage. Taking a hold (copying) needs no ordering: the copier
// reads a Value that it may read. Letting go is a release, so everything the holder did with
// the storage comes before the count it leaves; isShared() reads the count with acquire, so
// a holder that finds itself alone also sees every other holder's reads finished before it
// writes. (A relaxed count, as shared_ptr::use_count gives, orders nothing: a write after
// seeing 1 could still race with the reads of the holder that just let go.)
class StorageRef {
public:
    StorageRef() noexcept = default;
    explicit StorageRef(SharedStorage* storage) noexcept : s_(storage) {}
    StorageRef(const StorageRef& other) noexcept : s_(other.s_) {
        if (s_) s_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    StorageRef(StorageRef&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    // The storage held before is let go only after the new one is in place.
    StorageRef& operator=(StorageRef other) noexcept {
        std::swap(s_, other.s_);
        return *this;
    }
    ~StorageRef() {
        if (s_ && s_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) s_->destroy(s_);
    }

    void* get() const noexcept { return s_ ? s_->object : nullptr; }
    explicit operator bool() const noexcept { return s_ != nullptr; }
    bool isShared() const noexcept { return s_ && s_->holders.load(std::memory_order_acquire) != 1; }
    friend bool operator==(const StorageRef& a, const StorageRef& b) noexcept { return a.s_ == b.s_; }

private:
    SharedStorage* s_ = nullptr;
};
}  // namespace detail

using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;
using Bytes = std::vector<std::uint8_t>;

// A point in time: seconds since 2001-01-01 00:00:00 UTC.
struct Date {
    double seconds = 0;

    static constexpr double kUnixEpochOffset = 978307200.0;  // 1970 -> 2001
    static Date fromUnix(double unixSeconds) { return Date{unixSeconds - kUnixEpochOffset}; }
    double unixSeconds() const { return seconds + kUnixEpochOffset; }
    double timeIntervalSince(Date other) const { return seconds - other.seconds; }
    Date adding(double interval) const { return Date{seconds + interval}; }
    friend bool operator==(Date a, Date b) { return a.seconds == b.seconds; }
    friend auto operator<=>(Date a, Date b) { return a.seconds <=> b.seconds; }
};

class Value {
public:
    enum class Type { None, Null, Boolean, Integer, Real, String, Date, Data, Array, Dictionary };

    Value() noexcept = default;  // nothing
    static Value null();         // the null object

    Value(bool b) noexcept;
    Value(int i) noexcept;
    Value(long i) noexcept;
    Value(long long i) noexcept;
    Value(unsigned i) noexcept;
    Value(unsigned long i) noexcept;
    Value(unsigned long long i) noexcept;
    Value(double d) noexcept;
    Value(float f) noexcept;
    Value(const char* s);
    Value(std::string s);
    Value(std::string_view s);
    Value(qm::Date d) noexcept;
    Value(qm::Bytes data);
    Value(qm::Array array);
    Value(qm::Dictionary dict);
    // Dictionary literal: Value{{"a", 1}, {"b", "x"}}.
    Value(std::initializer_list<std::pair<const std::string, Value>> entries);

    static Value array(std::initializer_list<Value> items = {});
    static Value dictionary() { return Value(qm::Dictionary{}); }

    Type type() const noexcept { return type_; }
    bool isNone() const noexcept { return type_ == Type::None; }
    bool isNull() const noexcept { return type_ == Type::Null; }
    // Present: anything but nothing (the null object is present).
    explicit operator bool() const noexcept { return type_ != Type::None; }
    bool isNumber() const noexcept {
        return type_ == Type::Boolean || type_ == Type::Integer || type_ == Type::Real;
    }
    bool isBoolean() const noexcept { return type_ == Type::Boolean; }
    bool isInteger() const noexcept { return type_ == Type::Integer; }
    bool isReal() const noexcept { return type_ == Type::Real; }
    bool isString() const noexcept { return type_ == Type::String; }
    bool isDate() const noexcept { return type_ == Type::Date; }
    bool isData() const noexcept { return type_ == Type::Data; }
    bool isArray() const noexcept { return type_ == Type::Array; }
    bool isDictionary() const noexcept { return type_ == Type::Dictionary; }

    // The "%@" text: "(null)" for nothing, "<null>" for the null object, numbers as the
    // platform prints them, lists and dictionaries in the platform's description form.
    std::string description() const;

    // Typed readers with the platform's conversions: texts are parsed like the platform's
    // intValue/doubleValue/boolValue (leading blanks, optional sign, digits; junk after is
    // ignored); numbers convert; everything else reads as 0 / NO.
    long long integerValue() const noexcept;
    int intValue() const noexcept { return static_cast<int>(integerValue()); }
    double doubleValue() const noexcept;
    float floatValue() const noexcept { return static_cast<float>(doubleValue()); }
    bool boolValue() const noexcept;

    // Accessors that return a reference into this value's storage exist for lvalues only:
    // on a temporary the reference would outlive the storage (a range-for over
    // `f().dictionaryItems()` reads freed memory), so those calls do not compile. Keep the
    // temporary in a variable first; lookups on a temporary return copies.

    // The text itself (empty when this is not text).
    const std::string& string() const& noexcept;
    const std::string& string() const&& = delete;
    // The text, or nothing when this is not text.
    std::optional<std::string> stringIfText() const;
    qm::Date date() const noexcept;  // epoch 0 when this is not a date
    const qm::Bytes& data() const& noexcept;
    const qm::Bytes& data() const&& = delete;
    const qm::Array& arrayItems() const& noexcept;  // empty when not a list
    const qm::Array& arrayItems() const&& = delete;
    const qm::Dictionary& dictionaryItems() const& noexcept;  // empty when not a dictionary
    const qm::Dictionary& dictionaryItems() const&& = delete;

    // Count of a list, dictionary, text (bytes) or data; 0 otherwise.
    std::size_t count() const noexcept;

    // Lookup; nothing when absent or when this is not a dictionary / list. On a temporary
    // the member is returned by value.
    const Value& operator[](std::string_view key) const& noexcept;
    const Value& operator[](std::size_t index) const& noexcept;
    const Value& operator[](int index) const& noexcept { return (*this)[indexFrom(index)]; }
    Value operator[](std::string_view key) const&& { return static_cast<const Value&>(*this)[key]; }
    Value operator[](std::size_t index) const&& { return static_cast<const Value&>(*this)[index]; }
    Value operator[](int index) const&& { return static_cast<const Value&>(*this)[indexFrom(index)]; }
    bool contains(std::string_view key) const noexcept;

    // Mutation (copies shared storage first). Setting a key on something that is not a
    // dictionary turns it into one; likewise append on a non-list. Setting nothing removes.
    void set(std::string_view key, Value v);
    void remove(std::string_view key);
    void append(Value v);
    void removeAt(std::size_t index);
    void insert(std::size_t index, Value v);
    qm::Array& mutableArray() &;
    qm::Array& mutableArray() && = delete;
    qm::Dictionary& mutableDictionary() &;
    qm::Dictionary& mutableDictionary() && = delete;

    // Equality like the platform's isEqual: numbers compare by value across kinds.
    friend bool operator==(const Value& a, const Value& b) noexcept;
    friend bool operator!=(const Value& a, const Value& b) noexcept { return !(a == b); }

private:
    static std::size_t indexFrom(int index) noexcept { return static_cast<std::size_t>(index < 0 ? SIZE_MAX : index); }
    Type type_ = Type::None;
    union {
        bool b_;
        long long i_ = 0;
        double d_;
    };
    detail::StorageRef p_;  // string / Bytes / Array / Dictionary, shared until mutated
    void detach();
};

// The "valid string" test: present, not the null object, and with a non-empty "%@" text.
// With rejectNullText the text "(null)" is refused too.
bool isValidString(const Value& v, bool rejectNullText = false);

// printf-style formatting with the platform's "%@" (a Value's description). Supports the
// flags, width and precision of printf for d i u x X o f e g c s, length modifiers
// (h, l, ll, z, q) and "%%". Every argument converts to a Value.
std::string formatv(std::string_view fmt, const std::vector<Value>& args);
template <typename... Args>
std::string format(std::string_view fmt, Args&&... args) {
    return formatv(fmt, std::vector<Value>{Value(std::forward<Args>(args))...});
}

// Real numbers in the platform's shortest form: 17.2 -> "17.2", 20.0 -> "20".
std::string formatReal(double d);

}  // namespace qm
