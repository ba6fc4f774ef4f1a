#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <future>

#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {
Value infoWith(std::initializer_list<std::pair<const std::string, Value>> extra) {
    Value info = testkit::TestHost::defaultInfo();
    for (const auto& [k, v] : extra) info.set(k, v);
    return info;
}

Value fileContent(const platform::UserDefaults& suite) {
    auto bytes = platform::Files::readFile(suite.filePath());
    return bytes ? platform::plist::read(*bytes).value_or(Value()) : Value();
}

// Holds a suite's file lock the way a writer in another process does; -1 when it failed.
int holdSuiteLock(const platform::UserDefaults& suite) {
    const std::string& file = suite.filePath();
    platform::Files::createDirectory(file.substr(0, file.rfind('/')), true);
    const int fd = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && flock(fd, LOCK_EX) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

TEST(UserDefaultsData, StoreSelectorsRouteWritesAndReads) {
    testkit::TestHost host;
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    auto& library = *prefs.qmSDKStdUserDefaults;
    auto& group = *prefs.qmAppGroupServiceExtUserDefaults;

    prefs.qmSetInteger(42, "qm_both", QMStore::Both);
    EXPECT_EQ(prefs.qmIntegerForKey("qm_both", QMStore::Library), 42);
    EXPECT_EQ(prefs.qmIntegerForKey("qm_both", QMStore::AppGroup), 42);

    prefs.qmSetInteger(7, "qm_nowhere", static_cast<QMStore>(3));
    prefs.qmSetInteger(7, "qm_nowhere", static_cast<QMStore>(-1));
    EXPECT_FALSE(library.objectForKey("qm_nowhere"));
    EXPECT_FALSE(group.objectForKey("qm_nowhere"));

    // Both reads the library suite only; AppGroup the group suite.
    group.setObject("group-only", "qm_split");
    EXPECT_FALSE(prefs.qmObjectForKey("qm_split", QMStore::Both));
    EXPECT_EQ(prefs.qmObjectForKey("qm_split", QMStore::AppGroup), Value("group-only"));
    EXPECT_EQ(prefs.qmStringForKey("qm_split", QMStore::Both), "(null)");

    // Strings keep their previous value when given nothing to store.
    prefs.qmSetString("first", "qm_text", QMStore::Library);
    prefs.qmSetString("", "qm_text", QMStore::Library);
    prefs.qmSetString(Value::null(), "qm_text", QMStore::Library);
    prefs.qmSetString(Value(), "qm_text", QMStore::Library);
    EXPECT_EQ(prefs.qmStringForKey("qm_text", QMStore::Library), "first");
    prefs.qmSetString(17.5, "qm_text", QMStore::Library);
    EXPECT_EQ(library.objectForKey("qm_text"), Value("17.5"));

    // Invalid keys are never stored, read or removed.
    for (const Value& key : {Value(), Value(""), Value::null()}) {
        prefs.qmSetInteger(1, key, QMStore::Both);
        EXPECT_EQ(prefs.qmIntegerForKey(key, QMStore::Library), 0);
        EXPECT_EQ(prefs.qmStringForKey(key, QMStore::Library), "");
        EXPECT_FALSE(prefs.qmObjectForKey(key, QMStore::Library));
        prefs.qmRemoveObjectForKey(key, QMStore::Both);
    }
    std::vector<std::string> keys;
    const Value content = library.dictionaryRepresentation();
    for (const auto& [k, v] : content.dictionaryItems()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"qm_both", "qm_text"}));

    // Missing keys give the empty results; negative zero is stored as zero.
    EXPECT_EQ(prefs.qmDoubleForKey("qm_missing", QMStore::Library), 0.0);
    EXPECT_FALSE(prefs.qmBoolForKey("qm_missing", QMStore::Library));
    prefs.qmSetDouble(-0.0, "qm_zero", QMStore::Library);
    EXPECT_FALSE(std::signbit(library.objectForKey("qm_zero").doubleValue()));

    prefs.qmRemoveObjectForKey("qm_both", QMStore::AppGroup);
    EXPECT_TRUE(library.objectForKey("qm_both"));
    EXPECT_FALSE(group.objectForKey("qm_both"));
}

TEST(UserDefaultsData, ResetRemovesOnlyLibraryKeysFromBothSuites) {
    testkit::TestHost host;
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    prefs.qmSetInteger(1234, "qm_brandID", QMStore::Both);
    prefs.qmSetString("x", "qm_other", QMStore::Both);
    prefs.qmSDKStdUserDefaults->setObject("keep", "appKey");
    prefs.qmAppGroupServiceExtUserDefaults->setObject("keep", "qmNoUnderscore");

    prefs.qmClearAllSDKPreferencesDataIntoUserDefaultsType(QMStore::Both);

    EXPECT_EQ(prefs.qmDictionaryRepresentationIntoUserDefaultsType(QMStore::Library), (Value{{"appKey", "keep"}}));
    EXPECT_EQ(prefs.qmDictionaryRepresentationIntoUserDefaultsType(QMStore::AppGroup),
              (Value{{"qmNoUnderscore", "keep"}}));
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: Inside, reset SDK data."), 1u);

    // The reset reaches the files.
    ASSERT_TRUE(platform::UserDefaults::flushAll(20));
    EXPECT_EQ(fileContent(*prefs.qmSDKStdUserDefaults), (Value{{"appKey", "keep"}}));
    EXPECT_EQ(fileContent(*prefs.qmAppGroupServiceExtUserDefaults), (Value{{"qmNoUnderscore", "keep"}}));

    // Any other selector only logs.
    prefs.qmSetInteger(1, "qm_again", QMStore::Library);
    prefs.qmClearAllSDKPreferencesDataIntoUserDefaultsType(static_cast<QMStore>(5));
    EXPECT_TRUE(prefs.qmObjectForKey("qm_again", QMStore::Library));
    EXPECT_EQ(host.logCount("Inside, reset SDK data."), 2u);
}

TEST(UserDefaultsData, WritesAndTheirSynchronizeNeverWaitForTheDisk) {
    testkit::TestHost host;
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    // Another process holds both suites' file locks, so no write can finish meanwhile.
    std::future<void> writes;  // before the locks: an early return releases them first
    struct Locks {
        int fds[2];
        ~Locks() { release(); }
        void release() {
            for (int& fd : fds) {
                if (fd >= 0) close(fd);
                fd = -1;
            }
        }
    } locks{{holdSuiteLock(*prefs.qmSDKStdUserDefaults), holdSuiteLock(*prefs.qmAppGroupServiceExtUserDefaults)}};
    ASSERT_GE(locks.fds[0], 0);
    ASSERT_GE(locks.fds[1], 0);

    writes = std::async(std::launch::async, [&prefs] {
        prefs.qmSetInteger(5, "qm_count", QMStore::Both);
        prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Both);
        prefs.qmSetString("x", "qm_gone", QMStore::Library);
        prefs.qmClearAllSDKPreferencesDataIntoUserDefaultsType(QMStore::Library);
        prefs.qmSetInteger(6, "qm_count", QMStore::Library);
        prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
    });
    EXPECT_EQ(writes.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(prefs.qmIntegerForKey("qm_count", QMStore::Library), 6);

    locks.release();
    ASSERT_TRUE(platform::UserDefaults::flushAll(20));
    EXPECT_EQ(fileContent(*prefs.qmSDKStdUserDefaults), (Value{{"qm_count", 6}}));
    EXPECT_EQ(fileContent(*prefs.qmAppGroupServiceExtUserDefaults), (Value{{"qm_count", 5}}));
}

TEST(UserDefaultsData, AppGroupIdentifiers) {
    testkit::TestHost host;
    auto both = [&](const Value& info) {
        host.writeInfo(info);
        return std::make_pair(QMSDKUserDefaultsData::appGroupIDFromInfoDictionary(false),
                              qmGetFilteredData::sharedInstance().qmGetAppGroupIDforQuelmar());
    };
    EXPECT_EQ(both(infoWith({{"qmAppGroupKey", "app.shared"}})), std::make_pair(std::string("group.app.shared"), std::string("group.app.shared")));
    EXPECT_EQ(both(infoWith({{"qmAppGroupKey", "group.x"}})), std::make_pair(std::string("group.x"), std::string("group.x")));
    EXPECT_EQ(both(infoWith({{"CFBundleIdentifier", "my.app"}})),
              std::make_pair(std::string("group.qm.my.app"), std::string("group.qm.my.app")));
    // An identifier that already names a group is kept by the extension's rule only.
    EXPECT_EQ(both(infoWith({{"App Bundle identifier", "group.my.app"}})),
              std::make_pair(std::string("group.my.app"), std::string("group.qm.group.my.app")));
    EXPECT_EQ(both(infoWith({{"qmAppGroupKey", ""}, {"App Bundle identifier", "ext.app"}})),
              std::make_pair(std::string("group.qm.ext.app"), std::string("group.qm.ext.app")));
}
