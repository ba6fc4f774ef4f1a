#include <gtest/gtest.h>

#include "core/QMLogger.hpp"
#include "core/qmGetFilteredData.hpp"
#include "test_host.hpp"

using namespace qm;

TEST(Logger, WritesTheExactLineAndFiltersByLevel) {
    testkit::TestHost host;
    QMLogger::qmSetLogLevel(QMLogLevelInfo);
    QMLogger::qmPrintLogforLevel(QMLogLevelInfo, "hello");
    QMLogger::qmPrintLogforLevel(QMLogLevelDebug, "hidden at INFO");
    QMLogger::qmPrintLogforLevel(QMLogLevelError, "boom");
    EXPECT_EQ(host.logLines(), (std::vector<std::string>{"[quelmar]-[INFO]: hello", "[quelmar]-[ERROR]: boom"}));

    host.clearLog();
    QMLogger::qmSetLogLevel(QMLogLevelError);
    QMLog(QMLogLevelWarning, "not written");
    QMLog(QMLogLevelVerbose, "request dump %@", Value{{"a", 1}});
    QMLog(QMLogLevelError, "only %@", "errors");
    EXPECT_EQ(host.logLines(), (std::vector<std::string>{"[quelmar]-[ERROR]: only errors"}));

    // A level without a name prints the missing-object text.
    host.clearLog();
    QMLogger::qmSetLogLevel(7);
    QMLogger::qmPrintLogforLevel(7, "x");
    QMLogger::qmPrintLogforLevel(QMLogLevelVerbose, "dump");
    EXPECT_EQ(host.logLines(), (std::vector<std::string>{"[quelmar]-[(null)]: x", "[quelmar]-[VERBOSE]: dump"}));
}

TEST(Logger, LevelComesFromTheInfoPlistKey) {
    testkit::TestHost host;
    auto& utility = qmGetFilteredData::sharedInstance();
    auto levelFor = [&](const Value& setting) {
        Value info = testkit::TestHost::defaultInfo();
        info.set("qmLogsLevel", setting);
        host.writeInfo(info);
        return utility.qmGetCurrentLogLevel();
    };
    EXPECT_EQ(levelFor("verbose"), 4);
    EXPECT_EQ(levelFor("Debug"), 3);
    EXPECT_EQ(levelFor("warning"), 1);
    EXPECT_EQ(levelFor("ERROR"), 0);
    EXPECT_EQ(levelFor("Trace"), 2);
    EXPECT_EQ(levelFor(""), 2);
    EXPECT_EQ(levelFor(Value()), 2);  // absent
}
