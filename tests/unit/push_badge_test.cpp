// The app-icon badge the library counts in the app-group suite, shared with the
// notification-service extension: numbering arriving pushes, counting clicks down, the host's
// raise/lower/clear, and two processes counting at once.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <limits>
#include <string>
#include <vector>

#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "push/QMSDKPushBadgeHandler.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

extern char** environ;

using namespace qm;

namespace {

class PushBadge : public ::testing::Test {
protected:
    platform::UserDefaults& group() { return *QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults; }
    // Most badge changes run on the file queue and reach the icon through the main queue.
    void settle() {
        ASSERT_TRUE(QMSDKDataStore::qmFinishPendingFileWork(20));
        host.runUntilIdle();
    }
    Value stored() {
        settle();
        return group().objectForKey("qm_PushBadgeCountNumber");
    }
    long icon() {
        settle();
        return platform::Application::shared().applicationIconBadgeNumber();
    }

    testkit::TestHost host;
    QMSDKPushBadgeHandler& badge = QMSDKPushBadgeHandler::sharedInstance();
};

}  // namespace

TEST_F(PushBadge, ArrivingPushesCountUpAndClicksCountDownToNoBadge) {
    platform::Application::shared().setApplicationIconBadgeNumber(7);
    EXPECT_EQ(badge.qmGetCurrentPushBadgeNumberCount(), 1);
    EXPECT_EQ(badge.qmGetCurrentPushBadgeNumberCount(), 2);
    EXPECT_EQ(badge.qmGetCurrentPushBadgeNumberCount(), 3);
    EXPECT_EQ(stored(), Value(3));
    // Numbering a push leaves the icon to the notification that carries the number.
    EXPECT_EQ(icon(), 7);

    badge.qmUpdatePushNottificationBadgeCountNumberOnPushClick();
    EXPECT_EQ(icon(), 2);
    badge.qmUpdatePushNottificationBadgeCountNumberOnPushClick();
    EXPECT_EQ(icon(), 1);
    // The last one is "no badge", not 0.
    badge.qmUpdatePushNottificationBadgeCountNumberOnPushClick();
    EXPECT_EQ(icon(), -1);
    EXPECT_EQ(stored(), Value(-1));
    // Nothing left to count down: neither the count nor the icon moves.
    platform::Application::shared().setApplicationIconBadgeNumber(4);
    badge.qmUpdatePushNottificationBadgeCountNumberOnPushClick();
    EXPECT_EQ(icon(), 4);
    EXPECT_EQ(stored(), Value(-1));
    // A negative count numbers the next push 1.
    EXPECT_EQ(badge.qmGetCurrentPushBadgeNumberCount(), 1);
    // A damaged count at the top of the range stays there instead of wrapping around.
    group().setObject(Value(std::numeric_limits<long>::max()), "qm_PushBadgeCountNumber");
    EXPECT_EQ(badge.qmGetCurrentPushBadgeNumberCount(), std::numeric_limits<long>::max());
}

TEST_F(PushBadge, HostRaisesLowersAndClearsTheCountAndOtherValuesDoNothing) {
    platform::Application::shared().setApplicationIconBadgeNumber(9);
    quelmar::updatePushBadgeNumberWithValue(1);  // nothing to lower
    EXPECT_FALSE(stored());
    quelmar::updatePushBadgeNumberWithValue(0);
    EXPECT_EQ(stored(), Value(1));
    quelmar::updatePushBadgeNumberWithValue(0);
    quelmar::updatePushBadgeNumberWithValue(0);
    EXPECT_EQ(stored(), Value(3));
    quelmar::updatePushBadgeNumberWithValue(1);
    EXPECT_EQ(stored(), Value(2));
    quelmar::updatePushBadgeNumberWithValue(1);
    EXPECT_EQ(stored(), Value(1));
    quelmar::updatePushBadgeNumberWithValue(1);  // 1 is followed by "no badge"
    EXPECT_EQ(stored(), Value(-1));
    quelmar::updatePushBadgeNumberWithValue(1);  // below 1 stays
    EXPECT_EQ(stored(), Value(-1));
    quelmar::updatePushBadgeNumberWithValue(0);  // from "no badge" to 1
    EXPECT_EQ(stored(), Value(1));

    for (long other : {5L, -1L, 3L}) quelmar::updatePushBadgeNumberWithValue(other);
    EXPECT_EQ(stored(), Value(1));
    EXPECT_EQ(icon(), 9) << "raising and lowering leave the icon alone";

    quelmar::updatePushBadgeNumberWithValue(2);
    EXPECT_EQ(icon(), -1);
    EXPECT_FALSE(stored());
    // Written through: the file holds no count either.
    ASSERT_TRUE(group().reload());
    EXPECT_FALSE(stored());
}

TEST_F(PushBadge, ClearingDisabledByTheHostTouchesNeitherIconNorCount) {
    Value info = testkit::TestHost::defaultInfo();
    info.set("qmDisableBadgeClearing", true);
    host.writeInfo(info);
    platform::Application::shared().setApplicationIconBadgeNumber(6);
    badge.qmGetCurrentPushBadgeNumberCount();
    badge.qmGetCurrentPushBadgeNumberCount();
    quelmar::updatePushBadgeNumberWithValue(2);
    badge.qmClearPushNottificationBadgeCountNumber();
    EXPECT_EQ(icon(), 6);
    EXPECT_EQ(stored(), Value(2));

    info.set("qmDisableBadgeClearing", false);
    host.writeInfo(info);
    badge.qmClearPushNottificationBadgeCountNumber();
    EXPECT_EQ(icon(), -1);
    EXPECT_FALSE(stored());
}

// The app and its extension both count in the app-group suite: a thousand pushes numbered in
// each process at the same time come to two thousand, and the keys either process set on the
// way (a thousand times each) hold their last values.
TEST_F(PushBadge, TwoProcessesCountingAThousandTimesEachLoseNoUpdate) {
    constexpr int kCount = 1000;
    constexpr int kKeys = 50;  // the helper's number of own keys, each set 20 times
    const std::string program = QM_BINARY_DIR "/tests/qm_push_counter";
    const std::string count = std::to_string(kCount);
    std::vector<std::string> arguments{program, host.sandboxDir(), host.groupsDir(), host.bundleDir(), "count", count};
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t other = -1;
    ASSERT_EQ(posix_spawn(&other, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);

    auto& suite = group();
    for (int i = 0; i < kCount; ++i) {
        // A key of this process's own goes out with the next count, merged over the file.
        suite.setInteger(i, "qm_testKeyHere_" + std::to_string(i % kKeys));
        badge.qmGetCurrentPushBadgeNumberCount();
    }
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    ASSERT_TRUE(suite.synchronize());
    ASSERT_TRUE(suite.reload());
    EXPECT_EQ(stored(), Value(2 * kCount));
    // Each key holds the last value its process gave it.
    const std::string theirs = "qm_testKey" + std::to_string(other) + "_";
    for (int k = 0; k < kKeys; ++k) {
        EXPECT_EQ(suite.objectForKey("qm_testKeyHere_" + std::to_string(k)), Value(kCount - kKeys + k));
        EXPECT_EQ(suite.objectForKey(theirs + std::to_string(k)), Value(kCount - kKeys + k));
    }
    // The next push after both: one more than everything counted.
    EXPECT_EQ(badge.qmGetCurrentPushBadgeNumberCount(), 2 * kCount + 1);
}
