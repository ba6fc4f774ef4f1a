#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/QMSDKDataStore.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/sandbox.hpp"
#include "test_host.hpp"

using namespace qm;
using platform::Files;

TEST(DataStore, StartUpRemovesTemporariesThatKilledWritesLeftBehind) {
    testkit::TestHost host;
    const std::string documents = platform::Sandbox::documentsDirectory();
    const std::string caches = platform::Sandbox::cachesDirectory();
    const std::string stale[] = {documents + "/.qm_Staticstics.plist.qmtmp.Ab12Cd", caches + "/.qm_nc_a.png.qmtmp.Zz12Yy"};
    const std::string foreign = documents + "/.report.txt.tmp.Ab12Cd";
    for (const auto& path : stale) ASSERT_TRUE(Files::writeFileAtomically(path, "partial"));
    ASSERT_TRUE(Files::writeFileAtomically(foreign, "the app's"));

    auto store = QMSDKDataStore::sharedInstance();
    store->qmRemoveAbandonedFiles();
    host.runUntilIdle();
    for (const auto& path : stale) EXPECT_FALSE(Files::fileExists(path)) << path;
    EXPECT_EQ(Files::readFile(foreign), "the app's");

    // The store's own writes leave nothing beside their files.
    store->write_qm_Statistics(Value{{"n1", 1}});
    store->saveToCacheDirectory(Bytes{1, 2, 3}, "qm_nc_b.png");
    ASSERT_TRUE(QMSDKDataStore::qmFinishPendingFileWork(20));
    EXPECT_EQ(Files::contentsOfDirectory(documents), (std::vector<std::string>{".report.txt.tmp.Ab12Cd", "qm_Staticstics.plist"}));
    EXPECT_EQ(Files::contentsOfDirectory(caches), std::vector<std::string>{"qm_nc_b.png"});
}

// File work runs on the store's queue in the order it was asked for, whichever thread asked
// (a write on the main thread, a clear from a global queue), never on the caller's thread;
// reads wait for the work before them, and work left by a store that is gone still runs.
TEST(DataStore, FileWorkRunsInTurnOnItsQueueAndReadsWaitForIt) {
    testkit::TestHost host;
    platform::Semaphore holding, release;
    QMSDKDataStore::fileQueue().async([holding, release]() mutable {
        holding.signal();
        release.wait(20);
    });
    ASSERT_TRUE(holding.wait(20));

    auto store = std::make_shared<QMSDKDataStore>();
    const std::string campaigns = store->qm_notifications_bID_FilePath();
    store->write_qm_notifications_bID_Data(Value{{"Authentication", "success"}, {"v", 1}});
    platform::Group clearing;
    clearing.async(platform::Queue::global(), [store] { store->clear_qm_notifications_bID_Data(); });
    ASSERT_TRUE(clearing.wait(20));
    store->write_qm_notifications_bID_Data(Value{{"Authentication", "success"}, {"v", 2}});
    store.reset();
    EXPECT_FALSE(Files::fileExists(campaigns));

    release.signal();
    EXPECT_EQ(QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data(), (Value{{"Authentication", "success"}, {"v", 2}}));
    std::vector<std::string> steps;
    for (const auto& line : host.logLines()) {
        if (line.find("brand settings data finished.") != std::string::npos) steps.push_back(line);
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"[quelmar]-[INFO]: Inside, write brand settings data finished.",
                                               "[quelmar]-[INFO]: Inside, clear brand settings data finished.",
                                               "[quelmar]-[INFO]: Inside, write brand settings data finished."}));
}
