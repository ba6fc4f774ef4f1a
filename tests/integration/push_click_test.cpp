// Pushes in the app against the local service: only the library's own pushes are handled; a
// tap on one or on its buttons is reported, routed with its parameters, copies its coupon and
// reaches the host; the click data methods answer what a tap would do; buttons become the
// one notification category; permission and foreground presentation.
#include <gtest/gtest.h>

#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/pasteboard.hpp"
#include "qmplatform/user_notifications.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;
using namespace qm::platform;

namespace {

class AppDelegate : public UserNotificationCenterDelegate {};

Value payload(Value data, const char* category = "qmpush") {
    Value aps{{"alert", Value{{"title", "Spring sale"}, {"body", "20% off"}}}, {"category", category}};
    if (data) aps.set("qm_data", std::move(data));
    return Value{{"aps", aps}};
}

std::shared_ptr<UserNotificationResponse> tap(const Value& userInfo, std::string action = kNotificationDefaultActionIdentifier) {
    NotificationContent content;
    content.userInfo = userInfo;
    auto request = UserNotificationRequest::requestWithIdentifier("push-1", content);
    return std::make_shared<UserNotificationResponse>(std::make_shared<UserNotification>(Clock::currentDate(), request),
                                                      std::move(action));
}

// A push with a web page on tap, a coupon, parameters for each button and two buttons: the
// first opens another app, the second a screen.
Value samplePush() {
    return payload(Value{
        {"nid", "501"},
        {"sid", "77"},
        {"title", "Spring sale"},
        {"target", 1},
        {"url", "https://www.example.com/sale"},
        {"_qm_pu_clid", "pc-9"},
        {"actionExtra", Value{{"copy", "SAVE10"}}},
        {"actionParams", Value::array({Value{{"k", "from"}, {"v", "push"}},
                                       Value{{"k", "item"}, {"v", "7"}, {"ap", "action2"}}})},
        {"cta1", Value{{"Identifier", "qmpush-cta1"}, {"title", "Open app"}, {"option", 2}, {"target", 2},
                       {"url", "otherapp://open"}}},
        {"cta2", Value{{"Identifier", "qmpush-cta2"}, {"title", "Offers"}, {"option", 1}, {"target", 0},
                       {"url", "OffersViewController"}}},
    });
}

class PushClicks : public ::testing::Test {
protected:
    void SetUp() override {
        Value info = Bundle::main().infoDictionary();
        info.set("qmPushCategory", "qmpush");
        env.host.writeInfo(info);
        Application::shared().registerURLScheme("otherapp");
        token = NotificationCenter::defaultCenter().addObserver("QMInAppViewConroller",
                                                                [this](const Notification& n) { screens.push_back(n.userInfo); });
        quelmar::sharedInstance().delegate = recorder;
        quelmar::Initialize("live");
        ASSERT_TRUE(env.waitForSettings());
        env.host.runUntilIdle();
        recorder->received.clear();
        env.service->clearRequests();
    }

    // A click routed after the test would otherwise write into a fixture that is gone.
    void TearDown() override { NotificationCenter::defaultCenter().removeObserver(token); }

    std::vector<Value> clicked() const { return recorder->named("Push_Clicked"); }
    std::vector<service::RecordedRequest> pushStats() const {
        std::vector<service::RecordedRequest> found;
        for (const auto& request : env.service->requestsFor("stats"))
            if (request.service == "push") found.push_back(request);
        return found;
    }

    testkit::ServiceHost env;
    std::shared_ptr<testkit::RecordingDelegate> recorder = std::make_shared<testkit::RecordingDelegate>();
    std::vector<Value> screens;
    NotificationCenter::Token token;
};

}  // namespace

TEST_F(PushClicks, OnlyTheLibrarysOwnPushesAreHandled) {
    env.host.clearLog();
    quelmar::didReceiveNotificationResponse(tap(payload(samplePush()["aps"]["qm_data"], "other")));
    quelmar::didReceiveNotificationResponse(tap(payload(Value())));
    env.host.runUntilIdle();
    EXPECT_EQ(env.host.logCount("Category not matched. This is not a quelmar push notification."), 1u);
    EXPECT_TRUE(env.host.logContains("qmData is not found, or this is not a quelmar push notification."));
    EXPECT_TRUE(clicked().empty());
    EXPECT_TRUE(Application::shared().openedURLs().empty());
    EXPECT_EQ(quelmar::PushNotificationActionDataFromUserInfo(payload(Value(), "other")), Value::dictionary());
}

TEST_F(PushClicks, ATapIsReportedRoutedCopiedAndCalledBack) {
    quelmar::didReceiveNotificationResponse(tap(samplePush()));
    ASSERT_TRUE(env.host.runUntil([&] { return !clicked().empty() && !pushStats().empty(); }));
    env.host.runUntilIdle();

    EXPECT_EQ(Application::shared().openedURLs(), std::vector<std::string>{"https://www.example.com/sale"});
    EXPECT_EQ(Pasteboard::general().string(), std::optional<std::string>("SAVE10"));
    auto engine = QMRuntime::shared().qmInternalProcess();
    EXPECT_EQ(engine->qmLastNidClickedForEvent.get(), Value("501"));
    // The push's click id goes to the service with a new settings fetch.
    EXPECT_TRUE(env.host.runUntil([&] {
        for (const auto& request : env.service->requestsFor("settings"))
            if (request.fields["_qm_pu_clid"] == Value("pc-9")) return true;
        return false;
    }));

    const Value record = clicked().at(0);
    EXPECT_EQ(record["status"], Value("success"));
    EXPECT_EQ(record["callbackType"], Value("push"));
    EXPECT_EQ(record["type"], Value(18.1));
    EXPECT_EQ(record["message"], Value("Quelmar Push clicked successfully"));
    EXPECT_EQ(record["attributes"], (Value{{"notification_id", "501"},
                                          {"target", 1},
                                          {"action_params", Value{{"from", "push"}}},
                                          {"actionURL", "https://www.example.com/sale"},
                                          {"callToAction", 0}}));

    // The click went to the push statistics with its type, sid and button number.
    const auto sent = pushStats().at(0);
    EXPECT_EQ(sent.fields["notificationID"], Value("501"));
    EXPECT_EQ(sent.fields["type"], Value("clicks"));
    EXPECT_EQ(sent.fields["sid"], Value("77"));
    EXPECT_EQ(sent.fields["clickType"], Value("0"));
}

TEST_F(PushClicks, ButtonsRouteTheirOwnActionWithTheirParameters) {
    // The second button: a screen, with the parameters meant for it.
    quelmar::didReceiveNotificationResponse(tap(samplePush(), "qmpush-cta2"));
    ASSERT_TRUE(env.host.runUntil([&] { return clicked().size() == 1; }));
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0]["ViewControllerToLoad"], Value("OffersViewController"));
    EXPECT_EQ(screens[0]["parameters"], (Value{{"from", "push"}, {"item", "7"}}));
    EXPECT_EQ(clicked()[0]["attributes"]["callToAction"], Value(2));

    // The first: another app.
    quelmar::didReceiveNotificationResponse(tap(samplePush(), "qmpush-cta1"));
    ASSERT_TRUE(env.host.runUntil([&] { return clicked().size() == 2; }));
    EXPECT_EQ(Application::shared().openedURLs().back(), "otherapp://open");

    // A button whose identifier is not one of the two numbered ones takes the push's own
    // action; an identifier no button has routes nothing anywhere (target 0, no screen).
    Value custom = samplePush();
    Value data = custom["aps"]["qm_data"];
    data.set("cta1", Value{{"Identifier", "later"}, {"title", "Later"}, {"target", 2}, {"url", "otherapp://later"}});
    Value aps = custom["aps"];
    aps.set("qm_data", data);
    custom.set("aps", aps);
    quelmar::didReceiveNotificationResponse(tap(custom, "later"));
    ASSERT_TRUE(env.host.runUntil([&] { return clicked().size() == 3; }));
    EXPECT_EQ(Application::shared().openedURLs().back(), "https://www.example.com/sale");
    EXPECT_EQ(clicked()[2]["attributes"]["callToAction"], Value(0));

    quelmar::didReceiveNotificationResponse(tap(samplePush(), "unknown"));
    ASSERT_TRUE(env.host.runUntil([&] { return clicked().size() == 4; }));
    EXPECT_EQ(clicked()[3]["attributes"]["target"], Value(0));
    EXPECT_EQ(clicked()[3]["attributes"]["actionURL"], Value(""));
}

TEST_F(PushClicks, ClickDataTellsTheHostWhatATapWouldDo) {
    const Value fromUserInfo = quelmar::PushNotificationActionDataFromUserInfo(samplePush());
    EXPECT_EQ(fromUserInfo["target"], Value(1));
    EXPECT_EQ(fromUserInfo["actionUrl"], Value("https://www.example.com/sale"));
    EXPECT_EQ(fromUserInfo["parameters"], (Value{{"from", "push"}}));
    EXPECT_EQ(fromUserInfo["ActionButton1ID"], Value("qmpush-cta1"));
    EXPECT_EQ(fromUserInfo["ActionButton1target"], Value(2));
    EXPECT_EQ(fromUserInfo["ActionButton1actionUrl"], Value("otherapp://open"));
    EXPECT_EQ(fromUserInfo["ActionButton2ViewControllerToLoad"], Value("OffersViewController"));
    EXPECT_FALSE(fromUserInfo.contains("callToAction"));

    std::vector<Value> answers;
    const auto collect = [&answers](const Value& v) { answers.push_back(v); };
    quelmar::PushNotificationActionDataFromResponse(tap(Value::dictionary()), true, collect);
    quelmar::PushNotificationActionDataFromResponse(tap(Value{{"aps", Value{{"alert", "hi"}}}}), true, collect);
    quelmar::PushNotificationActionDataFromResponse(tap(payload(Value{{"nid", "1"}}, "other")), true, collect);
    quelmar::PushNotificationActionDataFromResponse(tap(payload(Value())), true, collect);
    quelmar::PushNotificationActionDataFromResponse(tap(payload(Value::dictionary())), true, collect);
    ASSERT_EQ(answers.size(), 5u);
    EXPECT_EQ(answers[0], (Value{{"error", "userInfo not forund"}}));
    EXPECT_EQ(answers[1], (Value{{"error", "category not forund in push payload"}}));
    EXPECT_EQ(answers[2], (Value{{"error", "push payload not from quelmar"}}));
    EXPECT_EQ(answers[3], (Value{{"error", "quelmar push action data not found or empty"}}));
    EXPECT_EQ(answers[4], (Value{{"error", "quelmar push action data is empty"}}));

    // A screen is never routed by this method, even when asked to redirect; another app is.
    answers.clear();
    quelmar::PushNotificationActionDataFromResponse(tap(samplePush(), "qmpush-cta2"), true, collect);
    env.host.runUntilIdle();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]["ViewControllerToLoad"], Value("OffersViewController"));
    EXPECT_EQ(answers[0]["callToAction"], Value(2));
    EXPECT_TRUE(screens.empty());
    quelmar::PushNotificationActionDataFromResponse(tap(samplePush(), "qmpush-cta1"), true, collect);
    env.host.runUntilIdle();
    EXPECT_EQ(Application::shared().openedURLs().back(), "otherapp://open");
    EXPECT_TRUE(clicked().empty()) << "no callback from the data methods";
}

TEST_F(PushClicks, ButtonsBecomeTheCategoryAndPushesInFrontAreShown) {
    auto engine = QMRuntime::shared().qmInternalProcess();
    engine->setUserActionForCategoryName(Value("qmpush"), samplePush()["aps"]["qm_data"]);
    auto categories = UserNotificationCenter::current().notificationCategories();
    ASSERT_EQ(categories.size(), 1u);
    ASSERT_EQ(categories[0]->actions().size(), 2u);
    EXPECT_EQ(categories[0]->actions()[0]->identifier(), "qmpush-cta1");
    EXPECT_EQ(categories[0]->actions()[0]->options(), kActionOptionForeground);
    EXPECT_EQ(categories[0]->actions()[1]->options(), kActionOptionDestructive);
    // Two empty titles: a category with no buttons replaces the earlier one; no name: nothing.
    engine->setUserActionForCategoryName(Value("qmpush"), Value{{"cta1", Value{{"title", ""}}}});
    categories = UserNotificationCenter::current().notificationCategories();
    ASSERT_EQ(categories.size(), 1u);
    EXPECT_TRUE(categories[0]->actions().empty());
    engine->setUserActionForCategoryName(Value("(null)"), samplePush()["aps"]["qm_data"]);
    EXPECT_TRUE(UserNotificationCenter::current().notificationCategories()[0]->actions().empty());

    std::vector<unsigned long> options;
    auto shown = std::make_shared<UserNotification>(Clock::currentDate(), tap(Value::dictionary())->notification()->request());
    Device::current().setSystemVersion("14.2");
    quelmar::willPresentNotification(shown, [&](unsigned long o) { options.push_back(o); });
    Device::current().setSystemVersion("12");
    quelmar::willPresentNotification(shown, [&](unsigned long o) { options.push_back(o); });
    Device::current().setSystemVersion(std::nullopt);
    EXPECT_EQ(options, (std::vector<unsigned long>{23, 7}));
}

TEST_F(PushClicks, RegisteringAsksForPermissionOnceAndRegistersWithThePushService) {
    auto delegate = std::make_shared<AppDelegate>();
    UserNotificationCenter::current().setAuthorizationAnswer(AuthorizationAnswer::Failed);
    quelmar::RegisterPushWithDelegate(delegate, nullptr, Value());
    ASSERT_TRUE(env.host.runUntil([&] { return env.host.logContains("To fix this here is a Suggestion"); }));
    EXPECT_TRUE(env.host.logContains("Push notification permission denied with Error:  (null) - "));
    EXPECT_FALSE(Application::shared().isRegisteredForRemoteNotifications());
    EXPECT_EQ(UserNotificationCenter::current().delegate(), delegate);

    UserNotificationCenter::current().setAuthorizationAnswer(AuthorizationAnswer::Denied);
    quelmar::RegisterPushWithDelegate(delegate, nullptr, Value());
    // A refusal without an error still registers, as the platform lets the app do.
    ASSERT_TRUE(env.host.runUntil([&] {
        return Application::shared().isRegisteredForRemoteNotifications() &&
               env.host.logContains("Push notification permission granted on iOS 10 or newer iOS device");
    }));
}

TEST_F(PushClicks, APayloadAloneIsATapOnThePushAndIsRememberedAsRead) {
    quelmar::didReceiveRemoteNotificationWithUserInfo(samplePush());
    ASSERT_TRUE(env.host.runUntil([&] { return clicked().size() == 1; }));
    EXPECT_EQ(Application::shared().openedURLs().back(), "https://www.example.com/sale");
    EXPECT_EQ(clicked()[0]["attributes"]["callToAction"], Value(0));
    EXPECT_EQ(QMRuntime::shared().container("_qmReadPushNotifications"), Value::array({Value("501")}));
    EXPECT_EQ(QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_ReadPushNotifications", QMStore::Library),
              Value::array({Value("501")}));

    // The background fetch's completion is answered once, by the library.
    int answered = 0;
    quelmar::didReceiveRemoteNotification(samplePush(), [&](unsigned long result) {
        ++answered;
        EXPECT_EQ(result, quelmar::kFetchResultNewData);
    });
    EXPECT_EQ(answered, 1);
}
