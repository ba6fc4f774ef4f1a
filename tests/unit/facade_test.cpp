#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "unit/engine_test_access.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/user_notifications.hpp"
#include "qmplatform/web_engine.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {
const char* kInvalidAccount =
    "[quelmar]-[ERROR]: Invalid brandID or secret key. Kindly check our documentation under the integration section "
    "and provide the values as per your account to fix this error.";

Value info(const Value& brand, const Value& secret) {
    Value v = testkit::TestHost::defaultInfo();
    v.set("qmBrandID", brand);
    v.set("qmSecretKey", secret);
    return v;
}

QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }
std::shared_ptr<qmInternalProcessClass> engine() { return QMRuntime::shared().qmInternalProcess(); }
}  // namespace

TEST(Initialize, InvalidAccountStopsStartUpWithoutChangingAnything) {
    testkit::TestHost host;
    const std::vector<Value> infos = {info("0", "key"), info(-3, "key"), info(Value(), "key"), info("abc", "key"),
                                      info(5, ""), info(5, Value())};
    for (const auto& i : infos) {
        host.writeInfo(i);
        host.clearLog();
        quelmar::Initialize("live");
        EXPECT_EQ(host.logLines(), std::vector<std::string>{kInvalidAccount}) << i.description();
    }
    EXPECT_FALSE(engine());
    EXPECT_EQ(prefs().qmDictionaryRepresentationIntoUserDefaultsType(QMStore::Library).count(), 0u);
    EXPECT_EQ(prefs().qmDictionaryRepresentationIntoUserDefaultsType(QMStore::AppGroup).count(), 0u);
}

TEST(Initialize, StoresIdentifiersAndCountsLaunches) {
    testkit::TestHost host;
    auto& library = *prefs().qmSDKStdUserDefaults;
    auto& group = *prefs().qmAppGroupServiceExtUserDefaults;
    // Markers of campaigns shown in the last session, among other keys.
    for (int n = 0; n < 40; ++n) library.setObject(true, "qm_isShownViewNID" + std::to_string(n));
    library.setObject("x", "qm_temp_SessionEvent");
    library.setObject(Date{host.clock().now().seconds - 86400}, "qm_centerOpenDate");
    group.setObject(true, "qm_shouldResetCenterDataOnNewPush");

    for (long long launch = 1; launch <= 3; ++launch) {
        quelmar::Initialize("debug");
        EXPECT_EQ(library.objectForKey("qm_CountAppLaunch"), Value(launch));
    }
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: You are in debug mode"), 3u);
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: BrandID >>>>======>>>>> 1234"), 3u);
    EXPECT_FALSE(host.logContains("BrandID has been changed"));

    for (auto* suite : {&library, &group}) {
        EXPECT_EQ(suite->objectForKey("qm_brandID"), Value(1234));
        EXPECT_EQ(suite->objectForKey("qm_encryptedKey"), Value("secret-key-0123456789abcdef"));
        EXPECT_EQ(suite->objectForKey("qm_AppMode"), Value("debug"));
        EXPECT_EQ(suite->objectForKey("qm_language"), Value("English"));
        EXPECT_EQ(suite->objectForKey("qm_Package"), Value("com.example.testapp"));
        // What the page's navigator.userAgent answered: the engine's agent and the library's name.
        EXPECT_EQ(suite->objectForKey("qm_secretAgent"),
                  Value(std::string(testkit::ScriptedWebEngine::kUserAgent) + " quelmar/7.0.5"));
        EXPECT_TRUE(std::regex_match(suite->objectForKey("qm_iOS_VENDOR_IDENTIFIER").description(),
                                     std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    }
    EXPECT_EQ(group.objectForKey("qm_groupName"), Value("group.qm.com.example.testapp"));
    EXPECT_FALSE(library.objectForKey("qm_groupName"));
    EXPECT_EQ(library.objectForKey("qm_isSendUserData"), Value(true));
    for (int n = 0; n < 40; ++n) EXPECT_FALSE(library.objectForKey("qm_isShownViewNID" + std::to_string(n))) << n;
    EXPECT_FALSE(library.objectForKey("qm_temp_SessionEvent"));
    EXPECT_FALSE(library.objectForKey("qm_centerOpenDate"));
    EXPECT_FALSE(group.objectForKey("qm_shouldResetCenterDataOnNewPush"));

    // The values are on disk, not only in memory.
    library.reload();
    EXPECT_EQ(library.objectForKey("qm_CountAppLaunch"), Value(3));

    // Flags start NO on the new engine.
    ASSERT_TRUE(engine());
    EXPECT_FALSE(engine()->fetchBrandSettingsComplete());
    EXPECT_EQ(engine()->qmLanguage.get(), Value("English"));
}

TEST(Initialize, RecentInboxDateIsKept) {
    testkit::TestHost host;
    auto& library = *prefs().qmSDKStdUserDefaults;
    library.setObject(Date{host.clock().now().seconds - 86399}, "qm_centerOpenDate");
    quelmar::Initialize("live");
    EXPECT_TRUE(library.objectForKey("qm_centerOpenDate"));
}

TEST(Initialize, BrandChangeResetsEveryLibraryKeyOfBothSuites) {
    testkit::TestHost host;
    auto& library = *prefs().qmSDKStdUserDefaults;
    auto& group = *prefs().qmAppGroupServiceExtUserDefaults;
    quelmar::Initialize("live");
    quelmar::Initialize("live");
    library.setObject("u-1", "qm_userID");
    group.setObject(3, "qm_pushViewCount");
    library.setObject("kept", "hostKey");
    group.setObject("kept", "hostGroupKey");
    QMSDKDataStore::sharedInstance()->write_qm_Statistics(Value{{"n1", 1}});

    host.writeInfo(info(99, "other-secret"));
    host.clearLog();
    quelmar::Initialize("live");

    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: BrandID has been changed from 1234 to the new BrandID = 99"));
    EXPECT_FALSE(library.objectForKey("qm_userID"));
    EXPECT_FALSE(group.objectForKey("qm_pushViewCount"));
    EXPECT_EQ(library.objectForKey("hostKey"), Value("kept"));
    EXPECT_EQ(group.objectForKey("hostGroupKey"), Value("kept"));
    EXPECT_EQ(library.objectForKey("qm_CountAppLaunch"), Value(1));  // counting starts again
    EXPECT_EQ(group.objectForKey("qm_brandID"), Value(99));
    EXPECT_EQ(group.objectForKey("qm_encryptedKey"), Value("other-secret"));
    EXPECT_FALSE(QMSDKDataStore::sharedInstance()->read_qm_Statistics());

    // A stored id of 0 or less never resets.
    library.setObject(0, "qm_brandID");
    library.setObject("still here", "qm_userID");
    quelmar::Initialize("live");
    library.setObject(-4, "qm_brandID");
    quelmar::Initialize("live");
    EXPECT_EQ(library.objectForKey("qm_userID"), Value("still here"));
    EXPECT_EQ(host.logCount("BrandID has been changed"), 1u);
}

TEST(SetupGate, ShowWaitsForSettingsAndIsAbandonedAfterItsTickBudget) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    host.clearLog();

    quelmar::Show(Value{{"name", "Ann"}}, Value());
    EXPECT_EQ(host.logCount("Show method triggered"), 1u);
    EXPECT_EQ(QMRuntime::shared()._qmInAppBannerSettingsTimerCount, 1);  // fired at once

    // Settings answer 25 seconds later: too late, the wait gave up after its 21st tick.
    host.advance(25);
    EXPECT_EQ(QMRuntime::shared()._qmInAppBannerSettingsTimerCount, 21);
    qmEngineTestAccess::setBrandSettingsComplete(*engine(), true);
    host.advance(5);
    EXPECT_EQ(host.logCount("Show method triggered"), 1u);

    // The budget is spent for the process: a later wait ends at its first tick.
    qmEngineTestAccess::setBrandSettingsComplete(*engine(), false);
    quelmar::Show(Value(), Value());
    qmEngineTestAccess::setBrandSettingsComplete(*engine(), true);
    host.advance(5);
    EXPECT_EQ(host.logCount("Show method triggered"), 2u);
    EXPECT_EQ(QMRuntime::shared()._qmInAppBannerSettingsTimerCount, 21);
}

TEST(SetupGate, ShowIsCalledAgainWithItsArgumentsOnceSettingsArrive) {
    testkit::TestHost host;
    Value appInfo = testkit::TestHost::defaultInfo();
    appInfo.set("qmLogsLevel", "debug");
    host.writeInfo(appInfo);
    quelmar::Initialize("live");
    host.clearLog();

    quelmar::Show(Value{{"name", "Ann"}}, Value{{"tier", 2}});
    host.advance(3);
    EXPECT_EQ(host.logCount("Show method triggered"), 1u);
    qmEngineTestAccess::setBrandSettingsComplete(*engine(), true);
    host.advance(1);
    EXPECT_EQ(host.logCount("Show method triggered"), 2u);
    // The user's tokens are logged with their values redacted.
    EXPECT_EQ(host.logCount("In-app display requested with user tokens {\n    name = \"\xE2\x80\xA6(3)#"), 1u);
    EXPECT_EQ(host.logCount(";\n} and custom rule {\n    tier = 2;\n}"), 1u);
    EXPECT_FALSE(host.logContains("Ann"));
    host.advance(10);
    EXPECT_EQ(host.logCount("Show method triggered"), 2u);  // the timer is gone

    // Empty arguments come back as empty dictionaries.
    qmEngineTestAccess::setBrandSettingsComplete(*engine(), false);
    quelmar::Show(Value(), Value());
    qmEngineTestAccess::setBrandSettingsComplete(*engine(), true);
    host.advance(1);
    EXPECT_EQ(host.logCount("In-app display requested with user tokens {\n} and custom rule {\n}"), 1u);
}

TEST(SetupGate, PushTokenHandOverHasItsOwnBudget) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    quelmar::Show(Value(), Value());
    host.advance(30);
    EXPECT_EQ(QMRuntime::shared()._qmInAppBannerSettingsTimerCount, 21);

    quelmar::DidRegisteredNotification(nullptr, Value(Bytes{1, 2, 3}));
    host.advance(30);
    EXPECT_EQ(QMRuntime::shared()._qmFetchPushSettingTimer, 21);
}

TEST(LifeCycle, EntriesBeforeStartUpDoNothing) {
    testkit::TestHost host;
    quelmar::Show(Value(), Value());
    quelmar::trackEvents("purchase", Value(), "1", 1);
    quelmar::sceneDidBecomeActive(nullptr);
    quelmar::applicationWillTerminate();
    host.advance(5);
    EXPECT_EQ(QMRuntime::shared()._qmInAppBannerSettingsTimerCount, 0);
    EXPECT_EQ(prefs().qmDictionaryRepresentationIntoUserDefaultsType(QMStore::Library).count(), 0u);
}

TEST(LifeCycle, TerminatingClearsCachedInboxMedia) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    auto store = QMSDKDataStore::sharedInstance();
    store->saveToCacheDirectory(Bytes{1}, "qm_nc_image.png");
    store->saveToCacheDirectory(Bytes{1}, "other.png");
    quelmar::applicationWillTerminate();
    EXPECT_FALSE(store->cachedDataWithName("qm_nc_image.png"));
    EXPECT_TRUE(store->cachedDataWithName("other.png"));
}

// A test without a service of its own reaches nothing beyond this machine: its requests go to
// a loopback port that refuses them.
TEST(TestHostRouting, RequestsWithoutAServiceAreRefusedOnLoopback) {
    testkit::TestHost host;
    EXPECT_EQ(host.unroutedAddress().rfind("127.0.0.1:", 0), 0u);
    quelmar::Initialize("live");
    EXPECT_TRUE(host.runUntil([&] {
        return host.logContains("[quelmar]-[ERROR]: Authentication failed for settings request with error description: "
                                "Error Domain=NSURLErrorDomain Code=-1004");
    }));
}

// A web view that never answers the user-agent question holds start-up only until the
// deadline; the stored agent stays as it was.
TEST(Initialize, SilentWebViewDelaysStartUpOnlyUntilTheDeadline) {
    testkit::TestHost host;
    prefs().qmSetObject(Value("Agent/1"), "qm_secretAgent", QMStore::Both);
    auto& web = host.webEngine();
    web.setSilent(true);
    const auto started = std::chrono::steady_clock::now();
    quelmar::Initialize("live");
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(took, qmGetFilteredData::kScriptAnswerDeadline + 2);
    ASSERT_EQ(web.pageCount(), 1u);
    EXPECT_EQ(web.page(0).scripts(), std::vector<std::string>{"navigator.userAgent"});
    EXPECT_TRUE(host.logContains("[quelmar]-[WARNING]: The web view did not answer \"navigator.userAgent\" within 2 seconds."));
    EXPECT_EQ(prefs().qmObjectForKey("qm_secretAgent", QMStore::Library), Value("Agent/1"));
    EXPECT_TRUE(engine());  // start-up went on
    // The web view went with the start-up: its page is gone and the held question was
    // answered (as for a page that is gone), so nothing waits on it.
    EXPECT_TRUE(web.page(0).destroyed);
    EXPECT_EQ(web.heldCount(), 0u);
}

// Push entries with completions answer them once, at once (so an app or its extension never
// waits for them), before start-up too, also for a missing request or response.
TEST(EntriesNotBuilt, PushCallbacksAnswerAtOnce) {
    testkit::TestHost host;
    auto content = std::make_shared<platform::MutableNotificationContent>();
    content->body = "Your order has shipped";
    std::vector<std::shared_ptr<platform::NotificationContent>> shown;
    std::vector<unsigned long> fetchResults, presentation;
    std::vector<Value> clicks;
    for (int call = 0; call < 2; ++call) {
        quelmar::LoadAttachmentWithRequest(nullptr, content, [&](const auto& c) { shown.push_back(c); });
        quelmar::didReceiveRemoteNotification(Value{{"aps", Value{{"category", "qm"}}}},
                                              [&](unsigned long result) { fetchResults.push_back(result); });
        quelmar::PushNotificationActionDataFromResponse(nullptr, true, [&](const Value& v) { clicks.push_back(v); });
    }
    // The extension gets its content back untouched without a request; the fetch has "new data" (0); a response
    // without a push is an error.
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], content);
    EXPECT_EQ(shown[1]->body, "Your order has shipped");
    EXPECT_EQ(fetchResults, (std::vector<unsigned long>{0, 0}));
    const Value noPush{{"error", "userInfo not forund"}};
    EXPECT_EQ(clicks, (std::vector<Value>{noPush, noPush}));

    // Shown in front: alert 4 | sound 2 | badge 1, and banner 16 from system version 14.
    platform::Device::current().setSystemVersion("13.7");
    quelmar::willPresentNotification(nullptr, [&](unsigned long options) { presentation.push_back(options); });
    platform::Device::current().setSystemVersion("14.0");
    quelmar::willPresentNotification(nullptr, [&](unsigned long options) { presentation.push_back(options); });
    platform::Device::current().setSystemVersion(std::nullopt);
    EXPECT_EQ(presentation, (std::vector<unsigned long>{4 | 2 | 1, 16 | 4 | 2 | 1}));

    // Empty completions are skipped, never called.
    quelmar::LoadAttachmentWithRequest(nullptr, content, nullptr);
    quelmar::didReceiveRemoteNotification(Value(), nullptr);
    quelmar::willPresentNotification(nullptr, nullptr);
    quelmar::PushNotificationActionDataFromResponse(nullptr, false, nullptr);

    EXPECT_EQ(host.logCount("not available in this build"), 0u);

    // The token is the one the service accepted last, as stored.
    EXPECT_TRUE(quelmar::getPushRegistrationToken().isNone());
    prefs().qmSetObject("a1b2c3", "qm_deviceID", QMStore::Library);
    EXPECT_EQ(quelmar::getPushRegistrationToken(), Value("a1b2c3"));
}

TEST(EntriesNotBuilt, InboxQueriesAnswerEmptyOnTheMainRunLoop) {
    testkit::TestHost host;
    std::vector<Value> entries, data, counts;
    std::vector<long> unread;
    for (int call = 0; call < 2; ++call) {
        quelmar::GetNotificationCentreData([&](const Value& v) { entries.push_back(v); });
        quelmar::getNotificationCenterData([&](const Value& v) { data.push_back(v); });
        quelmar::GetUnreadPushNotification([&](long n) { unread.push_back(n); });
        quelmar::getNotificationCenterCountWithConfiguration(nullptr, [&](const Value& v) { counts.push_back(v); });
    }
    quelmar::GetNotificationCentreData(nullptr);
    quelmar::GetUnreadPushNotification(nullptr);
    // Handed over on the main run loop, never inside the call.
    EXPECT_TRUE(entries.empty() && data.empty() && unread.empty() && counts.empty());
    host.runUntilIdle();
    EXPECT_EQ(entries, (std::vector<Value>(2, Value::array())));
    EXPECT_EQ(data, (std::vector<Value>(2, Value{{"message", "no notification(s)"}, {"notifications", Value::array()}})));
    EXPECT_EQ(unread, (std::vector<long>{0, 0}));
    EXPECT_EQ(counts, (std::vector<Value>(2, Value{{"totalCount", 0}})));
    EXPECT_EQ(host.logCount("[quelmar]-[WARNING]: The notification center is not available in this build (GetUnreadPushNotification)."),
              1u);
}

// Entries that belong on the main thread say so when called from another one.
TEST(MainThreadCheck, EntriesCalledOffTheMainThreadAreReported) {
    testkit::TestHost host;
    std::thread other([] {
        quelmar::OpenUrlGetDataWithApplication(nullptr, "shopapp://Offers?x=1");
        quelmar::Show(Value(), Value());
    });
    other.join();
    EXPECT_EQ(host.logCount("[quelmar]-[ERROR]: OpenUrlGetDataWithApplication must be called on the main thread."), 1u);
    EXPECT_EQ(host.logCount("[quelmar]-[ERROR]: Show must be called on the main thread."), 1u);
    quelmar::OpenUrlGetDataWithApplication(nullptr, "shopapp://Offers?x=1");
    EXPECT_EQ(host.logCount("must be called on the main thread"), 2u);
}
