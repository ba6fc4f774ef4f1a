// Clicks routed to app screens, web pages, other apps, the share sheet and calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/QM_WhatsAppActivity.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

using namespace qm;
using platform::Application;

namespace {

const char* kNotFound = "[quelmar]-[WARNING]: The ViewController or it's storyboardID not found.";
const char* kPosted = "[quelmar]-[INFO]: Posting data through the NSNotificationCenter is finished.";
const char* kInvalidURL = "[quelmar]-[ERROR]: Error Domain=qmActionUrl Code=410 \"action url is not valid or empty\"";

struct Posted {
    std::string name;
    Value userInfo;
    const void* object;
};

// Records the two click notifications in the order they arrive.
class ClickObserver {
public:
    ClickObserver() {
        auto& center = platform::NotificationCenter::defaultCenter();
        for (const char* name : {"QMInAppViewConroller", "qmNotificationClickCallback"}) {
            tokens_.push_back(center.addObserver(name, [this](const platform::Notification& n) {
                posted.push_back({n.name, n.userInfo, n.object});
            }));
        }
    }
    ~ClickObserver() {
        for (auto token : tokens_) platform::NotificationCenter::defaultCenter().removeObserver(token);
    }
    std::vector<Posted> posted;

private:
    std::vector<platform::NotificationCenter::Token> tokens_;
};

// An app whose key window shows a navigation stack with the storyboard's "Home" on top.
struct App {
    App() {
        storyboard = platform::Storyboard::named("RoutingMain");
        storyboard->registerViewController("Home", [] { return std::make_shared<platform::ViewController>("HomeScreen"); });
        storyboard->registerViewController("Offers",
                                           [] { return std::make_shared<platform::ViewController>("OffersScreen"); });
        home = storyboard->instantiateViewControllerWithIdentifier("Home");
        window = std::make_shared<platform::Window>();
        window->setRootViewController(platform::NavigationController::withRootViewController(home));
        window->makeKeyAndVisible();
    }
    std::shared_ptr<platform::Storyboard> storyboard;
    std::shared_ptr<platform::ViewController> home;
    std::shared_ptr<platform::Window> window;
};

std::shared_ptr<qmInternalProcessClass> engine() { return qmInternalProcessClass::sharedInstance(); }

void route(long target, const Value& destination, const Value& itunes = Value(), const Value& parameters = Value(),
           const Value& subject = Value(), long cta = 0, const Value& type = Value()) {
    engine()->performActionWithTarget(target, destination, itunes, Value("n1"), parameters, subject, cta, type);
}

}  // namespace

TEST(ActionRouting, AppScreenIsPresentedAndTheHostIsToldInOrder) {
    testkit::TestHost host;
    App app;
    ClickObserver observer;

    route(0, "Offers", Value(), Value{{"size", 3}}, Value(), 1, "push");
    auto presented = app.home->presentedViewController();
    ASSERT_NE(presented, nullptr);
    EXPECT_EQ(presented->className(), "OffersScreen");
    EXPECT_EQ(presented->modalPresentationStyle(), platform::ModalPresentationStyle::FullScreen);
    EXPECT_TRUE(qm_is_ViewAutoRedirectEnable);

    const Value expected{{"callToAction", 1}, {"parameters", Value{{"size", 3}}}, {"ViewControllerToLoad", "Offers"},
                         {"type", "push"}};
    ASSERT_EQ(observer.posted.size(), 2u);
    EXPECT_EQ(observer.posted[0].name, "QMInAppViewConroller");
    EXPECT_EQ(observer.posted[1].name, "qmNotificationClickCallback");
    for (const auto& p : observer.posted) {
        EXPECT_EQ(p.userInfo, expected);
        EXPECT_EQ(p.object, engine().get());
    }
    EXPECT_TRUE(host.logContains(kPosted));
    EXPECT_FALSE(host.logContains(kNotFound));
}

TEST(ActionRouting, UnknownScreensAndEmptyPartsStillReachTheHost) {
    testkit::TestHost host;
    App app;
    ClickObserver observer;

    // Empty parameters and an empty type are left out of the user info.
    route(0, "Nowhere", Value(), Value::dictionary(), Value(), 0, "");
    EXPECT_EQ(app.home->presentedViewController(), nullptr);
    EXPECT_EQ(host.logCount(kNotFound), 1u);
    ASSERT_EQ(observer.posted.size(), 2u);
    EXPECT_EQ(observer.posted[1].userInfo, (Value{{"callToAction", 0}, {"ViewControllerToLoad", "Nowhere"}}));

    // A null type is left out too; no destination leaves out the screen name.
    route(0, Value(), Value(), Value(), Value(), 2, Value::null());
    ASSERT_EQ(observer.posted.size(), 4u);
    EXPECT_EQ(observer.posted[3].userInfo, (Value{{"callToAction", 2}}));

    // Without a key window there is no storyboard to look in.
    app.window->setHidden(true);
    Application::shared().removeWindow(app.window);
    route(0, "Offers");
    EXPECT_EQ(host.logCount(kNotFound), 3u);
    EXPECT_EQ(observer.posted.size(), 6u);
}

TEST(ActionRouting, AutoRedirectOffOnlyPostsTheNotifications) {
    testkit::TestHost host;
    Value info = testkit::TestHost::defaultInfo();
    info.set("qmViewAutoRedirection", false);
    host.writeInfo(info);
    App app;
    ClickObserver observer;

    route(0, "Offers", Value(), Value{{"a", "b"}}, Value(), 0, "banner");
    route(0, "Nowhere");
    EXPECT_FALSE(qm_is_ViewAutoRedirectEnable);
    EXPECT_EQ(app.home->presentedViewController(), nullptr);
    EXPECT_FALSE(host.logContains(kNotFound));
    ASSERT_EQ(observer.posted.size(), 4u);
    EXPECT_EQ(observer.posted[0].userInfo,
              (Value{{"callToAction", 0}, {"parameters", Value{{"a", "b"}}}, {"ViewControllerToLoad", "Offers"}, {"type", "banner"}}));
    EXPECT_EQ(observer.posted[1].userInfo, observer.posted[0].userInfo);

    // Back on once the key is gone.
    host.writeInfo(testkit::TestHost::defaultInfo());
    route(0, "Offers");
    EXPECT_TRUE(qm_is_ViewAutoRedirectEnable);
    EXPECT_NE(app.home->presentedViewController(), nullptr);
}

TEST(ActionRouting, WebPagesCallsAndOtherApps) {
    testkit::TestHost host;
    auto& application = Application::shared();
    ClickObserver observer;

    route(1, "https://shop.example.com/sale?id=4");
    route(4, "+15551234");  // nobody handles telprompt: yet
    EXPECT_TRUE(application.openedURLs().empty());  // opened on the main queue, later
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(application.openedURLs(), (std::vector<std::string>{"https://shop.example.com/sale?id=4"}));
    EXPECT_EQ(host.logCount(kInvalidURL), 1u);

    application.registerURLScheme("telprompt");
    route(4, "+15551234");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(application.openedURLs().back(), "telprompt:+15551234");

    // Another app that is not installed: its App Store page instead.
    route(2, "shopapp://deal/9", "https://apps.example.com/app/id77");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(application.openedURLs().back(), "https://apps.example.com/app/id77");

    // ... or the App Store message when there is no App Store URL.
    const std::size_t opened = application.openedURLs().size();
    route(2, "shopapp://deal/9", "");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(application.openedURLs().size(), opened);
    EXPECT_TRUE(host.logContains("[quelmar]-[WARNING]: The app's app store URL is not set. Please set it first in the call "
                                 "to action section of this action button in your quelmar dashboard."));

    // Installed: the app itself opens.
    application.registerURLScheme("shopapp");
    route(2, "shopapp://deal/9", "https://apps.example.com/app/id77");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(application.openedURLs().back(), "shopapp://deal/9");

    // Unknown targets only log.
    host.clearLog();
    route(7, "https://shop.example.com");
    route(-1, "https://shop.example.com");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(host.logLines(), (std::vector<std::string>(2, "[quelmar]-[ERROR]: Invalid action or target value not found.")));
    EXPECT_EQ(application.openedURLs().back(), "shopapp://deal/9");
    EXPECT_TRUE(observer.posted.empty());
}

TEST(ActionRouting, OpeningAURLAnswersOnTheMainQueueWithTheActionURLError) {
    testkit::TestHost host;
    auto& application = Application::shared();
    std::vector<std::pair<bool, std::optional<platform::Error>>> answers;
    auto record = [&](bool ok, const std::optional<platform::Error>& error) { answers.emplace_back(ok, error); };

    engine()->qmNavigateToWebForUrl(std::nullopt, record);
    engine()->qmNavigateToWebForUrl(platform::URL::parse("nobody://x"), record);
    EXPECT_TRUE(answers.empty());
    ASSERT_TRUE(host.runUntilIdle());
    ASSERT_EQ(answers.size(), 2u);
    for (const auto& [ok, error] : answers) {
        EXPECT_FALSE(ok);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, "qmActionUrl");
        EXPECT_EQ(error->code, 410);
        EXPECT_EQ(error->localizedDescription, "action url is not valid or empty");
    }

    // A scheme that is known but whose app refuses.
    application.registerURLScheme("shy");
    application.setOpenURLHandler([](const std::string&) { return false; });
    answers.clear();
    engine()->qmNavigateToWebForUrl(platform::URL::parse("shy://now?clickID=click-qz&utm_source=mail"), record);
    engine()->qmNavigateToWebForUrl(platform::URL::parse("https://example.com"), record);
    ASSERT_TRUE(host.runUntilIdle());
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_FALSE(answers[0].first);
    EXPECT_EQ(answers[0].second->localizedDescription, "Failed to open url:shy://now?clickID=click-qz&utm_source=mail");
    // The log shows the analytics id in the URL only redacted.
    EXPECT_TRUE(host.logContains("[quelmar]-[ERROR]: Failed to open url: shy://now?clickID=\xE2\x80\xA6(8)#"));
    EXPECT_TRUE(host.logContains("&utm_source=mail"));
    EXPECT_FALSE(host.logContains("click-qz"));
    EXPECT_TRUE(answers[1].first);
    EXPECT_FALSE(answers[1].second);
}

TEST(ActionRouting, ShareSheetOffersWhatsAppOnlyWhenItIsInstalled) {
    testkit::TestHost host;
    App app;

    route(3, "Hello there", Value(), Value(), "Weekend deal");
    auto sheet = std::dynamic_pointer_cast<platform::ActivityViewController>(app.home->presentedViewController());
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->subject(), "Weekend deal");
    ASSERT_EQ(sheet->activityItems().size(), 2u);
    EXPECT_EQ(sheet->activityItems()[0].value, Value("Hello there"));
    auto message = sheet->activityItems()[1].as<QM_WhatsAppMessage>();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->qm_text, Value("Hello there"));
    EXPECT_EQ(message->NotificationID, Value("n1"));
    EXPECT_FALSE(message->qm_abid);  // "101" is passed and never kept
    EXPECT_EQ(sheet->excludedActivityTypes().size(), 7u);
    ASSERT_EQ(sheet->applicationActivities().size(), 1u);
    EXPECT_EQ(sheet->applicationActivities()[0]->activityTitle(), "WhatsApp");
    EXPECT_TRUE(sheet->offeredApplicationActivities().empty());  // not installed
    EXPECT_TRUE(sheet->finish(std::nullopt, false));
    ASSERT_TRUE(host.runUntilIdle());

    Application::shared().registerURLScheme("whatsapp");
    route(3, "Hello there", Value(), Value(), Value::null());
    sheet = std::dynamic_pointer_cast<platform::ActivityViewController>(app.home->presentedViewController());
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->subject(), "");
    ASSERT_EQ(sheet->offeredApplicationActivities().size(), 1u);
    EXPECT_TRUE(sheet->finish(QM_WhatsAppActivity::kActivityType, true));
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(Application::shared().openedURLs().back(), "whatsapp://send?text=Hello%20there");

    // Nothing to share: the empty-content message and no sheet.
    route(3, Value());
    EXPECT_EQ(app.home->presentedViewController(), nullptr);
    EXPECT_TRUE(host.logContains("[quelmar]-[ERROR]: Sharing content is empty. Please set it first in the call to action "
                                 "section of this action button in your quelmar dashboard."));
}

TEST(ActionRouting, MessageTablesAndReviewRequest) {
    testkit::TestHost host;
    for (long n = -1; n <= 5; ++n) {
        engine()->qmOnButtonActionWarnningOrErrorLogOnEmptyActionUrlforActionTarget(n);
        engine()->qmOnCTAEncounterInvalidActionURLErrorMessageWithErrorType(n);
    }
    const std::string tail = " Please set it first in the call to action section of this action button in your quelmar dashboard.";
    const std::vector<std::string> expected{
        "[quelmar]-[WARNING]: The name of the iOS ViewController is empty." + tail,
        "[quelmar]-[WARNING]: The ViewController or it's storyboardID not found.",
        "[quelmar]-[ERROR]: Web Page URL is empty." + tail,
        // The blanks around the product word are U+00A0.
        "[quelmar]-[WARNING]: The action URL is not set. Please set the rules for this action in the call to action "
        "section of the action button in your\u00A0quelmar\u00A0dashboard.",
        "[quelmar]-[ERROR]: The URL scheme is empty." + tail,
        "[quelmar]-[WARNING]: The app's app store URL is not set." + tail,
        "[quelmar]-[ERROR]: Sharing content is empty." + tail,
        "[quelmar]-[ERROR]: Invalid action or target value not found.",
        "[quelmar]-[ERROR]: The phone number is empty." + tail,
    };
    EXPECT_EQ(host.logLines(), expected);

    const long before = platform::StoreReview::requestCount();
    quelmar::requestAppleAppStoreInAppReview();
    EXPECT_EQ(platform::StoreReview::requestCount(), before + 1);
}

TEST(ActionParameters, RecordsAreFilteredByClickAndTyped) {
    testkit::TestHost host;
    auto& utility = qmGetFilteredData::sharedInstance();
    const Value one = Value::array({Value{{"k", "size"}, {"v", "3"}, {"d", 1}, {"ap", "action2"}}});
    EXPECT_EQ(utility.qmGetFinalActionParamsForCurrentCalltoActionType(2, one), (Value{{"size", 3}}));
    EXPECT_EQ(utility.qmGetFinalActionParamsForCurrentCalltoActionType(0, one), Value::dictionary());
    EXPECT_EQ(utility.qmGetFinalActionParamsForCurrentCalltoActionType(1, one), Value::dictionary());
    EXPECT_EQ(utility.qmGetFinalActionParamsForCurrentCalltoActionType(1, Value()), Value::dictionary());

    const Value records = Value::array({
        Value{{"k", "plain"}, {"v", 42}},                          // no "d": text
        Value{{"k", "flag"}, {"v", "true"}, {"d", 3}},             // Boolean
        Value{{"k", "missing"}, {"d", 1}},                         // integer 0
        Value{{"k", ""}, {"v", "dropped"}},                        // empty name
        Value{{"k", Value::null()}, {"v", "dropped"}},             // null name
        Value{{"v", "dropped"}},                                   // no name
        Value{{"k", 7}, {"v", "seven"}, {"ap", "anything"}},       // click 0; a number name becomes text
        Value{{"k", "plain"}, {"v", "later"}, {"ap", "action1"}},  // only for click 1, replaces
        Value("not a record"),
    });
    EXPECT_EQ(utility.qmGetFinalActionParamsForCurrentCalltoActionType(0, records),
              (Value{{"plain", "42"}, {"flag", true}, {"missing", 0}, {"7", "seven"}}));
    const Value forFirst = utility.qmGetFinalActionParamsForCurrentCalltoActionType(1, records);
    EXPECT_EQ(forFirst["plain"], Value("later"));
    EXPECT_TRUE(forFirst["flag"].isBoolean());
    EXPECT_FALSE(forFirst.contains("7"));
}

TEST(ActionRouting, TopMostControllerIsNeverAContainer) {
    testkit::TestHost host;
    auto& utility = qmGetFilteredData::sharedInstance();
    EXPECT_EQ(utility.qmGetKeyWindow(), nullptr);
    EXPECT_EQ(utility.qmGetTopMostController(), nullptr);

    auto window = std::make_shared<platform::Window>();
    auto tabs = std::make_shared<platform::TabBarController>();
    auto empty = std::make_shared<platform::NavigationController>();
    auto feed = std::make_shared<platform::ViewController>("Feed");
    ASSERT_TRUE(tabs->setViewControllers({empty, platform::NavigationController::withRootViewController(feed)}));
    window->setRootViewController(tabs);
    window->makeKeyAndVisible();
    EXPECT_EQ(utility.qmGetKeyWindow(), window);
    // The selected tab is a stack without controllers.
    EXPECT_EQ(utility.qmGetTopMostController(), nullptr);
    ASSERT_TRUE(tabs->setSelectedIndex(1));
    EXPECT_EQ(utility.qmGetTopMostController(), feed);
    auto popup = std::make_shared<platform::ViewController>("Popup");
    ASSERT_TRUE(feed->presentViewController(popup, false));
    EXPECT_EQ(utility.qmGetTopMostController(), popup);
    ASSERT_TRUE(host.runUntilIdle());
}
