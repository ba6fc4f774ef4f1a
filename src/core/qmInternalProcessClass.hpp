// The engine: network work, settings, in-app views and rules, statistics, script bridge
// and action routing. The facade makes a new engine at every start-up; a second, shared
// engine serves callers that may run before start-up (push clicks, deep links).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/Guarded.hpp"
#include "qmplatform/url.hpp"
#include "quelmar/value.hpp"

namespace qm {
namespace platform {
struct Error;
class URLSession;
class URLSessionTask;
}  // namespace platform

// Whether app-screen actions present the screen themselves (the host's
// "qmViewAutoRedirection", YES when absent); refreshed on every app-screen action.
extern std::atomic<bool> qm_is_ViewAutoRedirectEnable;

class qmInternalProcessClass : public std::enable_shared_from_this<qmInternalProcessClass> {
public:
    static std::shared_ptr<qmInternalProcessClass> sharedInstance();

    // Set-up flags: NO after start-up, YES once the matching answer has been applied.
    std::atomic<bool> _fetchClickComplete{false};
    std::atomic<bool> _fetchBrandSettingsComplete{false};
    std::atomic<bool> _fetchPushSettingsComplete{false};
    std::atomic<bool> _fetchBotSettingsComplete{false};

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
    // The same request on a background session that survives the process; its answer goes to
    // URLSession(...).
    void qmHitAPIRequestWithBackgroundSupportforUrlString(const Value& urlString, const Value& userAgent,
                                                          const Value& paramStrings, long headerContentType,
                                                          const std::string& backgroundConfigID);
    // Background answers (push statistics, settings fetched with a push click id).
    void URLSession(platform::URLSession& session, platform::URLSessionTask& downloadTask, const std::string& location);
    // Re-creates the background sessions whose requests an earlier process left unsent.
    void qmResumePendingBackgroundRequests();
    // Applies a settings answer (the account-settings step fills this in).
    void qmUpdateSettingsFetchedFromServerWithResponseDict(const Value& response);

    // Wipes every stored file and library preference (brand change).
    void resetQuelmar_iOS_SDK();

    // Account settings and attribution.
    void fetchClick();
    void qmCheckAppInstallOrUpdate();
    void qmFetchSettingsWithPushClId(const Value& pushClickID);

    // Event tracking.
    void trackEvents(const Value& eventName, const Value& attributes, const Value& lifetimeValue, long scope);
    void qmCheckTransactionalEventsForEventName(const Value& eventName);

    // Push: trims the extension's received-push list; subscribes a device token.
    void qmClearPushViewCountDataFromAppGroupStorage();
    void qmSubscribeWithDeviceToken(const Value& deviceToken);

    // In-app display once settings are in (after the set-up gate).
    void qmShowInAppNotificationsWithUserTokens(const Value& userTokens, const Value& customRule);

    // Action routing (main queue) ------------------------------------------------------------
    // Targets: 0 a screen of the app (storyboard identifier; the host is told through the
    // notifications "QMInAppViewConroller" and "qmNotificationClickCallback"), 1 a web page,
    // 2 another app (falling back to the App Store URL), 3 share a text, 4 call a number.
    void performActionWithTarget(long target, const Value& destination, const Value& ituneUrl, const Value& notificationID,
                                 const Value& parameters, const Value& emailSubject, long ctaAction,
                                 const Value& templateType);
    // Opens the URL on the main queue and tells the handler, also on the main queue; a URL
    // that cannot be opened gives the "qmActionUrl" error 410. The handler may be empty.
    using QMOpenURLHandler = std::function<void(bool success, const std::optional<platform::Error>& error)>;
    void qmNavigateToWebForUrl(const std::optional<platform::URL>& url, QMOpenURLHandler complitionHandler);
    // The configuration messages for an empty destination (targets 0-4) and for a failed
    // action (error types 0-3); other numbers log nothing.
    void qmOnButtonActionWarnningOrErrorLogOnEmptyActionUrlforActionTarget(long target);
    void qmOnCTAEncounterInvalidActionURLErrorMessageWithErrorType(long errorType);

};

}  // namespace qm
