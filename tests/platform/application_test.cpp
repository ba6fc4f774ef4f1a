#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmplatform/application.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/pasteboard.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"

using namespace qm::platform;

namespace {

constexpr double kWait = 5;

std::shared_ptr<ViewController> controller(const std::string& title) {
    auto vc = std::make_shared<ViewController>();
    vc->setTitle(title);
    return vc;
}

}  // namespace

TEST(ApplicationPresentation, LinksAndCompletionsOnTheMainRunLoop) {
    RunLoop::main().setMainThread();
    auto root = controller("root");
    auto sheet = controller("sheet");
    auto alert = controller("alert");
    std::vector<std::string> done;

    EXPECT_TRUE(root->presentViewController(sheet, true, [&] { done.push_back("sheet shown"); }));
    EXPECT_EQ(root->presentedViewController(), sheet);
    EXPECT_EQ(sheet->presentingViewController(), root);
    EXPECT_TRUE(done.empty());  // not before the run loop turns
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(done, std::vector<std::string>{"sheet shown"});

    // One presentation at a time, and a presented controller cannot be presented again.
    EXPECT_FALSE(root->presentViewController(alert, false, [&] { done.push_back("refused"); }));
    EXPECT_FALSE(alert->presentViewController(sheet, false));
    EXPECT_FALSE(root->presentViewController(root, false));
    EXPECT_TRUE(sheet->presentViewController(alert, false));

    // Dismissing from the presenter takes the whole chain above it down.
    root->dismissViewControllerAnimated(true, [&] { done.push_back("dismissed"); });
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(sheet->presentingViewController(), nullptr);
    EXPECT_EQ(sheet->presentedViewController(), nullptr);
    EXPECT_EQ(alert->presentingViewController(), nullptr);
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(done, (std::vector<std::string>{"sheet shown", "dismissed"}));

    // A child of a presented navigation controller dismisses the navigation controller.
    auto page = controller("page");
    auto navigation = NavigationController::withRootViewController(page);
    ASSERT_TRUE(root->presentViewController(navigation, false));
    EXPECT_EQ(page->presentingViewController(), root);
    page->dismissViewControllerAnimated(false);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(page->navigationController(), navigation);  // still in its stack
    EXPECT_TRUE(RunLoop::main().runUntilIdle(kWait));
}

// An activity that accepts items only when they hold a number, and records what it was given.
class NumberActivity : public Activity {
public:
    std::string activityType() const override { return "test.number"; }
    std::string activityTitle() const override { return "Number"; }
    bool canPerformWithActivityItems(const ActivityItems& items) override {
        for (const auto& item : items) {
            if (item.value.isNumber()) return true;
        }
        return false;
    }
    void prepareWithActivityItems(const ActivityItems& items) override { prepared = items.size(); }
    void performActivity() override { ++performed; }
    std::size_t prepared = 0;
    int performed = 0;
};

struct Note : Object {
    std::string text;
};

TEST(ApplicationPresentation, ShareSheetReportsTheChoiceAfterDismissing) {
    RunLoop::main().setMainThread();
    auto root = controller("root");
    auto note = std::make_shared<Note>();
    note->text = "kept";
    auto share = std::make_shared<ActivityViewController>(ActivityItems{"hello", qm::Value(42), note});
    share->setExcludedActivityTypes({"print"});
    std::vector<std::pair<std::optional<std::string>, bool>> reports;
    share->setCompletionWithItemsHandler([&](const std::optional<std::string>& type, bool completed) {
        reports.emplace_back(type, completed);
    });
    EXPECT_EQ(share->className(), "UIActivityViewController");
    ASSERT_EQ(share->activityItems().size(), 3u);
    EXPECT_EQ(share->activityItems()[2].as<Note>()->text, "kept");
    EXPECT_EQ(share->activityItems()[0].as<Note>(), nullptr);
    ASSERT_TRUE(root->presentViewController(share, true));

    EXPECT_FALSE(share->finish(std::string("print"), true));  // never offered
    EXPECT_EQ(root->presentedViewController(), share);
    EXPECT_TRUE(share->finish(std::string("copy"), true));
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_TRUE(reports.empty());
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, std::optional<std::string>("copy"));
    EXPECT_TRUE(reports[0].second);
}

TEST(ApplicationPresentation, ApplicationActivitiesAreOfferedOnlyForItemsTheyAccept) {
    RunLoop::main().setMainThread();
    auto root = controller("root");
    auto accepting = std::make_shared<NumberActivity>();
    auto textOnly = std::make_shared<ActivityViewController>(ActivityItems{"hello"},
                                                             std::vector<std::shared_ptr<Activity>>{accepting});
    EXPECT_TRUE(textOnly->offeredApplicationActivities().empty());
    ASSERT_TRUE(root->presentViewController(textOnly, false));
    EXPECT_FALSE(textOnly->finish(std::string("test.number"), true));  // not offered
    EXPECT_EQ(accepting->performed, 0);
    EXPECT_TRUE(textOnly->finish(std::nullopt, false));
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));

    auto withNumber = std::make_shared<ActivityViewController>(ActivityItems{"hello", qm::Value(7)},
                                                               std::vector<std::shared_ptr<Activity>>{accepting});
    ASSERT_EQ(withNumber->offeredApplicationActivities().size(), 1u);
    withNumber->setExcludedActivityTypes({"test.number"});
    EXPECT_TRUE(withNumber->offeredApplicationActivities().empty());
    withNumber->setExcludedActivityTypes({});
    ASSERT_TRUE(root->presentViewController(withNumber, false));
    EXPECT_TRUE(withNumber->finish(std::string("test.number"), true));
    EXPECT_EQ(accepting->prepared, 2u);
    EXPECT_EQ(accepting->performed, 1);
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));
}

TEST(ApplicationOpenURL, RegisteredSchemesAndTheHostHandlerDecide) {
    RunLoop::main().setMainThread();
    auto& app = Application::shared();
    app.registerURLScheme("MyApp");
    std::vector<std::pair<std::string, bool>> results;
    auto open = [&](const std::string& url) {
        app.openURL(url, {}, [&results, url](bool ok) { results.emplace_back(url, ok); });
    };

    EXPECT_TRUE(app.canOpenURL("myapp://inbox"));
    EXPECT_TRUE(app.canOpenURL("https://example.com/a"));
    EXPECT_FALSE(app.canOpenURL("other://x"));
    EXPECT_FALSE(app.canOpenURL("not a url"));

    open("myapp://inbox?id=7");
    open("other://x");
    open("not a url");
    EXPECT_TRUE(results.empty());  // answered on the run loop
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(results, (std::vector<std::pair<std::string, bool>>{
                           {"myapp://inbox?id=7", true}, {"other://x", false}, {"not a url", false}}));

    // The host's handler answers for every scheme but http(s), registered ones too.
    std::vector<std::string> asked;
    app.setOpenURLHandler([&](const std::string& url) {
        asked.push_back(url);
        return url.rfind("tel:", 0) == 0;
    });
    results.clear();
    open("tel:+15551234");
    open("other://x");
    open("http://example.com");
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(asked, (std::vector<std::string>{"tel:+15551234", "other://x"}));
    EXPECT_EQ(results, (std::vector<std::pair<std::string, bool>>{
                           {"tel:+15551234", true}, {"other://x", false}, {"http://example.com", true}}));
    EXPECT_EQ(app.openedURLs(), (std::vector<std::string>{"myapp://inbox?id=7", "tel:+15551234", "http://example.com"}));
    results.clear();
    open("myapp://refused");
    ASSERT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(results, (std::vector<std::pair<std::string, bool>>{{"myapp://refused", false}}));
}

TEST(ApplicationStoryboard, InstantiatesOnlyRegisteredIdentifiers) {
    Storyboard::named("Inbox")->registerViewController("list", [] { return std::make_shared<ViewController>("InboxList"); });
    Storyboard::setMain("Inbox");
    auto board = Storyboard::main();
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(board->name(), "Inbox");
    EXPECT_EQ(board->instantiateViewControllerWithIdentifier("detail"), nullptr);
    EXPECT_EQ(Storyboard::named("Other")->instantiateViewControllerWithIdentifier("list"), nullptr);
    auto first = board->instantiateViewControllerWithIdentifier("list");
    auto second = board->instantiateViewControllerWithIdentifier("list");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->className(), "InboxList");
    EXPECT_NE(first, second);  // a new controller each time
    EXPECT_EQ(first->storyboard(), board);
    EXPECT_EQ(controller("code")->storyboard(), nullptr);
    const qm::Dictionary map = board->identifierToNibNameMap();
    EXPECT_EQ(map.size(), 1u);
    EXPECT_TRUE(map.count("list"));
}

TEST(ApplicationTopMost, FollowsTabsStacksAndPresentations) {
    auto tabs = std::make_shared<TabBarController>();
    auto home = controller("home");
    auto list = controller("list");
    auto detail = controller("detail");
    auto popup = controller("popup");
    auto navigation = NavigationController::withRootViewController(list);
    ASSERT_TRUE(tabs->setViewControllers({home, navigation}));
    EXPECT_EQ(tabs->selectedIndex(), std::optional<std::size_t>(0));
    EXPECT_EQ(topMostViewController(tabs), home);

    ASSERT_TRUE(tabs->setSelectedIndex(1));
    EXPECT_FALSE(tabs->setSelectedIndex(2));
    ASSERT_TRUE(navigation->pushViewController(detail, true));
    EXPECT_FALSE(navigation->pushViewController(detail, true));  // already in the stack
    EXPECT_EQ(detail->navigationController(), navigation);
    EXPECT_EQ(detail->tabBarController(), tabs);
    EXPECT_EQ(topMostViewController(tabs), detail);

    ASSERT_TRUE(detail->presentViewController(popup, false));
    EXPECT_EQ(topMostViewController(tabs), popup);
    EXPECT_EQ(navigation->topViewController(), detail);
    EXPECT_EQ(popup->navigationController(), nullptr);  // presented, not pushed

    auto window = std::make_shared<Window>();
    window->setRootViewController(tabs);
    window->makeKeyAndVisible();
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(Application::shared().keyWindow(), window);
    EXPECT_EQ(topMostViewController(Application::shared().keyWindow()->rootViewController()), popup);
    EXPECT_EQ(window->frame().width, 390);
    EXPECT_EQ(window->frame().height, 844);

    detail->dismissViewControllerAnimated(false);
    EXPECT_EQ(navigation->popViewControllerAnimated(false), detail);
    EXPECT_EQ(navigation->popViewControllerAnimated(false), nullptr);  // the root stays
    EXPECT_EQ(detail->navigationController(), nullptr);
    EXPECT_EQ(topMostViewController(tabs), list);
    EXPECT_EQ(topMostViewController(nullptr), nullptr);
}

TEST(ApplicationLifecycle, BadgeAndStateTransitions) {
    auto& app = Application::shared();
    EXPECT_EQ(app.applicationIconBadgeNumber(), 0);
    app.setApplicationIconBadgeNumber(5);
    EXPECT_EQ(app.applicationIconBadgeNumber(), 5);

    std::vector<std::string> seen;  // name and the state observers read
    auto token = NotificationCenter::defaultCenter().addObserver("", [&](const Notification& n) {
        seen.push_back(n.name + "@" + std::to_string(static_cast<int>(app.applicationState())));
    });
    EXPECT_EQ(app.applicationState(), ApplicationState::Active);
    app.setApplicationState(ApplicationState::Background);
    app.setApplicationState(ApplicationState::Background);  // no change, no notification
    app.setApplicationState(ApplicationState::Active);
    NotificationCenter::defaultCenter().removeObserver(token);
    // Active = 0, Background = 2.
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "UIApplicationWillResignActiveNotification@0", "UIApplicationDidEnterBackgroundNotification@2",
                        "UIApplicationWillEnterForegroundNotification@2", "UIApplicationDidBecomeActiveNotification@0"}));
}

TEST(ApplicationPasteboard, TextItemsReviewsAndScreen) {
    auto& board = Pasteboard::general();
    EXPECT_EQ(board.string(), std::nullopt);
    const long before = board.changeCount();
    board.setString("coupon-42");
    EXPECT_EQ(board.string(), std::optional<std::string>("coupon-42"));
    ASSERT_EQ(board.items().size(), 1u);
    EXPECT_EQ(board.items()[0].at("public.utf8-plain-text"), qm::Value("coupon-42"));
    board.setItems({qm::Dictionary{{"public.png", qm::Value(qm::Bytes{1, 2})}},
                    qm::Dictionary{{"public.utf8-plain-text", qm::Value("second")}}});
    EXPECT_EQ(board.string(), std::optional<std::string>("second"));
    EXPECT_EQ(board.changeCount(), before + 2);

    StoreReview::requestReview();
    StoreReview::requestReview();
    EXPECT_EQ(StoreReview::requestCount(), 2);

    Screen::main().setBoundsSize({320, 568});
    Screen::main().setScale(0);  // ignored
    EXPECT_EQ(Screen::main().bounds().width, 320);
    EXPECT_EQ(Screen::main().bounds().height, 568);
    EXPECT_EQ(Screen::main().scale(), 3);
}
