#include "core/QMModuleState.hpp"
#include "qmplatform/no_destructor.hpp"

namespace qm {

QMModuleState& QMModuleState::shared() {
    // Intentionally never destroyed: completions may run while the process exits.
    static NoDestructor<QMModuleState> state;
    return *state;
}

std::shared_ptr<qmInternalProcessClass> QMModuleState::qmInternalProcess() const {
    std::lock_guard lock(mutex_);
    return engine_;
}
void QMModuleState::setQmInternalProcess(std::shared_ptr<qmInternalProcessClass> engine) {
    std::lock_guard lock(mutex_);
    engine_ = std::move(engine);
}
std::shared_ptr<QMSDKDataStore> QMModuleState::qmStoreData() const {
    std::lock_guard lock(mutex_);
    return store_;
}
void QMModuleState::setQmStoreData(std::shared_ptr<QMSDKDataStore> store) {
    std::lock_guard lock(mutex_);
    store_ = std::move(store);
}


Value QMModuleState::container(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return containers_[name];
}

void QMModuleState::setContainer(std::string_view name, Value v) {
    std::lock_guard lock(mutex_);
    containers_.set(name, std::move(v));
}

void QMModuleState::updateContainer(std::string_view name, const std::function<void(Value&)>& change) {
    std::lock_guard lock(mutex_);
    Value v = containers_[name];
    change(v);
    containers_.set(name, std::move(v));
}

void QMModuleState::resetContainers() {
    std::lock_guard lock(mutex_);
    for (const char* list : {"qmReadPushNotificationData", "qmCachedDataList", "qmNC_GIFPushNIDs",
                             "qmRestictInAppforThisSession", "qmRestictSurveyCrossBtnforSession"}) {
        containers_.set(list, Value::array());
    }
    for (const char* dict : {"qmVideoFileFormatDict", "qmInAppCloseBtnConditions"}) {
        containers_.set(dict, Value::dictionary());
    }
}

}  // namespace qm
