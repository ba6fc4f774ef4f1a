// Start-up's click and settings fetches against the local service.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "process.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

namespace {
std::shared_ptr<qmInternalProcessClass> engine() { return QMRuntime::shared().qmInternalProcess(); }

bool settingsApplied() {
    auto e = engine();
    return e && e->fetchBrandSettingsComplete() && e->fetchPushSettingsComplete() && e->fetchBotSettingsComplete();
}
}  // namespace

TEST(SettingsFetch, StartUpFetchesTheClickAndAppliesTheSettings) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil([] { return settingsApplied() && engine()->fetchClickComplete(); }));

    auto& library = *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults;
    const Value deviceID = library.objectForKey("qm_iOS_VENDOR_IDENTIFIER");
    auto clicks = env.service->requestsFor("fetch_click");
    auto settings = env.service->requestsFor("settings");
    ASSERT_EQ(clicks.size(), 1u);
    ASSERT_EQ(settings.size(), 1u);
    // Click: device id as "deviceID", bundle id as "package"; settings: "mobile_app_id".
    EXPECT_EQ(clicks[0].fields["deviceID"], deviceID);
    EXPECT_EQ(clicks[0].fields["package"], Value("com.example.testapp"));
    EXPECT_TRUE(clicks[0].fields.contains("clickID"));
    EXPECT_FALSE(clicks[0].fields.contains("mobile_app_id"));
    EXPECT_EQ(settings[0].fields["deviceID"], deviceID);
    EXPECT_EQ(settings[0].fields["mobile_app_id"], Value("com.example.testapp"));
    EXPECT_FALSE(settings[0].fields.contains("_qm_pu_clid"));

    // The click answer's analytics id, in both suites; the sample settings' content.
    EXPECT_EQ(engine()->qm_anal_id.get(), Value("5e0b7a61c94d42f8"));
    EXPECT_EQ(library.objectForKey("qm_anal_id"), Value("5e0b7a61c94d42f8"));
    EXPECT_EQ(QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults->objectForKey("qm_anal_id"),
              Value("5e0b7a61c94d42f8"));
    Value campaigns = QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data();
    ASSERT_EQ(campaigns["notifications"].count(), 4u);
    EXPECT_EQ(campaigns["notifications"][0]["notificationID"], Value("7001"));
    EXPECT_EQ(campaigns["notifications"][3]["description"], Value("https://mobile.quelmar.io/media/banner.png"));
    EXPECT_EQ(QMSDKDataStore::sharedInstance()->read_qm_GeoData()[1]["id"], Value("gf-102"));
    EXPECT_EQ(library.objectForKey("qm_PushStatusActive"), Value(true));
    EXPECT_EQ(QMRuntime::shared().qmUIDFinalStr.get(), Value("c3f1e7a2-5b64-4d7e-9a1f-2e8b9c0d4f11"));
}

TEST(SettingsFetch, RefusedSettingsStillReleaseTheWaitingCalls) {
    testkit::ServiceHost env;
    env.service->setFault("settings", {service::FaultKind::Refusal});
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil(settingsApplied));
    EXPECT_FALSE(QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data());
    for (const char* line : {"[quelmar]-[ERROR]: Invalid authentication for retrieving InApp Banner or Survey notifications",
                             "[quelmar]-[ERROR]: Invalid authentication for retrieving push notification settings",
                             "[quelmar]-[ERROR]: Invalid authentication for retrieving chatBot settings"}) {
        EXPECT_EQ(env.host.logCount(line), 1u) << line;
    }
}

TEST(SettingsFetch, TransportFailuresAreLoggedAndSetNoFlag) {
    testkit::ServiceHost env;
    env.service->setFault("*", {service::FaultKind::NotJSON});
    quelmar::Initialize("live");
    const std::string jsonError = "Error Domain=NSCocoaErrorDomain Code=3840";
    auto logged = [&](const std::string& line) {
        for (const auto& l : env.host.logLines()) {
            if (l.rfind(line, 0) == 0) return true;
        }
        return false;
    };
    ASSERT_TRUE(env.host.runUntil([&] {
        return logged("[quelmar]-[ERROR]: Authentication failed for settings request with error description: " + jsonError) &&
               logged("[quelmar]-[ERROR]: Authentication failed, analytics could not be completed. Error description: " +
                      jsonError) &&
               logged("[quelmar]-[ERROR]: Invalid authentication, analytics could not be completed. Kindly check your "
                      "internet connection and retry again");
    }));
    EXPECT_FALSE(engine()->fetchBrandSettingsComplete());
    EXPECT_FALSE(engine()->fetchClickComplete());
}

TEST(SettingsFetch, PushClickIdGoesThroughTheBackgroundSession) {
    testkit::ServiceHost env;
    qmInternalProcessClass::sharedInstance()->_qmCurrentPushClID.set("PC1");
    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForRequests("settings", 1));
    auto settings = env.service->requestsFor("settings");
    EXPECT_EQ(settings[0].fields["_qm_pu_clid"], Value("PC1"));

    ASSERT_TRUE(env.host.runUntil(settingsApplied));
    EXPECT_EQ(QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data()["notifications"].count(), 4u);
    // The engine that recorded the click is the one whose answer cleared it: the next start-up
    // does not send the same click again.
    EXPECT_EQ(qmInternalProcessClass::sharedInstance(), engine());
    EXPECT_EQ(qmInternalProcessClass::sharedInstance()->_qmCurrentPushClID.get(), Value(""));
    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForRequests("settings", 2));
    EXPECT_FALSE(env.service->requestsFor("settings")[1].fields.contains("_qm_pu_clid"));
}

// A later fetch (after a user identification, a deep link or a renewed session cookie) that
// fails keeps the campaigns of the last answer; only an answer replaces them, and one that
// refuses the account's campaigns removes them.
TEST(SettingsFetch, CampaignsStayUntilAnAnswerReplacesThem) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil(settingsApplied));
    auto campaignCount = [] { return QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data()["notifications"].count(); };
    ASSERT_EQ(campaignCount(), 4u);

    env.service->setFault("settings", {service::FaultKind::ServerError});
    engine()->qmFetchSettingsWithPushClId(Value());
    ASSERT_TRUE(env.host.runUntil(
        [&] { return env.host.logCount("[quelmar]-[ERROR]: Settings request failed with HTTP status 500") == 1; }));
    EXPECT_EQ(campaignCount(), 4u);
    EXPECT_TRUE(engine()->fetchBrandSettingsComplete());

    env.service->setFault("settings", {service::FaultKind::Refusal});
    engine()->qmFetchSettingsWithPushClId(Value());
    ASSERT_TRUE(env.host.runUntil([&] {
        return env.host.logCount("[quelmar]-[ERROR]: Invalid authentication for retrieving InApp Banner or Survey notifications") == 1;
    }));
    EXPECT_EQ(campaignCount(), 0u);
    EXPECT_EQ(env.service->requestsFor("settings").size(), 3u);
}

namespace {
// The names of the events the service received, sorted: replayed calls enter the library in
// order, but their requests run side by side.
std::vector<std::string> eventNames(const testkit::ServiceHost& env) {
    std::vector<std::string> names;
    for (const auto& r : env.service->requestsFor("event")) names.push_back(r.fields["event_name"].description());
    std::sort(names.begin(), names.end());
    return names;
}
}  // namespace

// A failed settings fetch is tried again (after a wait, on foreground, when the network comes
// back) and the calls made meanwhile are all sent once an answer is in.
TEST(SettingsFetch, FailedFetchesAreRetriedAndTheWaitingCallsSentAfterwards) {
    testkit::ServiceHost env;
    env.service->setFault("settings", {service::FaultKind::ServerError});
    quelmar::Initialize("live");
    quelmar::trackEvents("purchase", Value{{"sku", "A1"}}, "5", 2);
    quelmar::UserIdentifier("alice", Value());
    auto settingsRequests = [&] { return env.service->requestsFor("settings").size(); };
    auto failures = [&] { return env.host.logCount("[quelmar]-[ERROR]: Settings request failed with HTTP status 500"); };
    ASSERT_TRUE(env.host.runUntil([&] { return failures() == 1; }));
    EXPECT_FALSE(engine()->fetchBrandSettingsComplete());

    // The first retry waits 2 seconds of the app's clock.
    env.host.advance(1.9);
    env.host.runUntilIdle();
    EXPECT_EQ(settingsRequests(), 1u);
    env.host.advance(0.1);
    ASSERT_TRUE(env.host.runUntil([&] { return failures() == 2; }));

    // The next wait is 4 seconds; coming to the foreground does not wait for it.
    quelmar::applicationWillEnterForeground(nullptr);
    ASSERT_TRUE(env.host.runUntil([&] { return failures() == 3; }));
    EXPECT_EQ(settingsRequests(), 3u);

    // Now 8 seconds; the network going away and coming back asks at once.
    platform::NetworkReachability::setSimulatedFlags(0u);
    env.host.advance(2);
    env.host.runUntilIdle();
    EXPECT_EQ(settingsRequests(), 3u);
    env.service->clearFaults();
    platform::NetworkReachability::setSimulatedFlags(std::nullopt);
    env.host.advance(2);
    ASSERT_TRUE(env.host.runUntil(settingsApplied));
    EXPECT_EQ(settingsRequests(), 4u);

    // Everything deferred went out, and no retry follows the answer.
    ASSERT_TRUE(env.host.runUntil([&] { return eventNames(env).size() == 3 && env.service->requestsFor("user").size() == 1; }));
    EXPECT_EQ(eventNames(env), (std::vector<std::string>{"app_launch", "install", "purchase"}));
    env.host.runUntilIdle();
    const std::size_t settled = settingsRequests();  // the user answer may ask for settings too
    env.host.advance(600);
    env.host.runUntilIdle();
    EXPECT_EQ(settingsRequests(), settled);
    EXPECT_EQ(env.host.logCount("Settings will be requested again"), 3u);
}

// Calls that one launch could not send wait for the next launch's settings answer, in order,
// and the install of a launch whose event never reached the service is still counted.
TEST(SettingsFetch, CallsOfAFailedLaunchAreSentByTheNextOne) {
    testkit::ServiceHost env;
    const std::string host = QM_BINARY_DIR "/examples/qm-host";
    const std::string sandbox = env.host.root() + "/host-sandbox";
    const std::vector<std::string> common = {"--bundle", env.host.bundleDir(), "--sandbox", sandbox,
                                             "--service", env.service->address(), "--ca", env.service->caFile()};
    auto launch = [&](std::vector<std::string> verbs) {
        std::vector<std::string> arguments = common;
        arguments.insert(arguments.end(), verbs.begin(), verbs.end());
        auto run = testkit::runProgram(host, arguments);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        return run.output;
    };

    env.service->setFault("settings", {service::FaultKind::NotJSON});
    launch({"init", "live", "track", "purchase", "identify", "alice"});
    EXPECT_TRUE(eventNames(env).empty());
    EXPECT_TRUE(env.service->requestsFor("user").empty());

    env.service->clearFaults();
    launch({"init", "live"});
    EXPECT_EQ(eventNames(env), (std::vector<std::string>{"app_launch", "app_launch", "install", "purchase"}));
    ASSERT_EQ(env.service->requestsFor("user").size(), 1u);
    EXPECT_EQ(env.service->requestsFor("user")[0].fields["userID"], Value("alice"));

    // An install whose request failed after set-up is tracked again by the next launch, once.
    std::filesystem::remove_all(sandbox);
    env.service->clearRequests();
    env.service->setFault("event", {service::FaultKind::NotJSON});
    launch({"init", "live"});
    EXPECT_EQ(eventNames(env), (std::vector<std::string>{"app_launch", "install"}));
    env.service->clearFaults();
    env.service->clearRequests();
    const std::string output = launch({"init", "live"});
    EXPECT_NE(output.find("The install event of an earlier launch was not sent; tracking it again."), std::string::npos)
        << output;
    launch({"init", "live"});
    EXPECT_EQ(eventNames(env), (std::vector<std::string>{"app_launch", "app_launch", "install"}));
}
