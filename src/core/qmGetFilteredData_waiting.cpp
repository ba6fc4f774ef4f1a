// The queue of calls deferred until the settings answer has been applied. It lives in one
// preference, "qm_WaitingFunctions", as the base64 text of the AES-encrypted, pretty-printed
// JSON list of records. Each record carries the time it was queued ("qmQueuedAt", seconds
// since 2001) so that a call that could not be sent for too long is dropped, and said so,
// instead of waiting forever.
//
// Scheduling runs on the thread of the deferred facade call and replay on the main queue,
// and both rewrite the whole stored list; one lock spans every load-change-store so that
// no record is lost between them.
#include <mutex>
#include <vector>

#include "core/QMLogger.hpp"
#include "core/QMSDKEncryptionHandler.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMTypes.hpp"
#include "core/qmGetFilteredData.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/json.hpp"
#include "quelmar/quelmar.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {
namespace {

constexpr const char* kWaitingFunctionsKey = "qm_WaitingFunctions";
constexpr const char* kQueuedAtKey = "qmQueuedAt";

std::mutex& queueMutex() {
    static NoDestructor<std::mutex> mutex;
    return *mutex;
}

QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

// The stored list, or an empty one. Call with the queue lock held.
Value loadQueue(const Value& key) {
    const Value stored = prefs().qmObjectForKey(kWaitingFunctionsKey, QMStore::Library);
    const Value storedText = stored ? Value(stored.description()) : Value();
    if (!isValidString(storedText)) return Value::array();

    auto decrypted = QMSDKEncryptionHandler::sharedInstance().qmDecryptWithKey(key, storedText);
    std::optional<Value> parsed;
    if (decrypted && isValidString(Value(*decrypted))) {
        parsed = platform::json::parse(*decrypted, platform::json::ReadOptions{.allowFragments = true});
    }
    if (!parsed) {
        // Undecryptable (e.g. the secret key changed) or unparsable text: start afresh.
        QMLog(QMLogLevelError, "Invalid waiting function data or no data was found.");
        return Value::array();
    }
    return parsed->isArray() ? *parsed : Value::array();
}

// Replaces the stored list; an empty list leaves the stored value as it is. Call with the
// queue lock held.
void storeQueue(const Value& list, const Value& key) {
    if (list.count() == 0) return;
    prefs().qmRemoveObjectForKey(kWaitingFunctionsKey, QMStore::Library);
    auto text = platform::json::write(list, {platform::json::WriteStyle::Pretty});
    if (!text) return;
    auto encrypted = QMSDKEncryptionHandler::sharedInstance().qmEncryptWithKey(key, Value(*text));
    if (!encrypted) return;
    prefs().qmSetObject(Value(*encrypted), kWaitingFunctionsKey, QMStore::Library);
    prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Library);
}

// Scope rule shared by scheduling and replay: valid text whose integer is positive and not
// one of the scopes 4, 5 and 6.
bool isDeferrableScope(const Value& scope) {
    const Value text(scope.description());
    if (!isValidString(text)) return false;
    const long long value = text.integerValue();
    return value > 0 && value != 4 && value != 5 && value != 6;
}

// The "%@" text of a record's member; a missing member ("(null)") does not count.
bool hasText(const Value& record, std::string_view key) {
    return isValidString(Value(record[key].description()), true);
}

bool isReplayableEvent(const Value& record) {
    return hasText(record, "qmEventName") && isDeferrableScope(record["qmEventScope"]);
}

Value copyWhenNotEmpty(const Value& v) { return v.count() > 0 ? v : Value(); }

// While a replayed call runs, the time its record was first queued: a call that defers
// itself again keeps its age.
thread_local std::optional<double> replayedQueuedAt;

// Records queued by a library that did not stamp them count as queued now.
bool isExpired(const Value& record, Date now) {
    const Value& queuedAt = record[kQueuedAtKey];
    return queuedAt.isNumber() && now.seconds - queuedAt.doubleValue() > qmGetFilteredData::kWaitingFunctionMaxAge;
}

// Tells the host about a deferred call that is dropped unsent.
void reportDropped(const Value& record) {
    const std::string kind = record["qmFunctionName"].description();
    const long days = static_cast<long>(qmGetFilteredData::kWaitingFunctionMaxAge / 86400);
    if (kind == "qmTrackEvent") {
        const Value name = record["qmEventName"];
        QMLog(QMLogLevelWarning, "The %@ event could not be sent within %ld days and was dropped.", name, days);
        quelmar::sharedInstance().sendDataToEventsCallbackDelegate(
            Value{{"status", "fail"},
                  {"eventName", name},
                  {"message", format("%@ event could not be sent within %ld days and was dropped", name, days)},
                  {"type", QMEventResult::DroppedUnsent},
                  {"callbackType", "event"}});
    } else if (kind == "qmTrackUser") {
        QMLog(QMLogLevelWarning, "A user identification could not be sent within %ld days and was dropped.", days);
    }
}

}  // namespace

Value qmGetFilteredData::getEncryptionKey() const {
    const Value key = platform::Bundle::main().objectForInfoDictionaryKey("qmSecretKey");
    return key ? Value(key.description()) : Value();
}

void qmGetFilteredData::qmSceduleWaitingFunctionsWithData(const Value& record) {
    if (record.count() == 0) return;
    const std::string kind = record["qmFunctionName"].description();

    bool accepted = false;
    if (kind == "qmTrackEvent") {
        accepted = isReplayableEvent(record);
    } else if (kind == "qmTrackUser") {
        accepted = hasText(record, "qmTrackUserID");
    } else if (kind == "qmShowInAppNotification") {
        accepted = true;
    }
    if (!accepted) return;

    Value stamped = record;
    stamped.set(kQueuedAtKey, replayedQueuedAt.value_or(platform::Clock::currentDate().seconds));
    std::lock_guard lock(queueMutex());
    const Value key = getEncryptionKey();
    Value queue = loadQueue(key);
    queue.append(stamped);
    storeQueue(queue, key);
}

void qmGetFilteredData::qmDropWaitingDisplayRequests() {
    std::lock_guard lock(queueMutex());
    const Value key = getEncryptionKey();
    Value queue = loadQueue(key);
    const std::size_t before = queue.count();
    for (std::size_t index = 0; index < queue.count();) {
        if (queue[index]["qmFunctionName"].description() == "qmShowInAppNotification") {
            queue.removeAt(index);
        } else {
            ++index;
        }
    }
    if (queue.count() == before) return;
    prefs().qmRemoveObjectForKey(kWaitingFunctionsKey, QMStore::Library);
    storeQueue(queue, key);
    if (queue.count() == 0) prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Library);
}

bool qmGetFilteredData::qmHasWaitingEventNamed(const Value& eventName) {
    std::lock_guard lock(queueMutex());
    const Value queue = loadQueue(getEncryptionKey());
    for (const Value& record : queue.arrayItems()) {
        if (record["qmFunctionName"].description() == "qmTrackEvent" && record["qmEventName"] == eventName) return true;
    }
    return false;
}

void qmGetFilteredData::qmUpdateWaitingFunctionsWithData(const Value& list) {
    std::lock_guard lock(queueMutex());
    storeQueue(list, getEncryptionKey());
}

// Runs on the main queue once a settings answer has been applied. The replayable records
// are taken out and the rest stored back before any call is replayed, so that a replayed
// call that defers itself again is queued behind them instead of being overwritten.
void qmGetFilteredData::qmExecuteWaitingFunctions() {
    std::vector<Value> replay, dropped;
    {
        std::lock_guard lock(queueMutex());
        const Value key = getEncryptionKey();
        Value queue = loadQueue(key);
        const Date now = platform::Clock::currentDate();
        for (std::size_t index = 0; index < queue.count();) {
            const Value& record = queue[index];
            const std::string kind = record["qmFunctionName"].description();
            const bool replayable = (kind == "qmTrackEvent" && isReplayableEvent(record)) ||
                                    (kind == "qmTrackUser" && hasText(record, "qmTrackUserID")) ||
                                    kind == "qmShowInAppNotification";
            if (isExpired(record, now)) {
                dropped.push_back(record);
                queue.removeAt(index);
            } else if (replayable) {
                replay.push_back(record);
                queue.removeAt(index);
            } else {
                ++index;
            }
        }
        if (prefs().qmObjectForKey(kWaitingFunctionsKey, QMStore::Library))
            prefs().qmRemoveObjectForKey(kWaitingFunctionsKey, QMStore::Library);
        storeQueue(queue, key);
    }

    for (const Value& record : dropped) reportDropped(record);
    // The calls enter the facade as if the host had made them, in queue order.
    for (const Value& record : replay) {
        const std::string kind = record["qmFunctionName"].description();
        const Value& queuedAt = record[kQueuedAtKey];
        replayedQueuedAt = queuedAt.isNumber() ? std::optional(queuedAt.doubleValue()) : std::nullopt;
        if (kind == "qmTrackEvent") {
            const Value& ltv = record["qmEventLtv"];
            quelmar::trackEvents(record["qmEventName"], copyWhenNotEmpty(record["qmEventAttributes"]),
                                 isValidString(ltv) ? ltv : Value(),
                                 static_cast<long>(Value(record["qmEventScope"].description()).integerValue()));
        } else if (kind == "qmTrackUser") {
            quelmar::UserIdentifier(record["qmTrackUserID"], copyWhenNotEmpty(record["qmTrackUserParams"]));
        } else {
            quelmar::Show(copyWhenNotEmpty(record["qmInAppNotificationUserToken"]),
                          copyWhenNotEmpty(record["qmInAppNotificationCustomRule"]));
        }
    }
    replayedQueuedAt.reset();
}

void qmGetFilteredData::qmClearWaitingFunctions() {
    std::lock_guard lock(queueMutex());
    if (prefs().qmObjectForKey(kWaitingFunctionsKey, QMStore::Library))
        prefs().qmRemoveObjectForKey(kWaitingFunctionsKey, QMStore::Library);
}

}  // namespace qm
