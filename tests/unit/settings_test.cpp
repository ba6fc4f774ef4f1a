// Applying the account settings answer, and the install-or-update check at start-up.
#include <gtest/gtest.h>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"
#include "recording_transport.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {
QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }
QMSDKDataStore& files() { return *QMSDKDataStore::sharedInstance(); }

std::shared_ptr<qmInternalProcessClass> freshEngine() {
    auto engine = QMRuntime::shared().beginLaunch();
    return engine;
}

Value json(const char* text) {
    auto v = platform::json::parse(text);
    if (!v) ADD_FAILURE() << "bad test JSON: " << text;
    return v.value_or(Value());
}

const char* kBannerError = "[quelmar]-[ERROR]: Invalid authentication for retrieving InApp Banner or Survey notifications";
const char* kPushError = "[quelmar]-[ERROR]: Invalid authentication for retrieving push notification settings";
const char* kSettingsPath = "/mobile/api_v2/settings";
const char* kBotError = "[quelmar]-[ERROR]: Invalid authentication for retrieving chatBot settings";
}  // namespace

TEST(SettingsAnswer, BannerIsStoredOnlyWhenAuthenticatedButTheFlagIsSetEitherWay) {
    testkit::TestHost host;
    auto engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(
        json(R"({"banner":{"data":{"Authentication":"failed","notifications":[{"notificationID":"1"}]}}})"));
    EXPECT_TRUE(engine->fetchBrandSettingsComplete());
    EXPECT_FALSE(files().read_qm_notifications_bID_Data());
    EXPECT_EQ(host.logCount(kBannerError), 1u);

    engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(json(
        R"({"banner":{"data":{"Authentication":"success","notifications":[{"notificationID":"7001","template":3}]}}})"));
    EXPECT_TRUE(engine->fetchBrandSettingsComplete());
    EXPECT_EQ(files().read_qm_notifications_bID_Data(),
              (Value{{"Authentication", "success"},
                     {"notifications", Value::array({Value{{"notificationID", "7001"}, {"template", 3}}})}}));
    EXPECT_EQ(host.logCount(kBannerError), 1u);
}

TEST(SettingsAnswer, PushSwitchGeofencesAndPushFlag) {
    testkit::TestHost host;
    auto& library = *prefs().qmSDKStdUserDefaults;

    auto engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(
        json(R"({"push":{"data":{"Authentication":"success","push_details":{"ios":0}}}})"));
    EXPECT_EQ(library.objectForKey("qm_PushStatusActive"), Value(false));
    EXPECT_TRUE(engine->fetchPushSettingsComplete());
    EXPECT_FALSE(files().read_qm_GeoData());  // no "geofence" member: the file is not written

    // A missing "ios" switch means on; the geofence list is written to its file.
    engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(json(
        R"({"push":{"data":{"Authentication":"success","push_details":{"geofence":[{"id":"gf-1","radius":"200"}]}}}})"));
    EXPECT_EQ(library.objectForKey("qm_PushStatusActive"), Value(true));
    const Value geofences = Value::array({Value{{"id", "gf-1"}, {"radius", "200"}}});
    EXPECT_EQ(files().read_qm_GeoData(), geofences);
    EXPECT_EQ(engine->qmGeoData.get(), geofences);
    EXPECT_TRUE(engine->fetchPushSettingsComplete());

    // Without "push_details" the switch is turned on but the flag stays NO.
    library.setObject(false, "qm_PushStatusActive");
    engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(json(R"({"push":{"data":{"Authentication":"success"}}})"));
    EXPECT_FALSE(engine->fetchPushSettingsComplete());
    EXPECT_EQ(library.objectForKey("qm_PushStatusActive"), Value(true));
    EXPECT_FALSE(host.logContains(kPushError));

    engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(json(R"({"push":{"data":{"Authentication":"failed"}}})"));
    EXPECT_TRUE(engine->fetchPushSettingsComplete());
    EXPECT_EQ(host.logCount(kPushError), 1u);
}

TEST(SettingsAnswer, SwitchesBotAndCampaignUser) {
    testkit::TestHost host;
    auto& library = *prefs().qmSDKStdUserDefaults;
    auto engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(json(R"({
        "events": {"status": "1"}, "logs": {"status": 1},
        "bot": {"data": {"Authentication": "success", "botId": "bot-9"}},
        "campaignCookie": {"uuid": "U-77"}})"));
    EXPECT_EQ(library.objectForKey("qm_LifeCycleEventsStatus"), Value(true));
    EXPECT_EQ(library.objectForKey("qm_LogsSettingStatus"), Value(true));
    EXPECT_EQ(files().read_qm_BotData(), (Value{{"Authentication", "success"}, {"botId", "bot-9"}}));
    EXPECT_TRUE(engine->fetchBotSettingsComplete());
    EXPECT_EQ(QMRuntime::shared().qmUIDFinalStr.get(), Value("U-77"));

    engine = freshEngine();
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(json(R"({
        "events": {"status": 2}, "logs": {"status": "0"},
        "bot": {"data": {"Authentication": "denied"}},
        "campaignCookie": {"cookies": {"_qm_sess": "s1"}}})"));
    EXPECT_EQ(library.objectForKey("qm_LifeCycleEventsStatus"), Value(false));
    EXPECT_EQ(library.objectForKey("qm_LogsSettingStatus"), Value(false));
    EXPECT_FALSE(files().read_qm_BotData());  // cleared before the refused data
    EXPECT_TRUE(engine->fetchBotSettingsComplete());
    EXPECT_EQ(host.logCount(kBotError), 1u);
    EXPECT_EQ(QMRuntime::shared().qmUIDFinalStr.get(), Value("U-77"));  // no uuid: kept
}

TEST(SettingsAnswer, EmptyAnswerClearsThePushClickIdAndReplaysNothing) {
    testkit::TestHost host;
    auto engine = freshEngine();
    engine->_qmCurrentPushClID.set("PC9");
    qmGetFilteredData::sharedInstance().qmSceduleWaitingFunctionsWithData(Value{{"qmFunctionName", "qmShowInAppNotification"}});
    auto& library = *prefs().qmSDKStdUserDefaults;
    ASSERT_TRUE(library.objectForKey("qm_WaitingFunctions"));

    for (const Value& empty : {Value::dictionary(), Value(), Value::array({"x"})}) {
        engine->qmUpdateSettingsFetchedFromServerWithResponseDict(empty);
        EXPECT_EQ(engine->_qmCurrentPushClID.get(), Value(""));
        engine->_qmCurrentPushClID.set("PC9");
    }
    EXPECT_TRUE(library.objectForKey("qm_WaitingFunctions"));
    EXPECT_FALSE(host.logContains("Show method triggered"));

    // Any answer with entries replays the queue at its end.
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(json(R"({"unknown":1})"));
    EXPECT_FALSE(library.objectForKey("qm_WaitingFunctions"));
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: Show method triggered"), 1u);
}

TEST(InstallOrUpdate, FirstInstallThenUpdateThenNeither) {
    auto transport = std::make_shared<testkit::RecordingTransport>();  // refuses every request
    testkit::TestHost host({.transport = transport});
    auto& library = *prefs().qmSDKStdUserDefaults;
    const std::string install = "[quelmar]-[INFO]: First install";
    const std::string update = "[quelmar]-[INFO]: A new version has been updated.";
    const std::string neither =
        "[quelmar]-[INFO]: Neither install nor an update. So no specific event will execute to track this state";

    quelmar::Initialize("live");
    EXPECT_EQ(host.logCount(install), 1u);
    EXPECT_EQ(library.objectForKey("qm_appVersion"), Value("1.0"));

    Value info = testkit::TestHost::defaultInfo();
    info.set("CFBundleShortVersionString", "1.1");
    host.writeInfo(info);
    quelmar::Initialize("live");
    EXPECT_EQ(host.logCount(update), 1u);
    EXPECT_EQ(library.objectForKey("qm_appVersion"), Value("1.1"));

    quelmar::Initialize("live");
    EXPECT_EQ(host.logCount(install), 1u);
    EXPECT_EQ(host.logCount(update), 1u);
    EXPECT_EQ(host.logCount(neither), 1u);
    EXPECT_EQ(library.objectForKey("qm_appVersion"), Value("1.1"));

    // Every start asked for the account settings, as this app (its Info.plist).
    EXPECT_TRUE(host.runUntil([&] { return transport->requestsFor(kSettingsPath).size() == 3; }));
    for (const auto& request : transport->requestsFor(kSettingsPath)) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.body.rfind("bid=1234&bid_e=secret-key-0123456789abcdef&", 0), 0u) << request.body;
        EXPECT_NE(request.body.find("&mobile_app_id=com.example.testapp"), std::string::npos) << request.body;
    }
}
