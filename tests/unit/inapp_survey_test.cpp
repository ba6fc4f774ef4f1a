// The survey in a modal (template 101), shown through Show on a 400 × 800 screen with the
// scripted web engine and the test clock: its frames, close button, page loading, links, the
// thank-you page, the ways it is dismissed and what each records, one survey at a time, and
// what a campaign view does when its page's process stops.
#include <gtest/gtest.h>

#include <thread>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/activity_indicator.hpp"
#include "qmui/button.hpp"
#include "qmui/gesture.hpp"
#include "qmweb/web_view.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"
#include "unit/engine_test_access.hpp"

using namespace qm;
using namespace qm::platform;
using qm::testkit::TextMatch;

namespace {

void expectRect(const Rect& r, double x, double y, double w, double h, const char* what) {
    EXPECT_NEAR(r.x, x, 0.01) << what;
    EXPECT_NEAR(r.y, y, 0.01) << what;
    EXPECT_NEAR(r.width, w, 0.01) << what;
    EXPECT_NEAR(r.height, h, 0.01) << what;
}

class Survey : public ::testing::Test {
protected:
    void SetUp() override {
        Screen::main().setBoundsSize({400, 800});
        host.webEngine().onEvaluate(TextMatch::contains("innerHTML"), Value("<form>Rate us</form>"));
        host.webEngine().onEvaluate(TextMatch::contains("offsetHeight"), Value(210));
        host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value(200));
        quelmar::Initialize("live");
        qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
        window = std::make_shared<Window>();
        window->setRootViewController(std::make_shared<ViewController>("HomeVC"));
        window->makeKeyAndVisible();
        root = viewOf(*window);
    }
    void TearDown() override {
        inapp::qmDismissModalSurvey();
        host.runUntilIdle();
        Application::shared().removeWindow(window);
        Screen::main().reset();
    }

    // Stores the campaign as the only one and shows it; the page loads, the clock stays.
    std::shared_ptr<View> show(Value campaign) {
        campaign.set("template", 101);
        for (const char* limit : {"noOfTimesPerUser", "noOfTimesPerAL"}) {
            if (!campaign.contains(limit)) campaign.set(limit, 9);
        }
        QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(
            Value{{"Authentication", "success"}, {"notifications", Value::array({campaign})}});
        quelmar::Show(Value::dictionary(), Value::dictionary());
        host.runUntilIdle();
        return inapp::qmCurrentSurveyPanel();
    }
    // Lets the entrance (and any delayed close button) finish.
    void settle(double seconds = 2) {
        host.advance(seconds);
        host.runUntilIdle();
    }
    // The scripted page that loaded the survey address last.
    std::size_t surveyPage() {
        const auto pages = host.webEngine().pages();
        for (std::size_t i = pages.size(); i-- > 0;) {
            if (!pages[i].loads.empty() && pages[i].loads[0].url.find("/survey/") != std::string::npos) return i;
        }
        ADD_FAILURE() << "no survey page";
        return 0;
    }
    std::shared_ptr<Button> closeButton(const std::shared_ptr<View>& panel) {
        for (const auto& view : panel->subviews()) {
            if (auto button = std::dynamic_pointer_cast<Button>(view)) return button;
        }
        return nullptr;
    }
    std::size_t count(const char* className) {
        std::size_t n = 0;
        for (const auto& view : root->subviews()) n += view->className() == className;
        return n;
    }
    static QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }
    static Value closedRecord(const std::string& id) {
        return prefs().qmObjectForKey("qm_ClosedNIDConditions", QMStore::Library)[id];
    }
    static bool restrictedThisSession(const std::string& id) {
        const Value list = QMRuntime::shared().container("qmRestictInAppforThisSession");
        for (const Value& v : list.arrayItems()) {
            if (v.description() == id) return true;
        }
        return false;
    }

    testkit::TestHost host;
    std::shared_ptr<Window> window;
    std::shared_ptr<View> root;
};

}  // namespace

TEST_F(Survey, PanelBackdropAndPageFollowTheCampaign) {
    prefs().qmSetObject(Value("SurveyAgent/2.0"), "qm_secretAgent", QMStore::Library);
    auto panel = show(Value{{"notificationID", "701"}, {"height", 50}, {"bgColor", "#00FF00"}});
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->superview(), root);
    // 400 × 800 at half the screen's height: x = 40, width = 320, height = 400, y = 200.
    expectRect(panel->frame(), 40, 200, 320, 400, "panel");
    EXPECT_EQ(panel->tag(), 701);
    EXPECT_EQ(panel->backgroundColor(), Color::rgba(0, 1, 0, 1));
    EXPECT_TRUE(panel->clipsToBounds());

    const auto survey = inapp::qmCurrentModalSurvey();
    ASSERT_TRUE(survey.webView && survey.backdrop && survey.activityBox && survey.indicator);
    expectRect(survey.webView->frame(), 0, 0, 320, 400, "web view");
    EXPECT_EQ(survey.webView->superview(), panel);
    EXPECT_EQ(survey.webView->tag(), 701);
    // The page can post to the same names as the popup view's pages.
    EXPECT_EQ(survey.webView->configuration().userContentController->handlerNames(), qmInAppPopupView::scriptMessageNames());
    expectRect(survey.backdrop->frame(), 0, 0, 400, 800, "backdrop");
    EXPECT_EQ(survey.backdrop->backgroundColor(), Color::black());
    EXPECT_DOUBLE_EQ(survey.backdrop->alpha(), 0.3);
    EXPECT_EQ(survey.backdrop->tag(), 701);
    // Behind the panel.
    ASSERT_GE(root->subviews().size(), 2u);
    EXPECT_EQ(root->subviews()[root->subviews().size() - 2], survey.backdrop);
    EXPECT_EQ(root->subviews().back(), panel);

    // The survey address with the stored agent.
    const auto page = host.webEngine().page(surveyPage());
    ASSERT_EQ(page.loads.size(), 1u);
    EXPECT_FALSE(page.loads[0].html);
    EXPECT_NE(page.loads[0].url.find("notificationid=701"), std::string::npos);
    EXPECT_EQ(page.loads[0].url.find("(null)"), std::string::npos);
    EXPECT_EQ(page.loads[0].headers.at("User-Agent"), "SurveyAgent/2.0");

    // Loaded: the box joined the panel centred in it and is hidden again, the indicator
    // stopped, the page was told its width.
    EXPECT_EQ(survey.activityBox->superview(), panel);
    expectRect(survey.activityBox->frame(), 135, 175, 50, 50, "activity box");
    EXPECT_TRUE(survey.activityBox->isHidden());
    EXPECT_FALSE(survey.indicator->isAnimating());
    const auto scripts = host.webEngine().page(surveyPage()).scripts();
    ASSERT_GE(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "document.body.innerHTML");
    EXPECT_NE(scripts[1].find("'width=320;'"), std::string::npos) << scripts[1];

    // Without a height the panel takes four fifths of the screen; without a stored agent the
    // page gets the engine's own rather than "(null)".
    prefs().qmRemoveObjectForKey("qm_secretAgent", QMStore::Library);
    auto tall = show(Value{{"notificationID", "702"}});
    ASSERT_TRUE(tall);
    expectRect(tall->frame(), 40, 80, 320, 640, "80 % panel");
    EXPECT_EQ(host.webEngine().page(surveyPage()).loads[0].headers.count("User-Agent"), 0u);
}

TEST_F(Survey, TheCloseButtonAppearsByTheCampaignsRule) {
    auto panel = show(Value{{"notificationID", "711"}, {"ctaBgColor", "#0000FF"}});
    ASSERT_TRUE(panel);
    EXPECT_FALSE(closeButton(panel)) << "an absent rule waits a second";
    settle(1);
    auto button = closeButton(panel);
    ASSERT_TRUE(button);
    expectRect(button->frame(), 295, 0, 25, 25, "close button");
    EXPECT_EQ(button->tag(), 711);
    EXPECT_EQ(button->tintColor(), Color::rgba(0, 0, 1, 1));

    panel = show(Value{{"notificationID", "712"}, {"close_btn", 4}});
    settle(3.9);
    EXPECT_FALSE(closeButton(panel));
    settle(0.1);
    EXPECT_TRUE(closeButton(panel));

    panel = show(Value{{"notificationID", "713"}, {"close_btn", 0}});
    settle(30);
    EXPECT_FALSE(closeButton(panel)) << "never";

    panel = show(Value{{"notificationID", "714"}, {"close_btn", 5000}});
    EXPECT_TRUE(closeButton(panel)) << "at once";
}

TEST_F(Survey, LinksOpenOutsideAndOtherNavigationsLoadInThePanel) {
    auto panel = show(Value{{"notificationID", "721"}});
    ASSERT_TRUE(panel);
    const std::size_t index = surveyPage();
    host.webEngine().requestNavigation("https://shop.example.com/terms", WebNavigationType::LinkActivated, false, index);
    host.runUntilIdle();
    auto decisions = host.webEngine().page(index).decisions;
    ASSERT_EQ(decisions.size(), 1u);
    EXPECT_FALSE(decisions[0].allow);
    EXPECT_EQ(Application::shared().openedURLs(), (std::vector<std::string>{"https://shop.example.com/terms"}));

    host.webEngine().requestNavigation("https://mobile.quelmar.io/user/survey/page2", WebNavigationType::FormSubmitted,
                                       false, index);
    host.runUntilIdle();
    decisions = host.webEngine().page(index).decisions;
    ASSERT_EQ(decisions.size(), 2u);
    EXPECT_TRUE(decisions[1].allow);
    EXPECT_EQ(Application::shared().openedURLs().size(), 1u);
    EXPECT_EQ(host.webEngine().page(index).loads.size(), 2u);
    EXPECT_TRUE(QMRuntime::shared().container("qmRestictSurveyCrossBtnforSession").count() == 0) << "not a thank-you page";
}

TEST_F(Survey, ThankYouPageFitsThePanelAndTheCloseAfterItRecordsOnlyTheClick) {
    auto panel = show(Value{{"notificationID", "731"}, {"height", 50}, {"repeat_click", 2}, {"repeat_close", 3}});
    ASSERT_TRUE(panel);
    settle();
    const auto survey = inapp::qmCurrentModalSurvey();
    const std::size_t index = surveyPage();
    for (int i = 0; i < 2; ++i) {
        host.webEngine().requestNavigation("https://mobile.quelmar.io/user/survey/thankYou?notificationid=731",
                                           WebNavigationType::FormSubmitted, false, index);
        host.runUntilIdle();
    }
    const Value thanked = QMRuntime::shared().container("qmRestictSurveyCrossBtnforSession");
    ASSERT_EQ(thanked.count(), 1u) << "once";
    EXPECT_EQ(thanked[0].description(), "731");
    EXPECT_EQ(closedRecord("731")["repeat_close"], Value(2)) << "the click rule (repeat_click 2 days)";

    // The content is 210 high: the page and panel become 250 (40 below it) over 0.3 s, the
    // panel keeping its centre at (200, 400).
    EXPECT_NE(host.webEngine().page(index).scripts().back().find("offsetHeight"), std::string::npos);
    settle(0.3);
    expectRect(survey.webView->frame(), 0, 0, 320, 250, "thank-you page");
    expectRect(panel->frame(), 40, 275, 320, 250, "thank-you panel");

    auto button = closeButton(panel);
    ASSERT_TRUE(button);
    button->sendActionsForControlEvents(ControlEventTouchUpInside);
    host.runUntilIdle();
    EXPECT_FALSE(panel->superview());
    EXPECT_FALSE(survey.backdrop->superview());
    EXPECT_EQ(closedRecord("731")["repeat_close"], Value(2)) << "the close rule (3) was not recorded";
    const auto loads = host.webEngine().page(index).loads;
    ASSERT_FALSE(loads.empty());
    EXPECT_TRUE(loads.back().html && loads.back().htmlText.empty()) << "the page is emptied";
    EXPECT_FALSE(inapp::qmCurrentSurveyPanel());
    EXPECT_FALSE(inapp::qmCurrentModalSurvey().backdrop);
}

TEST_F(Survey, TheCloseButtonRecordsTheCloseAndTheBackdropRecordsNothing) {
    auto panel = show(Value{{"notificationID", "741"}, {"repeat_close", 3}, {"close_btn", 5000}});
    ASSERT_TRUE(panel);
    settle();
    closeButton(panel)->sendActionsForControlEvents(ControlEventTouchUpInside);
    host.runUntilIdle();
    EXPECT_FALSE(panel->superview());
    EXPECT_EQ(closedRecord("741")["repeat_close"], Value(3));

    panel = show(Value{{"notificationID", "742"}, {"repeat_close", 3}, {"repeat_click", 2}});
    ASSERT_TRUE(panel);
    settle();
    // A tap on the panel is not a tap on the backdrop.
    tap(*root, {200, 400});
    host.runUntilIdle();
    EXPECT_TRUE(panel->superview());
    ASSERT_TRUE(tap(*root, {10, 10}));
    host.runUntilIdle();
    EXPECT_FALSE(panel->superview());
    EXPECT_EQ(count("qmSurveyModalBackdrop"), 0u);
    EXPECT_FALSE(closedRecord("742"));
    EXPECT_FALSE(restrictedThisSession("742"));
}

TEST_F(Survey, ASecondSurveyReplacesTheFirstAndDismissalLeavesNothingBehind) {
    // A host view that happens to carry a campaign's number is never taken for a survey.
    auto hostView = View::create({0, 0, 10, 10});
    hostView->setTag(751);
    root->addSubview(hostView);

    auto first = show(Value{{"notificationID", "751"}});
    ASSERT_TRUE(first);
    const auto firstSurvey = inapp::qmCurrentModalSurvey();
    const std::size_t firstPage = surveyPage();
    auto second = show(Value{{"notificationID", "752"}, {"animation", 21}});
    ASSERT_TRUE(second);
    EXPECT_NE(first, second);
    EXPECT_FALSE(first->superview());
    EXPECT_FALSE(firstSurvey.backdrop->superview());
    EXPECT_TRUE(host.webEngine().page(firstPage).loads.back().html) << "the first page is emptied";
    EXPECT_EQ(count("qmSurveyModalPopupView"), 1u);
    EXPECT_EQ(count("qmSurveyModalBackdrop"), 1u);
    EXPECT_EQ(inapp::qmCurrentModalSurvey().animation, 21);

    // Removing the first survey's tag again touches neither the host's view nor the second.
    inapp::qmRemoveModalSurveyFromSuperViewForTagValue(751);
    EXPECT_EQ(hostView->superview(), root);
    EXPECT_EQ(second->superview(), root);

    // Dismissed from another thread: done on the main run loop, nothing left tracked.
    std::thread([] { inapp::qmDismissModalSurvey(); }).join();
    host.runUntilIdle();
    EXPECT_FALSE(second->superview());
    EXPECT_EQ(count("qmSurveyModalBackdrop"), 0u);
    const auto left = inapp::qmCurrentModalSurvey();
    EXPECT_FALSE(left.panel || left.backdrop || left.activityBox || left.indicator || left.webView);
    EXPECT_EQ(hostView->superview(), root);
}

TEST_F(Survey, ACrashedPageLoadsOnceMoreAndASecondCrashClosesTheView) {
    auto panel = show(Value{{"notificationID", "761"}, {"repeat_close", 3}});
    ASSERT_TRUE(panel);
    settle();
    const std::size_t index = surveyPage();
    const auto firstLoad = host.webEngine().page(index).loads.at(0);
    ASSERT_TRUE(host.webEngine().crash("boom", index));
    host.runUntilIdle();
    EXPECT_EQ(panel->superview(), root);
    auto loads = host.webEngine().page(index).loads;
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[1].url, firstLoad.url);
    EXPECT_EQ(loads[1].headers, firstLoad.headers);
    EXPECT_EQ(host.logCount("stopped; loading it again"), 1u);

    ASSERT_TRUE(host.webEngine().crash("boom", index));
    host.runUntilIdle();
    EXPECT_FALSE(panel->superview());
    EXPECT_EQ(count("qmSurveyModalBackdrop"), 0u);
    EXPECT_FALSE(inapp::qmCurrentSurveyPanel());
    EXPECT_EQ(host.logCount("stopped again; the survey is closed"), 1u);
    EXPECT_FALSE(closedRecord("761")) << "not the user's close";

    // The popup view does the same with its HTML.
    auto popup = qmInAppPopupView::create();
    popup->setFrame(root->bounds());
    popup->qmInAppPopupNotificationID = "762";
    popup->qmInAppPopupTemplateID = 3;
    popup->qmInAppPopupWebViewHTMLStr = "<p>Sale</p>";
    root->addSubview(popup);
    popup->qmSetupInAppPopupView();
    host.runUntilIdle();
    const std::size_t popupPage = host.webEngine().pageCount() - 1;
    ASSERT_EQ(host.webEngine().page(popupPage).loads.size(), 1u);
    ASSERT_TRUE(host.webEngine().crash("boom", popupPage));
    host.runUntilIdle();
    EXPECT_EQ(popup->superview(), root);
    loads = host.webEngine().page(popupPage).loads;
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[1].htmlText, "<p>Sale</p>");
    ASSERT_TRUE(host.webEngine().crash("boom", popupPage));
    host.runUntilIdle();
    EXPECT_FALSE(popup->superview());
    EXPECT_EQ(host.logCount("The page of in-app campaign 762 stopped again"), 1u);
    EXPECT_FALSE(closedRecord("762"));
    EXPECT_FALSE(restrictedThisSession("762"));
}
