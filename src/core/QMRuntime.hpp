// The library's runtime: the one engine, the one file store, the preferences gateway, the
// start-up values and the per-launch lists. It exists for the whole process; each start-up
// resets its per-launch state instead of replacing objects, and an orderly stop ends it.
// Everything is guarded because background completions and the main thread both reach it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "core/Guarded.hpp"
#include "quelmar/value.hpp"

namespace qm {

template <typename T>
class NoDestructor;

class qmInternalProcessClass;
class QMSDKDataStore;
class QMSDKUserDefaultsData;

class QMRuntime {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static QMRuntime& shared();

    // The engine, the same object for the whole process (also before start-up, for push
    // clicks and deep links that arrive first).
    const std::shared_ptr<qmInternalProcessClass>& engine() const { return engine_; }
    // The engine once a start-up has run (and the library has not been stopped); nothing
    // before that, so that entries which need the account settings do nothing.
    std::shared_ptr<qmInternalProcessClass> qmInternalProcess() const;
    // The file store, one for the whole process.
    const std::shared_ptr<QMSDKDataStore>& qmStoreData() const { return store_; }
    // The preferences gateway. Made on first use: it opens the suites the main bundle's
    // Info.plist names, so the host configures the platform first.
    QMSDKUserDefaultsData& qmPreferences();

    // A start-up begins: the engine forgets the previous launch's set-up state. Returns the
    // engine.
    std::shared_ptr<qmInternalProcessClass> beginLaunch();
    bool startedUp() const { return startedUp_.load(); }

    // The orderly stop: new calls are refused from now on, work in flight is finished or
    // kept for the next launch within `timeoutSeconds` (serving the main run loop meanwhile
    // when asked to and called on the main thread), preferences are written and the threads
    // of the platform are ended. True when everything finished in time. Safe to call more
    // than once; a later start-up brings the library back.
    bool stop(double timeoutSeconds, bool serveMainLoop);
    // How long the stop at a normal process exit may take.
    static constexpr double kExitStopSeconds = 3;

    Guarded<Value> _qmModeVale;
    // The class name of the screen in-app campaigns were last asked for.
    Guarded<Value> _qmCurrentVCName;
    Guarded<Value> _qmAppCurrentLanguage;
    Guarded<Value> _qmAnalyticID;
    // YES once a deep link arrived with valid account keys.
    std::atomic<bool> _qmDeeplinkcheck{false};
    // The stored brand id as the first deep link of the process found it, before the link
    // stored its own: start-up compares with it when no start-up recorded its brand.
    Guarded<Value> qmBrandIDBeforeDeepLink;
    // The UTM parameters of the last deep link; the settings request carries them.
    Guarded<Value> qmFinalUTMParamsDict;
    // The service's user id for this device, empty until one is received.
    Guarded<Value> qmUIDFinalStr{Value("")};
    // The final decision of the user-id wait: "Authentication" and "http_code".
    Guarded<Value> qmGetQmUidWaitingResponse;
    // The main screen's size when the last campaign document arrived (hosts may read them).
    std::atomic<double> qm_temp_ScreenWidth{0};
    std::atomic<double> qm_temp_ScreenHeight{0};

    // Named per-launch containers (lists and dictionaries), read and changed under the lock.
    Value container(std::string_view name) const;
    void setContainer(std::string_view name, Value v);
    void updateContainer(std::string_view name, const std::function<void(Value&)>& change);
    // Start-up's fresh empty containers.
    void resetContainers();

    std::atomic<bool> isPushNotificationDataComplete{false};
    std::atomic<long> qmGetQmUidWaitingTimeCounter{0};
    std::atomic<bool> qm_ShouldUnsubscribeAllPush{false};
    // The last decision whether a push token had to be sent to the service.
    std::atomic<bool> _qmShouldHitRecordPushSubscrptionAPI{false};
    // Set-up gate budgets, shared by all waits of the process and never lowered.
    std::atomic<long> _qmInAppBannerSettingsTimerCount{0};
    std::atomic<long> _qmFetchPushSettingTimer{0};

private:
    QMRuntime();
    ~QMRuntime();
    mutable std::mutex mutex_;
    const std::shared_ptr<qmInternalProcessClass> engine_;
    const std::shared_ptr<QMSDKDataStore> store_;
    std::atomic<bool> startedUp_{false};
    std::mutex stopMutex_;  // one stop at a time
    std::once_flag exitHandlerOnce_;
    std::once_flag preferencesOnce_;
    std::unique_ptr<QMSDKUserDefaultsData> preferences_;
    Value containers_ = Value::dictionary();
};

}  // namespace qm
