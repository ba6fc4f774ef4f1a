// The geofence-push block the host asks for: how its date texts are read, how long the block
// lasts, what a query in the middle says and that the first query after the end lifts it.
#include <gtest/gtest.h>

#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

class GeofenceBlock : public ::testing::Test {
protected:
    Value start() { return prefs.qmObjectForKey("qm_GeoTransactionalEventStoredDate", QMStore::Library); }
    Value length() { return prefs.qmObjectForKey("qm_blockGeofencePushForHours", QMStore::Library); }

    // 2024-01-15 10:00:00 UTC.
    testkit::TestHost host;
    QMSDKUserDefaultsData& prefs = QMSDKUserDefaultsData::sharedInstance();
    qmGetFilteredData& utility = qmGetFilteredData::sharedInstance();
};

}  // namespace

TEST_F(GeofenceBlock, DateTextsAreReadWithTheFirstPatternThatFitsThem) {
    EXPECT_EQ(utility.checkDateformatForDateString("15-Jan-12:30 PM"), "d-MMM-h:mm a");
    EXPECT_EQ(utility.checkDateformatForDateString("2024-01-15 12:30:00"), "yyyy-MM-dd HH:mm:ss");
    EXPECT_EQ(utility.checkDateformatForDateString("01-15-2024 12:30"), "MM-dd-yyyy HH:mm");
    EXPECT_EQ(utility.checkDateformatForDateString("Mon, 15 Jan 2024 12:30:00"), "E, d MMM yyyy HH:mm:ss");
    EXPECT_EQ(utility.checkDateformatForDateString("15-01-2024 12:30:00"), "dd-MM-yyyy HH:mm:ss");
    EXPECT_EQ(utility.checkDateformatForDateString("Jan 15, 12:30 PM"), "MMM d, h:mm a");
    EXPECT_EQ(utility.checkDateformatForDateString("15/01/2024 12:30 PM"), "dd/MM/yyyy h:mm a");
    EXPECT_EQ(utility.checkDateformatForDateString("01-15-2024 12:30 PM"), "MM-dd-yyyy h:mm a");
    // Nothing fits: the first pattern, which then reads nothing.
    EXPECT_EQ(utility.checkDateformatForDateString("next tuesday"), "d-MMM-h:mm a");
    EXPECT_EQ(utility.checkDateformatForDateString(Value(5)), "d-MMM-h:mm a");
    EXPECT_FALSE(utility.TimeIntervalFromFutureDate("next tuesday", "d-MMM-h:mm a"));

    // Minutes to a date and since one, with "now" at each pattern's precision: a pattern
    // without a year compares within one year.
    EXPECT_EQ(utility.TimeIntervalFromFutureDate("15-Jan-12:30 PM", "d-MMM-h:mm a"), 150);
    EXPECT_EQ(utility.TimeIntervalFromFutureDate("2024-01-15 09:00:00", "yyyy-MM-dd HH:mm:ss"), -60);
    EXPECT_EQ(utility.TimeIntervalFromPreviousDate("2024-01-15 09:00:00"), 60);
    EXPECT_EQ(utility.TimeIntervalFromPreviousDate("15-Jan-9:15 AM"), 45);
}

TEST_F(GeofenceBlock, ABlockOf150MinutesHoldsAfter100AndEndsAt150) {
    quelmar::stopGeofencePushforDateTime("2024-01-15 12:30:00", 0);
    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: Geofence Push has been stopped for 2 hour(s) from now"));
    EXPECT_EQ(start(), Value("2024-01-15 10:00:00"));
    EXPECT_EQ(length(), Value(150));
    EXPECT_FALSE(utility.ShouldSendGeofencePush());

    host.advance(100 * 60);
    host.clearLog();
    EXPECT_FALSE(utility.ShouldSendGeofencePush());
    EXPECT_TRUE(host.logContains(
        "[quelmar]-[INFO]: Geofence push has been stopped for 2 hour(s) and will be resumed in 50 min(s)."))
        << testing::PrintToString(host.logLines());

    host.advance(50 * 60);
    EXPECT_TRUE(utility.ShouldSendGeofencePush());
    EXPECT_FALSE(start());
    EXPECT_FALSE(length());
    EXPECT_TRUE(utility.ShouldSendGeofencePush());
}

TEST_F(GeofenceBlock, HoursAreAddedAndLongRemaindersAreToldInHours) {
    // 30 minutes to the date and 2 hours more; a pattern without seconds or a year.
    quelmar::stopGeofencePushforDateTime("15-Jan-10:30 AM", 2);
    EXPECT_EQ(length(), Value(150));
    EXPECT_EQ(start(), Value("15-Jan-10:00 AM"));
    host.advance(60 * 60);
    host.clearLog();
    EXPECT_FALSE(utility.ShouldSendGeofencePush());
    // 90 minutes left: 1 hour, truncated.
    EXPECT_TRUE(host.logContains(
        "[quelmar]-[INFO]: Geofence push has been stopped for 2 hour(s) and will be resumed in 1 hour(s)."))
        << testing::PrintToString(host.logLines());
}

TEST_F(GeofenceBlock, PastUnreadableAndEmptyDatesStoreNothing) {
    quelmar::stopGeofencePushforDateTime("2024-01-15 09:59:00", 5);
    EXPECT_TRUE(host.logContains("[quelmar]-[ERROR]: Given Date, time can not be less than current date time"));
    quelmar::stopGeofencePushforDateTime("soon", 5);
    EXPECT_TRUE(host.logContains("is not in a supported format"));
    quelmar::stopGeofencePushforDateTime("", 5);
    quelmar::stopGeofencePushforDateTime(Value::null(), 5);
    EXPECT_FALSE(start());
    EXPECT_FALSE(length());
    EXPECT_TRUE(utility.ShouldSendGeofencePush());

    // A stored start that no longer reads as a date lifts the block instead of keeping it.
    prefs.qmSetString("garbage", "qm_GeoTransactionalEventStoredDate", QMStore::Library);
    prefs.qmSetInteger(600, "qm_blockGeofencePushForHours", QMStore::Library);
    EXPECT_TRUE(utility.ShouldSendGeofencePush());
    EXPECT_FALSE(length());
}
