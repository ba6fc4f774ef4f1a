// The example host app run as separate processes on one sandbox, as an app is launched again
// and again.
#include <gtest/gtest.h>

#include <filesystem>

#include "process.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
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
