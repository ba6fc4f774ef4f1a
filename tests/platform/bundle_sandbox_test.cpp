#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/xattr.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qmplatform/bundle.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"

using qm::Value;
using qm::platform::Bundle;
using qm::platform::Files;
using qm::platform::Notification;
using qm::platform::NotificationCenter;
using qm::platform::Sandbox;
using qm::platform::SystemLog;

namespace {

std::string makeTempDir() {
    char tmpl[] = "/tmp/qm-bundle-XXXXXX";
    return mkdtemp(tmpl) ? std::string(tmpl) : std::string();
}

const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.example.host</string>
	<key>CFBundleShortVersionString</key>
	<string>3.4.1</string>
	<key>QMRetries</key>
	<integer>3</integer>
	<key>QMDebug</key>
	<true/>
	<key>CFBundleURLTypes</key>
	<array>
		<dict>
			<key>CFBundleURLSchemes</key>
			<array><string>examplehost</string></array>
		</dict>
	</array>
</dict>
</plist>
)";

TEST(Bundle, ReadsInfoPlistAndFindsResources) {
    const std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(Files::writeFileAtomically(dir + "/Info.plist", kInfoPlist));
    ASSERT_TRUE(Files::createDirectory(dir + "/Resources", false));
    ASSERT_TRUE(Files::writeFileAtomically(dir + "/logo.png", "png"));
    ASSERT_TRUE(Files::writeFileAtomically(dir + "/Resources/appearance.json", "{}"));

    Bundle bundle(dir + "/");
    EXPECT_EQ(bundle.path(), dir);
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.host");
    Value expected{{"CFBundleIdentifier", "com.example.host"},
                   {"CFBundleShortVersionString", "3.4.1"},
                   {"QMRetries", 3},
                   {"QMDebug", true},
                   {"CFBundleURLTypes", Value::array({Value{{"CFBundleURLSchemes", Value::array({"examplehost"})}}})}};
    EXPECT_EQ(bundle.infoDictionary(), expected);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("QMRetries"), Value(3));
    EXPECT_TRUE(bundle.objectForInfoDictionaryKey("Absent").isNone());

    EXPECT_EQ(bundle.pathForResource("logo", "png"), dir + "/logo.png");
    EXPECT_EQ(bundle.pathForResource("appearance", "json"), dir + "/Resources/appearance.json");
    EXPECT_EQ(bundle.pathForResource("appearance.json", ""), dir + "/Resources/appearance.json");
    EXPECT_EQ(bundle.pathForResource("logo", "jpg"), std::nullopt);
    EXPECT_EQ(bundle.pathForResource("Resources", ""), std::nullopt);  // folders are not resources
    EXPECT_EQ(bundle.resourcePath(), dir + "/Resources");

    // Read once: a later change on disk is not seen by the same bundle.
    ASSERT_TRUE(Files::writeFileAtomically(dir + "/Info.plist", "<plist><dict/></plist>"));
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.host");
    Files::removeItem(dir);
}

TEST(Bundle, MainBundleFollowsItsPathAndToleratesMissingOrCorruptInfo) {
    const std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    const std::string good = dir + "/Good.app", missing = dir + "/Missing.app", corrupt = dir + "/Corrupt.app";
    for (const auto& d : {good, missing, corrupt}) ASSERT_TRUE(Files::createDirectory(d, false));
    ASSERT_TRUE(Files::writeFileAtomically(good + "/Info.plist", kInfoPlist));
    ASSERT_TRUE(Files::writeFileAtomically(corrupt + "/Info.plist", "bplist00\x01\x02garbage"));

    Bundle::setMainBundlePath(good);
    EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.host");
    Bundle::setMainBundlePath(missing);
    EXPECT_EQ(Bundle::main().infoDictionary(), Value::dictionary());
    EXPECT_EQ(Bundle::main().bundleIdentifier(), "");
    EXPECT_EQ(Bundle::main().resourcePath(), missing);
    Bundle::setMainBundlePath(corrupt);
    EXPECT_EQ(Bundle::main().infoDictionary(), Value::dictionary());
    Files::removeItem(dir);
}

TEST(Sandbox, ConfigureCreatesContainerAndGroupFolders) {
    const std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(Sandbox::configure(dir + "/App/"));
    EXPECT_EQ(Sandbox::root(), dir + "/App");
    EXPECT_EQ(Sandbox::documentsDirectory(), dir + "/App/Documents");
    EXPECT_EQ(Sandbox::cachesDirectory(), dir + "/App/Library/Caches");
    EXPECT_EQ(Sandbox::preferencesDirectory(), dir + "/App/Library/Preferences");
    EXPECT_EQ(Sandbox::temporaryDirectory(), dir + "/App/tmp");
    for (const char* sub : {"Documents", "Library/Caches", "Library/Preferences", "tmp"}) {
        EXPECT_TRUE(Files::isDirectory(dir + "/App/" + sub)) << sub;
    }
    EXPECT_EQ(Sandbox::containerForAppGroup("group.x"), dir + "/AppGroups/group.x");
    EXPECT_TRUE(Files::isDirectory(dir + "/AppGroups/group.x"));
    EXPECT_EQ(Sandbox::containerForAppGroup(""), std::nullopt);
    EXPECT_EQ(Sandbox::containerForAppGroup("../escape"), std::nullopt);
    Files::removeItem(dir);
}

TEST(Sandbox, FileHelpersWriteAtomicallyAndKeepTheBackupMark) {
    const std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    const std::string file = dir + "/data.bin";
    ASSERT_TRUE(Files::writeFileAtomically(file, "one"));
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_TRUE(Files::writeFileAtomically(file, std::string("tw\0o", 4)));
    EXPECT_EQ(Files::readFile(file), std::string("tw\0o", 4));
    EXPECT_EQ(Files::fileSize(file), 4u);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // replacing keeps the permissions
    EXPECT_EQ(Files::contentsOfDirectory(dir), std::vector<std::string>{"data.bin"});
    EXPECT_FALSE(Files::writeFileAtomically(dir + "/no/such/folder/f", "x"));
    EXPECT_EQ(Files::readFile(dir + "/absent"), std::nullopt);
    EXPECT_EQ(Files::fileSize(dir + "/absent"), std::nullopt);

    EXPECT_FALSE(Files::isExcludedFromBackup(file));
    ASSERT_TRUE(Files::setExcludedFromBackup(file, true));
    EXPECT_TRUE(Files::isExcludedFromBackup(file));
    char value[4] = {};
    EXPECT_EQ(getxattr(file.c_str(), "user.qm.exclude-from-backup", value, sizeof value), 1);
    EXPECT_TRUE(Files::setExcludedFromBackup(file, false));
    EXPECT_FALSE(Files::isExcludedFromBackup(file));
    EXPECT_TRUE(Files::setExcludedFromBackup(file, false));
    EXPECT_FALSE(Files::setExcludedFromBackup(dir + "/absent", true));

    EXPECT_FALSE(Files::createDirectory(dir + "/a/b", false));
    ASSERT_TRUE(Files::createDirectory(dir + "/a/b", true));
    ASSERT_TRUE(Files::writeFileAtomically(dir + "/a/b/c", "x"));
    EXPECT_EQ(Files::contentsOfDirectory(dir), (std::vector<std::string>{"a", "data.bin"}));
    EXPECT_TRUE(Files::removeItem(dir + "/a"));
    EXPECT_FALSE(Files::fileExists(dir + "/a"));

    // A move never replaces what is there; /dev/shm is usually another file system.
    ASSERT_TRUE(Files::writeFileAtomically(dir + "/m", "moved"));
    EXPECT_FALSE(Files::moveItem(dir + "/m", file));
    EXPECT_EQ(Files::readFile(file), std::string("tw\0o", 4));
    EXPECT_TRUE(Files::moveItem(dir + "/m", dir + "/n"));
    EXPECT_FALSE(Files::fileExists(dir + "/m"));
    EXPECT_FALSE(Files::moveItem(dir + "/m", dir + "/o"));
    const std::string elsewhere = "/dev/shm/qm-move-" + std::to_string(getpid());
    if (Files::isDirectory("/dev/shm") && Files::moveItem(dir + "/n", elsewhere)) {
        EXPECT_EQ(Files::readFile(elsewhere), "moved");
        EXPECT_FALSE(Files::fileExists(dir + "/n"));
        Files::removeItem(elsewhere);
    }
    Files::removeItem(dir);
}

TEST(Sandbox, StartUpCleanRemovesAbandonedTemporariesButNotLiveOrForeignFiles) {
    const std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(Sandbox::configure(dir + "/App"));
    const std::string documents = Sandbox::documentsDirectory();
    const std::string caches = Sandbox::cachesDirectory();
    const std::vector<std::string> abandoned{documents + "/.qm_Staticstics.plist.qmtmp.Ab12Cd",
                                             documents + "/.qm_push_notifications.plist.tmp.x1Y2z3",  // earlier naming
                                             caches + "/.qm_nc_image.png.qmtmp.ZZ9yy8", caches + "/.photo.jpg.qmtmp.a1b2c3"};
    const std::vector<std::string> kept{documents + "/.notes.txt.tmp.Ab12Cd",  // the app's own, earlier-style name
                                        documents + "/.qm_Geofencing.plist.qmtmp.Ab12C", documents + "/qm_x.plist.qmtmp.Ab12Cd",
                                        documents + "/.qm_x.plist.qmtmp.Ab1-Cd", documents + "/qm_Staticstics.plist",
                                        caches + "/.qm_nc_live.png.qmtmp.Live01"};
    for (const auto& path : abandoned) ASSERT_TRUE(Files::writeFileAtomically(path, "partial"));
    for (const auto& path : kept) ASSERT_TRUE(Files::writeFileAtomically(path, "keep"));
    ASSERT_TRUE(Files::createDirectory(documents + "/.folder.qmtmp.Ab12Cd"));
    // A writer at work holds its temporary locked.
    const int live = open(kept.back().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(flock(live, LOCK_EX), 0);

    EXPECT_EQ(Sandbox::removeAbandonedTemporaryFiles(), abandoned.size());
    for (const auto& path : abandoned) EXPECT_FALSE(Files::fileExists(path)) << path;
    for (const auto& path : kept) EXPECT_EQ(Files::readFile(path), "keep") << path;
    EXPECT_TRUE(Files::isDirectory(documents + "/.folder.qmtmp.Ab12Cd"));

    // Once its writer is gone the temporary is abandoned too.
    close(live);
    EXPECT_EQ(Sandbox::removeAbandonedTemporaryFiles(), 1u);
    EXPECT_FALSE(Files::fileExists(kept.back()));
    Files::removeItem(dir);
}

TEST(NotificationCenter, DeliversInOrderAndToleratesObserverChangesDuringDelivery) {
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::Token third = 0, once = 0;

    center.addObserver("changed", [&](const Notification& n) {
        calls.push_back("first:" + n.userInfo["id"].description());
        center.removeObserver(third);  // a later observer removed mid-delivery is skipped
    });
    center.addObserver("", [&](const Notification& n) { calls.push_back("all:" + n.name); });
    once = center.addObserver("changed", [&](const Notification&) {
        calls.push_back("once");
        center.removeObserver(once);
        center.addObserver("changed", [&](const Notification&) { calls.push_back("late"); });
    });
    third = center.addObserver("changed", [&](const Notification&) { calls.push_back("third"); });
    center.addObserver("other", [&](const Notification&) { calls.push_back("other"); });

    int sender = 0;
    center.addObserver("changed", [&](const Notification& n) { EXPECT_EQ(n.object, &sender); });
    center.post("changed", Value{{"id", 1}}, &sender);
    EXPECT_EQ(calls, (std::vector<std::string>{"first:1", "all:changed", "once"}));

    calls.clear();
    center.post("changed", Value{{"id", 2}}, &sender);
    EXPECT_EQ(calls, (std::vector<std::string>{"first:2", "all:changed", "late"}));

    EXPECT_NE(&NotificationCenter::defaultCenter(), &center);
    int seen = 0;
    auto token = NotificationCenter::defaultCenter().addObserver("ping", [&](const Notification&) { ++seen; });
    NotificationCenter::defaultCenter().post("ping");
    NotificationCenter::defaultCenter().removeObserver(token);
    NotificationCenter::defaultCenter().post("ping");
    EXPECT_EQ(seen, 1);
}

// Removing an observer waits for its callback running on another thread, so that what the
// callback uses can be released right after; an observer removing itself does not wait.
TEST(NotificationCenter, RemovalWaitsForACallbackRunningOnAnotherThread) {
    NotificationCenter center;
    std::atomic<bool> entered{false}, removing{false}, callbackDone{false};
    NotificationCenter::Token token = center.addObserver("work", [&](const Notification&) {
        entered = true;
        while (!removing) std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) std::this_thread::yield();  // give a wrong removal time to return
        callbackDone = true;
    });
    std::thread poster([&] { center.post("work"); });
    while (!entered) std::this_thread::yield();
    removing = true;
    center.removeObserver(token);
    EXPECT_TRUE(callbackDone);
    poster.join();

    int calls = 0;
    NotificationCenter::Token self = 0;
    self = center.addObserver("once", [&](const Notification&) {
        ++calls;
        center.removeObserver(self);
    });
    center.post("once");
    center.post("once");
    EXPECT_EQ(calls, 1);
}

TEST(SystemLog, SinkCanBeReplacedFromInsideItself) {
    std::vector<std::string> first, second;
    SystemLog::setSink([&](std::string_view line) {
        first.emplace_back(line);
        SystemLog::setSink([&](std::string_view l) { second.emplace_back(l); });
    });
    SystemLog::write("one");
    SystemLog::write("two");
    SystemLog::write("three");
    EXPECT_EQ(first, std::vector<std::string>{"one"});
    EXPECT_EQ(second, (std::vector<std::string>{"two", "three"}));
    SystemLog::setSink(nullptr);
    SystemLog::write("quelmar test line");  // back to syslog; must simply not fail
    EXPECT_EQ(second.size(), 2u);
}

}  // namespace
