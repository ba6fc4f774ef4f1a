// The pushes the notification-service extension received, kept in the app-group suite for
// the inbox: one entry per push, trimmed to four weeks at start-up; and the payload the
// extension hands on, marked with its view id.
#include <gtest/gtest.h>

#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

class ReceivedPushes : public ::testing::Test {
protected:
    // The list once the file work asked for so far is done.
    Value list() {
        EXPECT_TRUE(QMSDKDataStore::qmFinishPendingFileWork(20));
        return QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_receivedPushNotificationIds", QMStore::AppGroup);
    }
    // Records a push and waits for the record (it is written on the file queue).
    void receive(const Value& id) {
        const std::string expectedTime = currentTime();
        quelmar::sharedInstance().setReceivedPushInPreferenceWithNotificationID(id, "com.example.testapp");
        ASSERT_TRUE(host.runUntil([&] {
            const Value current = list();
            for (const Value& entry : current.arrayItems()) {
                if (entry["qmPushNID"] == Value(id.description()) && entry["qmReceivedTime"] == Value(expectedTime))
                    return true;
            }
            return false;
        }));
    }
    std::string currentTime() {
        return platform::DateFormatter("dd-MM-yyyy HH:mm", "UTC", "en_US_POSIX").string(platform::Clock::currentDate());
    }
    static constexpr double kDay = 86400;

    // 2024-01-15 10:00:00 UTC.
    testkit::TestHost host;
};

}  // namespace

TEST_F(ReceivedPushes, EachPushIsKeptOnceWithItsLatestTimeNewestLast) {
    receive("P1");
    host.advance(90);
    receive("P2");
    EXPECT_EQ(list(), (Value::array({Value{{"qmPushNID", "P1"}, {"qmReceivedTime", "15-01-2024 10:00"}},
                                     Value{{"qmPushNID", "P2"}, {"qmReceivedTime", "15-01-2024 10:01"}}})));
    host.advance(3600);
    receive("P1");
    EXPECT_EQ(list(), (Value::array({Value{{"qmPushNID", "P2"}, {"qmReceivedTime", "15-01-2024 10:01"}},
                                     Value{{"qmPushNID", "P1"}, {"qmReceivedTime", "15-01-2024 11:01"}}})));
    // A number id is the same push as its text.
    receive(Value(77));
    receive("77");
    EXPECT_EQ(list().count(), 3u);

    // Ids that are no ids are not recorded.
    quelmar::sharedInstance().setReceivedPushInPreferenceWithNotificationID("", "");
    quelmar::sharedInstance().setReceivedPushInPreferenceWithNotificationID(Value::null(), "");
    host.runUntilIdle();
    EXPECT_EQ(list().count(), 3u);
}

TEST_F(ReceivedPushes, StartUpDropsPushesOlderThanFourWeeksAndEntriesWithoutATime) {
    receive("old");
    host.advance(2 * kDay);
    receive("recent");
    host.advance(27 * kDay);  // "old" is 29 days old now, "recent" 27
    auto& group = *QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults;
    Value withBroken = list();
    withBroken.append(Value{{"qmPushNID", "no-time"}});
    withBroken.append(Value{{"qmPushNID", ""}, {"qmReceivedTime", "15-02-2024 10:00"}});
    withBroken.append(Value{{"qmPushNID", "bad-time"}, {"qmReceivedTime", "yesterday"}});
    group.setObject(withBroken, "qm_receivedPushNotificationIds");

    auto engine = std::make_shared<qmInternalProcessClass>();
    engine->qmClearPushViewCountDataFromAppGroupStorage();
    EXPECT_EQ(list(), (Value::array({Value{{"qmPushNID", "recent"}, {"qmReceivedTime", "17-01-2024 10:00"}}})));
    // Written at once, for the extension to see.
    ASSERT_TRUE(group.reload());
    EXPECT_EQ(list().count(), 1u);

    // Once nothing is left the key goes.
    host.advance(2 * kDay);
    engine->qmClearPushViewCountDataFromAppGroupStorage();
    EXPECT_FALSE(list());
}

TEST(PushPayload, TheViewIdGoesIntoQmDataAndOnlyApsIsKept) {
    testkit::TestHost host;
    auto& facade = quelmar::sharedInstance();
    const Value payload{{"aps", Value{{"category", "qmpush"}, {"alert", "Hi"}, {"qm_data", Value{{"nid", "N1"}}}}},
                        {"extra", "dropped"}};
    EXPECT_EQ(facade.pushPayloadWithPushViewID(payload, "REQ-1"),
              (Value{{"aps", Value{{"category", "qmpush"},
                                   {"alert", "Hi"},
                                   {"qm_data", Value{{"nid", "N1"}, {"qm_pushViewID", "REQ-1"}}}}}}));
    // Without an identifier the data is carried unchanged.
    EXPECT_EQ(facade.pushPayloadWithPushViewID(payload, Value::null())["aps"]["qm_data"], (Value{{"nid", "N1"}}));
    // Not the library's push: nothing to carry.
    EXPECT_EQ(facade.pushPayloadWithPushViewID(Value{{"aps", Value{{"alert", "Hi"}}}}, "REQ-1"), Value::dictionary());
    EXPECT_EQ(facade.pushPayloadWithPushViewID(Value(), "REQ-1"), Value::dictionary());
}
