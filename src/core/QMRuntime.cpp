#include "core/QMRuntime.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "core/QMLogger.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/configuration.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/url_session.hpp"

namespace qm {

QMRuntime& QMRuntime::shared() {
    // Never destroyed: completions may still run while the process exits (the orderly stop
    // ends the threads, but a host may exit without it).
    static NoDestructor<QMRuntime> runtime;
    return *runtime;
}

QMRuntime::QMRuntime()
    : engine_(std::make_shared<qmInternalProcessClass>()), store_(std::make_shared<QMSDKDataStore>()) {}

QMRuntime::~QMRuntime() = default;

QMSDKUserDefaultsData& QMRuntime::qmPreferences() {
    std::call_once(preferencesOnce_, [this] { preferences_.reset(new QMSDKUserDefaultsData()); });
    return *preferences_;
}

std::shared_ptr<qmInternalProcessClass> QMRuntime::qmInternalProcess() const {
    return startedUp_ ? engine_ : nullptr;
}

std::shared_ptr<qmInternalProcessClass> QMRuntime::beginLaunch() {
    std::call_once(exitHandlerOnce_, [] {
        // A normal exit stops the library like the host would, without serving the main run
        // loop (the host's objects may be gone by then).
        std::atexit([] { QMRuntime::shared().stop(kExitStopSeconds, false); });
    });
    engine_->qmBeginLaunch();
    store_->qmRemoveAbandonedFiles();
    startedUp_ = true;
    return engine_;
}

bool QMRuntime::stop(double timeoutSeconds, bool serveMainLoop) {
    // A block that the stop runs while serving the main run loop may call it again: that
    // call returns at once instead of waiting for the stop it is part of.
    thread_local bool stopping = false;
    if (stopping) return false;
    stopping = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{stopping};
    std::lock_guard lock(stopMutex_);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(std::max(0.0, timeoutSeconds));
    const auto remaining = [deadline] {
        return std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count());
    };
    auto& loop = platform::RunLoop::main();
    const bool wasRunning = startedUp_.load();
    bool finished = true;
    if (wasRunning && serveMainLoop && loop.isMainThread()) {
        // The host is not calling in while its main thread is here, so nothing new arrives
        // but what the work in flight brings: answers are applied and the calls they release
        // are sent, until all is quiet or the deadline comes.
        // Idle (no block queued or running anywhere) with no request in flight is quiet: a
        // request is always started by a block, which counts until the request does.
        bool quiet = false;
        while (!quiet && remaining() > 0) {
            quiet = loop.runUntilIdle(remaining()) && platform::URLSession::activeTaskCount() == 0;
            if (!quiet) loop.runUntil([] { return platform::URLSession::activeTaskCount() == 0; }, remaining());
        }
        finished = quiet;
    }
    // From here on calls are ignored and late answers dropped.
    startedUp_ = false;
    engine_->qmEndLaunch();
    finished = QMSDKDataStore::qmFinishPendingFileWork(remaining()) && finished;
    finished = platform::shutdown(remaining()) && finished;
    if (wasRunning) {
        QMLog(QMLogLevelInfo, finished ? "Stopped."
                                       : "Stopped at the deadline; requests of background sessions and calls waiting "
                                         "for the account settings are sent at the next launch.");
    }
    return finished;
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
