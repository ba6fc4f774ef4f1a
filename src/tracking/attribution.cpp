// Campaign attribution cookies: stored from service answers with a lifetime in minutes,
// dropped when the app stayed away longer than that, and sent back with every request.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QMFormFields.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKEncryptionHandler.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"

namespace qm {
namespace {

struct Cookie {
    const char* name;
    const char* key;
};

constexpr Cookie kSession{"_qm_sess", "qm_AppCookieSess"};
constexpr Cookie kUser{"_qm_uid", "qm_AppCookieUID"};
constexpr Cookie kCampaign{"_qm_utm", "qm_AppCookieUTM"};
constexpr Cookie kHits{"_qm_hit", "qm_AppCookieEventsHitID"};
constexpr Cookie kUserHits{"_qm_hit_uid", "qm_AppCookieEventsHitUID"};
constexpr Cookie kPushClick{"_qm_pu_clid", "qm_AppCookiePuClId"};

constexpr float kDefaultLifetimeMinutes = 20;
constexpr const char* kLastSessionKey = "qm_TimeStampInBgState";
constexpr std::string_view kEventListMarker = "uevent=[";

QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

// The life-cycle entries act only once start-up has created the engine; before that the
// host's background and foreground calls leave everything as it is.
bool startedUp() { return QMRuntime::shared().qmInternalProcess() != nullptr; }

std::string expiryKey(const Cookie& cookie) { return std::string(cookie.name) + "_expiry"; }

// A stored cookie record: the library suite first, else the app-group suite.
Value storedRecord(const Cookie& cookie) {
    Value record = prefs().qmObjectForKey(cookie.key, QMStore::Library);
    if (!record) record = prefs().qmObjectForKey(cookie.key, QMStore::AppGroup);
    return record;
}

// Lifetime in minutes that the answer gives a cookie, else the default.
float lifetimeFor(const Cookie& cookie, const Value& expires) {
    const Value& entry = expires[cookie.name];
    return entry ? entry.floatValue() : kDefaultLifetimeMinutes;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

// Strict standard Base64: whole groups of four, alphabet characters only, "=" padding
// only at the end. Anything else does not decode.
std::optional<Bytes> decodeBase64(const std::string& text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                              c == '/';
        if (c == '=') {
            ++padding;
            continue;
        }
        if (!alphabet || padding > 0) return std::nullopt;
    }
    if (padding > 2) return std::nullopt;
    return QMSDKEncryptionHandler::qmDataWithBase64EncodedString(text);
}

bool isUTF8(const Bytes& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// Session lifetime for records without their own: "qmDefaultSessionTimeOutInMinute" under
// "qmNumbers" in the appearance file when it is there, else 20 minutes.
double defaultLifetimeMinutes() {
    auto path = platform::Bundle::main().pathForResource("qmResourceValues", "plist");
    if (!path) return kDefaultLifetimeMinutes;
    auto bytes = platform::Files::readFile(*path);
    if (!bytes) return kDefaultLifetimeMinutes;
    auto content = platform::plist::read(*bytes);
    if (!content) return kDefaultLifetimeMinutes;
    const Value& minutes = (*content)["qmNumbers"]["qmDefaultSessionTimeOutInMinute"];
    return minutes ? minutes.doubleValue() : kDefaultLifetimeMinutes;
}

// The merged record of a hit cookie, or nothing when the new value brings no event names.
Value mergedHitRecord(const Cookie& cookie, const Value& value, float lifetime) {
    const qmGetFilteredData& utility = qmGetFilteredData::sharedInstance();
    const std::vector<std::string> parts = split(value.description(), '.');
    if (parts.size() < 3 || parts[2].empty()) return Value();
    const Value newNames = utility.qmGetEventCookiesDecodedArrayFromEncodedString(Value(parts[2]));
    if (newNames.count() == 0) return Value();

    Value storedNames;
    const Value stored = storedRecord(cookie);
    if (stored.count() > 0 && isValidString(stored[cookie.name])) {
        const std::vector<std::string> storedParts = split(stored[cookie.name].description(), '.');
        if (storedParts.size() >= 3 && !storedParts[2].empty()) {
            storedNames = utility.qmGetEventCookiesDecodedArrayFromEncodedString(Value(storedParts[2]));
        }
    }

    // Names seen before keep their place unless the answer repeats them; the answer's
    // names come last, in its order.
    Value merged = Value::array();
    for (const Value& name : storedNames.arrayItems()) {
        bool repeated = false;
        for (const Value& fresh : newNames.arrayItems()) repeated = repeated || fresh == name;
        if (!repeated) merged.append(name);
    }
    for (const Value& name : newNames.arrayItems()) merged.append(name);

    const Value encoded = utility.qmGetEventCookiesEncodedStringFromEventsNameArray(merged);
    Value record = Value::dictionary();
    record.set(cookie.name, Value(parts[0] + "." + parts[1] + "." + encoded.description()));
    record.set(expiryKey(cookie), Value(lifetime));
    return record;
}

}  // namespace

Value qmGetFilteredData::qmGetEventCookiesEncodedStringFromEventsNameArray(const Value& names) const {
    if (!names.isArray() || names.count() == 0) return Value();
    auto json = platform::json::write(names);
    if (!json) return Value();
    const std::string text = "uevent=" + *json;
    return Value(QMSDKEncryptionHandler::base64EncodingWithInputData(Bytes(text.begin(), text.end())));
}

Value qmGetFilteredData::qmGetEventCookiesDecodedArrayFromEncodedString(const Value& encoded) const {
    if (!isValidString(encoded)) return Value();
    auto bytes = decodeBase64(encoded.description());
    if (!bytes || !isUTF8(*bytes)) return Value();
    const std::string text(bytes->begin(), bytes->end());
    const auto start = text.find(kEventListMarker);
    if (start == std::string::npos) return Value();
    const auto from = start + kEventListMarker.size();
    const auto end = text.find(']', from);
    if (end == std::string::npos) return Value();
    std::string inner;
    for (char c : text.substr(from, end - from)) {
        if (c != '"') inner += c;
    }
    // "uevent=[]" is an empty list: no names.
    if (inner.empty()) return Value();
    Value names = Value::array();
    for (auto& name : split(inner, ',')) names.append(Value(std::move(name)));
    return names;
}

// Main queue: answers of the settings fetch, event tracking and user identification.
void qmGetFilteredData::qmSetCampaignCookiesWithCampaignData(const Value& campaignData) {
    const Value& cookies = campaignData["cookies"];
    if (!cookies.isDictionary() || cookies.count() == 0) return;
    const Value& expires = campaignData["expires"];

    std::vector<std::pair<const Cookie*, Value>> records;
    for (const Cookie* cookie : {&kSession, &kUser, &kCampaign, &kPushClick}) {
        if (!cookies.contains(cookie->name)) continue;
        Value record = Value::dictionary();
        record.set(cookie->name, cookies[cookie->name]);
        record.set(expiryKey(*cookie), Value(lifetimeFor(*cookie, expires)));
        records.emplace_back(cookie, std::move(record));
    }
    for (const Cookie* cookie : {&kHits, &kUserHits}) {
        if (!cookies.contains(cookie->name)) continue;
        Value record = mergedHitRecord(*cookie, cookies[cookie->name], lifetimeFor(*cookie, expires));
        if (record) records.emplace_back(cookie, std::move(record));
    }
    for (const auto& [cookie, record] : records) prefs().qmSetObject(record, cookie->key, QMStore::Both);
    prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Both);
}

// Start-up and return to the foreground: drops the cookies whose lifetime passed while the
// app was away. The push-click cookie has no expiry here.
void qmGetFilteredData::qmCheckCookiesExpiryWithLastSession() {
    if (!startedUp()) return;
    const Value lastSession = prefs().qmObjectForKey(kLastSessionKey, QMStore::Library);
    if (!lastSession) return;
    const double elapsed = platform::Clock::currentDate().seconds - lastSession.doubleValue();
    const double fallback = defaultLifetimeMinutes();
    for (const Cookie* cookie : {&kSession, &kUser, &kCampaign, &kHits, &kUserHits}) {
        const Value record = prefs().qmObjectForKey(cookie->key, QMStore::Library);
        if (!record.isDictionary() || record.count() == 0) continue;
        const Value& own = record[expiryKey(*cookie)];
        const double lifetime = own ? own.doubleValue() : fallback;
        if (elapsed < lifetime * 60) continue;
        prefs().qmRemoveObjectForKey(cookie->key, QMStore::Both);
        if (cookie == &kSession) {
            // A new session: the settings answer usually brings a new session cookie.
            if (auto engine = QMRuntime::shared().qmInternalProcess()) engine->qmFetchSettingsWithPushClId(Value());
        }
    }
    prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Both);
}

void qmGetFilteredData::qmSetLastSessionTimeForApp() {
    if (!startedUp()) return;
    prefs().qmSetDouble(platform::Clock::currentDate().seconds, kLastSessionKey, QMStore::Library);
    prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Library);
}

// Any thread: the cookie text "name=value;..." travels as the value of one form field.
std::string qmGetFilteredData::qmAddCookiesDataInUrlString(const std::string& parameters) const {
    if (!isValidString(Value(parameters))) return parameters;
    std::string cookieData;
    for (const Cookie* cookie : {&kSession, &kUser, &kCampaign, &kHits, &kUserHits, &kPushClick}) {
        const Value record = storedRecord(*cookie);
        if (record.count() == 0 || !record.contains(cookie->name)) continue;
        cookieData += format("%@=%@;", cookie->name, record[cookie->name]);
    }
    if (cookieData.empty()) return parameters;
    return parameters + qmFormField("cookieData", Value(cookieData));
}

}  // namespace qm
