// The example host app run as separate processes on one sandbox, as an app is launched again
// and again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "library_fixture.hpp"
#include "process.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmui/picture.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {
const std::string kHost = QM_BINARY_DIR "/examples/qm-host";

Value libraryPreferences(const std::string& sandbox) {
    auto bytes = platform::Files::readFile(sandbox + "/Library/Preferences/io.quelmar.sdk.plist");
    return bytes ? platform::plist::read(*bytes).value_or(Value()) : Value();
}
}  // namespace

TEST(HostApp, LaunchesAreCountedAcrossProcessesAndABrandChangeResets) {
    testkit::TestHost host;  // only for its throw-away folders
    const std::string sandbox = host.root() + "/host-sandbox";
    const std::string bundle = host.bundleDir();

    for (int launch = 1; launch <= 3; ++launch) {
        auto run = testkit::runProgram(kHost, {"--bundle", bundle, "--sandbox", sandbox, "--service", host.unroutedAddress(), "init", "live"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_NE(run.output.find("[quelmar]-[INFO]: You are in live mode"), std::string::npos) << run.output;
        EXPECT_EQ(libraryPreferences(sandbox)["qm_CountAppLaunch"], Value(launch));
    }
    Value prefs = libraryPreferences(sandbox);
    EXPECT_EQ(prefs["qm_brandID"], Value(1234));
    EXPECT_EQ(prefs["qm_AppMode"], Value("live"));

    Value info = testkit::TestHost::defaultInfo();
    info.set("qmBrandID", 77);
    host.writeInfo(info);
    auto run = testkit::runProgram(kHost, {"--bundle", bundle, "--sandbox", sandbox, "--service", host.unroutedAddress(), "init", "debug"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[quelmar]-[INFO]: BrandID has been changed from 1234 to the new BrandID = 77"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("[quelmar]-[INFO]: Inside, reset SDK data."), std::string::npos);
    prefs = libraryPreferences(sandbox);
    EXPECT_EQ(prefs["qm_CountAppLaunch"], Value(1));
    EXPECT_EQ(prefs["qm_brandID"], Value(77));
}

TEST(HostApp, RefusesAnAppWithoutAccount) {
    testkit::TestHost host;
    Value info = testkit::TestHost::defaultInfo();
    info.remove("qmSecretKey");
    host.writeInfo(info);
    const std::string sandbox = host.root() + "/host-sandbox";
    auto run = testkit::runProgram(kHost, {"--bundle", host.bundleDir(), "--sandbox", sandbox, "--service", host.unroutedAddress(), "init", "live"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("[quelmar]-[ERROR]: Invalid brandID or secret key."), std::string::npos) << run.output;
    EXPECT_FALSE(libraryPreferences(sandbox)["qm_brandID"]);
    auto bad = testkit::runProgram(kHost, {"--bundle", host.bundleDir(), "init"});
    EXPECT_EQ(bad.exitCode, 2);
}

// An app that exits while the service holds its requests: the library's stop at the end
// returns within its deadline, and the background request it could not finish is sent by
// the next launch.
TEST(HostApp, ExitWithRequestsHeldEndsWithinTheStopDeadlineAndTheNextLaunchSendsTheRest) {
    testkit::ServiceHost env;
    const std::string sandbox = env.host.root() + "/host-sandbox";
    const std::vector<std::string> common = {"--bundle", env.host.bundleDir(), "--sandbox", sandbox,
                                             "--service", env.service->address(), "--ca", env.service->caFile()};
    env.service->setFault("settings", {service::FaultKind::NoAnswer});
    env.service->setFault("push/stats", {service::FaultKind::NoAnswer});
    // A push click's statistics request, left by a process that was killed.
    auto click = testkit::runProgram(QM_BINARY_DIR "/tests/qm_bg_click",
                                     {sandbox, env.service->address(), env.service->caFile(), "N7"});
    ASSERT_EQ(click.exitCode, 0) << click.output;

    std::vector<std::string> held = common;
    held.insert(held.end(), {"--settle", "1", "--stop-deadline", "2", "init", "live"});
    const auto started = std::chrono::steady_clock::now();
    auto run = testkit::runProgram(kHost, held);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("stopped at the deadline"), std::string::npos) << run.output;
    // Start-up, one second of settling, two of stopping: well under the service's hold.
    EXPECT_LT(seconds, 10) << run.output;
    EXPECT_GE(env.service->requestsFor("stats").size(), 1u);
    EXPECT_FALSE(platform::Files::contentsOfDirectory(sandbox + "/Library/BackgroundTransfers").empty());

    env.service->clearFaults();
    env.service->clearRequests();
    std::vector<std::string> next = common;
    next.insert(next.end(), {"init", "live"});
    run = testkit::runProgram(kHost, next);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("\nstopped\n"), std::string::npos) << run.output;
    const auto stats = env.service->requestsFor("stats");
    ASSERT_EQ(stats.size(), 1u) << run.output;
    EXPECT_EQ(stats[0].fields["nid"], Value("N7"));
    EXPECT_EQ(env.service->requestsFor("settings").size(), 1u);
}

// An in-app campaign through the host's screen verbs: the settings bring the campaigns, Show
// puts the alert over the key window, its views are listed, and a tap on its button closes it
// and routes to the campaign's screen.
TEST(HostApp, ShowsAnInAppCampaignAndRoutesItsTap) {
    testkit::TestHost host;  // only for its throw-away folders
    const std::string app = QM_TEST_DATA_DIR "/../../examples/sample-app";
    auto run = testkit::runProgram(kHost, {"--bundle", app, "--sandbox", host.root() + "/inapp", "--embedded-service",
                                           host.root() + "/service", "init", "live", "show", "views", "tap", "cta1",
                                           "views", "snapshot", host.root() + "/after.png"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("shown: campaign 7001"), std::string::npos) << run.output;
    const auto firstViews = run.output.find("== views");
    const auto tapAt = run.output.find("== tap cta1");
    ASSERT_NE(firstViews, std::string::npos);
    ASSERT_NE(tapAt, std::string::npos);
    const std::string before = run.output.substr(firstViews, tapAt - firstViews);
    EXPECT_NE(before.find(R"("class":"qmInAppPopupView")"), std::string::npos) << before;
    EXPECT_NE(before.find(R"("text":"View offers")"), std::string::npos) << before;
    EXPECT_NE(run.output.find("tapped: cta1"), std::string::npos);
    EXPECT_NE(run.output.find(R"(notification QMInAppViewConroller: {"ViewControllerToLoad":"OffersViewController")"),
              std::string::npos)
        << run.output;
    const std::string after = run.output.substr(tapAt);
    EXPECT_EQ(after.find("qmInAppPopupView"), std::string::npos) << "closed by the tap";
    EXPECT_EQ(after.find("Unable to simultaneously satisfy"), std::string::npos) << after;
    EXPECT_NE(run.output.find("snapshot: " + host.root() + "/after.png"), std::string::npos);
}

// The host's in-app verbs against the embedded service's one-campaign-per-template set: the
// real engine draws the campaign's own page into the snapshot, a scroll past half of a screen
// brings its on-scroll bar, and the clock verb rolls the daily limit over.
TEST(HostApp, DrawsTheCampaignsPageScrollsAndMovesTheClock) {
    testkit::TestHost host;  // only for its throw-away folders
    const std::string app = QM_TEST_DATA_DIR "/../../examples/sample-app";
    const std::string picture = host.root() + "/modal.png";
    auto run = testkit::runProgram(
        kHost, {"--bundle", app, "--sandbox", host.root() + "/app", "--embedded-service", host.root() + "/service",
                "--fixture-set", "templates", "init", "live", "screen", "ModalViewController", "show", "snapshot",
                picture, "tap", "close", "screen", "ScrollViewController", "show", "scroll", "30", "scroll", "60",
                "tap", "close", "screen",
                "FullViewController", "show", "tap", "close", "show", "clock", "86400", "show"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("shown: campaign 8003"), std::string::npos) << run.output;

    // The page's own background (#ffe9e3) fills a band of the panel; the dimmed backdrop
    // surrounds it.
    auto bitmap = qm::platform::readPNG(picture);
    ASSERT_TRUE(bitmap) << run.output;
    std::size_t pagePixels = 0;
    for (std::uint32_t pixel : bitmap->pixels) {
        const int r = (pixel >> 16) & 0xff, g = (pixel >> 8) & 0xff, b = pixel & 0xff;
        if (std::abs(r - 0xff) <= 2 && std::abs(g - 0xe9) <= 2 && std::abs(b - 0xe3) <= 2) ++pagePixels;
    }
    EXPECT_GT(pagePixels, bitmap->pixels.size() / 20) << "the campaign's page is drawn in its panel";
    const std::uint32_t corner = bitmap->at(2, 2);
    EXPECT_LT(corner & 0xff, 0xd0u) << "the backdrop dims the screen";

    // On-scroll: nothing on Show or at 30 %, the bar at 60 %.
    const auto scrolled30 = run.output.find("scrolled: 30%, shown: nothing");
    const auto scrolled60 = run.output.find("scrolled: 60%, shown: campaign 8009");
    EXPECT_NE(scrolled30, std::string::npos) << run.output;
    EXPECT_NE(scrolled60, std::string::npos) << run.output;

    // Once a day: closed, not again today, again after the clock moved a day.
    const auto full = run.output.find("== screen FullViewController");
    ASSERT_NE(full, std::string::npos);
    const std::string rest = run.output.substr(full);
    const auto first = rest.find("shown: campaign 8004");
    const auto none = rest.find("shown: nothing", first);
    const auto clock = rest.find("== clock 86400", none);
    const auto next = rest.find("shown: campaign 8004", clock);
    EXPECT_NE(first, std::string::npos) << rest;
    EXPECT_NE(none, std::string::npos) << rest;
    EXPECT_NE(clock, std::string::npos) << rest;
    EXPECT_NE(next, std::string::npos) << rest;
}
