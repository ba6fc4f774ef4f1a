#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "qmplatform/bundle.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"

extern char** environ;

using qm::Value;
using qm::platform::Files;
using qm::platform::Sandbox;
using qm::platform::UserDefaults;

namespace {

constexpr auto kGuard = std::chrono::seconds(20);  // only ever reached when a test fails

// Holds a suite's file lock the way a writer in another process does, until released.
class HeldSuiteLock {
public:
    explicit HeldSuiteLock(const std::string& suiteFile) {
        const std::string folder = suiteFile.substr(0, suiteFile.rfind('/'));
        Files::createDirectory(folder, true);
        fd_ = open((suiteFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) release();
    }
    ~HeldSuiteLock() { release(); }
    bool held() const { return fd_ >= 0; }
    void release() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Reports when a file is next opened: a writer of a suite opens its lock file before it
// waits for the lock.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) {
        fd_ = inotify_init1(IN_CLOEXEC);
        if (fd_ >= 0 && inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~OpenWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool watching() const { return fd_ >= 0; }
    bool waitForOpen() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kGuard).count())) == 1;
    }

private:
    int fd_ = -1;
};

class Preferences : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm-prefs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        root_ = dir_ + "/App";
        ASSERT_TRUE(Sandbox::configure(root_));
    }
    void TearDown() override { Files::removeItem(dir_); }

    Value readPlistFile(const std::string& path) {
        auto bytes = Files::readFile(path);
        if (!bytes) return {};
        return qm::platform::plist::read(*bytes).value_or(Value());
    }

    pid_t spawnWriter(const std::string& suite, const std::string& prefix, int count,
                      const char* mode = nullptr) {
        const std::string program = QM_BINARY_DIR "/tests/qm_prefs_writer";
        const std::string countText = std::to_string(count);
        std::vector<char*> args{const_cast<char*>(program.c_str()), root_.data(),
                                const_cast<char*>(suite.c_str()), const_cast<char*>(prefix.c_str()),
                                const_cast<char*>(countText.c_str())};
        if (mode) args.push_back(const_cast<char*>(mode));
        args.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, args.data(), environ), 0);
        return pid;
    }

    // Names in the preferences folder that are writeFileAtomically's temporaries of `file`.
    std::vector<std::string> temporariesOf(const std::string& file) {
        std::vector<std::string> found;
        for (const auto& name : Files::contentsOfDirectory(root_ + "/Library/Preferences")) {
            if (Files::temporaryTarget(name) == file) found.push_back(name);
        }
        return found;
    }

    static int waitExitCode(pid_t pid) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    std::string root_;
};

TEST_F(Preferences, TypedAccessorsConvertAndDefault) {
    UserDefaults& d = UserDefaults::suite("typed");
    EXPECT_TRUE(d.objectForKey("missing").isNone());
    EXPECT_EQ(d.stringForKey("missing"), std::nullopt);
    EXPECT_EQ(d.integerForKey("missing"), 0);
    EXPECT_FALSE(d.boolForKey("missing"));
    EXPECT_EQ(d.doubleForKey("missing"), 0.0);

    d.setInteger(42, "n");
    d.setDouble(2.5, "d");
    d.setBool(false, "b");
    EXPECT_TRUE(d.setObject("17 apples", "s"));
    EXPECT_TRUE(d.setObject(Value::array({1, 2}), "list"));

    EXPECT_EQ(d.integerForKey("n"), 42);
    EXPECT_EQ(d.stringForKey("n"), "42");
    EXPECT_TRUE(d.boolForKey("n"));
    EXPECT_EQ(d.integerForKey("d"), 2);
    EXPECT_EQ(d.stringForKey("d"), "2.5");
    EXPECT_TRUE(d.objectForKey("b").isBoolean());
    EXPECT_FALSE(d.boolForKey("b"));
    EXPECT_EQ(d.integerForKey("s"), 17);  // leading digits, like the platform's reading
    EXPECT_EQ(d.stringForKey("s"), "17 apples");
    EXPECT_EQ(d.stringForKey("list"), std::nullopt);

    // Values a property list cannot hold are refused and change nothing.
    EXPECT_FALSE(d.setObject(Value::null(), "n"));
    EXPECT_FALSE(d.setObject(Value{{"inner", Value::null()}}, "n"));
    EXPECT_EQ(d.integerForKey("n"), 42);

    EXPECT_TRUE(d.setObject(Value(), "n"));  // nothing removes
    d.removeObjectForKey("d");
    Value expected{{"b", false}, {"list", Value::array({1, 2})}, {"s", "17 apples"}};
    EXPECT_EQ(d.dictionaryRepresentation(), expected);
    EXPECT_TRUE(d.synchronize());
}

TEST_F(Preferences, SynchronizeWritesBinaryPlistOnlyWhenSomethingChanged) {
    UserDefaults& d = UserDefaults::suite("com.example.app");
    const std::string file = root_ + "/Library/Preferences/com.example.app.plist";
    EXPECT_EQ(d.filePath(), file);

    d.setObject("hello", "greeting");
    d.setInteger(7, "count");
    d.setObject(Value{{"inner", Value::array({"x"})}}, "nested");
    ASSERT_TRUE(d.synchronize());

    auto bytes = Files::readFile(file);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->substr(0, 8), "bplist00");
    Value expected{{"count", 7}, {"greeting", "hello"}, {"nested", Value{{"inner", Value::array({"x"})}}}};
    EXPECT_EQ(readPlistFile(file), expected);

    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    EXPECT_TRUE(d.synchronize());
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    d.removeObjectForKey("greeting");
    ASSERT_TRUE(d.synchronize());
    EXPECT_EQ(readPlistFile(file), (Value{{"count", 7}, {"nested", Value{{"inner", Value::array({"x"})}}}}));
    // Only the file and its lock remain: no temporary files left behind.
    EXPECT_EQ(Files::contentsOfDirectory(root_ + "/Library/Preferences"),
              (std::vector<std::string>{"com.example.app.plist", "com.example.app.plist.lock"}));
}

TEST_F(Preferences, ReloadAndSynchronizePickUpAnOutsideWriter) {
    UserDefaults& d = UserDefaults::suite("shared");
    d.setObject("a", "mine");
    d.setInteger(1, "both");
    ASSERT_TRUE(d.synchronize());

    auto writeOutside = [&](const Value& content) {
        auto bytes = qm::platform::plist::write(content, qm::platform::plist::Format::XML);
        ASSERT_TRUE(bytes);
        ASSERT_TRUE(Files::writeFileAtomically(d.filePath(), *bytes));
    };
    writeOutside(Value{{"mine", "a"}, {"both", 1}, {"theirs", 7}});
    EXPECT_TRUE(d.objectForKey("theirs").isNone());  // reads come from memory
    ASSERT_TRUE(d.synchronize());                     // no local changes: picks up the file
    EXPECT_EQ(d.integerForKey("theirs"), 7);

    // Local changes survive both a reload and the merge with a newer file.
    d.setObject("pending", "local");
    d.removeObjectForKey("both");
    writeOutside(Value{{"mine", "a"}, {"both", 2}, {"theirs", 8}, {"extra", true}});
    ASSERT_TRUE(d.reload());
    Value expected{{"mine", "a"}, {"theirs", 8}, {"extra", true}, {"local", "pending"}};
    EXPECT_EQ(d.dictionaryRepresentation(), expected);
    ASSERT_TRUE(d.synchronize());
    EXPECT_EQ(readPlistFile(d.filePath()), expected);

    // A corrupt file reads as empty and is reported.
    ASSERT_TRUE(Files::writeFileAtomically(d.filePath(), "not a property list"));
    EXPECT_FALSE(d.reload());
    EXPECT_EQ(d.dictionaryRepresentation(), Value::dictionary());
}

TEST_F(Preferences, SuitesAreFoundByNameAndGroupSuitesLiveInTheGroupContainer) {
    const std::string groups = dir_ + "/Groups";
    ASSERT_TRUE(Sandbox::configure(root_, groups));
    UserDefaults& g = UserDefaults::suite("group.com.example.shared");
    EXPECT_EQ(&g, &UserDefaults::suite("group.com.example.shared"));
    g.setInteger(5, "k");
    ASSERT_TRUE(g.synchronize());
    const std::string file =
        groups + "/group.com.example.shared/Library/Preferences/group.com.example.shared.plist";
    EXPECT_EQ(readPlistFile(file), (Value{{"k", 5}}));
    EXPECT_FALSE(Files::fileExists(root_ + "/Library/Preferences/group.com.example.shared.plist"));

    // The standard suite follows the main bundle's identifier.
    EXPECT_EQ(UserDefaults::standard().filePath(), root_ + "/Library/Preferences/standard.plist");
    const std::string bundle = dir_ + "/Host.app";
    ASSERT_TRUE(Files::createDirectory(bundle, true));
    ASSERT_TRUE(Files::writeFileAtomically(
        bundle + "/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.host</string></dict></plist>\n"));
    qm::platform::Bundle::setMainBundlePath(bundle);
    EXPECT_EQ(UserDefaults::standard().filePath(), root_ + "/Library/Preferences/com.example.host.plist");
    EXPECT_EQ(&UserDefaults::standard(), &UserDefaults::suite("com.example.host"));
}

TEST_F(Preferences, ThreadsWritingAndSynchronizingConcurrentlyLoseNoKeys) {
    UserDefaults& d = UserDefaults::suite("threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&d, t] {
            for (int i = 0; i < 25; ++i) {
                d.setInteger(t * 100 + i, "k" + std::to_string(t * 100 + i));
                if (i % 5 == 0) d.synchronize();
                (void)d.dictionaryRepresentation();
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(d.synchronize());
    Value onDisk = readPlistFile(d.filePath());
    EXPECT_EQ(onDisk.count(), 100u);
    EXPECT_EQ(onDisk["k324"], Value(324));
}

TEST_F(Preferences, TwoProcessesWritingOneSuiteLoseNoKeys) {
    UserDefaults& d = UserDefaults::suite("group.com.example.both");
    d.setObject("here", "fromTest");  // a local change not yet written

    constexpr int kCount = 40;
    pid_t a = spawnWriter("group.com.example.both", "a", kCount);
    pid_t b = spawnWriter("group.com.example.both", "b", kCount);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(waitExitCode(a), 0);
    EXPECT_EQ(waitExitCode(b), 0);

    // Synchronize merges the local change over both processes' keys and sees all of them.
    ASSERT_TRUE(d.synchronize());
    Value onDisk = readPlistFile(d.filePath());
    EXPECT_EQ(onDisk.count(), 2u * kCount + 1);
    EXPECT_EQ(d.dictionaryRepresentation(), onDisk);
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(d.integerForKey("a" + std::to_string(i)), i);
        EXPECT_EQ(d.integerForKey("b" + std::to_string(i)), i);
    }
    EXPECT_EQ(d.stringForKey("fromTest"), "here");

    // A writer that never synchronizes still gets its keys out when it exits.
    pid_t c = spawnWriter("group.com.example.both", "c", 3, "exit-flush");
    ASSERT_GT(c, 0);
    EXPECT_EQ(waitExitCode(c), 0);
    ASSERT_TRUE(d.synchronize());
    EXPECT_EQ(d.integerForKey("c2"), 2);
    EXPECT_EQ(d.dictionaryRepresentation().count(), 2u * kCount + 4);
}

TEST_F(Preferences, AWriteInProgressBlocksNoReaderAndLosesNoNewerChange) {
    UserDefaults& d = UserDefaults::suite("busy");
    d.setInteger(1, "k");
    d.setInteger(1, "gone");

    // Declared before the lock so that an early return releases the lock first and the
    // threads can finish.
    std::future<bool> writer;
    std::future<Value> reader;
    HeldSuiteLock lock(d.filePath());
    ASSERT_TRUE(lock.held());
    OpenWatch watch(d.filePath() + ".lock");
    ASSERT_TRUE(watch.watching());
    writer = std::async(std::launch::async, [&d] { return d.synchronize(); });
    // Past this point the writer has taken what to write and waits for the file lock.
    ASSERT_TRUE(watch.waitForOpen());

    reader = std::async(std::launch::async, [&d] {
        d.setInteger(2, "k");
        d.removeObjectForKey("gone");
        return d.dictionaryRepresentation();
    });
    const bool readerReturned = reader.wait_for(kGuard) == std::future_status::ready;
    EXPECT_TRUE(readerReturned) << "a change and a read waited for the write";
    EXPECT_EQ(writer.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    lock.release();
    ASSERT_TRUE(writer.get());
    EXPECT_EQ(reader.get(), (Value{{"k", 2}}));

    // The write of the older values left the newer ones in memory and pending.
    EXPECT_EQ(d.dictionaryRepresentation(), (Value{{"k", 2}}));
    ASSERT_TRUE(d.synchronize());
    EXPECT_EQ(readPlistFile(d.filePath()), (Value{{"k", 2}}));
}

TEST_F(Preferences, FlushAllWritesEverySuiteWithinItsDeadline) {
    UserDefaults& a = UserDefaults::suite("flush.a");
    UserDefaults& b = UserDefaults::suite("flush.b");
    EXPECT_TRUE(UserDefaults::flushAll(0));  // nothing pending

    HeldSuiteLock lock(b.filePath());
    ASSERT_TRUE(lock.held());
    a.setInteger(1, "x");
    b.setObject("y", "y");
    a.synchronizeSoon();
    b.synchronizeSoon();  // returns although b cannot be written now

    // b's writer waits for the lock: not everything is on disk, and the call says so
    // instead of waiting past its deadline.
    EXPECT_FALSE(UserDefaults::flushAll(0));
    lock.release();
    EXPECT_TRUE(UserDefaults::flushAll(kGuard.count()));
    EXPECT_EQ(readPlistFile(a.filePath()), (Value{{"x", 1}}));
    EXPECT_EQ(readPlistFile(b.filePath()), (Value{{"y", "y"}}));
}

TEST_F(Preferences, FlushedChangesSurviveAKillAndAnExitWritesTheRest) {
    UserDefaults& d = UserDefaults::suite("durable");
    auto endedBy = [](pid_t pid) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    };

    // Killed right after flushAll returned: every key is in the file.
    pid_t killed = spawnWriter("durable", "f", 20, "flush-then-kill");
    ASSERT_GT(killed, 0);
    EXPECT_EQ(endedBy(killed), SIGKILL);
    ASSERT_TRUE(d.synchronize());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(d.integerForKey("f" + std::to_string(i)), i);

    // Exiting while the flush thread may be at work on its requests: the exit handler
    // still writes every key.
    pid_t exiting = spawnWriter("durable", "s", 200, "soon");
    ASSERT_GT(exiting, 0);
    EXPECT_EQ(waitExitCode(exiting), 0);
    ASSERT_TRUE(d.synchronize());
    EXPECT_EQ(d.dictionaryRepresentation().count(), 220u);
    EXPECT_EQ(d.integerForKey("s199"), 199);
}

TEST_F(Preferences, OpeningASuiteRemovesOnlyItsAbandonedTemporaries) {
    const std::string folder = root_ + "/Library/Preferences";
    auto create = [&](const std::string& name) {
        ASSERT_TRUE(Files::writeFileAtomically(folder + "/" + name, "partial"));
    };
    for (const char* name : {".suite.a.plist.qmtmp.Ab12Cd", ".suite.a.plist.tmp.Xy98Zw",  // killed writers, old naming too
                             ".suite.b.plist.qmtmp.Ab12Cd",                                // another suite's
                             ".suite.a.plist.qmtmp.Ab12C", "suite.a.plist.qmtmp.Ab12Cd",   // not our pattern
                             ".suite.a.plist.qmtmp.Live01"}) {
        create(name);
    }
    // A writer alive right now holds its temporary locked.
    const int live = open((folder + "/.suite.a.plist.qmtmp.Live01").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(flock(live, LOCK_EX), 0);

    UserDefaults& a = UserDefaults::suite("suite.a");
    EXPECT_EQ(Files::contentsOfDirectory(folder),
              (std::vector<std::string>{".suite.a.plist.qmtmp.Ab12C", ".suite.a.plist.qmtmp.Live01",
                                        ".suite.b.plist.qmtmp.Ab12Cd", "suite.a.plist.lock", "suite.a.plist.qmtmp.Ab12Cd"}));
    close(live);
    a.setInteger(1, "k");
    ASSERT_TRUE(a.synchronize());
    EXPECT_EQ(readPlistFile(a.filePath()), (Value{{"k", 1}}));

    // While another process's writer holds the suite's lock, opening leaves the clean-up to
    // the next start instead of waiting.
    create(".suite.c.plist.qmtmp.Ab12Cd");
    const int suiteLock = open((folder + "/suite.c.plist.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(suiteLock, 0);
    ASSERT_EQ(flock(suiteLock, LOCK_EX), 0);
    UserDefaults::suite("suite.c");
    EXPECT_TRUE(Files::fileExists(folder + "/.suite.c.plist.qmtmp.Ab12Cd"));
    close(suiteLock);
}

TEST_F(Preferences, CleaningNeverTakesTheTemporaryOfALiveWriter) {
    // A writer in another process replaces the file 150 times while this one removes every
    // temporary of it that it sees and can take.
    constexpr int kCount = 150;
    pid_t writer = spawnWriter("group.com.example.race", "r", kCount);
    ASSERT_GT(writer, 0);
    const std::string folder = root_ + "/../AppGroups/group.com.example.race/Library/Preferences";
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(writer, &status, WNOHANG)) == 0) {
        for (const auto& name : Files::contentsOfDirectory(folder)) {
            if (Files::temporaryTarget(name)) Files::removeAbandonedTemporary(folder + "/" + name);
        }
    }
    ASSERT_EQ(done, writer);
    // Every one of its writes succeeded and nothing was left over.
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    Value onDisk = readPlistFile(folder + "/group.com.example.race.plist");
    EXPECT_EQ(onDisk.count(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(Files::contentsOfDirectory(folder),
              (std::vector<std::string>{"group.com.example.race.plist", "group.com.example.race.plist.lock"}));
}

TEST_F(Preferences, TemporariesOfKilledWritersAreGoneOnceTheSuiteIsOpened) {
    // Writers cut off at different moments of their writes, by their own timer signal.
    constexpr int kKills = 40;
    for (int round = 0; round < kKills; ++round) {
        const std::string dieAfter = "die-after=" + std::to_string(200 + round * 331 % 5000);
        pid_t writer = spawnWriter("killed", "k", 1000000, dieAfter.c_str());
        ASSERT_GT(writer, 0);
        EXPECT_EQ(waitExitCode(writer), -1);  // ended by the signal
    }
    const std::size_t leftovers = temporariesOf("killed.plist").size();
    RecordProperty("temporaries_left_by_kills", static_cast<int>(leftovers));

    UserDefaults& suite = UserDefaults::suite("killed");
    EXPECT_TRUE(temporariesOf("killed.plist").empty());
    // The file holds what the writers finished.
    EXPECT_TRUE(suite.objectForKey("k0").isInteger());
}

}  // namespace
