// A campaign page that talks back, driven through the example host against the embedded
// service: real clicks in the real engine post every message a page may send, and the
// statistics requests of its displays and clicks reach the service over two days.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

const std::string kHost = QM_BINARY_DIR "/examples/qm-host";

// The text between the line "== VERB" and the next verb's line.
std::string verbOutput(const std::string& output, const std::string& verb, std::size_t from = 0) {
    const std::size_t start = output.find("== " + verb + "\n", from);
    if (start == std::string::npos) return {};
    const std::size_t end = output.find("\n== ", start + 1);
    return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

struct StatsRequest {
    std::vector<std::string> fields;  // names, in the order they were sent
    std::string action, pageUrl, notificationID;
};

// The statistics requests the `requests` verb listed, in the order the service received them.
std::vector<StatsRequest> statsRequests(const std::string& output) {
    std::vector<StatsRequest> found;
    const std::size_t listed = output.find("== requests\n");
    if (listed == std::string::npos) return found;
    std::size_t at = listed;
    StatsRequest* current = nullptr;
    while ((at = output.find('\n', at)) != std::string::npos) {
        ++at;
        const std::string line = output.substr(at, output.find('\n', at) - at);
        if (line.rfind("    ", 0) == 0) {
            if (!current) continue;
            const std::string name = line.substr(4, line.find(" = ") - 4);
            const std::string value = line.substr(line.find(" = ") + 3);
            current->fields.push_back(name);
            if (name == "action") current->action = value;
            if (name == "pageUrl") current->pageUrl = value;
            if (name == "notificationID") current->notificationID = value;
        } else if (line.rfind("POST https://", 0) == 0 && line.ends_with("/mobile/api/stats")) {
            current = &found.emplace_back();
        } else {
            current = nullptr;
        }
    }
    return found;
}

std::size_t indexOf(const std::vector<std::string>& names, const std::string& name) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return i;
    return names.size();
}

}  // namespace

TEST(HostBridge, EveryPageMessageActsAndTheStatisticsFollowTheDays) {
    testkit::TestHost host;  // only for its throw-away folders
    const std::string app = QM_TEST_DATA_DIR "/../../examples/sample-app";
    auto run = testkit::runProgram(
        kHost, {"--bundle", app, "--sandbox", host.root() + "/app", "--embedded-service", host.root() + "/service",
                "--fixture-set", "bridge", "init", "live", "screen", "BridgeViewController", "show",  // uniqueView
                "page-click", "#attempt", "page-click", "#submit", "page-click", "#web", "page-click", "#app",
                "page-click", "#call", "page-click", "#resize", "page-click", "#stop",
                "show",                                        // view
                "page-click", "#screen", "tap", "cta1",        // uniqueClick
                "screen", "BridgeViewController", "show",      // view
                "tap", "cta1",                                 // click
                "clock", "86400", "screen", "BridgeViewController", "show",  // uniqueView on the next day
                "tap", "close", "requests"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& out = run.output;

    // Survey progress reaches the host as callback records, the page's tokens parsed.
    EXPECT_NE(verbOutput(out, "page-click #attempt")
                  .find(R"("attributes":{"notificationID":"8201","q1":"Yes","tokens":{"first_name":"Ada"}},)"
                        R"("callbackType":"survey","eventName":"Survey Attempt")"),
              std::string::npos)
        << out;
    EXPECT_NE(verbOutput(out, "page-click #submit").find(R"("eventName":"Survey Submit")"), std::string::npos) << out;
    EXPECT_NE(verbOutput(out, "page-click #submit").find(R"("type":14.1)"), std::string::npos) << out;

    // Pages, other apps and calls open outside; the page's campaign stays on screen.
    EXPECT_NE(verbOutput(out, "page-click #web").find("opened: https://www.example.com/offers"), std::string::npos) << out;
    EXPECT_NE(verbOutput(out, "page-click #app").find("opened: otherapp://open?item=7"), std::string::npos) << out;
    EXPECT_NE(verbOutput(out, "page-click #call").find("opened: telprompt:+15550100"), std::string::npos) << out;

    // A popup's page cannot resize it: the message is refused with its reason.
    EXPECT_NE(verbOutput(out, "page-click #resize").find("Modal Survey is unable to resize due to an invalid webview"),
              std::string::npos)
        << out;

    // "Do not show again" closes the campaign and reports a click (the click rule lets it
    // come back at once).
    const std::string stop = verbOutput(out, "page-click #stop");
    EXPECT_NE(stop.find(R"("eventName":"Banner Clicked")"), std::string::npos) << out;
    EXPECT_NE(stop.find(R"("type":15.1)"), std::string::npos) << out;
    EXPECT_NE(verbOutput(out, "show", out.find("== page-click #stop")).find("shown: campaign 8201"), std::string::npos) << out;

    // An app screen with the link's parameters.
    const std::string screen = verbOutput(out, "page-click #screen");
    EXPECT_NE(screen.find(R"("ViewControllerToLoad":"OffersViewController","callToAction":3,)"
                          R"("parameters":{"item":"7","source":"page"})"),
              std::string::npos)
        << out;
    EXPECT_NE(screen.find("top screen: OffersViewController"), std::string::npos) << out;

    // Displays and button clicks, in order: the first display of a day is unique, the first
    // click ever is unique; the messages above report nothing.
    const auto stats = statsRequests(out);
    const std::vector<std::string> expected{"uniqueView", "view", "uniqueClick", "view", "click", "uniqueView"};
    ASSERT_EQ(stats.size(), expected.size()) << out;
    for (std::size_t i = 0; i < stats.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(stats[i].action, expected[i]);
        EXPECT_EQ(stats[i].notificationID, "8201");
        EXPECT_EQ(stats[i].pageUrl, "BridgeViewController");
        const auto& f = stats[i].fields;
        // After the common fields: the campaign, the action, the screen, the template and
        // the system's version, in that order.
        ASSERT_LT(indexOf(f, "os_version"), f.size());
        EXPECT_LT(indexOf(f, "mode"), indexOf(f, "notificationID"));
        EXPECT_LT(indexOf(f, "notificationID"), indexOf(f, "action"));
        EXPECT_LT(indexOf(f, "action"), indexOf(f, "pageUrl"));
        EXPECT_LT(indexOf(f, "pageUrl"), indexOf(f, "template"));
        EXPECT_LT(indexOf(f, "template"), indexOf(f, "os_version"));
    }
}
