// Deep links: account keys, analytics id and UTM parameters from the URL, the screen it
// names, and journeys kept with their expiry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

const char* kOffersLink = "shopapp://Offers?qm_anal_id=42&utm_source=mail&x=1";
const char* kSettingsFetchStarted = "[quelmar]-[INFO]: Fetching the account settings.";
const char* kInvalidKeys =
    "[quelmar]-[ERROR]: Invalid brandID or secret key. Kindly check our documentation under the integration section "
    "and provide the values as per your account to fix this error.";

platform::UserDefaults& library() { return *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults; }
platform::UserDefaults& group() { return *QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults; }
QMRuntime& module() { return QMRuntime::shared(); }

// Deep-link state is process-wide; each test starts without it.
struct CleanAttribution {
    CleanAttribution() { clear(); }
    ~CleanAttribution() { clear(); }
    static void clear() {
        module()._qmAnalyticID.set(Value());
        module().qmFinalUTMParamsDict.set(Value());
        module()._qmDeeplinkcheck = false;
    }
};

// A key window showing the storyboard's "Home", which knows the screen "Offers".
struct App {
    App() {
        auto storyboard = platform::Storyboard::named("LinkMain");
        storyboard->registerViewController("Home", [] { return std::make_shared<platform::ViewController>("Home"); });
        storyboard->registerViewController("Offers", [] { return std::make_shared<platform::ViewController>("Offers"); });
        home = storyboard->instantiateViewControllerWithIdentifier("Home");
        window = std::make_shared<platform::Window>();
        window->setRootViewController(home);
        window->makeKeyAndVisible();
        token = platform::NotificationCenter::defaultCenter().addObserver(
            "qmNotificationClickCallback", [this](const platform::Notification& n) { clicks.push_back(n.userInfo); });
    }
    ~App() { platform::NotificationCenter::defaultCenter().removeObserver(token); }
    std::shared_ptr<platform::ViewController> home;
    std::shared_ptr<platform::Window> window;
    std::vector<Value> clicks;
    platform::NotificationCenter::Token token = 0;
};

Value infoWithout(const char* key) {
    Value info = testkit::TestHost::defaultInfo();
    info.remove(key);
    return info;
}

}  // namespace

TEST(DeepLink, CapturesAttributionAndOpensTheNamedScreen) {
    testkit::TestHost host;
    CleanAttribution clean;
    App app;
    const Value secret = testkit::TestHost::defaultInfo()["qmSecretKey"];

    quelmar::OpenUrlWithApplication(nullptr, kOffersLink);
    EXPECT_TRUE(module()._qmDeeplinkcheck);
    EXPECT_EQ(module()._qmAnalyticID.get(), Value("42"));
    EXPECT_EQ(qmInternalProcessClass::sharedInstance()->qm_anal_id.get(), Value("42"));
    EXPECT_EQ(library().objectForKey("qm_anal_id"), Value("42"));
    EXPECT_EQ(module().qmFinalUTMParamsDict.get(), (Value{{"utm_source", "mail"}}));
    for (auto* suite : {&library(), &group()}) {
        EXPECT_EQ(suite->objectForKey("qm_brandID"), Value(1234));
        EXPECT_EQ(suite->objectForKey("qm_encryptedKey"), Value(secret.description()));
    }
    ASSERT_NE(app.home->presentedViewController(), nullptr);
    EXPECT_EQ(app.home->presentedViewController()->className(), "Offers");
    ASSERT_EQ(app.clicks.size(), 1u);
    EXPECT_EQ(app.clicks[0], (Value{{"callToAction", 0}, {"ViewControllerToLoad", "Offers"}}));
    // Before start-up the UTM parameters wait for start-up's own settings fetch.
    host.runUntilIdle();
    EXPECT_FALSE(host.logContains(kSettingsFetchStarted));

    // After start-up a link with UTM parameters fetches settings at once.
    quelmar::Initialize("live");
    ASSERT_TRUE(host.runUntil([&] { return host.logCount(kSettingsFetchStarted) == 1; }));
    quelmar::OpenUrlWithApplication(nullptr, "shopapp://Offers?utm_campaign=spring");
    EXPECT_EQ(module().qmFinalUTMParamsDict.get(), (Value{{"utm_campaign", "spring"}}));
    EXPECT_EQ(module()._qmAnalyticID.get(), Value("42"));  // kept: this link has none
    EXPECT_TRUE(host.runUntil([&] { return host.logCount(kSettingsFetchStarted) == 2; }));
}

// A link that opens the app for another account (the bundle's brand changed since the last
// start-up) must not hide the change: the old account's user and cookies are wiped and the
// install is counted, while the link's own attribution is kept for the new account.
TEST(DeepLink, BrandChangeIsSeenWhenALinkOpensTheApp) {
    for (const bool recordedByStartUp : {true, false}) {
        SCOPED_TRACE(recordedByStartUp ? "start-up recorded its brand" : "brand stored by an older library");
        testkit::TestHost host;
        CleanAttribution clean;
        App app;
        quelmar::Initialize("live");
        library().setObject("old-user", "qm_userID");
        library().setObject(Value{{"_qm_sess", "old-session"}}, "qm_AppCookieSess");
        if (!recordedByStartUp) library().removeObjectForKey("qm_startUpBrandID");

        Value info = testkit::TestHost::defaultInfo();
        info.set("qmBrandID", 99);
        host.writeInfo(info);
        quelmar::OpenUrlWithApplication(nullptr, kOffersLink);
        EXPECT_EQ(library().objectForKey("qm_brandID"), Value(99));
        host.clearLog();
        quelmar::Initialize("live");

        EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: BrandID has been changed from 1234 to the new BrandID = 99"));
        EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: First install"));
        EXPECT_FALSE(library().objectForKey("qm_userID"));
        EXPECT_FALSE(library().objectForKey("qm_AppCookieSess"));
        EXPECT_EQ(library().objectForKey("qm_anal_id"), Value("42"));
        EXPECT_EQ(module().qmFinalUTMParamsDict.get(), (Value{{"utm_source", "mail"}}));
        host.runUntilIdle();

        // The next start-up with the same bundle is no change.
        host.clearLog();
        quelmar::Initialize("live");
        EXPECT_FALSE(host.logContains("BrandID has been changed"));
        host.runUntilIdle();
    }
}

TEST(DeepLink, DataVariantReturnsTheQueryWithoutRouting) {
    testkit::TestHost host;
    CleanAttribution clean;
    App app;

    const Value data = quelmar::OpenUrlGetDataWithApplication(nullptr, kOffersLink);
    EXPECT_EQ(data, (Value{{"parameters", Value{{"utm_source", "mail"}, {"x", "1"}}}, {"ViewControllerToLoad", "Offers"}}));
    EXPECT_EQ(module()._qmAnalyticID.get(), Value("42"));
    EXPECT_EQ(module().qmFinalUTMParamsDict.get(), (Value{{"utm_source", "mail"}}));
    EXPECT_EQ(app.home->presentedViewController(), nullptr);
    EXPECT_TRUE(app.clicks.empty());

    // No host: no screen name. An empty analytics id stays among the parameters.
    EXPECT_EQ(quelmar::OpenUrlGetDataWithApplication(nullptr, "shopapp:?qm_anal_id=&a=b"),
              (Value{{"parameters", Value{{"qm_anal_id", ""}, {"a", "b"}}}}));
}

TEST(DeepLink, MissingAccountKeysStopEverything) {
    for (const char* missing : {"qmSecretKey", "qmBrandID"}) {
        testkit::TestHost::Options options;
        options.info = infoWithout(missing);
        testkit::TestHost host(options);
        CleanAttribution clean;
        App app;

        quelmar::OpenUrlWithApplication(nullptr, kOffersLink);
        EXPECT_EQ(host.logLines(), std::vector<std::string>{kInvalidKeys}) << missing;
        host.clearLog();
        EXPECT_EQ(quelmar::OpenUrlGetDataWithApplication(nullptr, kOffersLink), Value()) << missing;
        EXPECT_TRUE(host.logLines().empty()) << missing;

        EXPECT_FALSE(module()._qmDeeplinkcheck);
        EXPECT_FALSE(module()._qmAnalyticID.get());
        EXPECT_FALSE(module().qmFinalUTMParamsDict.get());
        EXPECT_FALSE(library().objectForKey("qm_anal_id"));
        EXPECT_FALSE(library().objectForKey("qm_encryptedKey"));
        EXPECT_EQ(app.home->presentedViewController(), nullptr);
        EXPECT_TRUE(app.clicks.empty());
    }
}

TEST(DeepLink, OddQueriesAreReadAsWrittenAndNeverCrash) {
    testkit::TestHost host;
    CleanAttribution clean;
    const std::string longValue(100000, 'v');

    // Components without "=" are skipped; values end at the next "="; escapes are kept as
    // they are; the analytics id is matched without case.
    const Value data = quelmar::OpenUrlGetDataWithApplication(
        nullptr, "shopapp://Home?&&noequals&=anon&UTM_Medium=push%20mail&utm_term=a=b&QM_ANAL_ID=7=8&utm_=&long=" + longValue);
    EXPECT_EQ(module()._qmAnalyticID.get(), Value("7"));
    EXPECT_EQ(module().qmFinalUTMParamsDict.get(), (Value{{"UTM_Medium", "push%20mail"}, {"utm_term", "a"}, {"utm_", ""}}));
    const Value& parameters = data["parameters"];
    EXPECT_EQ(parameters[""], Value("anon"));
    EXPECT_EQ(parameters["QM_ANAL_ID"], Value("7"));
    EXPECT_EQ(parameters["long"].count(), longValue.size());
    EXPECT_FALSE(parameters.contains("noequals"));

    // Text that is no URL still passes the key check and yields no parameters.
    EXPECT_EQ(quelmar::OpenUrlGetDataWithApplication(nullptr, "not a url %%"), (Value{{"parameters", Value::dictionary()}}));
    EXPECT_EQ(quelmar::OpenUrlGetDataWithApplication(nullptr, Value()), (Value{{"parameters", Value::dictionary()}}));
    quelmar::OpenUrlWithApplication(nullptr, "shopapp://%zz?utm_x");
    quelmar::OpenUrlWithApplication(nullptr, Value::null());
    EXPECT_TRUE(host.runUntilIdle());
}

TEST(DeepLink, SceneForwardersNeedASchemeAndAHost) {
    testkit::TestHost host;
    CleanAttribution clean;

    quelmar::scene(nullptr, std::vector<std::string>{"shopapp:?utm_source=nohost", "shopapp://Offers?utm_source=second"});
    quelmar::scene(nullptr, std::vector<std::string>{"Offers?utm_source=noscheme"});
    quelmar::scene(nullptr, std::vector<std::string>{});
    EXPECT_FALSE(module().qmFinalUTMParamsDict.get());

    quelmar::scene(nullptr, nullptr, SceneConnectionOptions{{"shopapp://Offers?utm_source=connect", "shopapp://X?utm_source=2"}});
    EXPECT_EQ(module().qmFinalUTMParamsDict.get(), (Value{{"utm_source", "connect"}}));
    quelmar::scene(nullptr, std::vector<std::string>{"shopapp://Offers?utm_source=open"});
    EXPECT_EQ(module().qmFinalUTMParamsDict.get(), (Value{{"utm_source", "open"}}));
}

TEST(DeepLink, QueryItemLookup) {
    const auto url = platform::URL::parse("https://x.example/p?a=1&b=two%20words&a=3&flag");
    ASSERT_TRUE(url);
    auto& utility = qmGetFilteredData::sharedInstance();
    EXPECT_EQ(utility.valueForKey("a", url->queryItems()), Value("1"));
    EXPECT_EQ(utility.valueForKey("b", url->queryItems()), Value("two words"));
    EXPECT_EQ(utility.valueForKey("flag", url->queryItems()), Value());
    EXPECT_EQ(utility.valueForKey("c", url->queryItems()), Value());
}

TEST(Journeys, StoredNewestFirstOncePerIdAndDroppedWhenExpired) {
    testkit::TestHost host;  // UTC, starting 2024-01-15 10:00:00
    auto& utility = qmGetFilteredData::sharedInstance();
    EXPECT_EQ(utility.qmGetJourneyIDs(), Value());

    utility.qmStoreJourneyInfo(Value{{"journeyID", "J"}, {"time", "2"}});
    utility.qmStoreJourneyInfo(Value{{"journeyID", "K"}, {"time", 1}});
    // Incomplete announcements are ignored.
    utility.qmStoreJourneyInfo(Value{{"journeyID", "L"}});
    utility.qmStoreJourneyInfo(Value{{"journeyID", Value::null()}, {"time", "5"}});
    utility.qmStoreJourneyInfo(Value{{"journeyID", ""}, {"time", "5"}});
    EXPECT_FALSE(host.logContains("same journey found!!"));

    host.advance(600);
    utility.qmStoreJourneyInfo(Value{{"journeyID", "J"}, {"time", "3"}});
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: same journey found!!"), 1u);
    const Value j{{"journeyID", "J"}, {"journeyExpiryDateTime", "2024-01-15 13:10:00"}};
    const Value k{{"journeyID", "K"}, {"journeyExpiryDateTime", "2024-01-15 11:00:00"}};
    EXPECT_EQ(library().objectForKey("qm_journeyinfo"), Value::array({j, k}));
    EXPECT_EQ(utility.qmGetJourneyIDs(), Value("J,K"));

    // 11:00:01: K has ended and leaves the stored list.
    host.advance(50 * 60 + 1);
    EXPECT_EQ(utility.qmGetJourneyIDs(), Value("J"));
    EXPECT_EQ(library().objectForKey("qm_journeyinfo"), Value::array({j}));

    host.advance(3 * 3600);
    EXPECT_EQ(utility.qmGetJourneyIDs(), Value());
    EXPECT_EQ(library().objectForKey("qm_journeyinfo"), Value::array());
}

TEST(Journeys, ExpiryIsWrittenInTheDevicesTimeZone) {
    testkit::TestHost::Options options;
    options.timeZone = "Asia/Tokyo";  // UTC+9, no daylight saving
    testkit::TestHost host(options);
    auto& utility = qmGetFilteredData::sharedInstance();
    utility.qmStoreJourneyInfo(Value{{"journeyID", "T"}, {"time", "1.5"}});
    // 10:00 UTC is 19:00 in Tokyo; one and a half hours later.
    EXPECT_EQ(library().objectForKey("qm_journeyinfo")[0]["journeyExpiryDateTime"], Value("2024-01-15 20:30:00"));
    EXPECT_EQ(utility.qmGetJourneyIDs(), Value("T"));
}

TEST(DeepLinkFuzzInputs, KeptInputsNeverCrash) {
    testkit::TestHost host;
    CleanAttribution clean;
    App app;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QM_TEST_DATA_DIR "/fuzz/deeplink")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        ++files;
        quelmar::OpenUrlWithApplication(nullptr, Value(text.str()));
        const Value data = quelmar::OpenUrlGetDataWithApplication(nullptr, Value(text.str()));
        EXPECT_TRUE(data["parameters"].isDictionary()) << entry.path();
        quelmar::scene(nullptr, std::vector<std::string>{text.str()});
        app.home->dismissViewControllerAnimated(false);
        host.runUntilIdle(5);
    }
    EXPECT_GE(files, 4u);
}
