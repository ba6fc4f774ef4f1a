// The engine: network work, settings, in-app views and rules, statistics, script bridge
// and action routing. There is one engine, owned by the runtime (QMRuntime) for the whole
// process; each start-up resets its per-launch state (qmBeginLaunch).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/Guarded.hpp"
#include "core/QMTypes.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/url.hpp"
#include "quelmar/value.hpp"

namespace qm {
namespace platform {
class Operation;
class OperationQueue;
class URLSession;
class URLSessionTask;
}  // namespace platform

class QMReachability;
namespace inapp {
struct CampaignFacts;
}

// Whether app-screen actions present the screen themselves (the host's
// "qmViewAutoRedirection", YES when absent); refreshed on every app-screen action.
extern std::atomic<bool> qm_is_ViewAutoRedirectEnable;

class qmInternalProcessClass : public std::enable_shared_from_this<qmInternalProcessClass> {
public:
    // The runtime's engine.
    static std::shared_ptr<qmInternalProcessClass> sharedInstance();

    // A start-up begins: the set-up flags go back to NO, retries of the previous launch stop
    // and answers to its requests are no longer applied.
    void qmBeginLaunch();
    // The orderly stop: retries and network watching end; answers still arriving are dropped.
    void qmEndLaunch();
    // Counts start-ups; a request's answer is applied only within the launch that asked.
    std::uint64_t qmLaunchGeneration() const { return launchGeneration_.load(); }

    // Set-up flags: NO after start-up, YES once the matching answer has been applied. Only
    // the engine sets them.
    bool fetchClickComplete() const { return _fetchClickComplete.load(); }
    bool fetchBrandSettingsComplete() const { return _fetchBrandSettingsComplete.load(); }
    bool fetchPushSettingsComplete() const { return _fetchPushSettingsComplete.load(); }
    bool fetchBotSettingsComplete() const { return _fetchBotSettingsComplete.load(); }

    // Text and dictionary state, read from background completions too.
    Guarded<Value> qmLanguage;
    Guarded<Value> qm_anal_id;
    Guarded<Value> _qmCurrentPushClID;
    Guarded<Value> qmLastNidClickedForEvent;

    Guarded<Value> qm_IP_Mode;
    Guarded<Value> qmGeoData;                   // geofence records of the last settings answer
    Guarded<Value> qmScrollActiveNotification;  // campaigns waiting for the on-scroll trigger

    // Transport ----------------------------------------------------------------------------
    // Answers run on the main queue: the failure handler first (nothing after a successful
    // exchange), then the completion handler with the parsed JSON answer (nothing when the
    // body was not JSON).
    using QMCompletionHandler = std::function<void(const Value& response)>;
    using QMFailureHandler = std::function<void(const std::optional<platform::Error>& error)>;

    // The common parameter text every request starts with; device-id type 1 names the field
    // "device_id" (else "deviceID"), package-id type 1 names it "package" (else "mobile_app_id").
    std::string qmGetDefaultPostParamsWithDeviceIDType(long deviceIDType, long packageIDType);
    void qmHitAPIWithPOSTRequestforUrlString(const Value& urlString, const Value& userAgent, const Value& paramStrings,
                                             long headerContentType, QMCompletionHandler completionHandler,
                                             QMFailureHandler failuerHandler);
    // The same exchange with its whole outcome in one handler (main queue): the transport
    // error, else the HTTP status and the parsed answer (nothing when the body is not JSON).
    struct QMPostResult {
        std::optional<platform::Error> transportError;
        long statusCode = 0;
        std::optional<Value> answer;
    };
    // The error a body that is not JSON gives (the platform's JSON reader error 3840).
    static platform::Error qmJSONParseError();
    void qmPostRequest(const Value& urlString, const Value& userAgent, const Value& paramStrings, long headerContentType,
                       std::function<void(const QMPostResult&)> handler);
    // The same request on a background session that survives the process; its answer goes to
    // URLSession(...).
    void qmHitAPIRequestWithBackgroundSupportforUrlString(const Value& urlString, const Value& userAgent,
                                                          const Value& paramStrings, long headerContentType,
                                                          const std::string& backgroundConfigID);
    // Background answers (push statistics, settings fetched with a push click id).
    void URLSession(platform::URLSession& session, platform::URLSessionTask& downloadTask, const std::string& location);
    // A background request the session gave up on (settings are then fetched again later).
    void qmBackgroundTaskDidFail(platform::URLSession& session);
    // Re-creates the background sessions whose requests an earlier process left unsent.
    void qmResumePendingBackgroundRequests();
    // Applies a settings answer (the account-settings step fills this in).
    void qmUpdateSettingsFetchedFromServerWithResponseDict(const Value& response);

    // Wipes every stored file and library preference (brand change).
    void resetQuelmar_iOS_SDK();

    // Account settings and attribution.
    // The install or update event detected by the version check until the service has
    // answered it: {"name", "scope"} in the library suite.
    static constexpr const char* kPendingVersionEventKey = "qm_pendingVersionEvent";
    void fetchClick();
    void qmCheckAppInstallOrUpdate();
    void qmFetchSettingsWithPushClId(const Value& pushClickID);

    // A settings fetch that brings no answer (a transport error, a 5xx or 429 status, a body
    // that is empty or not JSON) is tried again while the app runs: after a wait that doubles
    // from 2 seconds up to 5 minutes, and at once when the app comes to the foreground or the
    // network comes back. Main queue.
    static constexpr double kSettingsRetryFirstWait = 2;
    static constexpr double kSettingsRetryLongestWait = 300;
    void qmRetrySettingsFetchIfNeeded();
    // YES once this launch has applied a settings answer with entries.
    bool settingsAnswerApplied() const { return qmSettingsAnswerApplied.load(); }
    ~qmInternalProcessClass();

    // Event tracking.
    void trackEvents(const Value& eventName, const Value& attributes, const Value& lifetimeValue, long scope);
    void qmCheckTransactionalEventsForEventName(const Value& eventName);

    // Push: trims the extension's received-push list; subscribes a device token.
    void qmClearPushViewCountDataFromAppGroupStorage();
    // Push statistics (push/qmPushStatistics.cpp): a view or click of a push ("views",
    // "clicks") or an inbox entry ("inbox_view", "inbox_push_view", "inbox_click") reported to
    // `statsApiUrl` (the default statistics URL when it is not a valid URL text). Clicks go
    // through a background session that survives the process; "clicks" also counts the
    // badge down. A call-to-action value of 5000 sends no clickType. Returns at once; the
    // values it sends are read first from the library suite, then from the app group. Any
    // thread; callable on an engine of the caller's own (a notification-service extension).
    void PushNotificationStatisticsWithStatsApiUrl(const Value& statsApiUrl, const Value& notificationID,
                                                   const Value& type, const Value& sID, long calltoActionValue);
    void qmSubscribeWithDeviceToken(const Value& deviceToken);
    // Pushes (qmPushClicks.cpp): a coupon code onto the pasteboard (main queue), and a push's
    // buttons as the one notification category `categoryName` (nothing without a name or
    // data).
    void qmCopyCouponCodeToClipboard(const Value& code);
    void setUserActionForCategoryName(const Value& categoryName, const Value& ctaData);

    // In-app display once settings are in (after the set-up gate): the stored campaigns of
    // the current screen are evaluated on a global queue (main thread).
    void qmShowInAppNotificationsWithUserTokens(const Value& userTokens, const Value& customRule);
    // The class name of the screen of the last display request (statistics report it).
    Guarded<Value> qmAppVcName;
    // Daily reset, validations, counters and tokens for each campaign, in list order; the last
    // campaign that passes is queued for display (earlier pending ones are cancelled), and
    // on-scroll campaigns wait in qmScrollActiveNotification. Any thread.
    void qmCheckInAppNotificatonRulesWithUserToken(const Value& userTokens, const Value& customRule,
                                                   const Value& campaigns);
    // Cancels every display request not yet shown.
    void qmStopInAppNotifications();
    // Counts a display in this launch.
    void qmInAppNotificationViewLaunchCountWithNotificationID(const Value& notificationID);
    // Shows an on-scroll campaign at once (main queue).
    void qmCreateInAppNotificationAfterScroll(const Value& campaign);
    // The scroll hook with the scroll view's vertical offset, content height and frame height
    // (main queue).
    void qmScrollViewDidScroll(double offsetY, double contentHeight, double frameHeight);
    // After a close (0) or a call-to-action click (1): hides the campaign for its
    // "repeat_close"/"repeat_click" days (500 for good, 501 not at all, 0 for this launch).
    void qmSetVaidationForPopupsButtonsClickforClickType(long clickType, const Value& notificationID);

    // In-app statistics and callbacks (qmInAppStatistics.cpp) ----------------------------------
    // Reports a display ("uniqueView", "view") or a click ("uniqueClick", "click") of a
    // campaign on a screen to the statistics endpoint; returns at once. A successful answer is
    // kept in the statistics file; failures are logged and never retried.
    void qmInAppStatisticsWithNotificationID(const Value& notificationID, const Value& action, const Value& pageUrl,
                                             const Value& templateID);
    // Tells the host app a campaign was shown ("Banner Impression", type 15.2).
    void qmTriggerInAppBannerImpressionCallbacktoDelegateWithNotificationID(const Value& notificationID);
    // Hands a campaign event to the host's event callback (main queue): the status code is 15
    // when it is not a number, "attributes" goes only when it has entries; nothing when the
    // event name or the message is not a valid string.
    void qmCallBackDataForInAppBannerWithEventName(const Value& eventName, const Value& message, const Value& attributes,
                                                   const Value& statusCode, const Value& callbackType);
    // {"notification_id"} and, with call-to-action data, "callToAction", "target", "actionURL"
    // (when there is one) and "action_params". Nothing when the id is not a valid string.
    static Value qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID(
        const Value& notificationID, bool shouldAttachCTAData, long calltoActionValue, long ctaTargetType,
        const Value& ctaActionURL, const Value& ctaParams);
    // Takes every in-app campaign off the screen (popup views and the survey in a modal)
    // without recording anything. Main queue (other threads are handed over to it).
    void qmDismissAllInAppNotifications();

    // Action routing (main queue) ------------------------------------------------------------
    // Targets: 0 a screen of the app (storyboard identifier; the host is told through the
    // notifications "QMInAppViewConroller" and "qmNotificationClickCallback"), 1 a web page,
    // 2 another app (falling back to the App Store URL), 3 share a text, 4 call a number.
    void performActionWithTarget(long target, const Value& destination, const Value& ituneUrl, const Value& notificationID,
                                 const Value& parameters, const Value& emailSubject, long ctaAction,
                                 const Value& templateType, std::function<void()> onShareCompleted = {});
    // Opens the URL on the main queue and tells the handler, also on the main queue; a URL
    // that cannot be opened gives the "qmActionUrl" error 410. The handler may be empty.
    using QMOpenURLHandler = std::function<void(bool success, const std::optional<platform::Error>& error)>;
    void qmNavigateToWebForUrl(const std::optional<platform::URL>& url, QMOpenURLHandler complitionHandler);
    // The configuration messages for an empty destination (targets 0-4) and for a failed
    // action (error types 0-3); other numbers log nothing.
    void qmOnButtonActionWarnningOrErrorLogOnEmptyActionUrlforActionTarget(long target);
    void qmOnCTAEncounterInvalidActionURLErrorMessageWithErrorType(long errorType);

private:
    friend struct qmEngineTestAccess;  // tests put the engine into a set-up state directly

    std::atomic<bool> _fetchClickComplete{false};
    std::atomic<bool> _fetchBrandSettingsComplete{false};
    std::atomic<bool> _fetchPushSettingsComplete{false};
    std::atomic<bool> _fetchBotSettingsComplete{false};
    std::atomic<bool> qmSettingsAnswerApplied{false};
    std::atomic<std::uint64_t> launchGeneration_{0};

    // Display requests not yet shown; `myQueue_` hands them to the main queue.
    void qmQueueDisplayRequest(long templateValue, const Value& campaign, double delay);
    // The rule evaluation over campaigns whose facts were read already.
    void qmEvaluateCampaigns(const Value& userTokens, const Value& customRule,
                             const std::vector<std::pair<const Value*, const inapp::CampaignFacts*>>& campaigns);
    std::mutex displayMutex_;
    std::vector<std::shared_ptr<platform::Operation>> pendingDisplays_;
    std::unique_ptr<platform::OperationQueue> myQueue_;

    void qmSettingsFetchFailed(const Value& pushClickID, std::uint64_t launch);
    void qmRunSettingsRetry(std::optional<std::uint64_t> generation);
    void qmStopSettingsRetries();

    // Settings retry state, main queue mostly; guarded because fetches may start elsewhere.
    std::mutex settingsRetryMutex_;
    int settingsFailures_ = 0;
    std::uint64_t settingsRetryGeneration_ = 0;  // a scheduled retry runs only while current
    bool settingsRetryWaiting_ = false;
    Value settingsRetryPushClickID_;
    std::shared_ptr<QMReachability> settingsReachability_;
    std::uint64_t settingsReachabilityObserver_ = 0;
};

}  // namespace qm
