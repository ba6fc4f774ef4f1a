// Pushes through the example host against the embedded service: permission, registration,
// the token's subscription, a push shown in front, a tap on its button routed to a screen and
// reported, and the badge cleared.
#include <gtest/gtest.h>

#include <fstream>
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
