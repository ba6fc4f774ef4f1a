#include "core/QMRedaction.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "qmplatform/crypto.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/url.hpp"

namespace qm {
namespace {

constexpr std::size_t kPrefixFromLength = 16;  // shorter values show no characters at all
constexpr std::size_t kPrefixCharacters = 3;
constexpr const char* kEllipsis = "\xE2\x80\xA6";

// Names compared without regard to case. Form fields, answer keys and the preference and
// waiting-record keys that hold the same values.
constexpr std::string_view kSensitiveNames[] = {
    "bid_e",         "secretKey",        "qmSecretKey",       "qm_encryptedKey",  // the account's secret key
    "userID",        "user_id",          "prev_user_id",      "qm_userID",        "qmTrackUserID",
    "userParams",    "qmTrackUserParams", "qm_user_identifier",
    "attributes",    "qmEventAttributes",
    "clickID",       "qm_anal_id",                                                // analytics id
    "deviceID",      "device_id",        "qm_deviceID",       "qm_iOS_VENDOR_IDENTIFIER",
    "subscriptionId", "deviceToken",     "token",                                 // push token
    "uuid",          "qm_uuID",                                                   // the service's user id
    "cookieData",    "cookies",          "_qm_pu_clid",
};

// The other fields the library's requests carry. After a sensitive field whose value was not
// percent-encoded, an "&" only starts a new field when one of these names follows; anything
// else is taken as more of the secret value.
constexpr std::string_view kOtherFormFields[] = {
    "bid",        "device",   "language", "gmOffset", "mode",      "sdk_version", "package",   "mobile_app_id",
    "event_name", "ltv",      "os_version", "app_version", "scope", "push",       "journey",   "device_info",
    "utm_params", "category", "unsubscribe", "notificationID", "type", "brandid", "notificationid",
};

char lowerASCII(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerASCII(a[i]) != lowerASCII(b[i])) return false;
    }
    return true;
}

bool isKnownFormField(std::string_view name) {
    if (QMRedaction::qmIsSensitiveName(name)) return true;
    for (std::string_view known : kOtherFormFields) {
        if (equalIgnoringCase(name, known)) return true;
    }
    return false;
}

// The per-process hash key, made once.
const std::array<std::uint8_t, 32>& hashKey() {
    static const auto* key = [] {
        auto* k = new std::array<std::uint8_t, 32>();
        if (!platform::crypto::randomBytes(*k)) {
            std::random_device device;
            for (auto& byte : *k) byte = static_cast<std::uint8_t>(device());
        }
        return k;
    }();
    return *key;
}

std::string shortHash(std::string_view text) {
    const auto digest = platform::crypto::hmacSHA256(
        hashKey(), std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (!digest) return "????????";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < 4; ++i) {
        out += kHex[(*digest)[i] >> 4];
        out += kHex[(*digest)[i] & 0xF];
    }
    return out;
}

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// `cookies` as "name=value;name=value;": each value redacted, the names and separators kept.
std::string redactCookieList(std::string_view cookies) {
    std::string out;
    std::size_t start = 0;
    while (start < cookies.size()) {
        std::size_t end = cookies.find(';', start);
        if (end == std::string_view::npos) end = cookies.size();
        const std::string_view cookie = cookies.substr(start, end - start);
        const std::size_t equals = cookie.find('=');
        if (equals == std::string_view::npos) {
            out += QMRedaction::qmRedactText(cookie);
        } else {
            out += cookie.substr(0, equals + 1);
            out += QMRedaction::qmRedactText(cookie.substr(equals + 1));
        }
        if (end < cookies.size()) out += ';';
        start = end + 1;
    }
    return out;
}

// One sensitive form value, as sent (percent-encoded or not).
std::string redactFormValue(std::string_view name, std::string_view sent) {
    const std::string value = platform::percentDecode(sent);
    if (equalIgnoringCase(name, "cookieData")) return redactCookieList(value);
    if (!value.empty() && (value.front() == '{' || value.front() == '[')) {
        if (auto parsed = platform::json::parse(value)) {
            if (auto text = platform::json::write(QMRedaction::qmRedactValue(*parsed))) return *text;
        }
    }
    return QMRedaction::qmRedactText(value);
}

}  // namespace

bool QMRedaction::qmIsSensitiveName(std::string_view name) {
    for (std::string_view sensitive : kSensitiveNames) {
        if (equalIgnoringCase(name, sensitive)) return true;
    }
    return false;
}

std::string QMRedaction::qmRedactText(std::string_view text) {
    if (text.empty()) return std::string();
    std::size_t characters = 0;
    std::size_t prefixBytes = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isContinuationByte(text[i])) continue;
        if (characters == kPrefixCharacters) prefixBytes = i;
        ++characters;
    }
    if (characters <= kPrefixCharacters) prefixBytes = text.size();
    std::string out;
    if (characters >= kPrefixFromLength) out.assign(text.substr(0, prefixBytes));
    out += kEllipsis;
    out += "(" + std::to_string(characters) + ")#" + shortHash(text);
    return out;
}

Value QMRedaction::qmRedactValue(const Value& value) {
    switch (value.type()) {
        case Value::Type::None:
        case Value::Type::Null: return value;
        case Value::Type::String: return Value(qmRedactText(value.string()));
        case Value::Type::Data: {
            const Bytes& bytes = value.data();
            return Value(qmRedactText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
        }
        case Value::Type::Array: {
            Array items;
            for (const Value& item : value.arrayItems()) items.push_back(qmRedactValue(item));
            return Value(std::move(items));
        }
        case Value::Type::Dictionary: {
            Dictionary entries;
            for (const auto& [key, item] : value.dictionaryItems()) entries.emplace(key, qmRedactValue(item));
            return Value(std::move(entries));
        }
        default: return Value(qmRedactText(value.description()));
    }
}

Value QMRedaction::qmRedactSensitiveKeys(const Value& value) {
    if (value.isArray()) {
        Array items;
        for (const Value& item : value.arrayItems()) items.push_back(qmRedactSensitiveKeys(item));
        return Value(std::move(items));
    }
    if (!value.isDictionary()) return value;
    Dictionary entries;
    for (const auto& [key, item] : value.dictionaryItems()) {
        entries.emplace(key, qmIsSensitiveName(key) ? qmRedactValue(item) : qmRedactSensitiveKeys(item));
    }
    return Value(std::move(entries));
}

namespace {

// With `unencodedValues`, a secret value may hold "&" itself (see kOtherFormFields); in a
// URL's query every "&" separates.
std::string redactForm(std::string_view form, bool unencodedValues) {
    std::string out;
    // The sensitive field being collected: its name as sent and its value so far.
    std::optional<std::pair<std::string, std::string>> secret;
    auto flushSecret = [&] {
        if (!secret) return;
        out += secret->first + "=" + redactFormValue(platform::percentDecode(secret->first), secret->second);
        secret.reset();
    };

    std::size_t start = 0;
    bool first = true;
    while (start <= form.size()) {
        std::size_t end = form.find('&', start);
        if (end == std::string_view::npos) end = form.size();
        const std::string_view piece = form.substr(start, end - start);
        const std::size_t equals = piece.find('=');
        const std::string name = platform::percentDecode(piece.substr(0, equals));
        const bool startsField =
            !unencodedValues || (equals != std::string_view::npos && (!secret || isKnownFormField(name)));
        if (secret && !startsField) {
            secret->second += '&';
            secret->second += piece;
        } else {
            flushSecret();
            if (!first) out += '&';
            if (equals != std::string_view::npos && QMRedaction::qmIsSensitiveName(name)) {
                secret.emplace(std::string(piece.substr(0, equals)), std::string(piece.substr(equals + 1)));
            } else {
                out += piece;
            }
        }
        first = false;
        start = end + 1;
    }
    flushSecret();
    return out;
}

}  // namespace

std::string QMRedaction::qmRedactFormText(std::string_view form) { return redactForm(form, true); }

std::string QMRedaction::qmRedactURLText(std::string_view url) {
    const std::size_t query = url.find('?');
    const std::size_t fragment = url.find('#');
    if (query == std::string_view::npos && fragment == std::string_view::npos) return std::string(url);
    std::string out;
    if (query != std::string_view::npos && (fragment == std::string_view::npos || query < fragment)) {
        out.assign(url.substr(0, query + 1));
        const std::size_t queryEnd = fragment == std::string_view::npos ? url.size() : fragment;
        out += redactForm(url.substr(query + 1, queryEnd - query - 1), false);
    } else {
        out.assign(url.substr(0, fragment));
    }
    if (fragment != std::string_view::npos) {
        out += '#';
        out += redactForm(url.substr(fragment + 1), false);
    }
    return out;
}

}  // namespace qm
