// Account settings: the click fetch, the install-or-update check, the settings fetch and
// applying its answer.
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMReachability.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/notification_center.hpp"
#include "quelmar/quelmar.hpp"

namespace qm {
namespace {

QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

const std::shared_ptr<QMSDKDataStore>& fileStore() { return QMRuntime::shared().qmStoreData(); }

// Requests go out with the web user agent found at start-up; it is kept as the agent of the
// last fetch too.
Value copyUserAgentForFetch() {
    Value agent = prefs().qmObjectForKey("qm_secretAgent", QMStore::Library);
    prefs().qmSetObject(agent, "qm_userAgent", QMStore::Library);
    return agent;
}

bool hasValidDescription(const std::optional<platform::Error>& error) {
    return error && isValidString(Value(error->description()));
}

// A member that is a dictionary with entries and whose "data" has entries.
bool hasData(const Value& member) { return member.isDictionary() && member.count() > 0 && member["data"].count() > 0; }

// The service's "Authentication" must be the text "success" itself; other types fail.
bool isAuthenticated(const Value& data) { return data["Authentication"] == Value("success"); }

// YES when the "%@" text of `status` is valid and reads as the integer 1.
bool statusIsOn(const Value& status) {
    const Value text(status.description());
    return isValidString(text) && text.integerValue() == 1;
}

}  // namespace

void qmInternalProcessClass::fetchClick() {
    const Value userAgent = copyUserAgentForFetch();
    // The runtime owns the engine through a shared pointer.
    if (auto self = weak_from_this().lock()) {
        platform::Queue::global().async([self, userAgent, launch = qmLaunchGeneration()] {
            // Runs on a global queue; the handlers below run on the main queue.
            self->qmHitAPIWithPOSTRequestforUrlString(
                Value(QMSDKNetworkManager::sharedInstance().qmGetFetchClicksApiURLString()), userAgent,
                Value(self->qmGetDefaultPostParamsWithDeviceIDType(0, 1)), 1,
                [self, launch](const Value& response) {
                    if (launch != self->qmLaunchGeneration()) return;  // asked by an earlier launch
                    if (response.count() == 0) {
                        QMLog(QMLogLevelError,
                              "Invalid authentication, analytics could not be completed. Kindly check your internet "
                              "connection and retry again");
                        return;
                    }
                    if (response["Authentication"].description() != "success") return;
                    if (response.contains("qm_anal_id")) self->qm_anal_id.set(Value(response["qm_anal_id"].description()));
                    prefs().qmSetObject(self->qm_anal_id.get(), "qm_anal_id", QMStore::Both);
                    prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Both);
                    self->_fetchClickComplete = true;
                },
                [](const std::optional<platform::Error>& error) {
                    if (!hasValidDescription(error)) return;
                    QMLog(QMLogLevelError, "Authentication failed, analytics could not be completed. Error description: %@",
                          error->description());
                });
        });
    }
    qmCheckAppInstallOrUpdate();
}

void qmInternalProcessClass::qmCheckAppInstallOrUpdate() {
    qm_IP_Mode.set(prefs().qmObjectForKey("qm_AppMode", QMStore::Library));
    const Value currentVersion = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    const Value stored = prefs().qmObjectForKey("qm_appVersion", QMStore::Library);
    const Value storedVersion = stored ? Value(stored.description()) : Value();

    if (isValidString(storedVersion) && storedVersion.description() == currentVersion.description()) {
        QMLog(QMLogLevelInfo, "Neither install nor an update. So no specific event will execute to track this state");
        // An install or update that an earlier launch detected but never got to the service
        // (and that no longer waits in the deferred queue) is tracked again.
        const Value pending = prefs().qmObjectForKey(kPendingVersionEventKey, QMStore::Library);
        const Value name = pending["name"];
        if (isValidString(name) && !qmGetFilteredData::sharedInstance().qmHasWaitingEventNamed(name)) {
            QMLog(QMLogLevelInfo, "The %@ event of an earlier launch was not sent; tracking it again.", name);
            quelmar::trackEvents(name, Value(), Value(), static_cast<long>(pending["scope"].integerValue()));
        }
    } else {
        const bool update = isValidString(storedVersion);
        QMLog(QMLogLevelInfo, update ? "A new version has been updated." : "First install");
        const Value pending{{"name", update ? "update" : "install"}, {"scope", update ? 1 : 3}};
        prefs().qmSetObject(pending, kPendingVersionEventKey, QMStore::Library);
        quelmar::trackEvents(pending["name"], Value(), Value(), static_cast<long>(pending["scope"].integerValue()));
        prefs().qmSetObject(currentVersion, "qm_appVersion", QMStore::Library);
    }
    prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Library);
}

void qmInternalProcessClass::qmFetchSettingsWithPushClId(const Value& pushClickID) {
    const Value userAgent = copyUserAgentForFetch();
    auto self = weak_from_this().lock();
    if (!self) return;
    platform::Queue::global().async([self, userAgent, pushClickID, launch = qmLaunchGeneration()] {
        // Runs on a global queue. The stored campaigns stay as they are until an answer
        // replaces them: a fetch that fails (or one started again while an earlier answer is
        // being applied) must not leave the app without its campaigns.
        QMLog(QMLogLevelInfo, "Fetching the account settings.");
        std::string params = self->qmGetDefaultPostParamsWithDeviceIDType(0, 0);
        const Value userID = prefs().qmObjectForKey("qm_userID", QMStore::Library);
        if (isValidString(userID)) params += qmFormField("userID", userID);
        const Value utm = QMRuntime::shared().qmFinalUTMParamsDict.get();
        if (utm.count() > 0) {
            if (auto utmText = platform::json::write(utm)) params += qmFormField("utm_params", Value(*utmText));
        }
        const Value url(QMSDKNetworkManager::sharedInstance().qmGetFetchSettingsApiURLString());

        if (isValidString(pushClickID, true)) {
            // The answer reaches qmUpdateSettingsFetchedFromServerWithResponseDict through the
            // background session's delegate, on the main queue.
            params += qmFormField("_qm_pu_clid", pushClickID);
            self->qmHitAPIRequestWithBackgroundSupportforUrlString(url, userAgent, Value(params), 1,
                                                                   format("qmSessionBgTaskSettings_puClid_%@", pushClickID));
            return;
        }
        self->qmPostRequest(url, userAgent, Value(params), 1, [self, pushClickID, launch](const QMPostResult& result) {
            // Main queue. A new start-up fetches again for itself.
            if (launch != self->qmLaunchGeneration()) return;
            std::optional<platform::Error> error = result.transportError;
            if (!error && !result.answer) error = qmJSONParseError();
            if (error) {
                if (hasValidDescription(error)) {
                    QMLog(QMLogLevelError, "Authentication failed for settings request with error description: %@",
                          error->description());
                }
            } else if (result.statusCode >= 500 || result.statusCode == 429) {
                QMLog(QMLogLevelError, "Settings request failed with HTTP status %ld", result.statusCode);
            } else if (result.answer->isDictionary() && result.answer->count() > 0) {
                self->qmUpdateSettingsFetchedFromServerWithResponseDict(*result.answer);
                return;
            } else {
                QMLog(QMLogLevelError, "Settings request got an empty answer");
            }
            self->qmSettingsFetchFailed(pushClickID, launch);
        });
    });
}

qmInternalProcessClass::~qmInternalProcessClass() { qmStopSettingsRetries(); }

void qmInternalProcessClass::qmBeginLaunch() {
    ++launchGeneration_;
    qmStopSettingsRetries();
    {
        std::lock_guard lock(settingsRetryMutex_);
        settingsFailures_ = 0;
    }
    qmSettingsAnswerApplied = false;
    _fetchClickComplete = false;
    _fetchBrandSettingsComplete = false;
    _fetchPushSettingsComplete = false;
    _fetchBotSettingsComplete = false;
    // What the previous launch's settings answer left behind.
    qm_IP_Mode.set(Value());
    qmGeoData.set(Value());
    qmScrollActiveNotification.set(Value());
}

void qmInternalProcessClass::qmEndLaunch() {
    ++launchGeneration_;
    qmStopSettingsRetries();
}

void qmInternalProcessClass::qmSettingsFetchFailed(const Value& pushClickID, std::uint64_t launch) {
    // A later fetch may have brought an answer already; a new start-up (or the stop) leaves
    // the retries to itself.
    if (qmSettingsAnswerApplied || launch != qmLaunchGeneration() || !QMRuntime::shared().startedUp()) return;
    double wait = 0;
    std::uint64_t generation = 0;
    bool watchNetwork = false;
    std::shared_ptr<QMReachability> reachability;
    {
        std::lock_guard lock(settingsRetryMutex_);
        wait = std::min(kSettingsRetryLongestWait, kSettingsRetryFirstWait * std::pow(2.0, std::min(settingsFailures_, 16)));
        ++settingsFailures_;
        generation = ++settingsRetryGeneration_;
        settingsRetryWaiting_ = true;
        settingsRetryPushClickID_ = pushClickID;
        watchNetwork = !settingsReachability_;
        if (watchNetwork) {
            auto& network = QMSDKNetworkManager::sharedInstance();
            settingsReachability_ =
                QMReachability::qmReachabilityWithHostName(network.qmMobileApiSubdomain() + "." + network.serviceDomain());
            reachability = settingsReachability_;
        }
    }
    QMLog(QMLogLevelInfo, "Settings will be requested again in %ld seconds", static_cast<long>(wait));
    std::weak_ptr<qmInternalProcessClass> weak = weak_from_this();
    if (watchNetwork) {
        // The notifier posts from the main run loop when the status changes.
        const auto observer = platform::NotificationCenter::defaultCenter().addObserver(
            qm_kReachabilityChangedNotification, [weak, reachability](const platform::Notification& note) {
                if (note.object != reachability.get() || reachability->qmCurrentReachabilityStatus() == QMNotReachable) return;
                if (auto self = weak.lock()) self->qmRunSettingsRetry(std::nullopt);
            });
        {
            std::lock_guard lock(settingsRetryMutex_);
            settingsReachabilityObserver_ = observer;
        }
        reachability->startNotifier();
    }
    platform::Queue::main().asyncAfter(wait, [weak, generation] {
        if (auto self = weak.lock()) self->qmRunSettingsRetry(generation);
    });
}

void qmInternalProcessClass::qmRetrySettingsFetchIfNeeded() { qmRunSettingsRetry(std::nullopt); }

// Runs the waiting retry now; a timed retry (with its generation) only while it is the
// latest one scheduled.
void qmInternalProcessClass::qmRunSettingsRetry(std::optional<std::uint64_t> generation) {
    Value pushClickID;
    {
        std::lock_guard lock(settingsRetryMutex_);
        if (!settingsRetryWaiting_ || (generation && *generation != settingsRetryGeneration_)) return;
        settingsRetryWaiting_ = false;
        ++settingsRetryGeneration_;
        pushClickID = settingsRetryPushClickID_;
    }
    if (qmSettingsAnswerApplied || !QMRuntime::shared().startedUp()) return;
    qmFetchSettingsWithPushClId(pushClickID);
}

void qmInternalProcessClass::qmStopSettingsRetries() {
    std::shared_ptr<QMReachability> reachability;
    std::uint64_t observer = 0;
    {
        std::lock_guard lock(settingsRetryMutex_);
        settingsRetryWaiting_ = false;
        ++settingsRetryGeneration_;
        reachability = std::move(settingsReachability_);
        observer = std::exchange(settingsReachabilityObserver_, 0);
    }
    // Outside the lock: the notification center and the notifier's timer take their own.
    if (observer) platform::NotificationCenter::defaultCenter().removeObserver(observer);
    if (reachability) reachability->stopNotifier();
}

// Runs on the main queue.
void qmInternalProcessClass::qmUpdateSettingsFetchedFromServerWithResponseDict(const Value& response) {
    _qmCurrentPushClID.set(Value(""));
    // Only a dictionary with entries is an answer; anything else is treated as empty.
    if (!response.isDictionary() || response.count() == 0) return;
    auto& module = QMRuntime::shared();
    qmSettingsAnswerApplied = true;
    qmStopSettingsRetries();

    // In-app campaigns.
    const Value& banner = response["banner"];
    if (hasData(banner)) {
        const Value& data = banner["data"];
        // The headless host has no screen yet: the size is recorded as zero.
        module.qm_temp_ScreenWidth = 0.0;
        module.qm_temp_ScreenHeight = 0.0;
        qmScrollActiveNotification.set(Value::array());
        if (isAuthenticated(data)) {
            fileStore()->write_qm_notifications_bID_Data(data);
            _fetchBrandSettingsComplete = true;
        } else {
            // The service refused this account's campaigns: the stored ones are not to be
            // shown any longer.
            fileStore()->clear_qm_notifications_bID_Data();
            _fetchBrandSettingsComplete = true;
            QMLog(QMLogLevelError, "Invalid authentication for retrieving InApp Banner or Survey notifications");
        }
    }

    // Push switch and geofences.
    const Value& push = response["push"];
    if (hasData(push)) {
        const Value& data = push["data"];
        if (!prefs().qmBoolForKey("qm_PushStatusActive", QMStore::Library))
            prefs().qmSetBOOL(true, "qm_PushStatusActive", QMStore::Library);
        if (isAuthenticated(data)) {
            const Value& details = data["push_details"];
            if (details.count() > 0) {
                const Value& ios = details["ios"];
                const bool active = !isValidString(ios) || Value(ios.description()).integerValue() == 1;
                prefs().qmSetBOOL(active, "qm_PushStatusActive", QMStore::Library);
                prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Library);
                if (details.contains("geofence")) {
                    qmGeoData.set(Value::array());
                    if (details["geofence"].count() > 0) qmGeoData.set(details["geofence"]);
                    fileStore()->write_qm_Geofencing(qmGeoData.get());
                }
                _fetchPushSettingsComplete = true;
            }
        } else {
            _fetchPushSettingsComplete = true;
            QMLog(QMLogLevelError, "Invalid authentication for retrieving push notification settings");
        }
    }

    // Life-cycle events and the service-side log switch.
    const Value& events = response["events"];
    if (events.isDictionary() && events.count() > 0) {
        prefs().qmSetBOOL(statusIsOn(events["status"]), "qm_LifeCycleEventsStatus", QMStore::Library);
        prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Library);
    }
    const Value& logs = response["logs"];
    if (logs.isDictionary() && logs.count() > 0) {
        prefs().qmSetBOOL(statusIsOn(logs["status"]), "qm_LogsSettingStatus", QMStore::Library);
        prefs().qmSynchronizeIntoUserDefaultsType(QMStore::Library);
    }

    // Chat bot.
    const Value& bot = response["bot"];
    if (hasData(bot)) {
        const Value& data = bot["data"];
        fileStore()->clear_qm_BotData();
        if (isAuthenticated(data)) {
            fileStore()->write_qm_BotData(data);
            _fetchBotSettingsComplete = true;
        } else {
            _fetchBotSettingsComplete = true;
            QMLog(QMLogLevelError, "Invalid authentication for retrieving chatBot settings");
        }
    }

    // Campaign attribution: the service's user id and cookies.
    const Value& campaignCookie = response["campaignCookie"];
    if (campaignCookie.isDictionary() && campaignCookie.count() > 0) {
        const Value uuid(campaignCookie["uuid"].description());
        if (isValidString(uuid, true)) module.qmUIDFinalStr.set(uuid);
        qmGetFilteredData::sharedInstance().qmSetCampaignCookiesWithCampaignData(campaignCookie);
    }

    qmGetFilteredData::sharedInstance().qmExecuteWaitingFunctions();
}

}  // namespace qm
