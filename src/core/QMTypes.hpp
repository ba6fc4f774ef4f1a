// Names for the small numbers that travel between the library's parts: which preferences
// suite a call touches, where an action leads, which button was pressed, what kind of
// answer a callback carries, and which service and hosts a request goes to.
#pragma once

namespace qm {

// Which preferences suite a QMSDKUserDefaultsData call touches. Writes with Both go to
// both suites; reads with Both come from the library's own suite.
enum class QMStore : long {
    Library = 0,   // the library's own named suite
    AppGroup = 1,  // the app-group suite shared with the notification-service extension
    Both = 2,
};

// Where a click leads. The numbers come from campaign and push data, so they stay plain
// longs; anything else is an invalid target.
enum QMActionTarget : long {
    QMActionTargetAppScreen = 0,
    QMActionTargetWebPage = 1,
    QMActionTargetOtherApp = 2,
    QMActionTargetShare = 3,
    QMActionTargetCall = 4,
};

// Which part of a campaign or push was clicked.
enum QMCallToAction : long {
    QMCallToActionBody = 0,
    QMCallToActionFirstButton = 1,
    QMCallToActionSecondButton = 2,
    QMCallToActionScript = 3,
};

// Why an action could not be carried out; each has its own log line.
enum QMActionURLError : long {
    QMActionURLErrorScreenNotFound = 0,
    QMActionURLErrorNotSet = 1,
    QMActionURLErrorStoreURLNotSet = 2,
    QMActionURLErrorInvalidTarget = 3,
};

// The "type" of an event's callback record. Hosts see integers and real numbers apart
// (11 and 11.1 share a whole number), so each name keeps the form it is sent in.
namespace QMEventResult {
inline constexpr int Tracked = 0;
inline constexpr int EmptyName = 1;
inline constexpr int InvalidScope = 3;
inline constexpr double PeriodNotOver = 4.0;  // a periodic event inside its period
inline constexpr int PeriodEndsToday = 5;     // ... on the period's last day
inline constexpr int RequestFailed = 8;
inline constexpr int LifecycleInactive = 10;
inline constexpr double ConversionFailed = 11.0;
inline constexpr double ConversionFailedWithMessage = 11.1;
inline constexpr double AccountRejected = 12.0;
inline constexpr int NoInternet = 16;
inline constexpr int DroppedUnsent = 17;  // a deferred event too old to send
}  // namespace QMEventResult

// Which hosts requests go to. The host may set any number; one outside these means live.
enum QMSDKEnvironment : long {
    QMSDKEnvironmentDevelopment = 0,
    QMSDKEnvironmentUserAcceptance = 1,
    QMSDKEnvironmentStaging = 2,
    QMSDKEnvironmentLive = 3,
};

// Which of the service's parts a request is for; each has its own host.
enum QMServiceType : long {
    QMServiceTypeMobile = 0,
    QMServiceTypePush = 1,
    QMServiceTypeAnalytics = 2,
    QMServiceTypeChatbot = 3,
};

}  // namespace qm
