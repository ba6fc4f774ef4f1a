// From Show to a popup view over the key window: what each template's builder sets, where a
// sticky bar sits, and what a display counts. Scripted web engine, default 390 × 844 screen.
#include <gtest/gtest.h>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppPresentation.hpp"
#include "inapp/qmInAppTapHandlers.hpp"
#include "qmplatform/pasteboard.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"
#include "unit/engine_test_access.hpp"

using namespace qm;
using namespace qm::platform;

namespace {

class Presentation : public ::testing::Test {
protected:
    void SetUp() override {
        host.webEngine().onEvaluate(testkit::TextMatch::contains("scrollHeight"), Value(200));
        quelmar::Initialize("live");
        qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
        window = std::make_shared<Window>();
        window->setRootViewController(std::make_shared<ViewController>("HomeVC"));
        window->makeKeyAndVisible();
        root = viewOf(*window);
    }
    void TearDown() override { Application::shared().removeWindow(window); }

    // Stores one campaign, shows, lets it load and enter; the popup on screen (if any).
    std::shared_ptr<qmInAppPopupView> show(Value campaign) {
        for (const char* limit : {"noOfTimesPerUser", "noOfTimesPerAL"}) {
            if (!campaign.contains(limit)) campaign.set(limit, 9);
        }
        QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(
            Value{{"Authentication", "success"}, {"notifications", Value::array({campaign})}});
        quelmar::Show(Value::dictionary(), Value::dictionary());
        host.runUntilIdle();
        host.advance(3);
        host.runUntilIdle();
        root->layoutIfNeeded();
        std::shared_ptr<qmInAppPopupView> shown;
        for (const auto& view : root->subviews()) {
            if (auto popup = std::dynamic_pointer_cast<qmInAppPopupView>(view)) shown = popup;
        }
        return shown;
    }
    static QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

    testkit::TestHost host;
    std::shared_ptr<Window> window;
    std::shared_ptr<View> root;
};

}  // namespace

TEST_F(Presentation, EachTemplateGetsItsTitlesButtonsAndEntrance) {
    auto alert = show(Value{{"notificationID", "1"}, {"template", 1}, {"description", "<b>Hi</b>"}, {"actionText", Value::null()}});
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->qmInAppPopupFirstCtaBtnTitleText, "OK");
    EXPECT_EQ(alert->qmInAppPopupCtaShowCondition, 2);
    EXPECT_EQ(alert->qmInAppPopupCloseBtnType, 0);
    EXPECT_FALSE(alert->qmInAppPopupDismissOnTapOutSide);
    EXPECT_EQ(alert->qmInAppPopupAnimationID, 1);
    EXPECT_TRUE(alert->qmInAppPopupWebViewHTMLStr.ends_with("user-scalable=no'></header><b>Hi</b>"));
    EXPECT_EQ(alert->frame(), root->bounds());
    alert->qmInAppPopupViewCloseNow();

    auto confirm = show(Value{{"notificationID", "2"}, {"template", 2}, {"actionText", ""}});
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirm->qmInAppPopupFirstCtaBtnTitleText, "Confirm");
    EXPECT_EQ(confirm->qmInAppPopupSecondCtaBtnTitleText, "Cancel");
    EXPECT_EQ(confirm->qmInAppPopupCtaShowCondition, 3);
    confirm->qmInAppPopupViewCloseNow();

    auto modal = show(Value{{"notificationID", "3"}, {"template", 3}, {"actionTextTwo", "Later"}, {"ctaTemplate", 2},
                            {"ctaColor", "#FF0000"}, {"bgColor", "rgba(0, 0, 255, 1)"}});
    ASSERT_TRUE(modal);
    EXPECT_EQ(modal->qmInAppPopupCtaShowCondition, 1) << "only the second title";
    EXPECT_EQ(modal->qmInAppPopupCtaBtnTemplateID, 2);
    EXPECT_EQ(modal->qmInAppPopupCtaBtnTextColor, Color::rgba(1, 0, 0, 1));
    EXPECT_EQ(modal->qmInAppPopupContainerViewBgColor, Color::rgba(0, 0, 1, 1));
    EXPECT_FALSE(modal->qmShouldHideInAppPopupCloseBtn);
    EXPECT_TRUE(modal->qmInAppPopupDismissOnTapOutSide);
    EXPECT_EQ(modal->qmInAppPopupContainerView->tag(), 3);
    modal->qmInAppPopupViewCloseNow();

    auto full = show(Value{{"notificationID", "4"}, {"template", 4}, {"ctaColor", "rgba(0,0,0,0)"}});
    ASSERT_TRUE(full);
    EXPECT_EQ(full->qmInAppPopupAnimationID, 3) << "full screen without an animation";
    EXPECT_TRUE(full->qmShouldHideInAppPopupCloseBtn);
    EXPECT_EQ(full->qmInAppPopupCtaBtnTextColor, Color::rgba(0, 0, 0, 1));
    full->qmInAppPopupViewCloseNow();

    auto survey = show(Value{{"notificationID", "9"}, {"template", 102}});
    ASSERT_TRUE(survey);
    EXPECT_TRUE(survey->qmInAppPopupWebViewHTMLStr.starts_with("https://mobile.quelmar.io/user/survey/modal?brandid="));
    survey->qmInAppPopupViewCloseNow();

    EXPECT_FALSE(show(Value{{"notificationID", "5"}, {"template", 3}, {"pageUrls", Value::array({"CartVC"})}}))
        << "another screen's campaign";
}

TEST_F(Presentation, StickyBarsSitOnTheirSafeAreaEdgeAndDisplaysAreCounted) {
    const auto insets = root->safeAreaInsets();
    auto bottom = show(Value{{"notificationID", "51"}, {"template", 5}, {"pos", 1}});
    ASSERT_TRUE(bottom);
    EXPECT_EQ(bottom->qmInAppPopupAnimationID, 5);
    EXPECT_EQ(bottom->qmInAppPopupCtaShowCondition, 0);
    EXPECT_DOUBLE_EQ(bottom->frame().y + bottom->frame().height, root->bounds().height - insets.bottom);
    bottom->qmInAppPopupViewCloseNow();

    auto top = show(Value{{"notificationID", "52"}, {"template", 5}, {"animation", 21}});
    ASSERT_TRUE(top);
    EXPECT_EQ(top->qmInAppPopupAnimationID, 21);
    EXPECT_DOUBLE_EQ(top->frame().y, insets.top);

    // Counted: this launch's displays, today's (tracked) displays, and the close-button rule
    // of an absent "close_btn" (after one second).
    EXPECT_EQ(prefs().qmIntegerForKey("qm_isShownViewNID52", QMStore::Library), 2);
    EXPECT_EQ(prefs().qmIntegerForKey("qm_LaunchedNID52", QMStore::Library), 2);
    EXPECT_EQ(QMRuntime::shared().container("qmInAppCloseBtnConditions")["52"],
              (Value{{"qmShowCloseBtn", true}, {"qmShowCloseBtntimeDelay", 1}}));
}

TEST(PresentationRecords, NullFieldsBecomeEmptyTexts) {
    const Value record{{"a", Value::null()}, {"b", 1}, {"c", Value{{"d", Value::null()}}}};
    const Value cleaned = inapp::updateNullValuesInNotificationDictionary(record);
    EXPECT_EQ(cleaned["a"], Value(""));
    EXPECT_EQ(cleaned["b"], Value(1));
    EXPECT_TRUE(cleaned["c"]["d"].isNull()) << "only the record's own fields";
}

TEST_F(Presentation, ATapClosesTheViewRecordsTheClickAndRunsTheCampaignsAction) {
    auto modal = show(Value{{"notificationID", "61"},
                            {"template", 3},
                            {"actionText", "Shop"},
                            {"actionTextTwo", "Later"},
                            {"actionTarget", 1},
                            {"actionUrl", "shop.example.com/sale"},
                            {"actionExtra", Value{{"copy", "SAVE10"}}},
                            {"actionTargetTwo", 9},
                            {"repeat_click", 2}});
    ASSERT_TRUE(modal);
    ASSERT_TRUE(modal->qmInAppPopupFirstCtaBtn);
    modal->qmInAppPopupFirstCtaBtnAction();
    host.runUntilIdle();
    EXPECT_FALSE(modal->superview());
    EXPECT_EQ(Application::shared().openedURLs(), (std::vector<std::string>{"https://shop.example.com/sale"}));
    EXPECT_EQ(Pasteboard::general().string(), "SAVE10");
    EXPECT_EQ(inapp::qmInAppTapHandler::shared()->qmStatsClickAction(), "uniqueClick");
    EXPECT_TRUE(prefs().qmObjectForKey("qm_ClosedNIDConditions", QMStore::Library).contains("61")) << "hidden two days";

    // A later click on it counts as a repeat; an unknown target runs nothing.
    inapp::qmInAppTapHandler::shared()->qmInAppPopupSecondCTAButtonAction("61", 1);
    host.runUntilIdle();
    EXPECT_EQ(inapp::qmInAppTapHandler::shared()->qmStatsClickAction(), "click");
    EXPECT_EQ(Application::shared().openedURLs().size(), 1u);
}

// A share from a campaign that stays ("dismiss" 0) brings the campaign back, as it was shown,
// once the share is done; a cancelled share does not, and neither counts another display.
TEST_F(Presentation, ACompletedShareBringsBackACampaignThatStays) {
    auto popup = show(Value{{"notificationID", "71"},
                            {"template", 3},
                            {"description", "<p>Tell a friend</p>"},
                            {"actionText", "Share"},
                            {"actionTarget", 3},
                            {"actionUrl", "Look at this"},
                            {"actionExtra", Value{{"dismiss", 0}}},
                            {"repeat_click", 501}});
    ASSERT_TRUE(popup);
    const long long launchCount = prefs().qmIntegerForKey("qm_isShownViewNID71", QMStore::Library);
    const long long dailyCount = prefs().qmIntegerForKey("qm_LaunchedNID71", QMStore::Library);
    auto shareAndFinish = [&](bool completed) -> std::shared_ptr<qmInAppPopupView> {
        auto shown = std::dynamic_pointer_cast<qmInAppPopupView>(root->subviews().back());
        if (!shown || !shown->qmInAppPopupFirstCtaBtn) return nullptr;
        shown->qmInAppPopupFirstCtaBtnAction();
        host.runUntilIdle();
        EXPECT_FALSE(shown->superview());
        auto sheet = std::dynamic_pointer_cast<ActivityViewController>(window->rootViewController()->presentedViewController());
        if (!sheet) return nullptr;
        EXPECT_TRUE(sheet->finish(completed ? std::optional<std::string>("com.example.share") : std::nullopt, completed));
        host.runUntilIdle();
        host.advance(2);
        host.runUntilIdle();
        return std::dynamic_pointer_cast<qmInAppPopupView>(root->subviews().back());
    };
    auto back = shareAndFinish(true);
    ASSERT_TRUE(back);
    EXPECT_NE(back, popup);
    EXPECT_EQ(back->qmInAppPopupNotificationID, "71");
    EXPECT_EQ(back->qmInAppPopupWebViewHTMLStr, popup->qmInAppPopupWebViewHTMLStr);
    EXPECT_EQ(prefs().qmIntegerForKey("qm_isShownViewNID71", QMStore::Library), launchCount) << "the same display";
    EXPECT_EQ(prefs().qmIntegerForKey("qm_LaunchedNID71", QMStore::Library), dailyCount);

    EXPECT_FALSE(shareAndFinish(false)) << "a cancelled share leaves it closed";
}
