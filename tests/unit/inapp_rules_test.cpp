// In-app targeting: the rule table on its own, then whole decisions through Show with stored
// campaigns, counters on the test clock, close and click conditions and the on-scroll trigger.
#include <gtest/gtest.h>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppCloseButton.hpp"
#include "inapp/qmInAppColors.hpp"
#include "inapp/qmInAppRules.hpp"
#include "inapp/qmInAppSurveyURL.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/scroll_view.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"
#include "unit/engine_test_access.hpp"

using namespace qm;

namespace {

Value rule(long type, long op, Value campaignValue, const char* key = "k") {
    return Value{{"e", key}, {"d", type}, {"c", op}, {"v", std::move(campaignValue)}};
}
bool holds(long type, long op, Value campaignValue, Value appValue) {
    return inapp::conditionHolds(rule(type, op, std::move(campaignValue)), Value{{"k", std::move(appValue)}});
}

}  // namespace

TEST(InAppRuleTable, ConditionsCompareByTheirDataType) {
    // Text.
    EXPECT_TRUE(holds(0, 0, "gold", "gold"));
    EXPECT_FALSE(holds(0, 0, "gold", "Gold"));
    EXPECT_TRUE(holds(0, 1, "gold", "silver"));
    EXPECT_TRUE(holds(0, 4, "old", "gold member"));
    EXPECT_FALSE(holds(0, 5, "old", "gold member"));
    EXPECT_FALSE(holds(0, 2, "a", "b")) << "no ordering for texts";
    // Integers, from numbers or texts.
    EXPECT_TRUE(holds(1, 0, 5, "5"));
    EXPECT_TRUE(holds(1, 1, 5, 6));
    EXPECT_TRUE(holds(1, 2, "10", 11));
    EXPECT_FALSE(holds(1, 2, 10, 10));
    EXPECT_TRUE(holds(1, 3, 10, -3));
    EXPECT_FALSE(holds(1, 4, 10, 10));
    // Dates by day; a text that is not a date makes the condition false either way.
    EXPECT_TRUE(holds(2, 0, "2024-03-01", "2024-03-01"));
    EXPECT_TRUE(holds(2, 1, "2024-03-01", "2024-03-02"));
    EXPECT_TRUE(holds(2, 2, "2024-03-01", "2024-12-31"));
    EXPECT_TRUE(holds(2, 3, "2024-03-01", "2023-03-01"));
    EXPECT_FALSE(holds(2, 0, "2024-03-01", "yesterday"));
    EXPECT_FALSE(holds(2, 1, "2024-03-01", "yesterday"));
    // Booleans by their truth.
    EXPECT_TRUE(holds(3, 0, "true", "1"));
    EXPECT_FALSE(holds(3, 0, "true", "no"));
    EXPECT_TRUE(holds(3, 0, "false", "no"));
    EXPECT_TRUE(holds(3, 1, "YES", "0"));
    EXPECT_FALSE(holds(3, 2, "YES", "YES"));
    // A key the app did not pass, or an unknown data type, is false.
    EXPECT_FALSE(inapp::conditionHolds(rule(0, 1, "x", "absent"), Value{{"k", "y"}}));
    EXPECT_FALSE(holds(4, 0, "x", "x"));
}

TEST(InAppRuleTable, CombinersVersionsScreensAndScrolling) {
    const Value app{{"k", "a"}};
    const Value falseThenTrue = Value::array({rule(0, 0, "b"), rule(0, 0, "a")});
    EXPECT_TRUE(inapp::customRulesHold(falseThenTrue, 0, app));
    EXPECT_FALSE(inapp::customRulesHold(falseThenTrue, 1, app));
    EXPECT_TRUE(inapp::customRulesHold(falseThenTrue, 7, app)) << "the last condition decides";
    EXPECT_FALSE(inapp::customRulesHold(Value::array({rule(0, 0, "a"), rule(0, 0, "b")}), 7, app));

    EXPECT_GT(inapp::compareVersions("10.2", "9.9"), 0);
    EXPECT_EQ(inapp::compareVersions("1.02", "1.2"), 0);
    EXPECT_LT(inapp::compareVersions("1.2", "1.2.1"), 0);
    EXPECT_LT(inapp::compareVersions("2.0-beta", "2.0-rc"), 0);
    const Value ranges = Value::array({Value{{"d", "12.0"}, {"e", "14.9"}}});
    EXPECT_FALSE(inapp::versionInRanges("15.1", ranges));
    EXPECT_TRUE(inapp::versionInRanges("13.4", ranges));
    EXPECT_TRUE(inapp::versionInRanges("14.9", ranges));
    EXPECT_TRUE(inapp::versionInRanges("3", Value::array()));
    EXPECT_TRUE(inapp::versionInRanges("99", Value::array({Value{{"d", "12"}}}))) << "a range open at the top";

    const Value listed{{"pageUrls", Value::array({"HomeVC"})}, {"pageUrlCond", 0}};
    EXPECT_TRUE(inapp::showsOnScreen(listed, "HomeVC"));
    EXPECT_FALSE(inapp::showsOnScreen(listed, "CartVC"));
    const Value except{{"pageUrls", Value::array({"HomeVC"})}, {"pageUrlCond", 1}};
    EXPECT_FALSE(inapp::showsOnScreen(except, "HomeVC"));
    EXPECT_TRUE(inapp::showsOnScreen(except, "CartVC"));
    EXPECT_TRUE(inapp::showsOnScreen(Value{{"pageUrlCond", 1}}, "HomeVC"));

    EXPECT_DOUBLE_EQ(*inapp::scrolledPercentage(300, 1000, 400), 50);
    EXPECT_FALSE(inapp::scrolledPercentage(0, 400, 400)) << "nothing to scroll";
    EXPECT_FALSE(inapp::scrolledPercentage(10, 300, 400));
}

TEST(InAppRuleTable, TokensArePersonalisedOrTheCampaignDropped) {
    testkit::TestHost host;
    const Value campaign{{"description", "Hi [[name]], [[name]]! [[city]]"},
                         {"dynamicTokens", Value{{"name", "friend"}, {"city", "your town"}}},
                         {"hideTokens", 0}};
    EXPECT_EQ(inapp::replaceTokens(campaign, Value{{"name", "Ann"}})["description"], Value("Hi Ann, Ann! your town"));
    Value hidden = campaign;
    hidden.set("hideTokens", 1);
    EXPECT_FALSE(inapp::replaceTokens(hidden, Value{{"name", "Ann"}}));
    EXPECT_EQ(inapp::replaceTokens(hidden, Value{{"name", "Ann"}, {"city", "Oslo"}})["description"],
              Value("Hi Ann, Ann! Oslo"));
    Value kept = campaign;
    kept.set("hideTokens", 2);
    EXPECT_EQ(inapp::replaceTokens(kept, Value::dictionary())["description"], Value("Hi [[name]], [[name]]! [[city]]"));
    const Value plain{{"description", "no tokens"}};
    EXPECT_EQ(inapp::replaceTokens(plain, Value{{"name", "Ann"}}), plain);
    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: No user token found in this inApp Banner/Survey"));
}

namespace {

// A started library with settings applied, a key window showing `screen`, and a recording view
// builder.
class InAppDecision : public ::testing::Test {
protected:
    void SetUp() override {
        quelmar::Initialize("live");
        qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
        showScreen("HomeVC");
        inapp::setViewBuilder([this](long templateValue, const Value& campaign, bool track) {
            shown.push_back(campaign["notificationID"].description() + "/" + std::to_string(templateValue) +
                            (track ? "" : "/untracked"));
            lastShown = campaign;
        });
    }
    void TearDown() override {
        inapp::setViewBuilder(nullptr);
        if (window) platform::Application::shared().removeWindow(window);
    }
    void showScreen(const std::string& name) {
        if (window) platform::Application::shared().removeWindow(window);
        window = std::make_shared<platform::Window>();
        window->setRootViewController(std::make_shared<platform::ViewController>(name));
        window->makeKeyAndVisible();
    }
    static Value campaign(const std::string& id, Value extra = Value::dictionary()) {
        Value c{{"notificationID", id},      {"template", 3},      {"description", "<p>" + id + "</p>"},
                {"noOfTimesPerUser", 5},     {"noOfTimesPerAL", 5}, {"appLaunches", 1}};
        for (const auto& [k, v] : extra.dictionaryItems()) c.set(k, v);
        return c;
    }
    void store(const Value& campaigns) {
        QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(
            Value{{"Authentication", "success"}, {"notifications", campaigns}});
    }
    // Show, then let the decision and any display without delay happen.
    std::vector<std::string> show(const Value& tokens = Value::dictionary(), const Value& rules = Value::dictionary()) {
        shown.clear();
        quelmar::Show(tokens, rules);
        host.runUntilIdle();
        return shown;
    }
    static QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

    testkit::TestHost host;
    std::shared_ptr<platform::Window> window;
    std::vector<std::string> shown;
    Value lastShown;
};

using Shown = std::vector<std::string>;

}  // namespace

TEST_F(InAppDecision, TheLastPassingCampaignOfTheScreenIsShownAfterItsDelay) {
    store(Value::array({campaign("1"), campaign("2", Value{{"pageUrls", Value::array({"CartVC"})}}),
                        campaign("3", Value{{"template", 7}}), campaign("4", Value{{"template", 55}})}));
    EXPECT_EQ(show(), (Shown{"3/7"})) << "1 is cancelled by 3, 2 belongs to another screen, 55 has no view";
    EXPECT_EQ(QMRuntime::shared()._qmCurrentVCName.get(), Value("HomeVC"));
    EXPECT_EQ(qmInternalProcessClass::sharedInstance()->qmAppVcName.get(), Value("HomeVC"));

    // A delayed campaign waits on the clock; a later Show cancels it if another one passes.
    store(Value::array({campaign("5", Value{{"timeDelayPage", 3}})}));
    EXPECT_EQ(show(), Shown{});
    host.advance(2.9);
    host.runUntilIdle();
    EXPECT_TRUE(shown.empty());
    host.advance(0.2);
    host.runUntilIdle();
    EXPECT_EQ(shown, (Shown{"5/3"}));

    store(Value::array({campaign("6", Value{{"timeDelayPage", 3}})}));
    show();
    store(Value::array({campaign("7", Value{{"timeDelayPage", 1}})}));
    show();
    host.advance(5);
    host.runUntilIdle();
    EXPECT_EQ(shown, (Shown{"7/3"})) << "the first request stayed cancellable after its hand-over";

    store(Value::array({campaign("8", Value{{"timeDelayPage", 1}})}));
    show();
    quelmar::StopInAppNotifications();
    host.advance(2);
    host.runUntilIdle();
    EXPECT_TRUE(shown.empty());

    store(Value::array());
    host.clearLog();
    EXPECT_EQ(show(), Shown{});
    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: InApp Banner/survey not found or inactive for this current live mode"));
}

TEST_F(InAppDecision, CountersLimitDisplaysPerLaunchAndPerDay) {
    store(Value::array({campaign("9", Value{{"noOfTimesPerUser", 2}, {"noOfTimesPerAL", 1}})}));
    auto engine = qmInternalProcessClass::sharedInstance();
    EXPECT_EQ(show(), (Shown{"9/3"}));
    engine->qmInAppNotificationViewLaunchCountWithNotificationID("9");  // what the view builder does
    prefs().qmSetInteger(2, "qm_LaunchedNID9", QMStore::Library);        // a tracked display today
    host.clearLog();
    EXPECT_EQ(show(), Shown{}) << "once per launch";
    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: The InApp banner/survey notification expired for today, or the "
                                 "targeting rules are not satisfied."));

    // The next launch clears the launch count; the daily count still allows one more.
    quelmar::Initialize("live");
    qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
    EXPECT_EQ(show(), (Shown{"9/3"}));
    engine->qmInAppNotificationViewLaunchCountWithNotificationID("9");
    prefs().qmSetInteger(3, "qm_LaunchedNID9", QMStore::Library);
    quelmar::Initialize("live");
    qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
    EXPECT_EQ(show(), Shown{}) << "the day's two displays are used up";

    // The next calendar day starts counting again.
    host.advance(86400);
    EXPECT_EQ(show(), (Shown{"9/3"}));
    EXPECT_EQ(prefs().qmIntegerForKey("qm_LaunchedNID9", QMStore::Library), 1);
}

TEST_F(InAppDecision, CustomRulesTokensAndAppLaunchIntervals) {
    const Value rules = Value::array({rule(1, 2, 100, "points"), rule(3, 0, "true", "member")});
    store(Value::array({campaign("10", Value{{"customRule", rules}, {"customRuleGC", 1}})}));
    EXPECT_EQ(show(Value::dictionary(), Value{{"points", 150}, {"member", "1"}}), (Shown{"10/3"}));
    EXPECT_EQ(show(Value::dictionary(), Value{{"points", 150}, {"member", "no"}}), Shown{});
    EXPECT_EQ(show(), Shown{}) << "rules without the app's values fail";

    store(Value::array({campaign("11", Value{{"template", 102},
                                             {"description", "https://survey/[[name]]"},
                                             {"dynamicTokens", Value{{"name", "guest"}}},
                                             {"hideTokens", 0}})}));
    EXPECT_EQ(show(Value{{"name", "Ann"}}), (Shown{"11/102"}));
    EXPECT_EQ(lastShown["description"], Value("https://survey/Ann"));
    EXPECT_EQ(lastShown["qm_sdkSurveyTmpUserTokens"], Value(R"({"name":"Ann"})"));

    // Shown today already: only every third launch.
    store(Value::array({campaign("12", Value{{"appLaunches", 3}})}));
    prefs().qmSetInteger(2, "qm_LaunchedNID12", QMStore::Library);
    prefs().qmSetInteger(4, "qm_CountAppLaunch", QMStore::Library);
    EXPECT_EQ(show(), Shown{});
    prefs().qmSetInteger(6, "qm_CountAppLaunch", QMStore::Library);
    EXPECT_EQ(show(), (Shown{"12/3"}));

    store(Value::array({campaign("13", Value{{"os_version", Value::array({Value{{"d", "0.1"}, {"e", "0.2"}}})}})}));
    EXPECT_EQ(show(), Shown{}) << "this machine's system is newer than 0.2";
}

TEST_F(InAppDecision, ClosesAndClicksHideTheCampaignAsConfigured) {
    auto engine = qmInternalProcessClass::sharedInstance();
    store(Value::array({campaign("20", Value{{"repeat_close", 2}, {"repeat_click", 0}, {"pageUrls", Value::array({"HomeVC"})}}),
                        campaign("21", Value{{"repeat_close", 500}, {"pageUrls", Value::array({"CartVC"})}}),
                        campaign("22", Value{{"repeat_close", 501}, {"pageUrls", Value::array({"BasketVC"})}})}));
    EXPECT_EQ(show(), (Shown{"20/3"}));
    host.clearLog();
    engine->qmSetVaidationForPopupsButtonsClickforClickType(0, "20");
    EXPECT_TRUE(host.logContains("[quelmar]-[INFO]: This InApp banner or survey has been closed for 2 day(s) and will "
                                 "be resumed on 2024-01-17 10:00:00 +0000"));
    EXPECT_EQ(show(), Shown{});
    host.advance(2 * 86400 - 1);
    EXPECT_EQ(show(), Shown{});
    host.advance(1);
    EXPECT_EQ(show(), (Shown{"20/3"}));
    EXPECT_FALSE(prefs().qmObjectForKey("qm_ClosedNIDConditions", QMStore::Library).contains("20"));

    engine->qmSetVaidationForPopupsButtonsClickforClickType(1, "20");  // click: 0 = this launch only
    EXPECT_EQ(show(), Shown{});
    engine->qmSetVaidationForPopupsButtonsClickforClickType(1, "20");
    EXPECT_EQ(QMRuntime::shared().container("qmRestictInAppforThisSession"), Value::array({"20"}));
    quelmar::Initialize("live");
    qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
    EXPECT_EQ(show(), (Shown{"20/3"}));

    showScreen("CartVC");
    EXPECT_EQ(show(), (Shown{"21/3"}));
    engine->qmSetVaidationForPopupsButtonsClickforClickType(0, "21");
    host.advance(30 * 86400);
    EXPECT_EQ(show(), Shown{}) << "500 hides for good";

    showScreen("BasketVC");
    engine->qmSetVaidationForPopupsButtonsClickforClickType(0, "22");
    EXPECT_EQ(show(), (Shown{"22/3"})) << "501 records nothing";
}

TEST_F(InAppDecision, OnScrollCampaignsFireOncePastTheirDepth) {
    store(Value::array({campaign("30", Value{{"scroll", 50}})}));
    EXPECT_EQ(show(), Shown{}) << "waits for the scroll";
    auto scroll = std::make_shared<platform::ScrollView>(platform::Rect{0, 0, 320, 400});
    scroll->setContentSize({320, 1400});
    auto at = [&](double y) {
        scroll->setContentOffset({0, y});
        shown.clear();
        quelmar::scrollViewDidScroll(scroll);
        return shown;
    };
    EXPECT_EQ(at(400), Shown{});
    EXPECT_FALSE(quelmar::sharedInstance().isScrolled("30"));
    EXPECT_EQ(at(500), (Shown{"30/3"}));
    EXPECT_TRUE(quelmar::sharedInstance().isScrolled("30"));
    EXPECT_EQ(at(900), Shown{}) << "once per Show";
    show();
    EXPECT_FALSE(quelmar::sharedInstance().isScrolled("30"));
    EXPECT_EQ(at(700), (Shown{"30/3"}));

    // Content no taller than the view never fires.
    show();
    scroll->setContentSize({320, 300});
    EXPECT_EQ(at(0), Shown{});
}

TEST(InAppColours, TextsGiveColoursAndTheCloseButtonRule) {
    const platform::Color red = inapp::GetColor("#FF0000");
    EXPECT_EQ(red, platform::Color::rgba(1, 0, 0, 1));
    EXPECT_EQ(inapp::GetColor("#00ff80"), platform::Color::rgba(0, 1, 128 / 255.0, 1));
    EXPECT_FALSE(inapp::shouldHideCloseButton("#FF0000"));
    EXPECT_EQ(inapp::GetButtonColor("#FF0000"), red);

    EXPECT_EQ(inapp::GetColor("rgba(255, 0, 51, 0.5)"), platform::Color::rgba(1, 0, 0.2, 0.5));
    EXPECT_FALSE(inapp::shouldHideCloseButton("rgba(255, 0, 51, 0.5)"));
    // All four numbers 0: a clear colour, the close button hidden, titles opaque black.
    EXPECT_EQ(inapp::GetColor("rgba(0,0,0,0)"), platform::Color::rgba(0, 0, 0, 0));
    EXPECT_TRUE(inapp::shouldHideCloseButton("rgba(0,0,0,0)"));
    EXPECT_EQ(inapp::GetButtonColor("rgba(0,0,0,0)"), platform::Color::rgba(0, 0, 0, 1));

    // Absent, empty or malformed texts read as all zeros and never fail.
    for (const Value& bad : {Value(), Value::null(), Value(""), Value("rgba(1,2)"), Value("blue"), Value(12),
                             Value("rgba(a,b,c,d)")}) {
        EXPECT_EQ(inapp::GetColor(bad), platform::Color::rgba(0, 0, 0, 0)) << bad.description();
        EXPECT_EQ(inapp::GetButtonColor(bad), platform::Color::rgba(0, 0, 0, 1));
        EXPECT_TRUE(inapp::shouldHideCloseButton(bad));
    }
    EXPECT_EQ(inapp::GetColor("#zz"), platform::Color::rgba(0, 0, 0, 1)) << "a # text without digits is black";
}

TEST(InAppCloseButton, AppearsNeverAtOnceOrAfterItsDelay) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    auto add = [&](const Value& rule, const char* id) {
        auto parent = std::make_shared<platform::View>(platform::Rect{0, 0, 100, 100});
        auto button = std::make_shared<platform::View>(platform::Rect{0, 0, 10, 10});
        if (rule) inapp::qmCheckCrossBtnInPopups(rule, id);
        inapp::qmAddCloseButtonInPopupstoParentView(parent, button, id);
        return parent;
    };
    auto never = add(0, "1");
    auto atOnce = add(5000, "2");
    auto afterFour = add(4, "3");
    auto absentRule = add(1, "4");  // what an absent "close_btn" becomes
    auto noRecord = add(Value(), "5");
    host.runUntilIdle();
    EXPECT_TRUE(never->subviews().empty());
    EXPECT_EQ(atOnce->subviews().size(), 1u);
    EXPECT_TRUE(afterFour->subviews().empty());
    EXPECT_TRUE(absentRule->subviews().empty());
    EXPECT_EQ(noRecord->subviews().size(), 1u);
    host.advance(1);
    EXPECT_EQ(absentRule->subviews().size(), 1u);
    EXPECT_TRUE(afterFour->subviews().empty());
    host.advance(3);
    EXPECT_EQ(afterFour->subviews().size(), 1u);
    host.advance(10);
    EXPECT_TRUE(never->subviews().empty());
    EXPECT_EQ(QMRuntime::shared().container("qmInAppCloseBtnConditions")["3"],
              (Value{{"qmShowCloseBtn", true}, {"qmShowCloseBtntimeDelay", 4}}));
}

TEST(InAppSurveyURL, CarriesTheAppDeviceAndUserAndNeverNull) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    prefs.qmSetObject(Value(1001), "qm_brandID", QMStore::Library);
    prefs.qmSetObject(Value("user 7"), "qm_userID", QMStore::Library);
    auto engine = qmInternalProcessClass::sharedInstance();
    engine->qm_anal_id.set(Value());  // no click id: no "(null)" in its place
    const Value full{{"notificationID", 7003}, {"template", 102}, {"qm_sdkSurveyTmpUserTokens", R"({"name":"Ann"})"}};
    const std::string url = inapp::qmInAppSurveyURLForCampaign(full);
    EXPECT_TRUE(url.starts_with("https://mobile.quelmar.io/user/survey/modal?brandid=1001&notificationid=7003&sdk_version=7.0.5&mode="))
        << url;
    EXPECT_EQ(url.find("(null)"), std::string::npos) << url;
    EXPECT_NE(url.find("&clickID=&language="), std::string::npos) << url;
    EXPECT_NE(url.find("&tokens=%7B%22name%22:%22Ann%22%7D"), std::string::npos) << url;
    EXPECT_NE(url.find("&userID=user%207"), std::string::npos) << url;
    EXPECT_NE(url.find("&deviceID="), std::string::npos) << url;
    // The system version as printf's %f prints it.
    const auto os = url.find("&os_version=");
    ASSERT_NE(os, std::string::npos);
    const std::string version = url.substr(os + 12, url.find('&', os + 12) - os - 12);
    ASSERT_NE(version.find('.'), std::string::npos) << version;
    EXPECT_EQ(version.size() - version.find('.') - 1, 6u) << version;

    // The survey in a modal puts the mode before the library's version; no tokens, no field.
    const std::string modal = inapp::qmInAppSurveyURLForCampaign(Value{{"notificationID", "12"}, {"template", 101}});
    EXPECT_NE(modal.find("?brandid=1001&notificationid=12&mode="), std::string::npos) << modal;
    EXPECT_NE(modal.find("&sdk_version=7.0.5&device=2&clickID="), std::string::npos) << modal;
    EXPECT_EQ(modal.find("&tokens="), std::string::npos);
}
