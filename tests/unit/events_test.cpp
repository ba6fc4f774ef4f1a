#include <gtest/gtest.h>

#include "core/QMRuntime.hpp"
#include "core/QMSDKEncryptionHandler.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMTypes.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "unit/engine_test_access.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

struct FirstCallback : quelmarDelegate {
    std::vector<Value> results;
    void quelmarEventsResponseCallback(const Value& v) override { results.push_back(v); }
};
struct BothCallbacks : FirstCallback {
    std::vector<Value> second;
    void QuelmarGetEventResponseWithUserInfo(const Value& v) override { second.push_back(v); }
};
struct SecondCallback : quelmarDelegate {
    std::vector<Value> results;
    void QuelmarGetEventResponseWithUserInfo(const Value& v) override { results.push_back(v); }
};

platform::UserDefaults& library() { return *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults; }

// Start-up whose settings are taken as applied.
std::shared_ptr<FirstCallback> startReady() {
    quelmar::Initialize("live");
    qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
    auto delegate = std::make_shared<FirstCallback>();
    quelmar::sharedInstance().delegate = delegate;
    return delegate;
}

Value fail(const char* name, const char* message, Value type) {
    Value v{{"status", "fail"}, {"message", message}, {"type", type}, {"callbackType", "event"}};
    if (name) v.set("eventName", name);
    return v;
}

void writeResources(const testkit::TestHost& host, const Value& content) {
    ASSERT_TRUE(platform::Files::writeFileAtomically(host.bundleDir() + "/qmResourceValues.plist",
                                                     *platform::plist::write(content, platform::plist::Format::XML)));
}

}  // namespace

TEST(EventTracking, InvalidNameOrScopeIsReportedWithErrorLines) {
    testkit::TestHost host;
    auto delegate = startReady();
    host.clearLog();

    quelmar::trackEvents("", Value::dictionary(), Value(), 2);
    quelmar::trackEvents(Value::null(), Value::dictionary(), Value(), 2);
    quelmar::trackEvents("buy", Value{{"a", 1}}, "5", 0);
    quelmar::trackEvents("buy", Value(), Value(), 5);
    ASSERT_TRUE(host.runUntil([&] { return delegate->results.size() == 4; }));

    const Value emptyName = fail(nullptr, "Event Name is NULL/Empty", QMEventResult::EmptyName);
    const Value badScope = fail("buy", "Invalid Scope Value Found", QMEventResult::InvalidScope);
    EXPECT_EQ(delegate->results, (std::vector<Value>{emptyName, emptyName, badScope, badScope}));
    for (const auto& r : delegate->results) EXPECT_TRUE(r["type"].isInteger()) << r.description();

    EXPECT_EQ(host.logCount("[quelmar]-[ERROR]: The event name for the track event cannot be empty. Please define an "
                            "event name and retry."),
              2u);
    EXPECT_EQ(host.logCount("[quelmar]-[ERROR]: Invalid scope value. It can not be 4, 5, or 6. Kindly check the SDK "
                            "documentation for more details."),
              2u);
}

TEST(EventTracking, PeriodicScopeCountsCalendarDaysSinceTheLastSending) {
    testkit::TestHost host;  // today is Monday 2024-01-15
    auto delegate = startReady();
    platform::NetworkReachability::setSimulatedFlags(0);  // an allowed event stops at the connectivity check
    const char* key = "qm_Periodicity4Event_weekly";
    auto track = [&](const char* lastDay) {
        library().setObject(lastDay, key);
        const std::size_t before = delegate->results.size();
        quelmar::trackEvents("weekly", Value(), Value(), 7);
        EXPECT_TRUE(host.runUntil([&] { return delegate->results.size() == before + 1; }));
        return delegate->results.back();
    };
    const Value fourDaysLeft = fail("weekly", "weekly event can be track once in 7 days. It will track after 4 days",
                                    QMEventResult::PeriodNotOver);
    const Value lastDay =
        fail("weekly", "weekly event can be track once in 7 days. It can be track from tomorrow or later.",
             QMEventResult::PeriodEndsToday);
    const Value allowed = fail("weekly", "No internet found.", QMEventResult::NoInternet);

    host.clearLog();
    Value r = track("2024-01-12");  // Friday: 3 days
    EXPECT_EQ(r, fourDaysLeft);
    EXPECT_TRUE(r["type"].isReal());
    EXPECT_TRUE(host.logContains("[quelmar]-[ERROR]: event error description: weekly event can be track once in 7 days. "
                                 "It will track after 4 days"));
    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: qmResourceValues.plist file not found."));
    r = track("2024-01-08");  // Monday a week ago: 7 days
    EXPECT_EQ(r, lastDay);
    EXPECT_TRUE(r["type"].isInteger());
    EXPECT_EQ(track("2024-01-07"), allowed);  // 8 days

    // Late in the day still counts calendar days, not periods of 24 hours.
    host.clock().set(Date::fromUnix(1705363140));  // 2024-01-15 23:59 UTC
    EXPECT_EQ(track("2024-01-12"), fourDaysLeft);

    // The appearance file can let the event through on its last day.
    writeResources(host, Value{{"qmBooleans", Value{{"qmShouldIncludeEventScopeValueLastDay", true}}}});
    EXPECT_EQ(track("2024-01-08"), allowed);
    EXPECT_EQ(track("2024-01-12"), fourDaysLeft);
    writeResources(host, Value{{"qmBooleans", Value{{"qmShouldIncludeEventScopeValueLastDay", false}}}});
    EXPECT_EQ(track("2024-01-08"), lastDay);
}

TEST(EventTracking, DelegateGetsTheFirstCallbackItImplements) {
    testkit::TestHost host;
    startReady();
    const Value expected = fail(nullptr, "Event Name is NULL/Empty", QMEventResult::EmptyName);

    auto both = std::make_shared<BothCallbacks>();
    quelmar::sharedInstance().delegate = both;
    quelmar::trackEvents("", Value(), Value(), 1);
    ASSERT_TRUE(host.runUntil([&] { return both->results.size() == 1; }));
    host.runUntilIdle();
    EXPECT_EQ(both->results[0], expected);
    EXPECT_TRUE(both->second.empty());

    auto second = std::make_shared<SecondCallback>();
    quelmar::sharedInstance().delegate = second;
    quelmar::trackEvents("", Value(), Value(), 1);
    ASSERT_TRUE(host.runUntil([&] { return second->results.size() == 1; }));
    EXPECT_EQ(second->results[0], expected);
}

TEST(EventTracking, BeforeSetUpAcceptableEventsAreQueuedAndOthersDropped) {
    testkit::TestHost host;
    quelmar::Initialize("live");  // queues its own "app_launch"
    auto delegate = std::make_shared<FirstCallback>();
    quelmar::sharedInstance().delegate = delegate;
    host.clearLog();

    quelmar::trackEvents("purchase", Value{{"sku", "A1"}}, "9.5", 2);
    quelmar::trackEvents("weekly", Value(), Value::null(), 8);
    quelmar::trackEvents("", Value(), Value(), 2);
    quelmar::trackEvents("zero", Value(), Value(), 0);
    quelmar::trackEvents("five", Value(), Value(), 5);
    quelmar::trackEvents("negative", Value(), Value(), -1);
    EXPECT_TRUE(host.runUntilIdle());
    EXPECT_TRUE(delegate->results.empty());
    EXPECT_FALSE(host.logContains("The event name for the track event cannot be empty"));
    EXPECT_FALSE(host.logContains("Invalid scope value"));

    auto plain = QMSDKEncryptionHandler::sharedInstance().qmDecryptWithKey(
        "secret-key-0123456789abcdef", library().objectForKey("qm_WaitingFunctions"));
    ASSERT_TRUE(plain);
    const Value expected = *platform::json::parse(R"([
        {"qmFunctionName": "qmTrackEvent", "qmEventName": "app_launch", "qmEventScope": 2, "qmEventLtv": "10",
         "qmQueuedAt": 727005600},
        {"qmFunctionName": "qmTrackEvent", "qmEventName": "purchase", "qmEventScope": 2, "qmEventLtv": "9.5",
         "qmEventAttributes": {"sku": "A1"}, "qmQueuedAt": 727005600},
        {"qmFunctionName": "qmTrackEvent", "qmEventName": "weekly", "qmEventScope": 8, "qmQueuedAt": 727005600}
    ])");  // queued at the test clock's 2024-01-15 10:00 UTC
    Value queued = platform::json::parse(*plain).value_or(Value());
    ASSERT_GE(queued.count(), 3u) << *plain;
    queued.mutableArray().erase(queued.mutableArray().begin(), queued.mutableArray().end() - 3);
    EXPECT_EQ(queued, expected) << *plain;
}

TEST(EventTracking, GeofenceTransactionalEventsRecordTheirTime) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    auto engine = QMRuntime::shared().qmInternalProcess();
    host.clearLog();

    engine->qmCheckTransactionalEventsForEventName("enter_store");
    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: qmResourceValues.plist file not found."));

    writeResources(host, Value{{"qmArrays", Value::array({"a", "b"})}});
    engine->qmCheckTransactionalEventsForEventName("a");
    EXPECT_TRUE(host.logContains("[quelmar]-[ERROR]: qmResourceValues.plist file contains a key qmArrays which must be "
                                 "of type Dictionary"));

    writeResources(host, Value{{"qmArrays", Value{{"qm_geofenceTransactionalEventNames", Value::array({"enter_store"})}}}});
    engine->qmCheckTransactionalEventsForEventName("leave_store");
    EXPECT_FALSE(library().objectForKey("qm_GeoTransactionalEventStoredDate"));
    engine->qmCheckTransactionalEventsForEventName("enter_store");
    EXPECT_EQ(library().objectForKey("qm_GeoTransactionalEventStoredDate"), Value("2024-01-15 10:00:00"));
}
