// Pushes in the app: asking for permission, recognising the library's pushes, what a tap on a
// push or one of its buttons does (reported, routed, called back), the click data handed to
// the host, the buttons registered as a category, and the answer for pushes shown in front.
#include <string>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMTypes.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "push/qmPushStatistics.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/pasteboard.hpp"
#include "qmplatform/user_notifications.hpp"
#include "quelmar/quelmar.hpp"

namespace qm {

namespace {

constexpr unsigned long kAuthorizationOptions = 7;  // alert, sound and badge

std::shared_ptr<qmInternalProcessClass> engine() { return QMRuntime::shared().qmInternalProcess(); }

double systemVersion() { return Value(platform::Device::current().systemVersion()).doubleValue(); }

Value userInfoOf(const std::shared_ptr<platform::UserNotification>& notification) {
    if (!notification || !notification->request() || !notification->request()->content()) return Value();
    return notification->request()->content()->userInfo;
}

// The host's push category matches the payload's (an absent property-list value never does).
bool categoryMatches(const Value& userInfo) {
    const Value ours = platform::Bundle::main().objectForInfoDictionaryKey("qmPushCategory");
    const Value& category = userInfo["aps"]["category"];
    return ours && category && isValidString(ours) && category.description() == ours.description();
}

// The payload's "qm_data" when the push is the library's, else nothing (logged).
Value recognise(const Value& userInfo) {
    if (!categoryMatches(userInfo)) {
        QMLog(QMLogLevelInfo, "Category not matched. This is not a quelmar push notification.");
        return Value();
    }
    const Value& data = userInfo["aps"]["qm_data"];
    if (!data.isDictionary() || data.count() == 0) {
        QMLog(QMLogLevelInfo, "qmData is not found, or this is not a quelmar push notification.");
        return Value();
    }
    return data;
}

void clearInboxCache() {
    if (auto store = QMRuntime::shared().qmStoreData()) store->clear_qm_push_notifications_Data();
}

void clearInboxCacheUnlessInactive() {
    if (platform::Application::shared().applicationState() != platform::ApplicationState::Inactive) clearInboxCache();
}

long targetOf(const Value& value) {
    if (!isValidString(value) && !value.isNumber()) return 0;
    return static_cast<long>(value.integerValue());
}

struct ClickAction {
    long target = 0;
    Value destination, ituneUrl;
    long callToAction = 0;
};

// A tap on the notification itself.
ClickAction notificationAction(const Value& data) {
    return {targetOf(data["target"]), data["url"], data["actionItune"], 0};
}

// The action of a response: the notification's own, or the button's whose identifier it is.
ClickAction responseAction(const Value& data, const std::string& actionIdentifier) {
    if (actionIdentifier == platform::kNotificationDefaultActionIdentifier) return notificationAction(data);
    for (const auto& [key, button] : data.dictionaryItems()) {
        if (!key.starts_with("cta") || !button.isDictionary()) continue;
        if (button["Identifier"].description() != actionIdentifier) continue;
        if (actionIdentifier == "qmpush-cta1") return {targetOf(button["target"]), button["url"], button["actionItune"], 1};
        if (actionIdentifier == "qmpush-cta2") return {targetOf(button["target"]), button["url"], button["actionItune"], 2};
        return notificationAction(data);
    }
    return {};
}

struct Click {
    Value notificationID, sid, title, parameters;
    ClickAction action;
};

// What every handled click does, in order: the id for event tracking, the journey, the
// coupon, the statistics, the parameters for this button and the attribution.
Click commonClickSteps(const std::shared_ptr<qmInternalProcessClass>& e, const Value& data, const ClickAction& action) {
    auto& utility = qmGetFilteredData::sharedInstance();
    Click click;
    click.notificationID = push::payloadText(data["nid"]);
    if (!data.contains("nid")) click.notificationID = Value("");
    if (isValidString(click.notificationID)) e->qmLastNidClickedForEvent.set(click.notificationID);
    click.sid = data.contains("sid") ? push::payloadText(data["sid"]) : Value();
    click.title = data["title"];
    if (data["journeyInfo"].isDictionary() && data["journeyInfo"].count() > 0) utility.qmStoreJourneyInfo(data["journeyInfo"]);
    const Value& extra = data["actionExtra"];
    if (extra.isDictionary() && extra.count() > 0 && isValidString(extra["copy"])) {
        e->qmCopyCouponCodeToClipboard(extra["copy"]);
    } else {
        QMLog(QMLogLevelInfo, "There is no coupon code to copy.");
    }
    click.action = action;
    const Value statsURL = data.contains("stats_url") ? push::payloadText(data["stats_url"]) : Value();
    e->PushNotificationStatisticsWithStatsApiUrl(statsURL, click.notificationID, Value("clicks"), click.sid,
                                                 action.callToAction);
    const Value& actionParams = data["actionParams"];
    click.parameters = actionParams.isArray() && actionParams.count() > 0
                           ? utility.qmGetFinalActionParamsForCurrentCalltoActionType(action.callToAction, actionParams)
                           : Value::dictionary();
    const Value& clickID = data["_qm_pu_clid"];
    if (isValidString(clickID)) {
        e->_qmCurrentPushClID.set(Value(clickID.description()));
        if (e->fetchBrandSettingsComplete()) e->qmFetchSettingsWithPushClId(Value(clickID.description()));
    }
    return click;
}

// Routes the click on the main queue and tells the host ("Push_Clicked").
void routeAndCallBack(const std::shared_ptr<qmInternalProcessClass>& e, const Click& click) {
    platform::Queue::main().async([e, click] {
        e->performActionWithTarget(click.action.target, click.action.destination, click.action.ituneUrl,
                                   click.notificationID, click.parameters, click.title, click.action.callToAction,
                                   Value("push"));
        Value attributes{{"notification_id", click.notificationID},
                         {"target", Value(static_cast<long long>(click.action.target))},
                         {"action_params", click.parameters},
                         {"actionURL", click.action.destination ? click.action.destination : Value("")},
                         {"callToAction", Value(static_cast<long long>(click.action.callToAction))}};
        e->qmCallBackDataForInAppBannerWithEventName(Value("Push_Clicked"), Value("Quelmar Push clicked successfully"),
                                                     attributes, Value(18.1), Value("push"));
    });
}

// "target", "ItuneUrl" and "actionUrl" or "ViewControllerToLoad" of an action, into `result`
// with the key prefix (empty for the push itself).
void describeAction(Value& result, const std::string& prefix, long target, const Value& destination,
                    const Value& ituneUrl) {
    result.set(prefix + "target", Value(static_cast<long long>(target)));
    if (isValidString(ituneUrl)) result.set(prefix + "ItuneUrl", ituneUrl);
    if (prefix.empty() || isValidString(destination)) {
        result.set(prefix + (target != 0 ? "actionUrl" : "ViewControllerToLoad"), destination ? destination : Value(""));
    }
}

unsigned long actionOptions(const Value& option) {
    switch (option.integerValue()) {
        case 1: return platform::kActionOptionDestructive;
        case 2: return platform::kActionOptionForeground;
        case 3: return platform::kActionOptionAuthenticationRequired;
        default: return 0;
    }
}

}  // namespace

void qmInternalProcessClass::qmCopyCouponCodeToClipboard(const Value& code) {
    const std::string text = code.description();
    platform::Queue::main().async([text] {
        platform::Pasteboard::general().setString(text);
        QMLog(QMLogLevelInfo, "Message has been copied to clipboard");
    });
}

void qmInternalProcessClass::setUserActionForCategoryName(const Value& categoryName, const Value& ctaData) {
    if (!isValidString(categoryName) || categoryName.description() == "(null)" || !ctaData.isDictionary() ||
        ctaData.count() == 0) {
        return;
    }
    std::vector<std::shared_ptr<platform::NotificationAction>> actions;
    for (const char* key : {"cta1", "cta2"}) {
        const Value& button = ctaData[key];
        const std::string title = button["title"].isString() ? button["title"].string() : std::string();
        if (title.empty()) continue;
        actions.push_back(platform::NotificationAction::actionWithIdentifier(button["Identifier"].description(), title,
                                                                             actionOptions(button["option"])));
    }
    platform::UserNotificationCenter::current().setNotificationCategories(
        {platform::NotificationCategory::categoryWithIdentifier(categoryName.description(), std::move(actions))});
}

void quelmar::RegisterPushWithDelegate(const std::shared_ptr<platform::UserNotificationCenterDelegate>& delegate,
                                       const std::shared_ptr<platform::Application>&, const Value&) {
    auto& center = platform::UserNotificationCenter::current();
    center.setDelegate(delegate);
    const std::weak_ptr<platform::UserNotificationCenterDelegate> weak = delegate;
    center.requestAuthorization(kAuthorizationOptions, [weak](bool, const std::optional<platform::Error>& error) {
        if (error) {
            // The platform's errors carry no failure reason or recovery texts: those print "(null)".
            QMLog(QMLogLevelError, "Push notification permission denied with Error:  %@ - %@", Value(),
                  Value(error->localizedDescription));
            QMLog(QMLogLevelError, "To fix this here is a Suggestion: %@ - %@", Value(), Value());
        } else {
            platform::Queue::main().async([] { platform::Application::shared().registerForRemoteNotifications(); });
            QMLog(QMLogLevelInfo, "Push notification permission granted on iOS 10 or newer iOS device");
        }
        platform::Queue::main().async([weak] {
            if (auto again = weak.lock()) platform::UserNotificationCenter::current().setDelegate(again);
        });
    });
}

void quelmar::didReceiveNotificationResponse(const std::shared_ptr<platform::UserNotificationResponse>& response) {
    auto e = engine();
    if (!e || !response) return;
    clearInboxCacheUnlessInactive();
    const Value data = recognise(userInfoOf(response->notification()));
    if (!data) return;
    routeAndCallBack(e, commonClickSteps(e, data, responseAction(data, response->actionIdentifier())));
}

void quelmar::didReceiveRemoteNotificationWithUserInfo(const Value& userInfo) {
    auto e = engine();
    if (!e) return;
    clearInboxCacheUnlessInactive();
    const Value data = recognise(userInfo);
    if (!data) return;
    // Read before the common steps, which repeat the id and journey harmlessly.
    const Value notificationID = push::payloadText(data["nid"]);
    auto& module = QMRuntime::shared();
    module.updateContainer("_qmReadPushNotifications", [&](Value& list) {
        if (!list.isArray()) list = Value::array();
        list.append(notificationID);
    });
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    prefs.qmSetObject(module.container("_qmReadPushNotifications"), Value("qm_ReadPushNotifications"), QMStore::Library);
    prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
    routeAndCallBack(e, commonClickSteps(e, data, notificationAction(data)));
}

Value quelmar::PushNotificationActionDataFromUserInfo(const Value& userInfo) {
    auto e = engine();
    if (!e) return Value::dictionary();
    clearInboxCacheUnlessInactive();
    const Value data = recognise(userInfo);
    if (!data) return Value::dictionary();
    const Click click = commonClickSteps(e, data, notificationAction(data));
    Value result{{"parameters", click.parameters}};
    for (const auto& [key, button] : data.dictionaryItems()) {
        const std::string prefix = key.starts_with("cta1") ? "ActionButton1" : key.starts_with("cta2") ? "ActionButton2" : "";
        if (prefix.empty() || !button.isDictionary()) continue;
        if (isValidString(button["Identifier"])) result.set(prefix + "ID", button["Identifier"]);
        describeAction(result, prefix, targetOf(button["target"]), button["url"], button["actionItune"]);
    }
    describeAction(result, "", click.action.target, click.action.destination, click.action.ituneUrl);
    return result;
}

void quelmar::PushNotificationActionDataFromResponse(const std::shared_ptr<platform::UserNotificationResponse>& response,
                                                     bool autoRedirectOtherApps,
                                                     std::function<void(const Value&)> clickResponseData) {
    const auto answer = [&clickResponseData](const Value& result) {
        if (clickResponseData) clickResponseData(result);
    };
    const Value userInfo = response ? userInfoOf(response->notification()) : Value();
    if (!userInfo.isDictionary() || userInfo.count() == 0) return answer(Value{{"error", "userInfo not forund"}});
    clearInboxCache();
    const Value& aps = userInfo["aps"];
    if (!aps.contains("category")) return answer(Value{{"error", "category not forund in push payload"}});
    if (!categoryMatches(userInfo)) {
        QMLog(QMLogLevelError, "Category not matched. This is not a quelmar push notification's click response.");
        return answer(Value{{"error", "push payload not from quelmar"}});
    }
    if (!aps.contains("qm_data") || !aps["qm_data"].isDictionary()) {
        return answer(Value{{"error", "quelmar push action data not found or empty"}});
    }
    const Value data = aps["qm_data"];
    if (data.count() == 0) return answer(Value{{"error", "quelmar push action data is empty"}});
    auto e = engine();
    if (!e) return answer(Value::dictionary());
    const Click click = commonClickSteps(e, data, responseAction(data, response->actionIdentifier()));
    Value result{{"callToAction", Value(static_cast<long long>(click.action.callToAction))}, {"parameters", click.parameters}};
    describeAction(result, "", click.action.target, click.action.destination, click.action.ituneUrl);
    answer(result);
    if (click.action.target != 0 && autoRedirectOtherApps) {
        platform::Queue::main().async([e, click] {
            e->performActionWithTarget(click.action.target, click.action.destination, click.action.ituneUrl,
                                       click.notificationID, click.parameters, click.title, click.action.callToAction,
                                       Value("push"));
        });
    }
}

void quelmar::didReceiveRemoteNotification(const Value&, std::function<void(unsigned long)> fetchCompletionHandler) {
    clearInboxCacheUnlessInactive();
    // Answered on every system version: a completion nobody calls holds the app's background
    // fetch until the system gives up on it.
    if (fetchCompletionHandler) fetchCompletionHandler(kFetchResultNewData);
}

void quelmar::willPresentNotification(const std::shared_ptr<platform::UserNotification>& notification,
                                      std::function<void(unsigned long)> completionHandler) {
    if (categoryMatches(userInfoOf(notification))) clearInboxCache();
    if (completionHandler) completionHandler(systemVersion() >= 14 ? kPresentBannerAlertSoundBadge : kPresentAlertSoundBadge);
}

}  // namespace qm
