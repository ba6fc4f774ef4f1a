// Start-up's click and settings fetches against the local service.
#include <gtest/gtest.h>

#include "core/QMModuleState.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

namespace {
std::shared_ptr<qmInternalProcessClass> engine() { return QMModuleState::shared().qmInternalProcess(); }

bool settingsApplied() {
    auto e = engine();
    return e && e->_fetchBrandSettingsComplete && e->_fetchPushSettingsComplete && e->_fetchBotSettingsComplete;
}
}  // namespace

TEST(SettingsFetch, StartUpFetchesTheClickAndAppliesTheSettings) {
    testkit::ServiceHost env;
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil([] { return settingsApplied() && engine()->_fetchClickComplete; }));

    auto& library = *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults;
    const Value deviceID = library.objectForKey("qm_iOS_VENDOR_IDENTIFIER");
    auto clicks = env.service->requestsFor("fetch_click");
    auto settings = env.service->requestsFor("settings");
    ASSERT_EQ(clicks.size(), 1u);
    ASSERT_EQ(settings.size(), 1u);
    // Click: device id as "deviceID", bundle id as "package"; settings: "mobile_app_id".
    EXPECT_EQ(clicks[0].fields["deviceID"], deviceID);
    EXPECT_EQ(clicks[0].fields["package"], Value("com.example.testapp"));
    EXPECT_TRUE(clicks[0].fields.contains("clickID"));
    EXPECT_FALSE(clicks[0].fields.contains("mobile_app_id"));
    EXPECT_EQ(settings[0].fields["deviceID"], deviceID);
    EXPECT_EQ(settings[0].fields["mobile_app_id"], Value("com.example.testapp"));
    EXPECT_FALSE(settings[0].fields.contains("_qm_pu_clid"));

    // The click answer's analytics id, in both suites; the sample settings' content.
    EXPECT_EQ(engine()->qm_anal_id.get(), Value("5e0b7a61c94d42f8"));
    EXPECT_EQ(library.objectForKey("qm_anal_id"), Value("5e0b7a61c94d42f8"));
    EXPECT_EQ(QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults->objectForKey("qm_anal_id"),
              Value("5e0b7a61c94d42f8"));
    Value campaigns = QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data();
    ASSERT_EQ(campaigns["notifications"].count(), 4u);
    EXPECT_EQ(campaigns["notifications"][0]["notificationID"], Value("7001"));
    EXPECT_EQ(campaigns["notifications"][3]["description"], Value("https://mobile.quelmar.io/media/banner.png"));
    EXPECT_EQ(QMSDKDataStore::sharedInstance()->read_qm_GeoData()[1]["id"], Value("gf-102"));
    EXPECT_EQ(library.objectForKey("qm_PushStatusActive"), Value(true));
    EXPECT_EQ(QMModuleState::shared().qmUIDFinalStr.get(), Value("c3f1e7a2-5b64-4d7e-9a1f-2e8b9c0d4f11"));
}

TEST(SettingsFetch, RefusedSettingsStillReleaseTheWaitingCalls) {
    testkit::ServiceHost env;
    env.service->setFault("settings", {service::FaultKind::Refusal});
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil(settingsApplied));
    EXPECT_FALSE(QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data());
    for (const char* line : {"[quelmar]-[ERROR]: Invalid authentication for retrieving InApp Banner or Survey notifications",
                             "[quelmar]-[ERROR]: Invalid authentication for retrieving push notification settings",
                             "[quelmar]-[ERROR]: Invalid authentication for retrieving chatBot settings"}) {
        EXPECT_EQ(env.host.logCount(line), 1u) << line;
    }
}

TEST(SettingsFetch, TransportFailuresAreLoggedAndSetNoFlag) {
    testkit::ServiceHost env;
    env.service->setFault("*", {service::FaultKind::NotJSON});
    quelmar::Initialize("live");
    const std::string jsonError = "Error Domain=NSCocoaErrorDomain Code=3840";
    auto logged = [&](const std::string& line) {
        for (const auto& l : env.host.logLines()) {
            if (l.rfind(line, 0) == 0) return true;
        }
        return false;
    };
    ASSERT_TRUE(env.host.runUntil([&] {
        return logged("[quelmar]-[ERROR]: Authentication failed for settings request with error description: " + jsonError) &&
               logged("[quelmar]-[ERROR]: Authentication failed, analytics could not be completed. Error description: " +
                      jsonError) &&
               logged("[quelmar]-[ERROR]: Invalid authentication, analytics could not be completed. Kindly check your "
                      "internet connection and retry again");
    }));
    EXPECT_FALSE(engine()->_fetchBrandSettingsComplete);
    EXPECT_FALSE(engine()->_fetchClickComplete);
}

TEST(SettingsFetch, PushClickIdGoesThroughTheBackgroundSession) {
    testkit::ServiceHost env;
    qmInternalProcessClass::sharedInstance()->_qmCurrentPushClID.set("PC1");
    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForRequests("settings", 1));
    auto settings = env.service->requestsFor("settings");
    EXPECT_EQ(settings[0].fields["_qm_pu_clid"], Value("PC1"));

    ASSERT_TRUE(env.host.runUntil(settingsApplied));
    EXPECT_EQ(QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data()["notifications"].count(), 4u);
    EXPECT_EQ(engine()->_qmCurrentPushClID.get(), Value(""));
}
