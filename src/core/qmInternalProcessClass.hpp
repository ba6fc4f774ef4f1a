// The engine: network work, settings, in-app views and rules, statistics, script bridge
// and action routing. The facade makes a new engine at every start-up; a second, shared
// engine serves callers that may run before start-up (push clicks, deep links).
#pragma once

#include <atomic>
#include <memory>

#include "core/Guarded.hpp"
#include "quelmar/value.hpp"

namespace qm {

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
    Guarded<Value> qmUIDFinalStr;
    Guarded<Value> qmLastNidClickedForEvent;
    Guarded<Value> qmFinalUTMParamsDict;

    // Wipes every stored file and library preference (brand change).
    void resetQuelmar_iOS_SDK();

    // Account settings and attribution.
    void fetchClick();
    void qmCheckAppInstallOrUpdate();
    void qmFetchSettingsWithPushClId(const Value& pushClickID);

    // Event tracking.
    void trackEvents(const Value& eventName, const Value& attributes, const Value& lifetimeValue, long scope);

    // Push: trims the extension's received-push list; subscribes a device token.
    void qmClearPushViewCountDataFromAppGroupStorage();
    void qmSubscribeWithDeviceToken(const Value& deviceToken);

    // In-app display once settings are in (after the set-up gate).
    void qmShowInAppNotificationsWithUserTokens(const Value& userTokens, const Value& customRule);

};

}  // namespace qm
