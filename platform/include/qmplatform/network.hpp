// Network reachability and cellular facts. Reachability is worked out from the machine's
// interfaces (and the transport's connect-to route, when one is set): it never resolves a
// host name, so asking is cheap and never blocks on DNS.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qm::platform {

// Reachability flags with the platform's bit values.
enum ReachabilityFlags : std::uint32_t {
    kReachabilityFlagsTransientConnection = 1u << 0,
    kReachabilityFlagsReachable = 1u << 1,
    kReachabilityFlagsConnectionRequired = 1u << 2,
    kReachabilityFlagsConnectionOnTraffic = 1u << 3,
    kReachabilityFlagsInterventionRequired = 1u << 4,
    kReachabilityFlagsConnectionOnDemand = 1u << 5,
    kReachabilityFlagsIsLocalAddress = 1u << 16,
    kReachabilityFlagsIsDirect = 1u << 17,
    kReachabilityFlagsIsWWAN = 1u << 18,
};

class NetworkReachability {
public:
    // Flags for reaching a host name, or nothing when they cannot be read.
    static std::optional<std::uint32_t> flagsForHostName(const std::string& hostName);
    // Flags for reaching an IPv4/IPv6 address text ("0.0.0.0" asks for the internet at large).
    static std::optional<std::uint32_t> flagsForAddress(const std::string& address);

    // Hosts and tests can replace the readings: a fixed answer for every question, or
    // nothing to read the machine again.
    static void setSimulatedFlags(std::optional<std::uint32_t> flags);
    // A route that carries every host name (the transport's connect-to address); hosts are
    // reachable when that address is.
    static void setRouteOverride(std::optional<std::string> address);
};

// Radio access technology identifiers of the platform's telephony facts.
namespace radio {
inline constexpr const char* GPRS = "CTRadioAccessTechnologyGPRS";
inline constexpr const char* Edge = "CTRadioAccessTechnologyEdge";
inline constexpr const char* WCDMA = "CTRadioAccessTechnologyWCDMA";
inline constexpr const char* HSDPA = "CTRadioAccessTechnologyHSDPA";
inline constexpr const char* HSUPA = "CTRadioAccessTechnologyHSUPA";
inline constexpr const char* CDMA1x = "CTRadioAccessTechnologyCDMA1x";
inline constexpr const char* CDMAEVDORev0 = "CTRadioAccessTechnologyCDMAEVDORev0";
inline constexpr const char* CDMAEVDORevA = "CTRadioAccessTechnologyCDMAEVDORevA";
inline constexpr const char* CDMAEVDORevB = "CTRadioAccessTechnologyCDMAEVDORevB";
inline constexpr const char* eHRPD = "CTRadioAccessTechnologyeHRPD";
inline constexpr const char* LTE = "CTRadioAccessTechnologyLTE";
inline constexpr const char* NR = "CTRadioAccessTechnologyNR";
}  // namespace radio

// The cellular provider facts. A Linux machine has none unless the host sets them.
class Telephony {
public:
    static std::optional<std::string> carrierName();
    static std::optional<std::string> currentRadioAccessTechnology();
    static void setCarrierName(std::optional<std::string> name);
    static void setCurrentRadioAccessTechnology(std::optional<std::string> technology);
};

}  // namespace qm::platform
