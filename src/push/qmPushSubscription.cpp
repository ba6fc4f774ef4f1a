// The push subscription: the device's push token goes to the service once (and again when it
// changes), later with the app user's id or the push preference categories.
#include <string>

#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMTypes.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "quelmar/quelmar.hpp"

namespace qm {

Value qmGetFilteredData::qmGetStringFromData(const Value& token) const {
    // Always the bytes in hexadecimal: the older rule (the data's description without blanks
    // and angle brackets) only gave the same text where data described itself as "<0aff>".
    if (!token.isData() || token.data().empty()) return Value();
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(token.data().size() * 2);
    for (const std::uint8_t byte : token.data()) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return Value(text);
}

void qmInternalProcessClass::qmSubscribeWithDeviceToken(const Value& deviceToken) {
    const Value token = qmGetFilteredData::sharedInstance().qmGetStringFromData(deviceToken);
    QMLog(QMLogLevelInfo, "SubscriptionID for push notification = %@", token);
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    auto& module = QMRuntime::shared();
    if (!prefs.qmBoolForKey("qm_PushStatusActive", QMStore::Library)) {
        module._qmShouldHitRecordPushSubscrptionAPI = false;
        return;
    }
    const Value stored = prefs.qmObjectForKey("qm_deviceID", QMStore::Library);
    bool send = true;
    if (isValidString(stored) && stored.description() == token.description()) {
        send = false;
        if (isValidString(token)) QMLog(QMLogLevelInfo, "already subscribed for push notification with this subscriptionID");
    }
    module._qmShouldHitRecordPushSubscrptionAPI = send;
    if (send) quelmar::sharedInstance().qmSendSubscriptionIDToPanelWithToken(token, false, Value(), false);
}

void quelmar::qmSendSubscriptionIDToPanelWithToken(const Value& token, bool shouldUpdateUserID,
                                                   const Value& pushPreferenceCategories, bool shouldUpdatePushPreferences) {
    auto engine = QMRuntime::shared().qmInternalProcess();
    if (!engine) return;
    if (!isValidString(token)) {
        QMLog(QMLogLevelError,
              "The device token is not found. Kindly test push on a real device or a push notification-supported "
              "simulator.");
        return;
    }
    QMLog(QMLogLevelInfo, "Send subscriptionID to quelmar panel.");
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    const Value userID = prefs.qmObjectForKey("qm_userID", QMStore::Library);
    const Value userAgent = qmGetFilteredData::sharedInstance().qmGetCurrentWebUserAgentValueAfterReset(false);
    Value appVersion = prefs.qmObjectForKey("qm_appVersion", QMStore::Library);
    if (!isValidString(appVersion)) appVersion = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    const double systemVersion =
        static_cast<double>(static_cast<float>(Value(platform::Device::current().systemVersion()).doubleValue()));
    const bool unsubscribeAll = QMRuntime::shared().qm_ShouldUnsubscribeAllPush.load();
    const Value tokenText(token.description());

    platform::Queue::global().async([engine, tokenText, shouldUpdateUserID, pushPreferenceCategories,
                                     shouldUpdatePushPreferences, userID, userAgent, appVersion, systemVersion,
                                     unsubscribeAll] {
        std::string params = engine->qmGetDefaultPostParamsWithDeviceIDType(1, 0);
        params += qmFormField("subscriptionId", tokenText);
        params += format("&os_version=%f", systemVersion);
        params += qmFormField("app_version", appVersion);
        if (isValidString(userID)) params += qmFormField("userID", userID);
        if (shouldUpdatePushPreferences) {
            params += qmFormField("category",
                                  isValidString(pushPreferenceCategories) ? pushPreferenceCategories : Value(""));
            params += format("&unsubscribe=%ld", unsubscribeAll ? 1L : 0L);
        }
        const Value body = qmGetFilteredData::sharedInstance().qmAddCurrentDeviceInfoToUrlString(Value(params));

        engine->qmHitAPIWithPOSTRequestforUrlString(
            Value(QMSDKNetworkManager::sharedInstance().qmRecordPushSubscriberApiURLString()), userAgent, body, 1,
            // Main queue.
            [tokenText, shouldUpdateUserID, shouldUpdatePushPreferences](const Value& answer) {
                if (answer.count() == 0) return;
                auto& store = QMSDKUserDefaultsData::sharedInstance();
                const long long code = answer.contains("http_code") ? answer["http_code"].integerValue() : 0;
                if (code == 200 || code == 201) {
                    store.qmSetObject(tokenText, Value("qm_deviceID"), QMStore::Both);
                    store.qmSynchronizeIntoUserDefaultsType(QMStore::Both);
                    if (shouldUpdateUserID) {
                        QMLog(QMLogLevelInfo, "User details have been successfully updated for this subscriber.");
                    } else if (shouldUpdatePushPreferences) {
                        QMLog(QMLogLevelInfo, "Push preferences have been successfully updated for this subscriber.");
                    } else {
                        QMLog(QMLogLevelInfo, "Successfully subscribed to quelmar push notifications.");
                        quelmar::sharedInstance().sendDataToEventsCallbackDelegate(
                            Value{{"status", "success"}, {"eventName", "Push_Registered"}, {"subscriptionId", tokenText}});
                    }
                } else if (code == 202) {
                    store.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
                } else {
                    QMLog(QMLogLevelError, "Authentication failed to register the device token for quelmar push notifications.");
                }
            },
            // Main queue, before the completion.
            [](const std::optional<platform::Error>& error) {
                if (!error) return;
                const Value description(error->description());
                if (!isValidString(description)) return;
                QMLog(QMLogLevelError,
                      "Authentication failed to register the device token for quelmar push notifications with the "
                      "error description: %@",
                      description);
            });
    });
}

void quelmar::pushPreferences(const Value& categories, bool isUnsubscribeFromAll) {
    std::string joined;
    for (const Value& category : categories.arrayItems()) {
        if (!joined.empty()) joined += ",";
        joined += category.description();
    }
    const Value stored = QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_deviceID", QMStore::Library);
    if (!isValidString(stored)) return;
    QMRuntime::shared().qm_ShouldUnsubscribeAllPush = isUnsubscribeFromAll;
    quelmar::sharedInstance().qmSendSubscriptionIDToPanelWithToken(
        Value(stored.description()), false, categories.count() > 0 ? Value(joined) : Value(), true);
}

}  // namespace qm
