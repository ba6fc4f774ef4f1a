#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/QMSDKDataStore.hpp"
#include "qmplatform/sandbox.hpp"
#include "test_host.hpp"

using namespace qm;
using platform::Files;

TEST(DataStore, StartingAStoreRemovesTemporariesThatKilledWritesLeftBehind) {
    testkit::TestHost host;
    const std::string documents = platform::Sandbox::documentsDirectory();
    const std::string caches = platform::Sandbox::cachesDirectory();
    const std::string stale[] = {documents + "/.qm_Staticstics.plist.qmtmp.Ab12Cd", caches + "/.qm_nc_a.png.qmtmp.Zz12Yy"};
    const std::string foreign = documents + "/.report.txt.tmp.Ab12Cd";
    for (const auto& path : stale) ASSERT_TRUE(Files::writeFileAtomically(path, "partial"));
    ASSERT_TRUE(Files::writeFileAtomically(foreign, "the app's"));

    auto store = std::make_shared<QMSDKDataStore>();
    host.runUntilIdle();
    for (const auto& path : stale) EXPECT_FALSE(Files::fileExists(path)) << path;
    EXPECT_EQ(Files::readFile(foreign), "the app's");

    // The store's own writes leave nothing beside their files.
    store->write_qm_Statistics(Value{{"n1", 1}});
    store->saveToCacheDirectory(Bytes{1, 2, 3}, "qm_nc_b.png");
    EXPECT_EQ(Files::contentsOfDirectory(documents), (std::vector<std::string>{".report.txt.tmp.Ab12Cd", "qm_Staticstics.plist"}));
    EXPECT_EQ(Files::contentsOfDirectory(caches), std::vector<std::string>{"qm_nc_b.png"});
}
