#include <gtest/gtest.h>

#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "unit/engine_test_access.hpp"
#include "core/qmGetFilteredData.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "quelmar/quelmar.hpp"
#include "recording_transport.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

qmGetFilteredData& utility() { return qmGetFilteredData::sharedInstance(); }
platform::UserDefaults& library() { return *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults; }
platform::UserDefaults& group() { return *QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults; }

// Base64 of the texts uevent=["a","b"], uevent=["b","c"] and uevent=["a","b","c"].
const char* kListAB = "dWV2ZW50PVsiYSIsImIiXQ==";
const char* kListBC = "dWV2ZW50PVsiYiIsImMiXQ==";
const char* kListABC = "dWV2ZW50PVsiYSIsImIiLCJjIl0=";

void inBackgroundFor(testkit::TestHost& host, double minutes) {
    quelmar::applicationDidEnterBackground(nullptr);
    host.advance(minutes * 60);
    quelmar::applicationWillEnterForeground(nullptr);
}

}  // namespace

TEST(CampaignCookies, AnswerCookiesAreStoredInBothSuitesAndSentBack) {
    testkit::TestHost host;
    // Nothing stored yet: parameters come back as they are.
    EXPECT_EQ(utility().qmAddCookiesDataInUrlString("bid=7"), "bid=7");

    utility().qmSetCampaignCookiesWithCampaignData(
        Value{{"cookies", Value{{"_qm_sess", "s1"}, {"_qm_pu_clid", "p9"}}}, {"expires", Value{{"_qm_pu_clid", 5}}}});
    const Value session{{"_qm_sess", "s1"}, {"_qm_sess_expiry", 20}};
    EXPECT_EQ(library().objectForKey("qm_AppCookieSess"), session);
    EXPECT_EQ(group().objectForKey("qm_AppCookieSess"), session);
    EXPECT_EQ(library().objectForKey("qm_AppCookiePuClId"), (Value{{"_qm_pu_clid", "p9"}, {"_qm_pu_clid_expiry", 5}}));

    // An answer without cookies, or with other cookies, keeps the stored records.
    utility().qmSetCampaignCookiesWithCampaignData(Value{{"cookies", Value::dictionary()}});
    utility().qmSetCampaignCookiesWithCampaignData(Value{{"cookies", Value{{"_qm_uid", "u2"}}}});
    EXPECT_EQ(library().objectForKey("qm_AppCookieSess"), session);

    // Session, user, ..., push click, in that order, as the value of one form field.
    EXPECT_EQ(utility().qmAddCookiesDataInUrlString("bid=7"), "bid=7&cookieData=_qm_sess%3Ds1%3B_qm_uid%3Du2%3B_qm_pu_clid%3Dp9%3B");
    EXPECT_EQ(utility().qmAddCookiesDataInUrlString(""), "");
}

TEST(CampaignCookies, EventListEncodingAndHitCookieMerge) {
    testkit::TestHost host;
    EXPECT_EQ(utility().qmGetEventCookiesEncodedStringFromEventsNameArray(Value::array({"x"})), Value("dWV2ZW50PVsieCJd"));
    EXPECT_EQ(utility().qmGetEventCookiesEncodedStringFromEventsNameArray(Value::array()), Value());
    EXPECT_EQ(utility().qmGetEventCookiesDecodedArrayFromEncodedString(Value(kListABC)), Value::array({"a", "b", "c"}));
    EXPECT_EQ(utility().qmGetEventCookiesDecodedArrayFromEncodedString(Value("bm8gbGlzdCBoZXJl")), Value());  // "no list here"
    EXPECT_EQ(utility().qmGetEventCookiesDecodedArrayFromEncodedString(Value("%%not base64%%")), Value());

    utility().qmSetCampaignCookiesWithCampaignData(Value{{"cookies", Value{{"_qm_hit", std::string("h1.s1.") + kListAB}}}});
    EXPECT_EQ(library().objectForKey("qm_AppCookieEventsHitID"),
              (Value{{"_qm_hit", std::string("h1.s1.") + kListAB}, {"_qm_hit_expiry", 20}}));

    // [a, b] stored, [b, c] arriving: b moves behind a, c joins; the new first parts win.
    utility().qmSetCampaignCookiesWithCampaignData(Value{
        {"cookies", Value{{"_qm_hit", std::string("h2.s2.") + kListBC + ".ignored"}}}, {"expires", Value{{"_qm_hit", 45}}}});
    const Value merged{{"_qm_hit", std::string("h2.s2.") + kListABC}, {"_qm_hit_expiry", 45}};
    EXPECT_EQ(library().objectForKey("qm_AppCookieEventsHitID"), merged);
    EXPECT_EQ(group().objectForKey("qm_AppCookieEventsHitID"), merged);

    // Values with fewer than three parts or an undecodable list leave the record alone.
    utility().qmSetCampaignCookiesWithCampaignData(Value{{"cookies", Value{{"_qm_hit", "h3.s3"}}}});
    utility().qmSetCampaignCookiesWithCampaignData(Value{{"cookies", Value{{"_qm_hit", "h3.s3.bm8gbGlzdCBoZXJl"}}}});
    EXPECT_EQ(library().objectForKey("qm_AppCookieEventsHitID"), merged);
    // A user-hit cookie with nothing stored before starts its own list.
    utility().qmSetCampaignCookiesWithCampaignData(Value{{"cookies", Value{{"_qm_hit_uid", std::string("u.1.") + kListBC}}}});
    EXPECT_EQ(library().objectForKey("qm_AppCookieEventsHitUID")["_qm_hit_uid"], Value(std::string("u.1.") + kListBC));
}

TEST(CampaignCookies, TimeInTheBackgroundExpiresCookiesAndRenewsTheSession) {
    auto transport = std::make_shared<testkit::RecordingTransport>();  // refuses every request
    testkit::TestHost host({.transport = transport});
    auto settingsFetches = [&] { return transport->requestsFor("/mobile/api_v2/settings").size(); };
    // Records without their own lifetime last 10 minutes here.
    ASSERT_TRUE(platform::Files::writeFileAtomically(
        host.bundleDir() + "/qmResourceValues.plist",
        *platform::plist::write(Value{{"qmNumbers", Value{{"qmDefaultSessionTimeOutInMinute", 10}}}},
                                platform::plist::Format::XML)));
    quelmar::Initialize("live");
    ASSERT_TRUE(host.runUntil([&] { return settingsFetches() == 1; }));
    // Settings count as in (this host has no service), so only the session renewal fetches again.
    qmEngineTestAccess::setSettingsAnswerApplied(*QMRuntime::shared().qmInternalProcess(), true);

    utility().qmSetCampaignCookiesWithCampaignData(Value{
        {"cookies", Value{{"_qm_sess", "s1"}, {"_qm_uid", "u1"}, {"_qm_pu_clid", "p1"}}}, {"expires", Value{{"_qm_uid", 60}}}});
    QMSDKUserDefaultsData::sharedInstance().qmSetObject(Value{{"_qm_utm", "src"}}, "qm_AppCookieUTM", QMStore::Both);

    // 19 minutes: the session (20) lives on, the lifetime-less campaign cookie (10) is gone.
    inBackgroundFor(host, 19);
    EXPECT_TRUE(library().objectForKey("qm_AppCookieSess"));
    EXPECT_FALSE(library().objectForKey("qm_AppCookieUTM"));
    EXPECT_FALSE(group().objectForKey("qm_AppCookieUTM"));
    host.runUntilIdle();
    EXPECT_EQ(settingsFetches(), 1u);

    // 21 minutes: the session cookie goes in both suites and settings are fetched again.
    inBackgroundFor(host, 21);
    EXPECT_FALSE(library().objectForKey("qm_AppCookieSess"));
    EXPECT_FALSE(group().objectForKey("qm_AppCookieSess"));
    EXPECT_TRUE(host.runUntil([&] { return settingsFetches() == 2; }));
    // It carries the cookies still alive, not the expired session.
    const std::string renewal = transport->requestsFor("/mobile/api_v2/settings")[1].body;
    EXPECT_NE(renewal.find("&cookieData=_qm_uid%3Du1%3B_qm_pu_clid%3Dp1%3B"), std::string::npos) << renewal;
    EXPECT_EQ(library().objectForKey("qm_AppCookieUID")["_qm_uid"], Value("u1"));
    // The push-click cookie never expires with time away.
    inBackgroundFor(host, 24 * 60);
    EXPECT_FALSE(library().objectForKey("qm_AppCookieUID"));
    EXPECT_EQ(library().objectForKey("qm_AppCookiePuClId")["_qm_pu_clid"], Value("p1"));
    EXPECT_EQ(utility().qmAddCookiesDataInUrlString("x=1"), "x=1&cookieData=_qm_pu_clid%3Dp1%3B");
}
