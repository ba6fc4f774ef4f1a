// The library's orderly stop against the local service.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/QMRuntime.hpp"
#include "library_fixture.hpp"
#include "qmplatform/dispatch.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

namespace {
std::vector<std::string> eventNames(const service::LocalService& service) {
    std::vector<std::string> names;
    for (const auto& request : service.requestsFor("event")) names.push_back(request.fields["event_name"].description());
    return names;
}
bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}
}  // namespace

// Stopping right after start-up on the main thread still completes what start-up began:
// the settings answer is applied and the launch's events it releases are sent. After the
// stop, calls are ignored; a new start-up brings the library back.
TEST(Stop, FinishesTheWorkInFlightThenIgnoresCallsUntilTheNextStartUp) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    EXPECT_TRUE(quelmar::stop(20));
    EXPECT_EQ(env.service->requestsFor("settings").size(), 1u);
    EXPECT_TRUE(contains(eventNames(*env.service), "app_launch"));
    EXPECT_TRUE(env.host.logContains("[quelmar]-[INFO]: Stopped."));

    quelmar::trackEvents("after_stop", Value(), Value(), 1);
    EXPECT_TRUE(env.host.runUntilIdle());
    EXPECT_FALSE(contains(eventNames(*env.service), "after_stop"));
    EXPECT_FALSE(QMRuntime::shared().qmInternalProcess());

    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForRequests("settings", 2));
    quelmar::trackEvents("after_restart", Value(), Value(), 1);
    EXPECT_TRUE(env.host.runUntil([&] { return contains(eventNames(*env.service), "after_restart"); }));
    EXPECT_TRUE(quelmar::stop(20));
}

// A stop whose deadline comes while the service holds the settings request: the calls that
// wait for the settings are kept and the next start-up sends them.
TEST(Stop, CallsWaitingAtTheDeadlineAreSentByTheNextStartUp) {
    testkit::ServiceHost env;
    env.service->setFault("settings", {service::FaultKind::NoAnswer});
    quelmar::Initialize("live");
    quelmar::trackEvents("checkout", Value{{"step", "2"}}, Value(), 1);
    ASSERT_TRUE(env.waitForRequests("settings", 1));
    EXPECT_FALSE(quelmar::stop(0.5));
    EXPECT_FALSE(contains(eventNames(*env.service), "checkout"));

    env.service->clearFaults();
    quelmar::Initialize("live");
    EXPECT_TRUE(env.host.runUntil([&] { return contains(eventNames(*env.service), "checkout"); }));
    EXPECT_TRUE(quelmar::stop(20));
}

// A block run while the stop serves the main run loop may call the stop again: that call
// returns at once (false) and the first one carries on.
TEST(Stop, ACallFromABlockItRunsDoesNotWaitForItself) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    bool inner = true;
    platform::Queue::main().async([&inner] { inner = quelmar::stop(5); });
    EXPECT_TRUE(quelmar::stop(20));
    EXPECT_FALSE(inner);
}
