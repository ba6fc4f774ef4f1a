// What the service hears of pushes: view and click statistics sent from the app or from an
// extension (whose values come from the app-group suite), clicks that survive the app being
// killed right after the tap, and pushes the app asks the service to schedule.
#include <gtest/gtest.h>

#include <string>

#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/preferences.hpp"
#include "process.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

namespace {

class PushStatistics : public ::testing::Test {
protected:
    // What the app stores for requests, in the suites `store` names.
    void storeAccount(QMStore store) {
        prefs.qmSetInteger(1234, "qm_brandID", store);
        prefs.qmSetString("k3y", "qm_encryptedKey", store);
        prefs.qmSetString("TOKEN-1", "qm_deviceID", store);
        prefs.qmSetString("V-1", "qm_iOS_VENDOR_IDENTIFIER", store);
        prefs.qmSetString("A-1", "qm_anal_id", store);
        prefs.qmSetString("Agent/1.0", "qm_secretAgent", store);
        prefs.qmSetString("ann", "qm_userID", store);
    }
    std::vector<service::RecordedRequest> pushStats() const {
        std::vector<service::RecordedRequest> found;
        for (const auto& request : env.service->requestsFor("stats")) {
            if (request.service == "push") found.push_back(request);
        }
        return found;
    }
    bool waitForPushStats(std::size_t count) {
        return env.host.runUntil([&] { return pushStats().size() >= count; });
    }

    testkit::ServiceHost env;
    QMSDKUserDefaultsData& prefs = QMSDKUserDefaultsData::sharedInstance();
    std::shared_ptr<qmInternalProcessClass> engine = std::make_shared<qmInternalProcessClass>();
};

}  // namespace

TEST_F(PushStatistics, AViewCarriesItsFieldsInOrderAndNoClickType) {
    storeAccount(QMStore::Library);
    prefs.qmSetString("English", "qm_language", QMStore::AppGroup);
    engine->PushNotificationStatisticsWithStatsApiUrl(Value(), "N1", "views", "S1", 5000);
    ASSERT_TRUE(waitForPushStats(1));
    const auto sent = pushStats().front();
    EXPECT_EQ(sent.host, "push.quelmar.io");
    EXPECT_EQ(sent.path, "/mobile/api/stats");
    EXPECT_EQ(sent.headers.at("user-agent"), "Agent/1.0");
    EXPECT_EQ(sent.headers.at("content-type"), "application/json");
    EXPECT_TRUE(sent.body.starts_with("bid=1234&bid_e=k3y&device=2&clickID=A-1&language=English&sdk_version=7.0.5"
                                      "&notificationID=N1&3=TOKEN-1&type=views&sid=S1&deviceID=V-1&userID=ann"))
        << sent.body;
    EXPECT_FALSE(sent.fields.contains("clickType")) << sent.body;
    // The language found in the app group is the engine's from now on.
    EXPECT_EQ(engine->qmLanguage.get(), Value("English"));
    EXPECT_TRUE(env.host.runUntil([&] {
        return env.host.logContains("[quelmar]-[INFO]: Push notification statistics has been completed successfully.");
    }));

    // An answer without "Authentication" is a refusal.
    env.service->setAnswer("push/stats", Value{{"Message", "who are you"}});
    engine->PushNotificationStatisticsWithStatsApiUrl(Value(), "N2", "inbox_view", Value(), 0);
    ASSERT_TRUE(waitForPushStats(2));
    EXPECT_EQ(pushStats()[1].fields["clickType"], Value("0"));
    EXPECT_FALSE(pushStats()[1].fields.contains("sid"));
    EXPECT_TRUE(env.host.runUntil([&] {
        return env.host.logContains("[quelmar]-[ERROR]: Invalid authentication for push notification statistics");
    }));
}

// In the extension the library suite is empty: every value comes from the app group, and a
// stats URL of "(null)" is no URL.
TEST_F(PushStatistics, AnExtensionReadsTheAppGroupAndFallsBackToTheDefaultURL) {
    storeAccount(QMStore::AppGroup);
    // Empty or zero in the library suite counts as absent.
    prefs.qmSetInteger(0, "qm_brandID", QMStore::Library);
    prefs.qmSetObject("", "qm_encryptedKey", QMStore::Library);
    engine->PushNotificationStatisticsWithStatsApiUrl("(null)", "N3", "inbox_push_view", "", 0);
    ASSERT_TRUE(waitForPushStats(1));
    const auto sent = pushStats().front();
    EXPECT_EQ(sent.path, "/mobile/api/stats");
    EXPECT_EQ(sent.headers.at("user-agent"), "Agent/1.0");
    EXPECT_EQ(sent.fields["bid"], Value("1234"));
    EXPECT_EQ(sent.fields["bid_e"], Value("k3y"));
    EXPECT_EQ(sent.fields["3"], Value("TOKEN-1"));
    EXPECT_EQ(sent.fields["deviceID"], Value("V-1"));
    EXPECT_EQ(sent.fields["clickID"], Value("A-1"));
    EXPECT_EQ(sent.fields["userID"], Value("ann"));
    EXPECT_EQ(sent.fields["language"], Value(""));
    EXPECT_FALSE(sent.fields.contains("sid"));

    // The push's own statistics URL is used when it has one; values are encoded on their own.
    engine->PushNotificationStatisticsWithStatsApiUrl("https://push.quelmar.io/campaign/7/stats", "N&4", "views", Value(), 5000);
    ASSERT_TRUE(waitForPushStats(2));
    EXPECT_EQ(pushStats()[1].path, "/campaign/7/stats");
    EXPECT_EQ(pushStats()[1].fields["notificationID"], Value("N&4"));
    EXPECT_EQ(pushStats()[1].fields["type"], Value("views"));
}

// A click goes through a background session: the app killed right after the tap leaves the
// request stored, and its next launch sends it. A click also counts the badge down.
TEST_F(PushStatistics, AClickSurvivesTheAppExitingRightAfterTheTap) {
    storeAccount(QMStore::AppGroup);
    ASSERT_TRUE(platform::UserDefaults::flushAll(10));
    env.service->setFault("push/stats", {service::FaultKind::NoAnswer});
    auto run = testkit::runProgram(QM_BINARY_DIR "/tests/qm_push_counter",
                                   {env.host.sandboxDir(), env.host.groupsDir(), env.host.bundleDir(), "click", "N9",
                                    env.service->address(), env.service->caFile()});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(platform::URLSession::pendingBackgroundSessionIdentifiers(),
              std::vector<std::string>{"qmSessionBgTaskPushStats_N9"});
    env.service->clearFaults();
    env.service->clearRequests();

    quelmar::Initialize("live");
    ASSERT_TRUE(waitForPushStats(1));
    const auto sent = pushStats().front();
    EXPECT_EQ(sent.fields["type"], Value("clicks"));
    EXPECT_EQ(sent.fields["notificationID"], Value("N9"));
    EXPECT_EQ(sent.fields["sid"], Value("S-1"));
    EXPECT_EQ(sent.fields["clickType"], Value("1"));
    EXPECT_EQ(sent.fields["bid"], Value("1234"));
    EXPECT_EQ(sent.headers.at("user-agent"), "Agent/1.0");
    EXPECT_TRUE(env.host.runUntil([&] {
        return env.host.logContains("[quelmar]-[INFO]: Push notification statistics has been completed successfully.");
    }));
    EXPECT_TRUE(env.host.runUntil([] { return platform::URLSession::pendingBackgroundSessionIdentifiers().empty(); }));

    // A click in the app: clickType 0, and the badge one lower on the icon. (Start-up's
    // clearing of the badge is done first.)
    ASSERT_TRUE(QMSDKDataStore::qmFinishPendingFileWork(20));
    prefs.qmSetInteger(2, "qm_PushBadgeCountNumber", QMStore::AppGroup);
    engine->PushNotificationStatisticsWithStatsApiUrl(Value(), "N10", "clicks", Value(), 0);
    ASSERT_TRUE(waitForPushStats(2));
    EXPECT_EQ(pushStats()[1].fields["clickType"], Value("0"));
    EXPECT_TRUE(env.host.runUntil([] { return platform::Application::shared().applicationIconBadgeNumber() == 1; }));
    EXPECT_EQ(prefs.qmIntegerForKey("qm_PushBadgeCountNumber", QMStore::AppGroup), 1);
    // Inbox clicks leave the badge alone.
    engine->PushNotificationStatisticsWithStatsApiUrl(Value(), "N11", "inbox_click", Value(), 2);
    ASSERT_TRUE(waitForPushStats(3));
    EXPECT_EQ(pushStats()[2].fields["clickType"], Value("2"));
    ASSERT_TRUE(QMSDKDataStore::qmFinishPendingFileWork(20));
    EXPECT_EQ(prefs.qmIntegerForKey("qm_PushBadgeCountNumber", QMStore::AppGroup), 1);
}

TEST_F(PushStatistics, AScheduledPushCarriesItsFieldsInOrderAfterTheCommonOnes) {
    storeAccount(QMStore::Library);
    quelmar::schedulePushNotificationwithNotificationID("SN1", "promo", "3600", "Hello there", "Tea & cake", "https://example.com/a?b=c",
                                                        "https://example.com/i.png");
    ASSERT_TRUE(env.waitForRequests("schedule", 1));
    const auto sent = env.service->requestsFor("schedule").front();
    EXPECT_EQ(sent.service, "push");
    EXPECT_EQ(sent.path, "/mobile/api/schedule");
    EXPECT_EQ(sent.headers.at("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(sent.headers.at("user-agent"), "Agent/1.0");
    EXPECT_TRUE(sent.body.starts_with("bid=1234&bid_e=k3y&device=2&deviceID=V-1&clickID=A-1&")) << sent.body;
    const auto at = sent.body.find("&notificationID=SN1&subscriptionID=TOKEN-1&title=");
    ASSERT_NE(at, std::string::npos) << sent.body;
    const std::vector<std::string> order{"&title=", "&message=", "&tag=promo", "&url=", "&time=3600", "&icon="};
    std::size_t previous = at;
    for (const auto& field : order) {
        const auto next = sent.body.find(field, previous);
        ASSERT_NE(next, std::string::npos) << field << " in " << sent.body;
        previous = next;
    }
    EXPECT_EQ(sent.fields["title"], Value("Hello there"));
    EXPECT_EQ(sent.fields["message"], Value("Tea & cake"));
    EXPECT_EQ(sent.fields["url"], Value("https://example.com/a?b=c"));
    EXPECT_TRUE(env.host.runUntil(
        [&] { return env.host.logContains("[quelmar]-[INFO]: Push notification is successfully scheduled."); }));

    // A refusal is told apart from success.
    env.service->setAnswer("push/schedule", Value{{"Authentication", "failed"}});
    quelmar::schedulePushNotificationwithNotificationID("SN2", "promo", "60", "t", "m", "", "");
    ASSERT_TRUE(env.waitForRequests("schedule", 2));
    EXPECT_TRUE(env.host.runUntil([&] {
        return env.host.logContains("[quelmar]-[ERROR]: Authentication failed to schedule a push notification. Please "
                                    "check your internet connection.");
    }));
}

TEST_F(PushStatistics, SchedulingWithoutACompulsoryFieldSendsNothing) {
    storeAccount(QMStore::Library);
    prefs.qmRemoveObjectForKey("qm_deviceID", QMStore::Library);
    quelmar::schedulePushNotificationwithNotificationID("SN1", "promo", "3600", "t", "m", "", "");
    storeAccount(QMStore::Library);
    quelmar::schedulePushNotificationwithNotificationID("SN1", "", "3600", "t", "m", "", "");
    quelmar::schedulePushNotificationwithNotificationID("SN1", "promo", Value::null(), "t", "m", "", "");
    quelmar::schedulePushNotificationwithNotificationID("", "promo", "3600", "t", "m", "", "");
    prefs.qmSetInteger(0, "qm_brandID", QMStore::Library);
    quelmar::schedulePushNotificationwithNotificationID("SN1", "promo", "3600", "t", "m", "", "");
    EXPECT_EQ(env.host.logCount("[quelmar]-[ERROR]: brandId, secretKey, notificationId, time, subcriptionID and tag are "
                                "compulsory may be any one of it is empty or nil"),
              5u);
    env.host.runUntilIdle();
    EXPECT_TRUE(env.service->requestsFor("schedule").empty());
}
