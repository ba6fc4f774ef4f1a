// Alerts: a tap on an action's button dismisses the alert first and runs the handler after,
// once; the actions the platform would refuse; the order and arrangement of the buttons.
#include <gtest/gtest.h>

#include "qmplatform/screen.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmui/alert_controller.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

std::vector<std::string> titlesOf(const std::vector<std::shared_ptr<AlertAction>>& actions) {
    std::vector<std::string> out;
    for (const auto& a : actions) out.push_back(a->title());
    return out;
}

// The screen is process-wide: put it back for the tests that follow.
struct ScreenGuard {
    ~ScreenGuard() { Screen::main().reset(); }
};

}  // namespace

TEST(ControlsAlert, TappingAnActionDismissesTheAlertAndThenRunsItsHandlerOnce) {
    qm::testkit::TestHost host;
    ScreenGuard screen;
    Screen::main().setBoundsSize({375, 667});
    auto presenter = std::make_shared<ViewController>();
    auto alert = AlertController::alertControllerWithTitle("Delete message?", "It cannot be brought back.",
                                                           AlertControllerStyle::Alert);
    EXPECT_EQ(alert->className(), "UIAlertController");
    std::vector<std::string> log;
    auto cancel = AlertAction::actionWithTitle("Cancel", AlertActionStyle::Cancel, [&](AlertAction&) { log.push_back("cancel"); });
    auto remove = AlertAction::actionWithTitle("Delete", AlertActionStyle::Destructive, [&](AlertAction& action) {
        // By now the alert is gone.
        log.push_back(action.title() + (presenter->presentedViewController() ? " while shown" : " after dismissal"));
    });
    ASSERT_TRUE(alert->addAction(remove));
    ASSERT_TRUE(alert->addAction(cancel));
    ASSERT_TRUE(presenter->presentViewController(alert, true));
    EXPECT_EQ(alert->presentingViewController(), presenter);

    EXPECT_TRUE(tapAlertAction(*alert, "Delete"));
    EXPECT_FALSE(presenter->presentedViewController());  // dismissed at once…
    EXPECT_TRUE(log.empty());                             // …the handler comes after
    host.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"Delete after dismissal"}));

    // The alert is finished: another tap does nothing.
    tapAlertAction(*alert, "Cancel");
    host.runUntilIdle();
    EXPECT_EQ(log.size(), 1u);
    EXPECT_FALSE(tapAlertAction(*alert, "No such action"));
}

TEST(ControlsAlert, DisabledActionsAndActionsThePlatformWouldRefuse) {
    qm::testkit::TestHost host;
    auto alert = AlertController::alertControllerWithTitle("Title", std::nullopt, AlertControllerStyle::Alert);
    auto ok = AlertAction::actionWithTitle("OK", AlertActionStyle::Default);
    auto cancel = AlertAction::actionWithTitle("Cancel", AlertActionStyle::Cancel);
    EXPECT_FALSE(alert->addAction(nullptr));
    EXPECT_TRUE(alert->addAction(ok));
    EXPECT_FALSE(alert->addAction(ok));  // twice
    EXPECT_TRUE(alert->addAction(cancel));
    EXPECT_FALSE(alert->addAction(AlertAction::actionWithTitle("Also cancel", AlertActionStyle::Cancel)));
    auto other = AlertController::alertControllerWithTitle("Other", std::nullopt, AlertControllerStyle::Alert);
    EXPECT_FALSE(other->addAction(ok));  // belongs to the first alert
    EXPECT_EQ(titlesOf(alert->actions()), (std::vector<std::string>{"OK", "Cancel"}));
    EXPECT_FALSE(alert->setPreferredAction(AlertAction::actionWithTitle("Stranger", AlertActionStyle::Default)));
    EXPECT_TRUE(alert->setPreferredAction(ok));
    EXPECT_EQ(alert->preferredAction(), ok);
    EXPECT_TRUE(host.logContains("one cancel action"));

    // The preferred action is bold; without one, the cancel action is.
    viewOf(*alert);
    EXPECT_EQ(alert->buttonForAction(*ok)->titleLabel()->font().weight, FontWeight::Semibold);
    EXPECT_EQ(alert->buttonForAction(*cancel)->titleLabel()->font().weight, FontWeight::Regular);
    alert->setPreferredAction(nullptr);
    EXPECT_EQ(alert->buttonForAction(*ok)->titleLabel()->font().weight, FontWeight::Regular);
    EXPECT_EQ(alert->buttonForAction(*cancel)->titleLabel()->font().weight, FontWeight::Semibold);

    // A disabled action's button is greyed out and takes no tap.
    int ran = 0;
    auto later = AlertController::alertControllerWithTitle("Later", std::nullopt, AlertControllerStyle::Alert);
    auto send = AlertAction::actionWithTitle("Send", AlertActionStyle::Default, [&](AlertAction&) { ++ran; });
    later->addAction(send);
    send->setEnabled(false);
    EXPECT_FALSE(tapAlertAction(*later, "Send"));
    EXPECT_FALSE(later->buttonForAction(*send)->isEnabled());
    send->setEnabled(true);
    EXPECT_TRUE(later->buttonForAction(*send)->isEnabled());
    EXPECT_TRUE(tapAlertAction(*later, "Send"));  // not presented: the handler still runs
    host.runUntilIdle();
    EXPECT_EQ(ran, 1);
}

TEST(ControlsAlert, ButtonsAreArrangedByStyleWithCancelWhereThePlatformPutsIt) {
    qm::testkit::TestHost host;
    ScreenGuard screen;
    Screen::main().setBoundsSize({375, 667});
    Screen::main().setSafeAreaInsets({0, 0, 34, 0});

    // Two short actions side by side, cancel on the left, the card in the middle.
    auto pair = AlertController::alertControllerWithTitle("Rate us?", "It takes a second.", AlertControllerStyle::Alert);
    auto yes = AlertAction::actionWithTitle("Yes", AlertActionStyle::Default);
    auto no = AlertAction::actionWithTitle("Not now", AlertActionStyle::Cancel);
    pair->addAction(yes);
    pair->addAction(no);
    EXPECT_TRUE(pair->showsActionsSideBySide());
    EXPECT_EQ(titlesOf(pair->displayedActions()), (std::vector<std::string>{"Not now", "Yes"}));
    viewOf(*pair)->layoutIfNeeded();
    auto card = pair->cardView();
    EXPECT_EQ(card->frame().width, 270);
    EXPECT_DOUBLE_EQ(card->frame().midX(), 375.0 / 2);
    EXPECT_DOUBLE_EQ(card->frame().midY(), 667.0 / 2);
    const Rect left = pair->buttonForAction(*no)->frame(), right = pair->buttonForAction(*yes)->frame();
    EXPECT_EQ(left.x, 0);
    EXPECT_EQ(left.y, right.y);
    EXPECT_EQ(left.width + right.width, 270);
    EXPECT_EQ(right.maxY(), card->bounds().height);

    // Three actions, or two that do not fit side by side: stacked, cancel last.
    auto three = AlertController::alertControllerWithTitle("Choose", std::nullopt, AlertControllerStyle::Alert);
    three->addAction(AlertAction::actionWithTitle("Cancel", AlertActionStyle::Cancel));
    three->addAction(AlertAction::actionWithTitle("One", AlertActionStyle::Default));
    three->addAction(AlertAction::actionWithTitle("Two", AlertActionStyle::Destructive));
    EXPECT_EQ(titlesOf(three->displayedActions()), (std::vector<std::string>{"One", "Two", "Cancel"}));
    viewOf(*three)->layoutIfNeeded();
    double y = -1;
    for (const auto& action : three->displayedActions()) {
        const Rect f = three->buttonForAction(*action)->frame();
        EXPECT_GT(f.y, y);
        EXPECT_EQ(f.width, 270);
        y = f.y;
    }
    EXPECT_EQ(three->buttonForAction(*three->actions()[2])->currentTitleColor(), Color::rgba(1, 59.0 / 255, 48.0 / 255));
    auto wide = AlertController::alertControllerWithTitle("Wide", std::nullopt, AlertControllerStyle::Alert);
    wide->addAction(AlertAction::actionWithTitle("Remind me tomorrow", AlertActionStyle::Default));
    wide->addAction(AlertAction::actionWithTitle("Cancel", AlertActionStyle::Cancel));
    EXPECT_FALSE(wide->showsActionsSideBySide());
    EXPECT_EQ(titlesOf(wide->displayedActions()), (std::vector<std::string>{"Remind me tomorrow", "Cancel"}));

    // An action sheet: at the bottom above the safe area, cancel in a card of its own below.
    auto sheet = AlertController::alertControllerWithTitle(std::nullopt, "Share this offer", AlertControllerStyle::ActionSheet);
    auto cancel = AlertAction::actionWithTitle("Cancel", AlertActionStyle::Cancel);
    auto copy = AlertAction::actionWithTitle("Copy link", AlertActionStyle::Default);
    sheet->addAction(cancel);
    sheet->addAction(copy);
    EXPECT_FALSE(sheet->showsActionsSideBySide());
    auto root = viewOf(*sheet);
    root->layoutIfNeeded();
    const Rect cancelFrame = sheet->buttonForAction(*cancel)->convertRectTo(sheet->buttonForAction(*cancel)->bounds(), root.get());
    const Rect copyFrame = sheet->buttonForAction(*copy)->convertRectTo(sheet->buttonForAction(*copy)->bounds(), root.get());
    EXPECT_DOUBLE_EQ(cancelFrame.maxY(), 667 - 34 - 8);
    EXPECT_DOUBLE_EQ(copyFrame.maxY(), cancelFrame.y - 8);
    EXPECT_NE(sheet->buttonForAction(*cancel)->superview(), sheet->cardView());
    EXPECT_TRUE(tapAlertAction(*sheet, "Copy link"));
}
