// Journeys (multi-step campaigns) announced by pushes: kept with their expiry so that
// events can name the journeys still running.
#include <mutex>

#include "core/QMLogger.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {
namespace {

constexpr const char* kJourneysKey = "qm_journeyinfo";
constexpr const char* kExpiryFormat = "yyyy-MM-dd HH:mm:ss";

// Pushes store journeys on the main queue while events read them on global queues; each
// load-change-store of the list happens under this lock.
std::mutex& journeysMutex() {
    static NoDestructor<std::mutex> mutex;  // never destroyed: worker threads may still use it at exit
    return *mutex;
}

QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

}  // namespace

void qmGetFilteredData::qmStoreJourneyInfo(const Value& journeyInfo) {
    const Value journeyID = journeyInfo["journeyID"];
    const Value hours = journeyInfo["time"];
    if (!isValidString(journeyID) || !isValidString(hours)) return;
    const std::string id = journeyID.description();

    // Expiry in the device's time zone, as the service's journey times are.
    const Date expiry = platform::Clock::currentDate().adding(Value(hours.description()).doubleValue() * 3600);
    Value journeys = Value::array({Value{{"journeyID", Value(id)},
                                         {"journeyExpiryDateTime", Value(platform::DateFormatter(kExpiryFormat).string(expiry))}}});

    std::lock_guard lock(journeysMutex());
    const Value storedJourneys = prefs().qmObjectForKey(kJourneysKey, QMStore::Library);
    for (const Value& stored : storedJourneys.arrayItems()) {
        if (!stored.isDictionary() || stored.count() == 0) continue;
        if (stored["journeyID"].description() == id) {
            QMLog(QMLogLevelInfo, "same journey found!!");
            continue;
        }
        journeys.append(stored);
    }
    prefs().qmSetObject(journeys, kJourneysKey, QMStore::Library);
}

Value qmGetFilteredData::qmGetJourneyIDs() {
    std::lock_guard lock(journeysMutex());
    const Value stored = prefs().qmObjectForKey(kJourneysKey, QMStore::Library);
    if (stored.count() == 0) return Value();

    const platform::DateFormatter formatter(kExpiryFormat);
    const Date now = platform::Clock::currentDate();
    Value kept = Value::array();
    std::string ids;
    bool removed = false;
    for (const Value& journey : stored.arrayItems()) {
        const auto expiry = formatter.date(journey["journeyExpiryDateTime"].description());
        if (expiry && expiry->seconds < now.seconds) {
            removed = true;
            continue;
        }
        kept.append(journey);
        // An expiry that does not read as a date never passes.
        if (!journey.isDictionary()) continue;
        if (!ids.empty()) ids += ",";
        ids += journey["journeyID"].description();
    }
    if (removed) prefs().qmSetObject(kept, kJourneysKey, QMStore::Library);
    return ids.empty() ? Value() : Value(ids);
}

}  // namespace qm
