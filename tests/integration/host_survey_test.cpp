// The surveys in the example host app, end to end: the library asks the real web engine for
// the survey page on the service's own host name, the engine is routed to the embedded
// service, the page's messages come back as the host's callbacks, and the service saw the
// page asked for under that host name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

const std::string kHost = QM_BINARY_DIR "/examples/qm-host";
const std::string kHelper = QM_BINARY_DIR "/platform/webkit/qm-webkit";
const std::string kApp = QM_TEST_DATA_DIR "/../../examples/sample-app";

// The text between `from` and the next "== " verb heading (or the end).
std::string section(const std::string& output, const std::string& from) {
    const auto start = output.find(from);
    if (start == std::string::npos) return {};
    const auto end = output.find("\n== ", start + from.size());
    return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

TEST(HostSurvey, BothSurveysLoadFromTheServiceHostAndTheirMessagesReachTheHost) {
    if (access(kHelper.c_str(), X_OK) != 0) GTEST_SKIP() << "the qm-webkit helper is not built here";
    testkit::TestHost host;  // only for its throw-away folders
    for (const auto& [screen, campaign] : std::vector<std::pair<std::string, std::string>>{
             {"SurveyViewController", "8101"}, {"FullSurveyViewController", "8102"}}) {
        SCOPED_TRACE(screen);
        auto run = testkit::runProgram(kHost, {"--bundle", kApp, "--sandbox", host.root() + "/" + screen,
                                               "--embedded-service", host.root() + "/service-" + screen,
                                               "--fixture-set", "templates", "init", "live", "screen", screen, "show",
                                               "views", "requests"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        const std::string shown = section(run.output, "== show");
        // "shown: survey 8101" (in a modal) or "shown: campaign 8102" (full screen).
        const auto shownLine = shown.find("\nshown: ");
        ASSERT_NE(shownLine, std::string::npos) << shown;
        EXPECT_TRUE(shown.substr(shownLine).ends_with(" " + campaign)) << shown;

        // The page's answers reach the host's delegate while 'show' waits, in the page's order.
        const std::string attempt = R"("attributes":{"notificationID":")" + campaign +
                                    R"(","q1":"Very satisfied"},"callbackType":"survey","eventName":"Survey Attempt")";
        const std::string submit = R"("attributes":{"notificationID":")" + campaign +
                                   R"(","q1":"Very satisfied","q2":"Weekly offers"},"callbackType":"survey","eventName":"Survey Submit")";
        const auto attempted = shown.find(attempt);
        const auto submitted = shown.find(submit);
        EXPECT_NE(attempted, std::string::npos) << shown;
        EXPECT_NE(submitted, std::string::npos) << shown;
        EXPECT_LT(attempted, submitted);

        // The survey moved on to its thank-you page on the same host.
        EXPECT_NE(section(run.output, "== views")
                      .find(R"("url":"https:\/\/mobile.quelmar.io\/user\/survey\/thankYou?notificationid=)" + campaign),
                  std::string::npos)
            << run.output;

        // The survey in a modal took the thank-you page's height (a short page: less than the
        // half of the 844-point screen it started with), around the screen's centre.
        if (campaign == "8101") {
            const std::string views = section(run.output, "== views");
            const auto panel = views.find(R"("class":"qmSurveyModalPopupView","frame":{"height":)");
            ASSERT_NE(panel, std::string::npos) << views;
            const std::string frame = views.substr(panel, views.find('}', panel) - panel);
            const double height = std::stod(frame.substr(frame.find("\"height\":") + 9));
            const double y = std::stod(frame.substr(frame.find("\"y\":") + 4));
            EXPECT_GT(height, 40);
            EXPECT_LT(height, 422);
            EXPECT_NEAR(y + height / 2, 422, 0.5) << frame;
        }

        // The service saw both pages asked for under the service's host name, once each.
        const std::string requests = section(run.output, "== requests");
        const auto modal = requests.find("GET https://mobile.quelmar.io/user/survey/modal\n");
        ASSERT_NE(modal, std::string::npos) << requests;
        EXPECT_EQ(requests.find("GET https://mobile.quelmar.io/user/survey/modal\n", modal + 1), std::string::npos);
        EXPECT_NE(requests.find("    notificationid = " + campaign, modal), std::string::npos) << requests;
        EXPECT_NE(requests.find("GET https://mobile.quelmar.io/user/survey/thankYou\n"), std::string::npos) << requests;
    }
}
