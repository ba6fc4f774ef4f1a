// The geofence-push block: how date texts the host gives are read, and whether the block the
// host asked for is still in force.
#include <array>

#include "core/QMLogger.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"

namespace qm {
namespace {

// Tried in this order; the first is also the fallback.
constexpr std::array<const char*, 8> kGeofenceDatePatterns{
    "d-MMM-h:mm a",      "yyyy-MM-dd HH:mm:ss", "MM-dd-yyyy HH:mm", "E, d MMM yyyy HH:mm:ss",
    "dd-MM-yyyy HH:mm:ss", "MMM d, h:mm a",     "dd/MM/yyyy h:mm a", "MM-dd-yyyy h:mm a"};

platform::DateFormatter formatterFor(const std::string& pattern) {
    return platform::DateFormatter(pattern, platform::TimeZone::currentIdentifier(), "en_US_POSIX");
}

// Now, as the pattern can say it: written with the pattern and read back.
std::optional<Date> nowAtPrecisionOf(const platform::DateFormatter& formatter) {
    return formatter.date(formatter.string(platform::Clock::currentDate()));
}

std::optional<long long> minutesBetween(std::optional<Date> from, std::optional<Date> to) {
    if (!from || !to) return std::nullopt;
    return static_cast<long long>(to->timeIntervalSince(*from) / 60);
}

}  // namespace

std::string qmGetFilteredData::checkDateformatForDateString(const Value& dateText) const {
    if (dateText.isString()) {
        for (const char* pattern : kGeofenceDatePatterns) {
            if (formatterFor(pattern).date(dateText.string())) return pattern;
        }
    }
    return kGeofenceDatePatterns.front();
}

std::optional<long long> qmGetFilteredData::TimeIntervalFromFutureDate(const Value& dateText,
                                                                        const std::string& pattern) const {
    if (!dateText.isString()) return std::nullopt;
    const auto formatter = formatterFor(pattern);
    return minutesBetween(nowAtPrecisionOf(formatter), formatter.date(dateText.string()));
}

std::optional<long long> qmGetFilteredData::TimeIntervalFromPreviousDate(const Value& dateText) const {
    if (!dateText.isString()) return std::nullopt;
    const auto formatter = formatterFor(checkDateformatForDateString(dateText));
    return minutesBetween(formatter.date(dateText.string()), nowAtPrecisionOf(formatter));
}

bool qmGetFilteredData::ShouldSendGeofencePush() {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    const Value start = prefs.qmObjectForKey("qm_GeoTransactionalEventStoredDate", QMStore::Library);
    const Value length = prefs.qmObjectForKey("qm_blockGeofencePushForHours", QMStore::Library);
    if (!start || !length || !isValidString(start) || length.integerValue() <= 0) return true;
    const long long minutes = length.integerValue();
    const auto elapsed = TimeIntervalFromPreviousDate(Value(start.description()));
    // A start that no longer reads as a date cannot hold a block: it is dropped like one that
    // has ended.
    if (!elapsed || minutes <= *elapsed) {
        prefs.qmRemoveObjectForKey("qm_GeoTransactionalEventStoredDate", QMStore::Library);
        prefs.qmRemoveObjectForKey("qm_blockGeofencePushForHours", QMStore::Library);
        prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
        return true;
    }
    const long long remaining = minutes - *elapsed;
    const bool inMinutes = remaining < 61;
    QMLog(QMLogLevelInfo, "Geofence push has been stopped for %ld hour(s) and will be resumed in %ld %@.",
          static_cast<long>(minutes / 60), static_cast<long>(inMinutes ? remaining : remaining / 60),
          Value(inMinutes ? "min(s)" : "hour(s)"));
    return false;
}

}  // namespace qm
