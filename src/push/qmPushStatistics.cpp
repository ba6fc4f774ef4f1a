// Push statistics: every view and click of a push or an inbox entry reported to the service,
// from the app or from its notification-service extension; the list of pushes the extension
// received, which the inbox counts views with; and the payload marked with its view id.
#include <memory>
#include <string>

#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "push/QMSDKPushBadgeHandler.hpp"
#include "push/qmPushStatistics.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"
#include "quelmar/version.hpp"

namespace qm {
namespace {

// A stored value counts when it is something other than nothing, the null object, empty text
// or the number 0.
bool isPresent(const Value& v) {
    if (v.isNone() || v.isNull()) return false;
    if (v.isString()) return !v.string().empty();
    if (v.isNumber()) return v.doubleValue() != 0;
    return true;
}

// The app and its extension both send statistics; the extension's library suite is empty, so
// what the app stored for both comes from the app-group suite there.
Value libraryThenGroup(const char* key) {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    Value v = prefs.qmObjectForKey(key, QMStore::Library);
    return isPresent(v) ? v : prefs.qmObjectForKey(key, QMStore::AppGroup);
}

bool isNonEmpty(const Value& v) { return !v.isNone() && !v.isNull() && !v.description().empty(); }

platform::DateFormatter receivedTimeFormatter() {
    return platform::DateFormatter(push::kReceivedTimeFormat, platform::TimeZone::currentIdentifier(), "en_US_POSIX");
}

}  // namespace

void qmInternalProcessClass::PushNotificationStatisticsWithStatsApiUrl(const Value& statsApiUrl, const Value& notificationID,
                                                                       const Value& type, const Value& sID,
                                                                       long calltoActionValue) {
    // Read here, on the caller's thread (in the extension before it may be torn down).
    const long long brandID = libraryThenGroup("qm_brandID").integerValue();
    const Value encryptedKey = libraryThenGroup("qm_encryptedKey");
    const Value pushToken = libraryThenGroup("qm_deviceID");
    const Value vendorID = libraryThenGroup("qm_iOS_VENDOR_IDENTIFIER");
    const Value clickID = libraryThenGroup("qm_anal_id");
    const Value userAgent = libraryThenGroup("qm_secretAgent");
    Value language = qmLanguage.get();
    if (!isNonEmpty(language)) {
        const Value stored = QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_language", QMStore::AppGroup);
        if (isValidString(stored, true)) {
            language = Value(stored.description());
            qmLanguage.set(language);
        }
    }
    const Value url = isValidString(statsApiUrl, true)
                          ? Value(statsApiUrl.description())
                          : Value(QMSDKNetworkManager::sharedInstance().qmRecordPushStatisticsDefaultApiURLString());
    const std::string typeText = type.description();
    const bool viaBackground = typeText == "clicks" || typeText == "inbox_click";
    if (typeText == "clicks") QMSDKPushBadgeHandler::sharedInstance().qmUpdatePushNottificationBadgeCountNumberOnPushClick();

    // The extension calls this on an engine of its own that it lets go right after; the
    // request keeps it alive until it is sent. An engine no one shares sends through the
    // runtime's.
    std::shared_ptr<qmInternalProcessClass> self = weak_from_this().lock();
    if (!self) self = sharedInstance();
    platform::Queue::global().async([self, brandID, encryptedKey, pushToken, vendorID, clickID, userAgent, language, url,
                                     notificationID, type, sID, calltoActionValue, viaBackground] {
        std::string params = "bid=" + std::to_string(brandID) + qmFormField("bid_e", encryptedKey) + "&device=2" +
                             qmFormField("clickID", clickID) + qmFormField("language", language) +
                             qmFormField("sdk_version", Value(kSDKVersion)) + qmFormField("notificationID", notificationID) +
                             qmFormField("3", pushToken) + qmFormField("type", type);
        if (isNonEmpty(sID)) params += qmFormField("sid", sID);
        if (isNonEmpty(vendorID)) params += qmFormField("deviceID", vendorID);
        auto& prefs = QMSDKUserDefaultsData::sharedInstance();
        Value userID = prefs.qmObjectForKey("qm_userID", QMStore::Library);
        if (!isPresent(userID)) userID = prefs.qmObjectForKey("qm_userID", QMStore::AppGroup);
        if (isNonEmpty(userID)) params += qmFormField("userID", userID);
        if (calltoActionValue != push::kNoClickType) params += "&clickType=" + std::to_string(calltoActionValue);
        auto& utility = qmGetFilteredData::sharedInstance();
        params = utility.qmAddMobleAppIDToUrlString(Value(params)).description();
        params = utility.qmAddCookiesDataInUrlString(params);

        if (viaBackground) {
            // The answer reaches URLSession(...) even when this process is gone by then: the
            // request is sent again at the next start.
            self->qmHitAPIRequestWithBackgroundSupportforUrlString(url, userAgent, Value(params), 0,
                                                                   "qmSessionBgTaskPushStats_" + notificationID.description());
            return;
        }
        self->qmHitAPIWithPOSTRequestforUrlString(
            url, userAgent, Value(params), 0,
            // Main queue.
            [](const Value& answer) {
                if (answer.count() == 0) return;
                if (answer["Authentication"].description() == "success") {
                    QMLog(QMLogLevelInfo, "Push notification statistics has been completed successfully.");
                } else {
                    QMLog(QMLogLevelError, "Invalid authentication for push notification statistics");
                }
            },
            // Main queue, before the completion.
            [](const std::optional<platform::Error>& error) {
                if (!error) return;
                const Value description(error->description());
                if (!isValidString(description)) return;
                QMLog(QMLogLevelError, "An error has occurred while requesting push notification statistics.Error description: %@",
                      description);
            });
    });
}

void qmInternalProcessClass::qmClearPushViewCountDataFromAppGroupStorage() {
    // "Now" is the moment of the call; the file work runs on the file queue, off start-up's
    // main thread, in one step under the suite's lock so that a push the extension records
    // meanwhile is not lost.
    const Date now = platform::Clock::currentDate();
    QMSDKDataStore::fileQueue().async([now] {
        const platform::DateFormatter formatter = receivedTimeFormatter();
        auto* group = QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults;
        group->updateObjectForKey(push::kReceivedPushListKey, [&](const Value& list) {
            if (list.count() == 0 || !list.isArray()) return list;
            Value kept = Value::array();
            for (const Value& entry : list.arrayItems()) {
                if (!isNonEmpty(entry["qmPushNID"])) continue;
                const Value& received = entry["qmReceivedTime"];
                if (!received.isString()) continue;
                const auto at = formatter.date(received.string());
                if (!at || now.timeIntervalSince(*at) > push::kReceivedPushKeptSeconds) continue;
                kept.append(entry);
            }
            return kept.count() > 0 ? kept : Value();
        });
    });
}

void quelmar::setReceivedPushInPreferenceWithNotificationID(const Value& notificationID, const Value& /*bundleID*/) {
    if (!isValidString(notificationID)) return;
    const std::string id = notificationID.description();
    if (id.size() > push::kReceivedPushIDMaxLength) {
        QMLog(QMLogLevelError, "The push's notification id is longer than %@ characters; it is not recorded as received.",
              Value(static_cast<long long>(push::kReceivedPushIDMaxLength)));
        return;
    }
    const std::string receivedAt = receivedTimeFormatter().string(platform::Clock::currentDate());
    QMSDKDataStore::fileQueue().async([id, receivedAt] {
        auto* group = QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults;
        // The app trims this list at start-up while the extension adds to it: one step under
        // the suite's lock each.
        group->updateObjectForKey(push::kReceivedPushListKey, [&](const Value& list) {
            Value updated = Value::array();
            for (const Value& entry : list.arrayItems()) {
                if (entry["qmPushNID"].description() != id) updated.append(entry);
            }
            // One entry per push, the newest last; the list never outgrows the pushes of the
            // kept period, since start-up trims it.
            if (updated.count() >= push::kReceivedPushListLimit) {
                Value newest = Value::array();
                const auto& items = updated.arrayItems();
                for (std::size_t i = items.size() - (push::kReceivedPushListLimit - 1); i < items.size(); ++i)
                    newest.append(items[i]);
                updated = std::move(newest);
            }
            updated.append(Value{{"qmPushNID", id}, {"qmReceivedTime", receivedAt}});
            return updated;
        });
    });
}

Value quelmar::pushPayloadWithPushViewID(const Value& payload, const Value& identifier) {
    Value aps = payload["aps"];
    Value data = aps["qm_data"];
    if (!data.isDictionary()) return Value::dictionary();
    if (isValidString(identifier)) data.set("qm_pushViewID", Value(identifier.description()));
    aps.set("qm_data", std::move(data));
    return Value{{"aps", std::move(aps)}};
}

}  // namespace qm
