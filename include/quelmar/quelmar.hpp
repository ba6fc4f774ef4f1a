// quelmar: the library's public facade.
//
// The host app calls these class methods on its main thread: Initialize first (with the
// account identifiers "qmBrandID" and "qmSecretKey" in its Info.plist), then the life-cycle
// forwarders, tracking, in-app display, push and inbox entries. Callbacks into the host run
// on the main run loop, which the host pumps.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quelmar/value.hpp"
#include "quelmar/version.hpp"

namespace qm {

template <typename T>
class NoDestructor;

namespace platform {
class Application;
class Scene;
class SceneSession;
class ScrollView;
class Timer;
class UserNotification;
class UserNotificationResponse;
class UserNotificationRequest;
class MutableNotificationContent;
class NotificationContent;
class UserNotificationCenterDelegate;
}  // namespace platform

class QMCenterStyleConfig;

// Options a scene is connected with: the URLs it was opened with, first first.
struct SceneConnectionOptions {
    std::vector<std::string> urlContexts;
};

// The host's delegate. Every callback is optional: override the ones you want. Callbacks
// run on the main run loop.
class quelmarDelegate {
public:
    virtual ~quelmarDelegate() = default;
    // Result records of events, in-app and push activity.
    virtual void quelmarEventsResponseCallback(const Value& userInfo);
    // Called instead, with the same record, when quelmarEventsResponseCallback is not overridden.
    virtual void QuelmarGetEventResponseWithUserInfo(const Value& userInfo);
};

class quelmar {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    // Results handed to the notification callbacks.
    static constexpr unsigned long kFetchResultNewData = 0;
    static constexpr unsigned long kFetchResultNoData = 1;
    static constexpr unsigned long kFetchResultFailed = 2;
    static constexpr unsigned long kPresentAlertSoundBadge = 7;         // badge 1, sound 2, alert 4
    static constexpr unsigned long kPresentBannerAlertSoundBadge = 23;  // and banner 16

    // The process-wide facade object; it only carries the delegate.
    static quelmar& sharedInstance();
    std::weak_ptr<quelmarDelegate> delegate;

    // Start-up with a mode text ("live", "debug", ...).
    static void Initialize(const Value& mode);
    // Ends the library in order, within `timeoutSeconds` of real time: calls made from now on
    // are ignored (as before Initialize); requests in flight get until the deadline to finish
    // (called on the main thread, their answers are applied: the main run loop is served
    // meanwhile), and then are cancelled, those of background sessions to be sent again at
    // the next launch, as are the calls still waiting for the account settings; file work and
    // preferences are written; the threads the library and its platform started are ended.
    // True when nothing had to be cut short. Also runs, without serving the main run loop,
    // when the process exits normally after Initialize. Initialize starts the library again.
    static bool stop(double timeoutSeconds = 5);

    // Application and scene life cycle.
    static void applicationDidEnterBackground(const std::shared_ptr<platform::Application>& application);
    static void sceneDidEnterBackground(const std::shared_ptr<platform::Scene>& scene);
    static void applicationWillEnterForeground(const std::shared_ptr<platform::Application>& application);
    static void sceneWillEnterForeground(const std::shared_ptr<platform::Scene>& scene);
    static void applicationDidBecomeActive(const std::shared_ptr<platform::Application>& application);
    static void sceneDidBecomeActive(const std::shared_ptr<platform::Scene>& scene);
    static void applicationWillTerminate();
    static void scene(const std::shared_ptr<platform::Scene>& scene, const std::shared_ptr<platform::SceneSession>& session,
                      const SceneConnectionOptions& options);
    static void scene(const std::shared_ptr<platform::Scene>& scene, const std::vector<std::string>& openURLContexts);

    // Deep links and campaign attribution.
    static void OpenUrlWithApplication(const std::shared_ptr<platform::Application>& application, const Value& url);
    static Value OpenUrlGetDataWithApplication(const std::shared_ptr<platform::Application>& application, const Value& url);

    // Tracking.
    static void trackEvents(const Value& eventName, const Value& attributes, const Value& lifetimeValue, long scope);
    static void UserIdentifier(const Value& userID, const Value& userParams);
    static void getQmUid(std::function<void(const Value& uid)> completion);

    // Entries whose feature is not part of this build (push handling, the inbox, in-app
    // dismissal) log once per process at WARNING that it is not available, and still call
    // their completion exactly once with the result documented beside them, so that an app or
    // its extension never waits for an answer that would not come. An empty completion is
    // skipped.

    // In-app campaigns.
    static void Show(const Value& userTokens, const Value& customRule);
    // Forward the app's scroll-view scrolling here: campaigns waiting for a scroll depth show
    // once it is reached. Main thread.
    static void scrollViewDidScroll(const std::shared_ptr<platform::ScrollView>& scrollView);
    // Whether the on-scroll trigger of that campaign has fired (on sharedInstance()).
    bool isScrolled(const Value& notificationID) const;
    static void DismissAllQuelmarInAppNotifications();
    static void StopInAppNotifications();
    static void requestAppleAppStoreInAppReview();

    // Push notifications. The app's notification delegate is handed in here; permission for
    // alert, sound and badge is asked and the app registers for pushes. Then the app hands
    // over its token (data) with DidRegisteredNotification, which subscribes it once.
    static void RegisterPushWithDelegate(const std::shared_ptr<platform::UserNotificationCenterDelegate>& delegate,
                                         const std::shared_ptr<platform::Application>& application,
                                         const Value& launchOptions);
    static void DidRegisteredNotification(const std::shared_ptr<platform::Application>& application, const Value& deviceToken);
    // The push token last accepted by the service ("qm_deviceID"), or nothing when none is
    // stored.
    static Value getPushRegistrationToken();
    static void pushPreferences(const Value& categories, bool isUnsubscribeFromAll);
    static void schedulePushNotificationwithNotificationID(const Value& notificationID, const Value& tag,
                                                           const Value& timeInSeconds, const Value& title,
                                                           const Value& message, const Value& url, const Value& icon);
    static void stopGeofencePushforDateTime(const Value& dateTime, long additionalHours);
    // 0 raises the library's badge count, 1 lowers it, 2 clears it and the icon's badge
    // (unless the Info.plist sets "qmDisableBadgeClearing"); other values do nothing.
    static void updatePushBadgeNumberWithValue(long valueType);
    // For the notification-service extension (on sharedInstance()): records that a push
    // arrived (returns at once; the bundle id is not used; ids longer than 256 characters are
    // not recorded), and the payload's "aps" with
    // "qm_pushViewID" set in its "qm_data" (an empty dictionary without "qm_data").
    void setReceivedPushInPreferenceWithNotificationID(const Value& notificationID, const Value& bundleID);
    Value pushPayloadWithPushViewID(const Value& payload, const Value& identifier);
    // In a notification-service extension, for every arriving push before it is shown. The
    // extension's Info.plist names the app group ("qmAppGroupKey" or "App Bundle identifier").
    // The library's pushes get their view id and the next badge number, their view reported,
    // their arrival recorded for the app, their buttons registered and their "mediaUrl"
    // downloaded and attached. contentHandler is called exactly once: on the calling thread
    // when there is nothing to download, else from the download's queue, with the changed
    // content (bestAttemptContent itself, or a copy with the attachment) or bestAttemptContent
    // as it was (a push that is not the library's, no app group, a failed download).
    static void LoadAttachmentWithRequest(
        const std::shared_ptr<platform::UserNotificationRequest>& request,
        const std::shared_ptr<platform::MutableNotificationContent>& bestAttemptContent,
        std::function<void(const std::shared_ptr<platform::NotificationContent>&)> contentHandler);
    static void didReceiveRemoteNotificationWithUserInfo(const Value& userInfo);
    // fetchCompletionHandler is called at once, on the calling thread, with kFetchResultNewData
    // (whatever the system version); the app must not call it as well.
    static void didReceiveRemoteNotification(const Value& userInfo, std::function<void(unsigned long result)> fetchCompletionHandler);
    // Every notification is shown while the app is in front (the inbox's cached list is dropped
    // for the library's pushes): completionHandler is called at once
    // with banner, alert, sound and badge (kPresentBannerAlertSoundBadge) from system version 14,
    // alert, sound and badge (kPresentAlertSoundBadge) before.
    static void willPresentNotification(const std::shared_ptr<platform::UserNotification>& notification,
                                        std::function<void(unsigned long options)> completionHandler);
    // A tap on a push or one of its buttons: reported, routed on the main queue, called back
    // ("Push_Clicked"). Pushes that are not the library's are left alone.
    static void didReceiveNotificationResponse(const std::shared_ptr<platform::UserNotificationResponse>& response);
    // What a tap on the push would do (target, destination, parameters, both buttons), after
    // the click is reported; nothing is routed. An empty dictionary for other pushes.
    static Value PushNotificationActionDataFromUserInfo(const Value& userInfo);
    // The same for a response, with "callToAction", or {"error": …}; clickResponseData is called
    // once, on the calling thread. With autoRedirectOtherApps, targets other than a screen
    // are routed on the main queue.
    static void PushNotificationActionDataFromResponse(const std::shared_ptr<platform::UserNotificationResponse>& response,
                                                       bool autoRedirectOtherApps,
                                                       std::function<void(const Value& clickResponseData)> clickResponseData);

    // Inbox.
    static void notificationCenter();
    static void notificationCenterWithConfiguration(const std::shared_ptr<QMCenterStyleConfig>& configuration);
    static void QuelmarNotificationCentre();
    // The inbox queries answer on the main run loop. Not built: an empty list; {"message":
    // "no notification(s)", "notifications": empty list}; 0; {"totalCount": 0} with, when a
    // configuration is given, "tabOneCount", "tabTwoCount" and "tabThreeCount" all 0.
    static void GetNotificationCentreData(std::function<void(const Value& entries)> completion);
    static void getNotificationCenterData(std::function<void(const Value& data)> completion);
    static void GetUnreadPushNotification(std::function<void(long count)> completion);
    static void getNotificationCenterCountWithConfiguration(const std::shared_ptr<QMCenterStyleConfig>& configuration,
                                                            std::function<void(const Value& counts)> countResult);

    // Set-up gate timer targets.
    static void checkSetupComplete(platform::Timer& timer);
    static void checkPushSettingComplete(platform::Timer& timer);

    // Hands a result record to the delegate on the main run loop.
    void sendDataToEventsCallbackDelegate(const Value& result);
    // The user-id wait: every `seconds` on the main run loop until set-up completes or the
    // process's waiting budget is spent, then `block`.
    void qmDispatchRepeatforGetQmUidInSeconds(long seconds, std::function<void()> block);
    // Sends the push token to the service (with the user, and/or push preferences).
    void qmSendSubscriptionIDToPanelWithToken(const Value& token, bool shouldUpdateUserID, const Value& pushPreferenceCategories,
                                              bool shouldUpdatePushPreferences);

private:
    quelmar() = default;
};

}  // namespace qm
