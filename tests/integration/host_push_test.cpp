// Pushes through the example host against the embedded service: permission, registration,
// the token's subscription, a push shown in front, a tap on its button routed to a screen and
// reported, and the badge cleared; a push scheduled with the service and a geofence-push block.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>

#include "process.hpp"
#include "test_host.hpp"

using namespace qm;

TEST(HostPush, RegisterReceiveAndTapAButton) {
    testkit::TestHost host;  // only for its throw-away folders
    const std::string app = QM_TEST_DATA_DIR "/../../examples/sample-app";
    const std::string payload = host.root() + "/push.json";
    std::ofstream(payload) << R"({"aps":{"alert":{"title":"Spring sale","body":"20% off"},"category":"qmpush",)"
                           << R"("qm_data":{"nid":"601","sid":"12","target":1,"url":"https://www.example.com/sale",)"
                           << R"("actionExtra":{"copy":"SPRING20"},"cta1":{"Identifier":"qmpush-cta1","title":"Offers",)"
                           << R"("target":0,"url":"OffersViewController"}}}})";
    auto run = testkit::runProgram(
        QM_BINARY_DIR "/examples/qm-host",
        {"--bundle", app, "--sandbox", host.root() + "/app", "--embedded-service", host.root() + "/service", "init",
         "live", "push-authorize", "granted", "push-register", "push-token", "0aff", "push-token", "0aff",
         "push-receive", payload, "--state", "active", "notifications", "push-open", payload, "--action", "qmpush-cta1",
         "badge", "2", "notifications", "requests"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& out = run.output;
    EXPECT_NE(out.find("registered for pushes: yes"), std::string::npos) << out;
    EXPECT_NE(out.find(R"(delegate: {"eventName":"Push_Registered","status":"success","subscriptionId":"0aff"})"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("already subscribed for push notification with this subscriptionID"), std::string::npos);
    EXPECT_NE(out.find("present: options 7"), std::string::npos) << out;
    EXPECT_NE(out.find(R"(notification QMInAppViewConroller: {"ViewControllerToLoad":"OffersViewController","callToAction":1,"type":"push"})"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(R"("eventName":"Push_Clicked")"), std::string::npos) << out;
    EXPECT_NE(out.find("top screen: OffersViewController"), std::string::npos) << out;
    EXPECT_NE(out.find("badge: -1"), std::string::npos) << out;

    // One subscription, and the click reported with its button.
    const std::string requests = out.substr(out.find("== requests"));
    const auto subscribe = requests.find("POST https://push.quelmar.io/mobile/api/ios_subscribe\n");
    ASSERT_NE(subscribe, std::string::npos) << requests;
    EXPECT_EQ(requests.find("POST https://push.quelmar.io/mobile/api/ios_subscribe\n", subscribe + 1), std::string::npos);
    const auto stats = requests.find("POST https://push.quelmar.io/mobile/api/stats\n");
    ASSERT_NE(stats, std::string::npos) << requests;
    EXPECT_NE(requests.find("    type = clicks\n", stats), std::string::npos);
    EXPECT_NE(requests.find("    clickType = 1\n", stats), std::string::npos);
}

namespace {

// Minutes from `from` to `to`, both "yyyy-MM-dd HH:mm:ss" wall times of one zone.
long minutesBetween(const std::string& from, const std::string& to) {
    const auto seconds = [](const std::string& text) {
        std::tm parts{};
        std::istringstream(text) >> std::get_time(&parts, "%Y-%m-%d %H:%M:%S");
        return static_cast<long>(timegm(&parts));
    };
    return (seconds(to) - seconds(from)) / 60;
}

}  // namespace

TEST(HostPush, ScheduleAPushAndBlockGeofencePushes) {
    testkit::TestHost host;  // only for its throw-away folders
    const std::string app = QM_TEST_DATA_DIR "/../../examples/sample-app";
    // Two days ahead in UTC is still more than a day ahead in any zone the host may be in.
    char until[32];
    const std::time_t later = std::time(nullptr) + 2 * 86400;
    std::strftime(until, sizeof until, "%Y-%m-%d %H:%M:%S", std::gmtime(&later));
    auto run = testkit::runProgram(
        QM_BINARY_DIR "/examples/qm-host",
        {"--bundle", app, "--sandbox", host.root() + "/app", "--embedded-service", host.root() + "/service", "init",
         "live", "push-authorize", "granted", "push-register", "push-token", "0aff", "schedule", "701", "spring",
         "3600", "Tea & cake", "50% off = half price", "https://www.quelmar.io/sale?from=push",
         "https://push.quelmar.io/media/icon.png", "geofence-block", until, "3", "requests"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& out = run.output;
    EXPECT_NE(out.find("Push notification is successfully scheduled."), std::string::npos) << out;

    // The request carries every field unchanged, the push token as the subscription.
    const std::string requests = out.substr(out.find("== requests"));
    const auto schedule = requests.find("POST https://push.quelmar.io/mobile/api/schedule\n");
    ASSERT_NE(schedule, std::string::npos) << requests;
    const std::string fields = requests.substr(schedule, requests.find("\nPOST ", schedule + 1) - schedule);
    for (const char* field : {"    notificationID = 701\n", "    subscriptionID = 0aff\n", "    title = Tea & cake\n",
                              "    message = 50% off = half price\n", "    tag = spring\n",
                              "    url = https://www.quelmar.io/sale?from=push\n", "    time = 3600\n",
                              "    icon = https://push.quelmar.io/media/icon.png\n"}) {
        EXPECT_NE(fields.find(field), std::string::npos) << field << " in\n" << fields;
    }

    // The block starts now (in the date's format) and lasts until the date plus three hours.
    const std::string startKey = "stored: qm_GeoTransactionalEventStoredDate = ";
    const std::string lengthKey = "stored: qm_blockGeofencePushForHours = ";
    const auto startAt = out.find(startKey), lengthAt = out.find(lengthKey);
    ASSERT_NE(startAt, std::string::npos) << out;
    ASSERT_NE(lengthAt, std::string::npos) << out;
    const std::string start = out.substr(startAt + startKey.size(), out.find('\n', startAt) - startAt - startKey.size());
    const long length = std::strtol(out.c_str() + lengthAt + lengthKey.size(), nullptr, 10);
    ASSERT_EQ(start.size(), 19u) << start;
    EXPECT_NEAR(length, minutesBetween(start, until) + 3 * 60, 1) << start << " to " << until;
    EXPECT_GT(length, 24 * 60 + 3 * 60);
    EXPECT_NE(out.find("Geofence Push has been stopped for " + std::to_string(length / 60) + " hour(s) from now"),
              std::string::npos);
}

// A push with a picture while the app is in the background: the extension (its own process,
// its sandbox beside the app's) attaches the picture and numbers the badge; the notification
// the app's center shows carries both, and a tap on its button routes to the button's screen.
// The service hears of the view from the extension and of the click from the app.
TEST(HostPush, TheExtensionPreparesThePushTheAppShowsAndOpens) {
    testkit::TestHost host;  // only for its throw-away folders
    const std::string examples = QM_TEST_DATA_DIR "/../../examples";
    const std::string payload = QM_TEST_DATA_DIR "/../../service/fixtures/pushes/image.json";
    auto run = testkit::runProgram(
        QM_BINARY_DIR "/examples/qm-host",
        {"--bundle", examples + "/sample-app", "--sandbox", host.root() + "/app", "--embedded-service",
         host.root() + "/service", "--extension-bundle", examples + "/sample-extension", "init", "live",
         "push-authorize", "granted", "push-register", "push-token", "0aff", "push-extension", payload, "notifications",
         "push-open", "last", "--action", "qmpush-cta1", "requests"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& out = run.output;
    EXPECT_NE(out.find("attachment: image " + host.root() + "/extension/tmp/"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("qm_pushViewID":")"), std::string::npos) << out;
    EXPECT_NE(out.find("\"New arrivals\" category qmpush\nbadge: 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("top screen: OffersViewController"), std::string::npos) << out;
    // The view (from the extension) and then the button's click, each for push 613.
    const auto view = out.find("type = views");
    const auto click = out.find("type = clicks");
    ASSERT_NE(view, std::string::npos) << out;
    ASSERT_NE(click, std::string::npos) << out;
    EXPECT_LT(view, click);
    EXPECT_NE(out.find("notificationID = 613\n    3 = 0aff\n    type = views"), std::string::npos) << out;
    EXPECT_NE(out.find("clickType = 1"), std::string::npos) << out;
}
