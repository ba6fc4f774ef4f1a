#include "core/QMReachability.hpp"

#include "qmplatform/dispatch.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/notification_center.hpp"

namespace qm {

const char* const qm_kReachabilityChangedNotification = "kNetworkReachabilityChangedNotification";

std::shared_ptr<QMReachability> QMReachability::qmReachabilityWithHostName(const std::string& hostName) {
    auto r = std::make_shared<QMReachability>();
    r->hostName_ = hostName;
    return r;
}

std::shared_ptr<QMReachability> QMReachability::qmReachabilityWithAddress(const std::string& address) {
    auto r = std::make_shared<QMReachability>();
    r->address_ = address;
    return r;
}

std::shared_ptr<QMReachability> QMReachability::qmReachabilityForInternetConnection() { return qmReachabilityWithAddress("0.0.0.0"); }

std::optional<std::uint32_t> QMReachability::flags() const {
    return hostName_.empty() ? platform::NetworkReachability::flagsForAddress(address_)
                             : platform::NetworkReachability::flagsForHostName(hostName_);
}

long QMReachability::qmNetworkStatusForFlags(std::uint32_t flags) {
    using namespace platform;
    if (!(flags & kReachabilityFlagsReachable)) return QMNotReachable;
    if (flags & kReachabilityFlagsIsWWAN) return QMReachableViaWWAN;
    const bool onDemandOrTraffic = flags & (kReachabilityFlagsConnectionOnDemand | kReachabilityFlagsConnectionOnTraffic);
    const bool withoutIntervention = !(flags & kReachabilityFlagsInterventionRequired);
    if ((flags & kReachabilityFlagsConnectionRequired) && !(onDemandOrTraffic && withoutIntervention)) return QMNotReachable;
    return QMReachableViaWiFi;
}

long QMReachability::qmCurrentReachabilityStatus() const {
    auto f = flags();
    return f ? qmNetworkStatusForFlags(*f) : QMNotReachable;
}

bool QMReachability::qmConnectionRequired() const {
    auto f = flags();
    return f && (*f & platform::kReachabilityFlagsConnectionRequired);
}

// The notifier looks again every two seconds on the main run loop and posts on a change.
bool QMReachability::startNotifier() {
    if (notifier_) return true;
    std::weak_ptr<QMReachability> weak = weak_from_this();
    lastStatus_ = qmCurrentReachabilityStatus();
    notifier_ = platform::Timer::scheduled(2.0, true, [weak](platform::Timer& timer) {
        auto self = weak.lock();
        if (!self) {
            timer.invalidate();
            return;
        }
        const long status = self->qmCurrentReachabilityStatus();
        if (status == self->lastStatus_) return;
        self->lastStatus_ = status;
        platform::NotificationCenter::defaultCenter().post(qm_kReachabilityChangedNotification, {}, self.get());
    });
    return true;
}

void QMReachability::stopNotifier() {
    if (notifier_) notifier_->invalidate();
    notifier_.reset();
}

}  // namespace qm
