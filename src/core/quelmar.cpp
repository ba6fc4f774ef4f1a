#include "quelmar/quelmar.hpp"

#include <algorithm>
#include <set>
#include <string>

#include "core/Guarded.hpp"
#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMThreadCheck.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "push/QMSDKPushBadgeHandler.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/user_notifications.hpp"
#include "qmui/scroll_view.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {
namespace {

// Optional delegate callbacks: the base implementations mark themselves as "absent" so the
// library can fall back to the next callback, as with an optional protocol method.
thread_local bool delegateCallbackAbsent = false;

std::shared_ptr<qmInternalProcessClass> engine() { return QMRuntime::shared().qmInternalProcess(); }

constexpr double kDayInSeconds = 86400;
// How long termination waits for queued file work (real seconds).
constexpr double kTerminateFileWorkSeconds = 2;

// The brand id of the last successful start-up (qm_brandID is also written by deep links).
constexpr const char* kStartUpBrandKey = "qm_startUpBrandID";

Value previousStartUpBrandID() {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    if (Value recorded = prefs.qmObjectForKey(kStartUpBrandKey, QMStore::Library)) return recorded;
    // Stored by a library that did not record it yet: qm_brandID as it was before any link
    // of this process overwrote it.
    auto& module = QMRuntime::shared();
    if (module._qmDeeplinkcheck) return module.qmBrandIDBeforeDeepLink.get();
    return prefs.qmObjectForKey("qm_brandID", QMStore::Library);
}

// An entry whose feature is not part of this build says so once per process (scroll
// callbacks come many times a second); its completion is answered all the same.
void warnNotAvailable(const char* entry, const char* feature) {
    static NoDestructor<Guarded<std::set<std::string>>> warned;
    const bool first = warned->with([&](std::set<std::string>& names) { return names.insert(entry).second; });
    if (first) QMLog(QMLogLevelWarning, "%@ is not available in this build (%@).", feature, entry);
}

constexpr const char* kInbox = "The notification center";

// Completions documented to run on the main queue are handed over there, never inline.
template <typename Completion, typename Result>
void answerOnMain(Completion completion, Result result) {
    if (!completion) return;
    platform::Queue::main().async([completion = std::move(completion), result = std::move(result)] { completion(result); });
}

// Start-up, step by step -------------------------------------------------------------------
// Initialize runs these in order; each one's effects are what the next ones rely on.

// What one start-up works with.
struct StartUp {
    const platform::Bundle& bundle = platform::Bundle::main();
    QMRuntime& module = QMRuntime::shared();
    // Reached only once the identifiers are valid, in the order start-up always used.
    QMSDKUserDefaultsData* prefs = nullptr;
    qmGetFilteredData* utility = nullptr;
    long long brandID = 0;
    Value secretKey;
    std::shared_ptr<qmInternalProcessClass> engine;
    std::shared_ptr<QMSDKDataStore> store;
};

// 1-2. Account identifiers; false (after logging why) when start-up must stop here.
bool readAccountIdentifiers(StartUp& s) {
    Value brandValue = s.bundle.objectForInfoDictionaryKey("qmBrandID");
    s.brandID = brandValue ? brandValue.integerValue() : 0;
    Value secretValue = s.bundle.objectForInfoDictionaryKey("qmSecretKey");
    s.secretKey = secretValue ? Value(secretValue.description()) : Value();
    if (s.brandID < 1 || !isValidString(secretValue)) {
        QMLog(QMLogLevelError,
              "Invalid brandID or secret key. Kindly check our documentation under the integration section and provide "
              "the values as per your account to fix this error.");
        return false;
    }
    return true;
}

// 3-4. Store, engine, utility, log level.
void createEngine(StartUp& s) {
    s.prefs = &QMSDKUserDefaultsData::sharedInstance();
    s.engine = s.module.beginLaunch();
    s.store = s.module.qmStoreData();
    s.utility = &qmGetFilteredData::sharedInstance();
    QMLogger::qmSetLogLevel(s.utility->qmGetCurrentLogLevel());
    // Background requests an earlier process could not finish (click statistics) go out now.
    s.engine->qmResumePendingBackgroundRequests();
}

// 5. Brand change wipes everything stored for the previous brand. A deep link that opened
// the app stores the bundle's brand id before start-up runs, so the comparison is with the
// brand of the last start-up.
void wipeDataOnBrandChange(StartUp& s) {
    const Value storedBrand = previousStartUpBrandID();
    if (!storedBrand || storedBrand.integerValue() < 1 || storedBrand.integerValue() == s.brandID) return;
    QMLog(QMLogLevelInfo, "BrandID has been changed from %ld to the new BrandID = %ld", storedBrand.integerValue(),
          s.brandID);
    // Attribution from the link that opened the app belongs to the new account: it survives
    // the wipe.
    const bool linkSeen = s.module._qmDeeplinkcheck;
    const Value linkUTM = s.module.qmFinalUTMParamsDict.get();
    s.engine->resetQuelmar_iOS_SDK();
    if (linkSeen) {
        if (linkUTM.count() > 0) s.module.qmFinalUTMParamsDict.set(linkUTM);
        const Value linkAnalyticID = s.module._qmAnalyticID.get();
        if (linkAnalyticID.count() > 0) s.prefs->qmSetObject(linkAnalyticID, "qm_anal_id", QMStore::Library);
    }
}

// 6. App group.
void prepareAppGroup(StartUp& s) {
    s.prefs->qmSetObject(Value(s.utility->qmGetAppGroupIDforQuelmar()), "qm_groupName", QMStore::AppGroup);
    if (s.prefs->qmObjectForKey("qm_shouldResetCenterDataOnNewPush", QMStore::AppGroup)) {
        s.prefs->qmRemoveObjectForKey("qm_shouldResetCenterDataOnNewPush", QMStore::AppGroup);
    }
}

// 7-9. Deferred calls, per-launch containers and the per-session "shown" markers. Events and
// identifications that an earlier launch could not send stay queued for this launch's
// settings answer.
void resetPerLaunchState(StartUp& s) {
    s.utility->qmDropWaitingDisplayRequests();
    s.module.resetContainers();
    s.utility->qmCheckCloseButtonImage();

    const Value libraryKeys = s.prefs->qmDictionaryRepresentationIntoUserDefaultsType(QMStore::Library);
    for (const auto& [key, value] : libraryKeys.dictionaryItems()) {
        if (key.rfind("qm_isShownViewNID", 0) == 0) s.prefs->qmRemoveObjectForKey(Value(key), QMStore::Library);
    }
    s.prefs->qmSynchronizeIntoUserDefaultsType(QMStore::Both);
}

// 10. Mode.
void storeMode(StartUp& s, const Value& mode) {
    s.module._qmModeVale.set(mode);
    QMLog(QMLogLevelInfo, "You are in %@ mode", mode);
    s.prefs->qmSetObject(mode, "qm_AppMode", QMStore::Both);
}

// 11-12. Flags (the engine's own went back to NO when the launch began).
void resetFlags(StartUp& s) {
    s.module.isPushNotificationDataComplete = false;
    s.module.qmGetQmUidWaitingTimeCounter = 0;
    QMLog(QMLogLevelInfo, "BrandID >>>>======>>>>> %ld", s.brandID);
    s.module.qm_ShouldUnsubscribeAllPush = false;
}

// 13-16. Account, language, web user agent, device and bundle identifiers.
void storeIdentifiers(StartUp& s) {
    s.prefs->qmSetInteger(s.brandID, "qm_brandID", QMStore::Both);
    s.prefs->qmSetInteger(s.brandID, kStartUpBrandKey, QMStore::Library);
    s.prefs->qmSetObject(s.secretKey, "qm_encryptedKey", QMStore::Both);
    s.prefs->qmRemoveObjectForKey("qm_temp_SessionEvent", QMStore::Library);

    // Language: display name of the first preferred language.
    auto languages = platform::Locale::preferredLanguages();
    Value language = languages.empty() ? Value() : Value(platform::Locale::displayNameForLanguage(languages.front()));
    s.module._qmAppCurrentLanguage.set(language);
    s.prefs->qmSetObject(language, "qm_language", QMStore::Both);
    s.engine->qmLanguage.set(language);

    Value userAgent = s.utility->qmGetCurrentWebUserAgentValueAfterReset(true);
    if (isValidString(userAgent)) s.prefs->qmSetObject(userAgent, "qm_secretAgent", QMStore::Both);

    s.prefs->qmSetObject(Value(platform::Device::current().identifierForVendor()), "qm_iOS_VENDOR_IDENTIFIER",
                         QMStore::Both);
    s.prefs->qmSetObject(Value(s.bundle.bundleIdentifier()), "qm_Package", QMStore::Both);
}

// 17. Launch count.
void countLaunch(StartUp& s) {
    const long long launches = s.prefs->qmIntegerForKey("qm_CountAppLaunch", QMStore::Library);
    s.prefs->qmSetInteger(launches > 0 ? launches + 1 : 1, "qm_CountAppLaunch", QMStore::Library);
}

// 18. Attribution: a deep link's analytics id replaces the click fetch.
void startAttribution(StartUp& s) {
    Value analyticID = s.module._qmAnalyticID.get();
    if (analyticID.count() > 0) {
        s.engine->qm_anal_id.set(analyticID);
        s.engine->qmCheckAppInstallOrUpdate();
    } else {
        s.engine->fetchClick();
    }
}

// 19-20. User data flag, read pushes and an inbox opening older than a day.
void refreshSessionRecords(StartUp& s) {
    if (!s.prefs->qmBoolForKey("qm_isSendUserData", QMStore::Library))
        s.prefs->qmSetBOOL(true, "qm_isSendUserData", QMStore::Library);
    s.module.setContainer("_qmReadPushNotifications", Value::array());
    Value centerOpenDate = s.prefs->qmObjectForKey("qm_centerOpenDate", QMStore::Library);
    if (centerOpenDate.isDate() &&
        platform::Clock::currentDate().timeIntervalSince(centerOpenDate.date()) >= kDayInSeconds) {
        s.prefs->qmRemoveObjectForKey("qm_centerOpenDate", QMStore::Library);
    }
    s.prefs->qmSynchronizeIntoUserDefaultsType(QMStore::Both);
}

// 21-22. Cookies, stored pushes and their view counts.
void clearStoredPushData(StartUp& s) {
    s.utility->qmCheckCookiesExpiryWithLastSession();
    s.store->clear_qm_push_notifications_Data();
    s.engine->qmClearPushViewCountDataFromAppGroupStorage();
}

// 23. Settings, with the push click id that opened the app when there is one.
void startSettingsFetch(StartUp& s) {
    Value pushClickID(s.engine->_qmCurrentPushClID.get().description());
    s.engine->qmFetchSettingsWithPushClId(isValidString(pushClickID, true) ? pushClickID : Value());
}

// 24. Stored pushes and the badge.
void restoreStoredPushesAndBadge(StartUp& s) {
    Value storedPushes = s.store->read_qm_push_notifications_Data();
    s.module.setContainer("qmReadPushNotificationData", storedPushes ? storedPushes : Value::array());
    QMSDKPushBadgeHandler::sharedInstance().qmClearPushNottificationBadgeCountNumber();
}

}  // namespace

void quelmarDelegate::quelmarEventsResponseCallback(const Value&) { delegateCallbackAbsent = true; }
void quelmarDelegate::QuelmarGetEventResponseWithUserInfo(const Value&) { delegateCallbackAbsent = true; }

quelmar& quelmar::sharedInstance() {
    static NoDestructor<quelmar> instance;
    return *instance;
}

void quelmar::sendDataToEventsCallbackDelegate(const Value& result) {
    platform::Queue::main().async([this, result] {
        auto target = delegate.lock();
        if (!target || result.count() == 0) return;
        delegateCallbackAbsent = false;
        target->quelmarEventsResponseCallback(result);
        if (!delegateCallbackAbsent) return;
        delegateCallbackAbsent = false;
        target->QuelmarGetEventResponseWithUserInfo(result);
        delegateCallbackAbsent = false;
    });
}

void quelmar::Initialize(const Value& mode) {
    qmCheckMainThread("Initialize");
    StartUp startUp;
    if (!readAccountIdentifiers(startUp)) return;
    createEngine(startUp);
    wipeDataOnBrandChange(startUp);
    prepareAppGroup(startUp);
    resetPerLaunchState(startUp);
    storeMode(startUp, mode);
    resetFlags(startUp);
    storeIdentifiers(startUp);
    countLaunch(startUp);
    startAttribution(startUp);
    refreshSessionRecords(startUp);
    clearStoredPushData(startUp);
    startSettingsFetch(startUp);
    restoreStoredPushesAndBadge(startUp);

    // 25. The launch event.
    trackEvents("app_launch", Value(), "10", 2);
}

bool quelmar::stop(double timeoutSeconds) { return QMRuntime::shared().stop(timeoutSeconds, true); }

// Life cycle ----------------------------------------------------------------------------

void quelmar::applicationDidEnterBackground(const std::shared_ptr<platform::Application>&) {
    qmGetFilteredData::sharedInstance().qmSetLastSessionTimeForApp();
}
void quelmar::sceneDidEnterBackground(const std::shared_ptr<platform::Scene>&) { applicationDidEnterBackground(nullptr); }
void quelmar::applicationWillEnterForeground(const std::shared_ptr<platform::Application>&) {
    qmGetFilteredData::sharedInstance().qmCheckCookiesExpiryWithLastSession();
    if (auto e = engine()) e->qmRetrySettingsFetchIfNeeded();
}
void quelmar::sceneWillEnterForeground(const std::shared_ptr<platform::Scene>&) { applicationWillEnterForeground(nullptr); }
void quelmar::applicationDidBecomeActive(const std::shared_ptr<platform::Application>&) {}
void quelmar::sceneDidBecomeActive(const std::shared_ptr<platform::Scene>&) {}
void quelmar::applicationWillTerminate() {
    qmGetFilteredData::sharedInstance().qmSetLastSessionTimeForApp();
    QMRuntime::shared().qmStoreData()->clearCachedData();
    // The process ends after this call: the queued file work is given a moment to finish.
    QMSDKDataStore::qmFinishPendingFileWork(kTerminateFileWorkSeconds);
}

// Tracking -------------------------------------------------------------------------------

void quelmar::trackEvents(const Value& eventName, const Value& attributes, const Value& lifetimeValue, long scope) {
    if (auto e = engine()) e->trackEvents(eventName, attributes.count() > 0 ? attributes : Value(), lifetimeValue, scope);
}

// In-app campaigns ------------------------------------------------------------------------

void quelmar::Show(const Value& userTokens, const Value& customRule) {
    qmCheckMainThread("Show");
    QMLog(QMLogLevelInfo, "Show method triggered");
    auto e = engine();
    if (!e) return;
    if (!e->fetchBrandSettingsComplete()) {
        Value userInfo{{"function", "show"}};
        if (userTokens.count() > 0) userInfo.set("UserTokens", userTokens);
        if (customRule.count() > 0) userInfo.set("customRule", customRule);
        auto timer = platform::Timer::scheduled(1.0, true, [](platform::Timer& t) { checkSetupComplete(t); }, userInfo);
        timer->fire();
        return;
    }
    e->qmShowInAppNotificationsWithUserTokens(userTokens, customRule);
}

void quelmar::checkSetupComplete(platform::Timer& timer) {
    auto e = engine();
    const Value userInfo = timer.userInfo();
    auto& module = QMRuntime::shared();
    if (e && e->fetchBrandSettingsComplete()) {
        if (userInfo["function"].description() == "show") {
            timer.invalidate();
            Value tokens = userInfo["UserTokens"];
            Value rule = userInfo["customRule"];
            Show(tokens ? tokens : Value::dictionary(), rule ? rule : Value::dictionary());
        }
        return;
    }
    if (module._qmInAppBannerSettingsTimerCount > 20) {
        timer.invalidate();
    } else {
        ++module._qmInAppBannerSettingsTimerCount;
    }
}

void quelmar::checkPushSettingComplete(platform::Timer& timer) {
    auto e = engine();
    const Value userInfo = timer.userInfo();
    auto& module = QMRuntime::shared();
    if (e && e->fetchPushSettingsComplete()) {
        if (userInfo["function"].description() == "pushsettings") {
            timer.invalidate();
            DidRegisteredNotification(nullptr, userInfo["qm_deviceToken"]);
        }
        return;
    }
    if (module._qmFetchPushSettingTimer > 20) {
        timer.invalidate();
    } else {
        ++module._qmFetchPushSettingTimer;
    }
}

void quelmar::scrollViewDidScroll(const std::shared_ptr<platform::ScrollView>& scrollView) {
    auto e = engine();
    if (!e || !scrollView) return;
    e->qmScrollViewDidScroll(scrollView->contentOffset().y, scrollView->contentSize().height,
                             scrollView->frame().height);
}
void quelmar::DismissAllQuelmarInAppNotifications() {
    // The views belong to the main thread: a call from elsewhere is handed over to it.
    if (!platform::RunLoop::main().isMainThread()) {
        platform::Queue::main().async([] { DismissAllQuelmarInAppNotifications(); });
        return;
    }
    if (auto e = engine()) e->qmDismissAllInAppNotifications();
}
bool quelmar::isScrolled(const Value& notificationID) const {
    return qmGetFilteredData::sharedInstance().qmTrackBannerSurveyIsScrolledForNID(notificationID);
}

void quelmar::StopInAppNotifications() {
    if (auto e = engine()) e->qmStopInAppNotifications();
}
void quelmar::requestAppleAppStoreInAppReview() { platform::StoreReview::requestReview(); }

// Push notifications ----------------------------------------------------------------------

void quelmar::DidRegisteredNotification(const std::shared_ptr<platform::Application>&, const Value& deviceToken) {
    auto e = engine();
    if (!e) return;
    if (!e->fetchPushSettingsComplete()) {
        Value userInfo{{"function", "pushsettings"}};
        if (deviceToken.count() > 0) userInfo.set("qm_deviceToken", deviceToken);
        auto timer = platform::Timer::scheduled(1.0, true, [](platform::Timer& t) { checkPushSettingComplete(t); }, userInfo);
        timer->fire();
        return;
    }
    e->qmSubscribeWithDeviceToken(deviceToken);
}

Value quelmar::getPushRegistrationToken() {
    const Value token = QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_deviceID", QMStore::Library);
    return isValidString(token) ? Value(token.description()) : Value();
}
void quelmar::schedulePushNotificationwithNotificationID(const Value& notificationID, const Value& tag,
                                                         const Value& timeInSeconds, const Value& title,
                                                         const Value& message, const Value& url, const Value& icon) {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    const long long brandID = prefs.qmIntegerForKey("qm_brandID", QMStore::Library);
    const Value secretKey = prefs.qmObjectForKey("qm_encryptedKey", QMStore::Library);
    const Value pushToken = prefs.qmObjectForKey("qm_deviceID", QMStore::Library);
    const Value userAgent = prefs.qmObjectForKey("qm_secretAgent", QMStore::Library);
    if (brandID == 0 || !isValidString(secretKey) || !isValidString(tag) || !isValidString(notificationID) ||
        !isValidString(timeInSeconds) || !isValidString(pushToken)) {
        QMLog(QMLogLevelError,
              "brandId, secretKey, notificationId, time, subcriptionID and tag are compulsory may be any one of it is "
              "empty or nil please check qmBrandID and qmSecretKey are set into your application's info.plist file "
              "and check push notification enabled in your quelmar account settings to schedule push notification");
        return;
    }
    auto e = qmInternalProcessClass::sharedInstance();
    platform::Queue::global().async([e, notificationID, tag, timeInSeconds, title, message, url, icon, pushToken, userAgent] {
        // Each value is encoded on its own, so an "&" in a title or message stays in it.
        std::string params = e->qmGetDefaultPostParamsWithDeviceIDType(0, 0);
        params += qmFormField("notificationID", notificationID) + qmFormField("subscriptionID", pushToken) +
                  qmFormField("title", title) + qmFormField("message", message) + qmFormField("tag", tag) +
                  qmFormField("url", url) + qmFormField("time", timeInSeconds) + qmFormField("icon", icon);
        e->qmHitAPIWithPOSTRequestforUrlString(
            Value(QMSDKNetworkManager::sharedInstance().qmSchedulePushNotificationApiURLString()), userAgent,
            Value(params), 1,
            // Main queue.
            [](const Value& answer) {
                if (answer.count() == 0) return;
                if (answer["Authentication"].description() == "success") {
                    QMLog(QMLogLevelInfo, "Push notification is successfully scheduled.");
                } else {
                    QMLog(QMLogLevelError,
                          "Authentication failed to schedule a push notification. Please check your internet connection.");
                }
            },
            // Main queue, before the completion.
            [](const std::optional<platform::Error>& error) {
                if (!error) return;
                const Value description(error->description());
                if (!isValidString(description)) return;
                QMLog(QMLogLevelError,
                      "Authentication failed to schedule a push notification request with the error description: %@",
                      description);
            });
    });
}

void quelmar::stopGeofencePushforDateTime(const Value& dateTime, long additionalHours) {
    if (!isValidString(dateTime)) return;
    auto& utility = qmGetFilteredData::sharedInstance();
    const Value dateText(dateTime.description());
    const std::string pattern = utility.checkDateformatForDateString(dateText);
    const std::string start =
        platform::DateFormatter(pattern, platform::TimeZone::currentIdentifier(), "en_US_POSIX").string(platform::Clock::currentDate());
    const auto minutes = utility.TimeIntervalFromFutureDate(dateText, pattern);
    if (!minutes) {
        QMLog(QMLogLevelError, "Given Date, time %@ is not in a supported format", dateText);
        return;
    }
    if (*minutes < 0) {
        QMLog(QMLogLevelError, "Given Date, time can not be less than current date time");
        return;
    }
    // A block longer than a century is a century: the sum stays representable.
    constexpr long long kLongestHours = 100LL * 366 * 24;
    const long long hours = std::clamp<long long>(additionalHours, -kLongestHours, kLongestHours);
    const long long length = *minutes + hours * 60;
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    prefs.qmSetString(Value(start), "qm_GeoTransactionalEventStoredDate", QMStore::Library);
    prefs.qmSetInteger(length, "qm_blockGeofencePushForHours", QMStore::Library);
    prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
    QMLog(QMLogLevelInfo, "Geofence Push has been stopped for %ld hour(s) from now", static_cast<long>(length / 60));
}

void quelmar::updatePushBadgeNumberWithValue(long valueType) {
    QMSDKPushBadgeHandler::sharedInstance().qmUpdatePushBadgeNumberWithValueType(valueType);
}

// Inbox -------------------------------------------------------------------------------------

void quelmar::notificationCenter() { warnNotAvailable("notificationCenter", kInbox); }
void quelmar::notificationCenterWithConfiguration(const std::shared_ptr<QMCenterStyleConfig>&) {
    warnNotAvailable("notificationCenterWithConfiguration", kInbox);
}
void quelmar::QuelmarNotificationCentre() { notificationCenter(); }
void quelmar::GetNotificationCentreData(std::function<void(const Value&)> completion) {
    warnNotAvailable("GetNotificationCentreData", kInbox);
    answerOnMain(std::move(completion), Value::array());
}
void quelmar::getNotificationCenterData(std::function<void(const Value&)> completion) {
    warnNotAvailable("getNotificationCenterData", kInbox);
    answerOnMain(std::move(completion), Value{{"message", "no notification(s)"}, {"notifications", Value::array()}});
}
void quelmar::GetUnreadPushNotification(std::function<void(long)> completion) {
    warnNotAvailable("GetUnreadPushNotification", kInbox);
    answerOnMain(std::move(completion), 0L);
}
void quelmar::getNotificationCenterCountWithConfiguration(const std::shared_ptr<QMCenterStyleConfig>& configuration,
                                                          std::function<void(const Value&)> countResult) {
    warnNotAvailable("getNotificationCenterCountWithConfiguration", kInbox);
    Value counts{{"totalCount", 0}};
    if (configuration) {
        for (const char* tab : {"tabOneCount", "tabTwoCount", "tabThreeCount"}) counts.set(tab, 0);
    }
    answerOnMain(std::move(countResult), std::move(counts));
}

}  // namespace qm
