// Process-wide state shared by the library's classes: the current engine and file store,
// the start-up values and the per-launch lists. Start-up creates or resets it; everything
// is guarded because background completions and the main thread both reach it.
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

class QMModuleState {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static QMModuleState& shared();

    std::shared_ptr<qmInternalProcessClass> qmInternalProcess() const;
    void setQmInternalProcess(std::shared_ptr<qmInternalProcessClass> engine);
    std::shared_ptr<QMSDKDataStore> qmStoreData() const;
    void setQmStoreData(std::shared_ptr<QMSDKDataStore> store);

    Guarded<Value> _qmModeVale;
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
    // Set-up gate budgets, shared by all waits of the process and never lowered.
    std::atomic<long> _qmInAppBannerSettingsTimerCount{0};
    std::atomic<long> _qmFetchPushSettingTimer{0};

private:
    QMModuleState() = default;
    mutable std::mutex mutex_;
    std::shared_ptr<qmInternalProcessClass> engine_;
    std::shared_ptr<QMSDKDataStore> store_;
    Value containers_ = Value::dictionary();
};

}  // namespace qm
