// One key changed in one step under the suite's file lock: the value the change starts from is
// the file's (what another process wrote), this process's unwritten change of the key wins,
// the result is on disk when the call returns, and concurrent changes are never lost.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qmplatform/plist.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"

extern char** environ;

using qm::Value;
using qm::platform::Files;
using qm::platform::Sandbox;
using qm::platform::UserDefaults;

namespace {

class PreferencesUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm-prefs-update-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        root_ = dir_ + "/App";
        ASSERT_TRUE(Sandbox::configure(root_));
    }
    void TearDown() override { Files::removeItem(dir_); }

    Value onDisk(const UserDefaults& suite) {
        auto bytes = Files::readFile(suite.filePath());
        return bytes ? qm::platform::plist::read(*bytes).value_or(Value()) : Value();
    }
    // Another process sets PREFIX0.. PREFIX<count-1> to 0.. count-1 in the suite's file.
    int writeFromAnotherProcess(const std::string& suite, const std::string& prefix, int count) {
        const std::string program = QM_BINARY_DIR "/tests/qm_prefs_writer";
        std::string countText = std::to_string(count);
        std::string name = suite, pre = prefix;
        std::vector<char*> args{const_cast<char*>(program.c_str()), root_.data(), name.data(), pre.data(),
                                countText.data(), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, args.data(), environ) != 0) return -1;
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }
    static Value plusOne(const Value& v) { return Value(v.integerValue() + 1); }

    std::string dir_, root_;
};

}  // namespace

TEST_F(PreferencesUpdate, StartsFromTheFileAndWritesTheResultWithPendingChanges) {
    UserDefaults& d = UserDefaults::suite("update.file");
    d.setInteger(1, "p0");  // read before the other process writes: memory goes stale
    ASSERT_TRUE(d.synchronize());
    ASSERT_EQ(writeFromAnotherProcess("update.file", "p", 3), 0);
    EXPECT_EQ(d.integerForKey("p2"), 0) << "not re-read yet";

    // The file's 2, not the stale nothing in memory.
    EXPECT_EQ(d.updateObjectForKey("p2", [](const Value& v) { return Value(v.integerValue() + 10); }), Value(12));
    EXPECT_EQ(d.integerForKey("p2"), 12);
    EXPECT_EQ(d.integerForKey("p1"), 1) << "what the file held comes along";

    // This process's unwritten change of the key is the value to start from; other unwritten
    // changes are written with it.
    d.setInteger(5, "p1");
    d.setObject("pending", "other");
    int calls = 0;
    EXPECT_EQ(d.updateObjectForKey("p1", [&](const Value& v) { ++calls; return plusOne(v); }), Value(6));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(onDisk(d), (Value{{"p0", 0}, {"p1", 6}, {"p2", 12}, {"other", "pending"}}));

    // Nothing removes the key; a value a property list cannot hold changes nothing.
    EXPECT_FALSE(d.updateObjectForKey("p0", [](const Value&) { return Value(); }));
    EXPECT_FALSE(onDisk(d).contains("p0"));
    EXPECT_EQ(d.updateObjectForKey("p1", [](const Value&) { return Value::null(); }), Value(6));
    EXPECT_EQ(d.updateObjectForKey("list", [](const Value&) { return Value::array({Value::null()}); }), Value());
    EXPECT_EQ(onDisk(d), (Value{{"p1", 6}, {"p2", 12}, {"other", "pending"}}));
    EXPECT_EQ(d.dictionaryRepresentation(), onDisk(d));
}

TEST_F(PreferencesUpdate, ThreadsCountingTogetherLoseNoIncrementAndPlainWritesStay) {
    UserDefaults& d = UserDefaults::suite("update.threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&d, t] {
            for (int i = 0; i < 100; ++i) {
                d.updateObjectForKey("count", plusOne);
                d.setInteger(i, "t" + std::to_string(t) + "_" + std::to_string(i));
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(d.integerForKey("count"), 400);
    ASSERT_TRUE(d.synchronize());
    const Value file = onDisk(d);
    EXPECT_EQ(file["count"], Value(400));
    EXPECT_EQ(file.count(), 401u);
}

TEST_F(PreferencesUpdate, WithoutAWritableFolderTheUpdateStillHoldsInThisProcess) {
    // The preferences folder's place is taken by a file: nothing can be written there.
    const std::string folder = root_ + "/Library/Preferences";
    Files::removeItem(folder);
    ASSERT_TRUE(Files::writeFileAtomically(folder, "not a folder"));
    UserDefaults& d = UserDefaults::suite("update.nowhere");
    EXPECT_EQ(d.updateObjectForKey("count", plusOne), Value(1));
    EXPECT_EQ(d.updateObjectForKey("count", plusOne), Value(2));
    EXPECT_EQ(d.integerForKey("count"), 2);
    EXPECT_FALSE(d.synchronize()) << "the change stays pending";
}
