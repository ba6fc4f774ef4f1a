// The utility singleton: app group and log level from the Info.plist, the web user agent,
// script evaluation, cookies and session times, the deferred call queue.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/Guarded.hpp"
#include "qmplatform/url.hpp"
#include "quelmar/value.hpp"

namespace qm {

template <typename T>
class NoDestructor;
namespace platform {
class ViewController;
class WebView;
class Window;
}  // namespace platform

class qmGetFilteredData {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static qmGetFilteredData& sharedInstance();

    // "group.<qmAppGroupKey>" or "group.qm.<bundle identifier>".
    std::string qmGetAppGroupIDforQuelmar() const;
    // The log level the host chose with "qmLogsLevel" (INFO when absent or unknown).
    long qmGetCurrentLogLevel() const;

    // A push token's bytes as lower-case hexadecimal, two digits a byte; nothing for a value
    // that is not data or is empty.
    Value qmGetStringFromData(const Value& token) const;
    // The web user agent: the stored one unless `reset`, else asked from a new web view.
    Value qmGetCurrentWebUserAgentValueAfterReset(bool reset);
    // Evaluates a script and waits for its text result while serving the main run loop, at
    // most kScriptAnswerDeadline seconds (real time); nothing when no answer came by then.
    static constexpr double kScriptAnswerDeadline = 2;
    Value qmStringByEvaluatingJavaScriptFromString(const std::string& script, const std::shared_ptr<platform::WebView>& webView);

    // Device and network facts that requests carry.
    std::string qmGetGMTTimeOffset() const;
    Value qmGetNetworkStatusInfo() const;
    std::string getShortNamefromCurrentCellularNetworkType(const std::string& radioTechnology) const;
    Value qmDeviceDescription() const;
    // Appends "&device_info=<device description JSON>"; invalid input comes back unchanged.
    Value qmAddCurrentDeviceInfoToUrlString(const Value& parameters) const;
    // Appends "&mobile_app_id=<bundle identifier>" when one is stored.
    Value qmAddMobleAppIDToUrlString(const Value& parameters) const;
    // JSON text of a dictionary; "" when it cannot be written; nothing for an empty one.
    Value qmStringifyDictionary(const Value& dictionary) const;
    bool qmIsConnected() const;
    // Appends the campaign cookies to a parameter text.
    std::string qmAddCookiesDataInUrlString(const std::string& parameters) const;

    // Calls deferred until the settings answer, kept encrypted in "qm_WaitingFunctions". They
    // stay queued across launches until a settings answer replays them; a call queued more
    // than kWaitingFunctionMaxAge seconds ago is dropped at replay instead (an event with a
    // failure record to the delegate).
    static constexpr double kWaitingFunctionMaxAge = 7 * 86400.0;
    void qmSceduleWaitingFunctionsWithData(const Value& record);
    void qmExecuteWaitingFunctions();
    // Start-up: in-app display requests of an earlier start-up are dropped (their screens are
    // gone); events and identifications stay for this start-up's settings answer.
    void qmDropWaitingDisplayRequests();
    // Whether an event of that name waits in the queue.
    bool qmHasWaitingEventNamed(const Value& eventName);
    void qmUpdateWaitingFunctionsWithData(const Value& list);
    Value getEncryptionKey() const;
    // Stores the campaign cookies of an answer.
    void qmSetCampaignCookiesWithCampaignData(const Value& campaignData);
    // The event-name list of a hit cookie: Base64 of uevent=<JSON list>; nothing for an empty
    // list. Decoding gives the list of names, or nothing when the text does not decode.
    Value qmGetEventCookiesEncodedStringFromEventsNameArray(const Value& names) const;
    Value qmGetEventCookiesDecodedArrayFromEncodedString(const Value& encoded) const;

    // The app's key window, and the controller on top of it (never a navigation or tab bar
    // controller); nothing when there is none. Main thread.
    std::shared_ptr<platform::Window> qmGetKeyWindow() const;
    std::shared_ptr<platform::ViewController> qmGetTopMostController() const;
    // The service's action parameter records that belong to one click (0 the entry itself,
    // 1 and 2 its buttons), as name -> typed value. Always a dictionary.
    Value qmGetFinalActionParamsForCurrentCalltoActionType(long callToAction, const Value& actionParams) const;

    // Journeys announced by pushes, kept with their expiry under "qm_journeyinfo".
    void qmStoreJourneyInfo(const Value& journeyInfo);
    // The ids of the journeys still running, joined with ","; nothing when there are none.
    // Expired journeys are dropped from the stored list. Any thread.
    Value qmGetJourneyIDs();
    // The value of the first query item with that name; nothing when there is none.
    Value valueForKey(std::string_view name, const std::vector<platform::URL::QueryItem>& queryItems) const;

    // In-app targeting. The campaign the validations look at (one evaluation at a time).
    void setPageDict1(const Value& campaign);
    // Close conditions, launch restriction, counter start and app-launch interval, then the
    // custom rules and the system and app version ranges of the current campaign.
    bool qmCheckInAppNotificationValidationsWithCustomRule(const Value& customRule);
    // The first four validations for one campaign id (an empty id passes).
    bool qmShouldShowInAppBannerOnScrollValidResponse(const Value& notificationID, long long appLaunches);
    bool qmCheckCloseAndLaunchConditions(const std::string& notificationID, long long appLaunches);
    // The campaign with its tokens replaced; nothing when a hidden token has no user value.
    Value qmReplacedFinalDictWithUserToken(const Value& userTokens, const Value& campaign);
    // The screen rule of the campaign on the current screen. Main thread.
    bool shouldShowOnCurrntViewController(const Value& campaign);
    // The class name of the top-most controller ("" without one). Main thread.
    std::string qmCurrentScreenName() const;
    // Whether the campaign's on-scroll trigger has fired.
    bool qmTrackBannerSurveyIsScrolledForNID(const Value& notificationID);

    // Geofence-push block (qmGetFilteredData_geofence.cpp). The date pattern that reads a
    // date text: the first of the accepted patterns that parses it, else the first one.
    std::string checkDateformatForDateString(const Value& dateText) const;
    // Whole minutes from now to a date text read with `pattern` (negative when it is past),
    // and from a date text read with its detected pattern to now; "now" is taken at the
    // pattern's precision (a pattern without a year reads both in the same year). Nothing
    // when the text does not parse.
    std::optional<long long> TimeIntervalFromFutureDate(const Value& dateText, const std::string& pattern) const;
    std::optional<long long> TimeIntervalFromPreviousDate(const Value& dateText) const;
    // Whether geofence pushes may be sent: NO while the block stored by
    // quelmar::stopGeofencePushforDateTime lasts; the first query after it ends removes it.
    bool ShouldSendGeofencePush();

    void qmCheckCloseButtonImage();
    void qmCheckCookiesExpiryWithLastSession();
    void qmSetLastSessionTimeForApp();
    void qmClearWaitingFunctions();

private:
    qmGetFilteredData() = default;
    Guarded<Value> pageDict1_;
};

}  // namespace qm
