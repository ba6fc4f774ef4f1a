#include <gtest/gtest.h>

#include "core/QMReachability.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/network.hpp"
#include "test_host.hpp"

using namespace qm;
namespace pf = qm::platform;

TEST(NetworkManager, EndpointsForEachEnvironment) {
    auto& n = QMSDKNetworkManager::sharedInstance();
    EXPECT_EQ(n.qmGetSDKEnvironment(), QMSDKEnvironmentLive);
    EXPECT_EQ(n.qmRecordEventApiURLString(), "https://analytics.quelmar.io/mobile/api/event");
    EXPECT_EQ(n.qmGetFetchSettingsApiURLString(), "https://mobile.quelmar.io/mobile/api_v2/settings");
    EXPECT_EQ(n.qmGetFetchClicksApiURLString(), "https://analytics.quelmar.io/mobile/api/fetch_click");
    EXPECT_EQ(n.qmTrackUserApiURLString(), "https://analytics.quelmar.io/mobile/api/user");
    EXPECT_EQ(n.qmGetInAppSurveyApiURLString(), "https://mobile.quelmar.io/user/survey/modal");
    EXPECT_EQ(n.qmRecordInAppBannerSurveyStatisticsApiURLString(), "https://mobile.quelmar.io/mobile/api/stats");
    EXPECT_EQ(n.qmRecordPushSubscriberApiURLString(), "https://push.quelmar.io/mobile/api/ios_subscribe");
    EXPECT_EQ(n.qmRecordPushStatisticsDefaultApiURLString(), "https://push.quelmar.io/mobile/api/stats");
    EXPECT_EQ(n.qmSchedulePushNotificationApiURLString(), "https://push.quelmar.io/mobile/api/schedule");
    EXPECT_EQ(n.qmGetNotificationCenterApiURLString(), "https://push.quelmar.io/mobile/api/notifications_ios");
    EXPECT_EQ(n.qmChatbotApiSubdomain(), "livechat");

    n.qmSetSDKEnvironment(QMSDKEnvironmentUserAcceptance);
    EXPECT_EQ(n.qmRecordEventApiURLString(), "https://anal1uat.quelmar.io/mobile/api/event");
    n.qmSetSDKEnvironment(QMSDKEnvironmentDevelopment);
    EXPECT_EQ(n.qmChatbotApiSubdomain(), "devpush6");
    EXPECT_EQ(n.qmGetApiSubdomainForType(9), "devmobile6");  // unknown kinds are mobile
    n.qmSetSDKEnvironment(QMSDKEnvironmentStaging);
    EXPECT_EQ(n.qmRecordPushSubscriberApiURLString(), "https://stagepush.quelmar.io/mobile/api/ios_subscribe");
    n.qmSetSDKEnvironment(7);  // above the known ones: live
    n.setServiceDomain("example.test");
    EXPECT_EQ(n.qmTrackUserApiURLString(), "https://analytics.example.test/mobile/api/user");
}

TEST(DeviceInfo, GMTOffsetIsMinutesWithTheSignReversed) {
    testkit::TestHost host;
    auto& utility = qmGetFilteredData::sharedInstance();
    EXPECT_EQ(utility.qmGetGMTTimeOffset(), "00");
    pf::TimeZone::setCurrent("Asia/Kolkata");
    EXPECT_EQ(utility.qmGetGMTTimeOffset(), "-330");
    pf::TimeZone::setCurrent("America/New_York");  // January: five hours west
    EXPECT_EQ(utility.qmGetGMTTimeOffset(), "300");
    pf::TimeZone::setCurrent("Asia/Kathmandu");  // +5:45
    EXPECT_EQ(utility.qmGetGMTTimeOffset(), "-345");
}

TEST(DeviceInfo, DescriptionFollowsTheNetwork) {
    testkit::TestHost host;
    auto& utility = qmGetFilteredData::sharedInstance();
    pf::Device::current().setModel("x86_64");

    pf::NetworkReachability::setSimulatedFlags(pf::kReachabilityFlagsReachable);
    EXPECT_EQ(utility.qmDeviceDescription(),
              (Value{{"manufacturer", "apple"}, {"model", "x86_64"}, {"network_type", "WIFI"}, {"wifi_enabled", "true"}}));

    pf::NetworkReachability::setSimulatedFlags(pf::kReachabilityFlagsReachable | pf::kReachabilityFlagsIsWWAN);
    pf::Telephony::setCarrierName("Telco");
    pf::Telephony::setCurrentRadioAccessTechnology(pf::radio::LTE);
    EXPECT_EQ(utility.qmDeviceDescription(), (Value{{"manufacturer", "apple"},
                                                   {"model", "x86_64"},
                                                   {"carrier", "Telco"},
                                                   {"network_type", "4G"},
                                                   {"wifi_enabled", "false"}}));

    pf::NetworkReachability::setSimulatedFlags(0u);
    Value offline = utility.qmDeviceDescription();
    EXPECT_FALSE(offline.contains("network_type"));
    EXPECT_EQ(offline["wifi_enabled"], Value("false"));

    Value withInfo = utility.qmAddCurrentDeviceInfoToUrlString("a=1");
    EXPECT_EQ(withInfo.string(),
              "a=1&device_info=%7B%22carrier%22%3A%22Telco%22%2C%22manufacturer%22%3A%22apple%22%2C%22model%22%3A%22x86_64%22%2C"
              "%22wifi_enabled%22%3A%22false%22%7D");
    EXPECT_EQ(utility.qmAddCurrentDeviceInfoToUrlString(""), Value(""));
    EXPECT_EQ(utility.qmAddMobleAppIDToUrlString(""), Value(""));
    EXPECT_EQ(utility.qmAddMobleAppIDToUrlString("a=1"), Value("a=1"));  // nothing stored yet
    QMSDKUserDefaultsData::sharedInstance().qmSetString("com.example.testapp", "qm_Package", QMStore::AppGroup);
    EXPECT_EQ(utility.qmAddMobleAppIDToUrlString("a=1"), Value("a=1&mobile_app_id=com.example.testapp"));

    EXPECT_EQ(utility.getShortNamefromCurrentCellularNetworkType(pf::radio::Edge), "2G");
    EXPECT_EQ(utility.getShortNamefromCurrentCellularNetworkType(pf::radio::eHRPD), "3G");
    EXPECT_EQ(utility.getShortNamefromCurrentCellularNetworkType(pf::radio::NR), pf::radio::NR);
    EXPECT_FALSE(utility.qmStringifyDictionary(Value::dictionary()));
    EXPECT_EQ(utility.qmStringifyDictionary(Value{{"when", Date{}}}), Value(""));
}

TEST(Reachability, StatusFromFlags) {
    using namespace pf;
    EXPECT_EQ(QMReachability::qmNetworkStatusForFlags(0), QMNotReachable);
    EXPECT_EQ(QMReachability::qmNetworkStatusForFlags(kReachabilityFlagsIsWWAN), QMNotReachable);
    EXPECT_EQ(QMReachability::qmNetworkStatusForFlags(kReachabilityFlagsReachable), QMReachableViaWiFi);
    EXPECT_EQ(QMReachability::qmNetworkStatusForFlags(kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN), QMReachableViaWWAN);
    const std::uint32_t required = kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired;
    EXPECT_EQ(QMReachability::qmNetworkStatusForFlags(required), QMNotReachable);
    EXPECT_EQ(QMReachability::qmNetworkStatusForFlags(required | kReachabilityFlagsConnectionOnTraffic), QMReachableViaWiFi);
    EXPECT_EQ(QMReachability::qmNetworkStatusForFlags(required | kReachabilityFlagsConnectionOnDemand |
                                                      kReachabilityFlagsInterventionRequired),
              QMNotReachable);
}

TEST(Reachability, ServiceRoutedToLoopbackIsConnected) {
    testkit::TestHost host;
    pf::NetworkReachability::setRouteOverride("127.0.0.1:8443");
    EXPECT_TRUE(qmGetFilteredData::sharedInstance().qmIsConnected());
    EXPECT_EQ(QMReachability::qmReachabilityWithAddress("127.0.0.1")->qmCurrentReachabilityStatus(), QMReachableViaWiFi);
    pf::NetworkReachability::setSimulatedFlags(0u);
    EXPECT_FALSE(qmGetFilteredData::sharedInstance().qmIsConnected());
}
