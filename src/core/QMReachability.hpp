// Whether the service can be reached, and how (Wi-Fi or cellular).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qm {

namespace platform {
class Timer;
}

enum QMNetworkStatus : long { QMNotReachable = 0, QMReachableViaWiFi = 1, QMReachableViaWWAN = 2 };

// Posted (with the reachability object) when a started notifier sees the status change.
extern const char* const qm_kReachabilityChangedNotification;

class QMReachability : public std::enable_shared_from_this<QMReachability> {
public:
    static std::shared_ptr<QMReachability> qmReachabilityWithHostName(const std::string& hostName);
    static std::shared_ptr<QMReachability> qmReachabilityWithAddress(const std::string& address);
    // Reachability of the internet at large (the IPv4 zero address).
    static std::shared_ptr<QMReachability> qmReachabilityForInternetConnection();

    long qmCurrentReachabilityStatus() const;
    static long qmNetworkStatusForFlags(std::uint32_t flags);
    bool qmConnectionRequired() const;
    bool startNotifier();
    void stopNotifier();

private:
    std::optional<std::uint32_t> flags() const;
    std::string hostName_;
    std::string address_;
    std::shared_ptr<platform::Timer> notifier_;
    long lastStatus_ = -1;
};

}  // namespace qm
