#include "core/QMRuntime.hpp"

#include "core/QMSDKDataStore.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/no_destructor.hpp"

namespace qm {

QMRuntime& QMRuntime::shared() {
    // Never destroyed: completions may still run while the process exits (the orderly stop
    // ends the threads, but a host may exit without it).
    static NoDestructor<QMRuntime> runtime;
    return *runtime;
}

QMRuntime::QMRuntime()
    : engine_(std::make_shared<qmInternalProcessClass>()), store_(std::make_shared<QMSDKDataStore>()) {}

std::shared_ptr<qmInternalProcessClass> QMRuntime::qmInternalProcess() const {
    return startedUp_ ? engine_ : nullptr;
}

std::shared_ptr<qmInternalProcessClass> QMRuntime::beginLaunch() {
    stopped_ = false;
    engine_->qmBeginLaunch();
    store_->qmRemoveAbandonedFiles();
    startedUp_ = true;
    return engine_;
}

Value QMRuntime::container(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return containers_[name];
}

void QMRuntime::setContainer(std::string_view name, Value v) {
    std::lock_guard lock(mutex_);
    containers_.set(name, std::move(v));
}

void QMRuntime::updateContainer(std::string_view name, const std::function<void(Value&)>& change) {
    std::lock_guard lock(mutex_);
    Value v = containers_[name];
    change(v);
    containers_.set(name, std::move(v));
}

void QMRuntime::resetContainers() {
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
