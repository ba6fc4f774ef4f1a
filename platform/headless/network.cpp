#include "qmplatform/network.hpp"
#include "qmbase/no_destructor.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <chrono>
#include <mutex>

namespace qm::platform {
namespace {
struct State {
    std::mutex mutex;
    std::optional<std::uint32_t> simulated;
    std::optional<std::string> route;
    std::optional<std::string> carrier;
    std::optional<std::string> radio;
};
State& state() {
    static NoDestructor<State> s;
    return *s;
}

bool isCellularInterface(const std::string& name) {
    for (const char* prefix : {"wwan", "rmnet", "ppp", "ccmni"}) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// Reads the interfaces that are up and running with an address: loopback and others.
struct Interfaces {
    bool loopback = false;
    bool lan = false;
    bool cellular = false;
};
std::optional<Interfaces> scanInterfaces() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    Interfaces found;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !(i->ifa_flags & IFF_UP) || !(i->ifa_flags & IFF_RUNNING)) continue;
        const int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        if (i->ifa_flags & IFF_LOOPBACK) found.loopback = true;
        else if (isCellularInterface(i->ifa_name)) found.cellular = true;
        else found.lan = true;
    }
    freeifaddrs(list);
    return found;
}

bool isLoopbackAddress(const std::string& address) {
    std::string host = address;
    if (!host.empty() && host.front() == '[') host = host.substr(1, host.find(']') - 1);
    else if (auto colon = host.rfind(':'); colon != std::string::npos && host.find(':') == colon) host = host.substr(0, colon);
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return host == "localhost";
}

// The interface scan is kept for a second: requests ask before every send, and a change of
// network is still seen within that second.
std::optional<Interfaces> readInterfaces() {
    using SteadyClock = std::chrono::steady_clock;
    struct Cache {
        std::mutex mutex;
        SteadyClock::time_point readAt;
        std::optional<Interfaces> last;
    };
    static NoDestructor<Cache> cache;  // never destroyed: requests may ask during exit
    std::lock_guard lock(cache->mutex);
    const auto now = SteadyClock::now();
    if (!cache->last || now - cache->readAt > std::chrono::seconds(1)) {
        cache->last = scanInterfaces();
        cache->readAt = now;
    }
    return cache->last;
}

std::optional<std::uint32_t> internetFlags() {
    auto interfaces = readInterfaces();
    if (!interfaces) return std::nullopt;
    if (interfaces->lan) return kReachabilityFlagsReachable;
    if (interfaces->cellular) return kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN;
    return 0u;
}

std::optional<std::uint32_t> loopbackFlags() {
    auto interfaces = readInterfaces();
    if (!interfaces) return std::nullopt;
    return interfaces->loopback ? kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect : 0u;
}
}  // namespace

std::optional<std::uint32_t> NetworkReachability::flagsForHostName(const std::string& hostName) {
    std::optional<std::string> route;
    {
        std::lock_guard lock(state().mutex);
        if (state().simulated) return state().simulated;
        route = state().route;
    }
    if (route) return isLoopbackAddress(*route) ? loopbackFlags() : internetFlags();
    if (isLoopbackAddress(hostName)) return loopbackFlags();
    return internetFlags();
}

std::optional<std::uint32_t> NetworkReachability::flagsForAddress(const std::string& address) {
    {
        std::lock_guard lock(state().mutex);
        if (state().simulated) return state().simulated;
    }
    return isLoopbackAddress(address) ? loopbackFlags() : internetFlags();
}

void NetworkReachability::setSimulatedFlags(std::optional<std::uint32_t> flags) {
    std::lock_guard lock(state().mutex);
    state().simulated = flags;
}

void NetworkReachability::setRouteOverride(std::optional<std::string> address) {
    std::lock_guard lock(state().mutex);
    state().route = std::move(address);
}

std::optional<std::string> Telephony::carrierName() {
    std::lock_guard lock(state().mutex);
    return state().carrier;
}
std::optional<std::string> Telephony::currentRadioAccessTechnology() {
    std::lock_guard lock(state().mutex);
    return state().radio;
}
void Telephony::setCarrierName(std::optional<std::string> name) {
    std::lock_guard lock(state().mutex);
    state().carrier = std::move(name);
}
void Telephony::setCurrentRadioAccessTechnology(std::optional<std::string> technology) {
    std::lock_guard lock(state().mutex);
    state().radio = std::move(technology);
}

}  // namespace qm::platform
