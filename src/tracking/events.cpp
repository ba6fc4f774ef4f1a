// Event tracking: validation, the once-in-N-days limit, the event request and the result
// records handed to the host's delegate.
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMTypes.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "quelmar/quelmar.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {
namespace {

constexpr const char* kResourceFileMissing =
    "qmResourceValues.plist file not found. Even if it's optional, you may ignore it if you're not utilizing a function "
    "that's necessary.";

// The appearance file of the main bundle as a dictionary; nothing when the bundle has no such
// file. A file that cannot be read as a dictionary counts as an empty one.
std::optional<Value> readResourceValues() {
    auto path = platform::Bundle::main().pathForResource("qmResourceValues", "plist");
    if (!path) return std::nullopt;
    auto bytes = platform::Files::readFile(*path);
    if (!bytes) return std::nullopt;
    auto content = platform::plist::read(*bytes);
    if (!content || !content->isDictionary()) return Value::dictionary();
    return *content;
}

bool isInvalidScope(std::int32_t scope) { return scope == 0 || scope == 4 || scope == 5 || scope == 6; }

Value result(const char* status, const Value& eventName, const Value& message, const Value& type) {
    Value record{{"status", status}, {"message", message}, {"type", type}, {"callbackType", "event"}};
    if (eventName) record.set("eventName", eventName);
    return record;
}

void report(const Value& record) {
    if (record.count() > 0) quelmar::sharedInstance().sendDataToEventsCallbackDelegate(record);
}

// What the calling thread gathered for one event; the rest of the work uses only this.
struct EventCall {
    Value name;
    Value attributes;
    Value lifetimeValue;
    std::int32_t scope = 0;
    Value userID;
    Value appVersion;
    double systemVersion = 0;
    std::string periodicityKey;
    Value lastSentDay;  // "yyyy-MM-dd" of the last accepted sending of a periodic event
    Value userAgent;
};

// A periodic event sent `days` calendar days ago: the blocking result, or nothing when it may
// be sent again.
Value periodicBlock(const EventCall& call, long days) {
    const auto resources = readResourceValues();
    if (!resources) QMLog(QMLogLevelInfo, kResourceFileMissing);
    const bool includeLastDay =
        resources && (*resources)["qmBooleans"]["qmShouldIncludeEventScopeValueLastDay"].boolValue();
    const long scope = call.scope;
    const bool blocked = includeLastDay ? days < scope : days <= scope;
    if (!blocked) return Value();
    if (days < scope) {
        return result("fail", call.name,
                      format("%@ event can be track once in %d days. It will track after %ld days", call.name, scope,
                             scope - days),
                      Value(QMEventResult::PeriodNotOver));
    }
    return result(
        "fail", call.name,
        format("%@ event can be track once in %d days. It can be track from tomorrow or later.", call.name, scope),
        Value(QMEventResult::PeriodEndsToday));
}

// The result for an answer with entries.
Value answerResult(const EventCall& call, const Value& answer) {
    if (answer["Account"].description() != "success") {
        Value message = answer["Message"];
        return result("fail", call.name,
                      isValidString(message) ? Value(message.description()) : Value("Authentication error"),
                      Value(QMEventResult::AccountRejected));
    }
    const std::string authentication = answer["Authentication"].description();
    if (authentication == "success") {
        Value record =
            result("success", call.name,
                   format("Tracking Conversion successful for %@ event or this Event Already Performed", call.name),
                   Value(QMEventResult::Tracked));
        if (call.attributes.count() > 0) record.set("attributes", call.attributes);
        return record;
    }
    if (authentication == "Attribution tracking is disabled") {
        return result(
            "fail", call.name,
            "LIFE-CYCLE Events is INACTIVE or Your Account is not Upgraded. Kindly activate lifecycle event from "
            "Quelmar Account or Upgrade your account if required",
            Value(QMEventResult::LifecycleInactive));
    }
    Value message = answer["Message"];
    if (isValidString(message))
        return result("fail", call.name, Value(message.description()),
                      Value(QMEventResult::ConversionFailedWithMessage));
    return result("fail", call.name, "Conversion Failed", Value(QMEventResult::ConversionFailed));
}

// The service has answered an event: when it is the install or update the version check is
// waiting for, that one is done.
void forgetPendingVersionEvent(const Value& name) {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    const Value pending = prefs.qmObjectForKey(qmInternalProcessClass::kPendingVersionEventKey, QMStore::Library);
    if (!pending || pending["name"] != name) return;
    prefs.qmRemoveObjectForKey(qmInternalProcessClass::kPendingVersionEventKey, QMStore::Library);
    prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
}

// Events handed over by trackEvents, sent in order by one drain on a global queue.
struct PendingEvents {
    std::mutex mutex;
    std::deque<std::pair<std::shared_ptr<qmInternalProcessClass>, EventCall>> calls;
    bool draining = false;
};

PendingEvents& pendingEvents() {
    static NoDestructor<PendingEvents> pending;
    return *pending;
}

// Global queue: checks the period and connectivity, then posts the event.
void sendEvent(const std::shared_ptr<qmInternalProcessClass>& self, const EventCall& call) {
    auto& defaults = QMSDKUserDefaultsData::sharedInstance();
    auto& utility = qmGetFilteredData::sharedInstance();
    defaults.qmSynchronizeIntoUserDefaultsType(QMStore::Library);

    if (call.scope >= 7 && isValidString(call.lastSentDay)) {
        const platform::DateFormatter dayFormat("yyyy-MM-dd");
        const auto lastDay = dayFormat.date(call.lastSentDay.description());
        const auto today = dayFormat.date(dayFormat.string(platform::Clock::currentDate()));
        if (lastDay && today) {
            Value blocked = periodicBlock(call, platform::Calendar::daysBetween(*lastDay, *today));
            if (blocked) {
                QMLog(QMLogLevelError, "event error description: %@", blocked["message"]);
                report(blocked);
                return;
            }
        }
    }
    if (!utility.qmIsConnected()) {
        report(result("fail", call.name, "No internet found.", Value(QMEventResult::NoInternet)));
        return;
    }

    std::string params = self->qmGetDefaultPostParamsWithDeviceIDType(0, 0);
    params += qmFormField("event_name", call.name);
    params += qmFormField("ltv", call.lifetimeValue ? call.lifetimeValue : Value(""));
    params += format("&os_version=%f", static_cast<double>(static_cast<float>(call.systemVersion)));
    params += qmFormField("app_version", call.appVersion);
    params += qmFormField("scope", call.scope < 7 ? Value(std::to_string(call.scope)) : Value("1"));
    if (call.attributes.count() > 0) {
        Value json = utility.qmStringifyDictionary(call.attributes);
        if (isValidString(json)) params += qmFormField("attributes", json);
    }
    if (isValidString(call.userID)) params += qmFormField("userID", call.userID);
    Value lastClickedPush = self->qmLastNidClickedForEvent.get();
    if (isValidString(lastClickedPush)) params += qmFormField("push", lastClickedPush);
    Value journeys = utility.qmGetJourneyIDs();
    if (isValidString(journeys)) params += qmFormField("journey", journeys);
    Value body = utility.qmAddCurrentDeviceInfoToUrlString(Value(params));

    self->qmHitAPIWithPOSTRequestforUrlString(
        Value(QMSDKNetworkManager::sharedInstance().qmRecordEventApiURLString()), call.userAgent, body, 1,
        // Main queue.
        [self, call](const Value& answer) {
            if (answer.count() == 0) return;
            forgetPendingVersionEvent(call.name);
            if (answer["Account"].description() == "success") {
                if (answer["campaignCookie"].count() > 0) {
                    qmGetFilteredData::sharedInstance().qmSetCampaignCookiesWithCampaignData(answer["campaignCookie"]);
                }
                if (call.scope >= 7) {
                    auto& store = QMSDKUserDefaultsData::sharedInstance();
                    store.qmSetObject(
                        Value(platform::DateFormatter("yyyy-MM-dd").string(platform::Clock::currentDate())),
                        Value(call.periodicityKey), QMStore::Library);
                    store.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
                }
                self->qmCheckTransactionalEventsForEventName(call.name);
            }
            report(answerResult(call, answer));
        },
        // Main queue, before the completion.
        [call](const std::optional<platform::Error>& error) {
            if (!error || !isValidString(Value(error->description()))) return;
            QMLog(QMLogLevelError, "Authentication failed to trackEvent request with error description: %@",
                  error->description());
            report(result("fail", call.name, "Something went wrong while processing with API",
                          Value(QMEventResult::RequestFailed)));
        });
}

void drainPendingEvents() {
    for (;;) {
        std::pair<std::shared_ptr<qmInternalProcessClass>, EventCall> next;
        {
            auto& pending = pendingEvents();
            std::lock_guard lock(pending.mutex);
            if (pending.calls.empty()) {
                pending.draining = false;
                return;
            }
            next = std::move(pending.calls.front());
            pending.calls.pop_front();
        }
        sendEvent(next.first, next.second);
    }
}

}  // namespace


// Runs on the calling thread up to the hand-over to a global queue; the request, its answer
// handling (main queue) and every report follow from there.
void qmInternalProcessClass::trackEvents(const Value& eventName, const Value& attributes, const Value& lifetimeValue,
                                         long scopeValue) {
    const auto scope = static_cast<std::int32_t>(scopeValue);
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();

    // Before set-up, acceptable events wait for the settings answer; the rest are dropped.
    if (!_fetchBrandSettingsComplete) {
        if (isValidString(eventName) && scope >= 1 && !isInvalidScope(scope)) {
            Value record{{"qmFunctionName", "qmTrackEvent"}, {"qmEventName", eventName}, {"qmEventScope", Value(scope)}};
            if (attributes.count() > 0) record.set("qmEventAttributes", attributes);
            if (isValidString(lifetimeValue)) record.set("qmEventLtv", lifetimeValue);
            qmGetFilteredData::sharedInstance().qmSceduleWaitingFunctionsWithData(record);
        }
        return;
    }

    EventCall call;
    call.name = eventName;
    call.attributes = attributes;
    call.lifetimeValue = lifetimeValue;
    call.scope = scope;
    if (Value userID = prefs.qmObjectForKey("qm_userID", QMStore::Library)) call.userID = Value(userID.description());
    call.periodicityKey = format("qm_Periodicity4Event_%@", eventName);
    Value appVersion = prefs.qmObjectForKey("qm_appVersion", QMStore::Library);
    if (!isValidString(appVersion)) appVersion = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    call.appVersion = appVersion;
    call.systemVersion = Value(platform::Device::current().systemVersion()).doubleValue();
    call.userAgent = prefs.qmObjectForKey("qm_secretAgent", QMStore::Library);

    if (!isValidString(eventName)) {
        QMLog(QMLogLevelError, "The event name for the track event cannot be empty. Please define an event name and retry.");
        report(result("fail", Value(), "Event Name is NULL/Empty", Value(QMEventResult::EmptyName)));
        return;
    }
    if (isInvalidScope(scope)) {
        QMLog(QMLogLevelError,
              "Invalid scope value. It can not be 4, 5, or 6. Kindly check the SDK documentation for more details.");
        report(result("fail", eventName, "Invalid Scope Value Found", Value(QMEventResult::InvalidScope)));
        return;
    }
    if (scope >= 7) call.lastSentDay = prefs.qmObjectForKey(call.periodicityKey, QMStore::Library);

    // The period check reads the bundle's appearance file, so it runs with the request off
    // the caller's thread. Calls in a burst share one hand-over: the first schedules a drain
    // on a global queue, later ones only join the list (cheap, no thread wake-up each).
    bool scheduleDrain = false;
    {
        auto& pending = pendingEvents();
        std::lock_guard lock(pending.mutex);
        pending.calls.emplace_back(shared_from_this(), std::move(call));
        scheduleDrain = !pending.draining;
        pending.draining = true;
    }
    if (scheduleDrain) platform::Queue::global().async(drainPendingEvents);
}

void qmInternalProcessClass::qmCheckTransactionalEventsForEventName(const Value& eventName) {
    const auto resources = readResourceValues();
    if (!resources) {
        QMLog(QMLogLevelInfo, kResourceFileMissing);
        return;
    }
    const Value& arrays = (*resources)["qmArrays"];
    if (arrays && !arrays.isDictionary()) {
        QMLog(QMLogLevelError, "qmResourceValues.plist file contains a key qmArrays which must be of type Dictionary");
        return;
    }
    const Value& names = arrays["qm_geofenceTransactionalEventNames"];
    if (!names.isArray() || names.count() == 0) return;
    for (const auto& name : names.arrayItems()) {
        if (name == eventName) {
            auto& prefs = QMSDKUserDefaultsData::sharedInstance();
            prefs.qmSetObject(
                Value(platform::DateFormatter("yyyy-MM-dd HH:mm:ss").string(platform::Clock::currentDate())),
                "qm_GeoTransactionalEventStoredDate", QMStore::Library);
            prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
            return;
        }
    }
}

}  // namespace qm
