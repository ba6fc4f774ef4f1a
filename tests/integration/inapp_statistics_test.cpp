// What the service and the host app hear of in-app campaigns: every tracked display and click
// posts a statistics request whose answer is kept in the statistics file, and the host's
// delegate receives an impression or click record. Dismissing every campaign records nothing.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppPresentation.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "inapp/qmInAppTapHandlers.hpp"
#include "library_fixture.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/view.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;
using namespace qm::platform;

namespace {

class InAppStatistics : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(env.service->useFixtureSet("templates")) << env.service->lastError();
        env.host.webEngine().onEvaluate(testkit::TextMatch::contains("scrollHeight"), Value(120));
        quelmar::sharedInstance().delegate = recorder;
        quelmar::Initialize("live");
        ASSERT_TRUE(env.waitForSettings());
        env.host.runUntilIdle();
        recorder->received.clear();
    }
    void TearDown() override {
        if (window) Application::shared().removeWindow(window);
    }

    // Puts SCREEN in a new key window and asks for its campaign; the popup view shown, if any.
    std::shared_ptr<qmInAppPopupView> showOn(const std::string& screen) {
        if (window) Application::shared().removeWindow(window);
        window = std::make_shared<Window>();
        window->setRootViewController(std::make_shared<ViewController>(screen));
        window->makeKeyAndVisible();
        root = viewOf(*window);
        quelmar::Show(Value::dictionary(), Value::dictionary());
        env.host.runUntilIdle();
        return popupView();
    }
    std::shared_ptr<qmInAppPopupView> popupView() const {
        for (const auto& view : root->subviews()) {
            if (auto popup = std::dynamic_pointer_cast<qmInAppPopupView>(view)) return popup;
        }
        return nullptr;
    }
    // The in-app statistics requests the service has seen (push statistics share the name).
    std::vector<service::RecordedRequest> stats() const {
        std::vector<service::RecordedRequest> found;
        for (const auto& request : env.service->requestsFor("stats")) {
            if (request.service == "mobile") found.push_back(request);
        }
        return found;
    }
    bool waitForStats(std::size_t count) {
        return env.host.runUntil([&] { return stats().size() >= count; });
    }
    // The records the delegate received with that event name.
    std::vector<Value> callbacks(const std::string& eventName) const { return recorder->named(eventName); }
    // The in-app records among them (event tracking of the start-up may answer late).
    std::size_t inAppCallbackCount() const {
        std::size_t count = 0;
        for (const auto& record : recorder->received) count += record["callbackType"] != Value("event");
        return count;
    }
    static Value storedStatistics() { return QMRuntime::shared().qmStoreData()->read_qm_Statistics(); }

    testkit::ServiceHost env;
    std::shared_ptr<testkit::RecordingDelegate> recorder = std::make_shared<testkit::RecordingDelegate>();
    std::shared_ptr<Window> window;
    std::shared_ptr<View> root;
};

}  // namespace

TEST_F(InAppStatistics, DisplaysPostTheirActionScreenAndTemplateInOrder) {
    // First display of the day: "uniqueView", no user id stored.
    ASSERT_TRUE(showOn("AlertViewController"));
    ASSERT_TRUE(waitForStats(1));
    auto sent = stats();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].host, "mobile.quelmar.io");
    EXPECT_EQ(sent[0].fields["notificationID"], Value("8001"));
    EXPECT_EQ(sent[0].fields["action"], Value("uniqueView"));
    EXPECT_EQ(sent[0].fields["pageUrl"], Value("AlertViewController"));
    EXPECT_EQ(sent[0].fields["template"], Value("1"));
    EXPECT_FALSE(sent[0].fields.contains("userID"));
    const std::string& body = sent[0].body;
    EXPECT_TRUE(body.starts_with("bid=1234&")) << body;
    const auto at = body.find("&notificationID=8001&action=uniqueView&pageUrl=AlertViewController&template=1&os_version=");
    ASSERT_NE(at, std::string::npos) << body;
    EXPECT_NE(body.find("&app_version=1.0", at), std::string::npos) << body;
    EXPECT_LT(body.find("&mobile_app_id="), at) << "the common fields come first: " << body;
    // The answer is kept in the statistics file.
    ASSERT_TRUE(env.host.runUntil([] { return storedStatistics()["action"] == Value("uniqueView"); }));
    EXPECT_EQ(storedStatistics()["Authentication"], Value("success"));

    // Second display the same day: "view", now with the user id between the system and app
    // versions.
    QMSDKUserDefaultsData::sharedInstance().qmSetString("ann", "qm_userID", QMStore::Library);
    popupView()->qmInAppPopupViewCloseNow();
    ASSERT_TRUE(showOn("AlertViewController"));
    ASSERT_TRUE(waitForStats(2));
    sent = stats();
    EXPECT_EQ(sent[1].fields["action"], Value("view"));
    const std::string& second = sent[1].body;
    const auto os = second.find("&os_version=");
    const auto user = second.find("&userID=ann");
    const auto app = second.find("&app_version=1.0");
    ASSERT_NE(os, std::string::npos) << second;
    ASSERT_NE(user, std::string::npos) << second;
    EXPECT_LT(os, user);
    EXPECT_LT(user, app);
    EXPECT_LT(second.find("&template=1"), os);

    // The next day the first display is unique again.
    popupView()->qmInAppPopupViewCloseNow();
    env.host.advance(86400);
    ASSERT_TRUE(showOn("AlertViewController"));
    ASSERT_TRUE(waitForStats(3));
    EXPECT_EQ(stats()[2].fields["action"], Value("uniqueView"));

    // The survey in a modal is reported too, with its own template, but is no impression.
    recorder->received.clear();
    showOn("SurveyViewController");
    ASSERT_TRUE(inapp::qmCurrentModalSurvey().panel);
    ASSERT_TRUE(waitForStats(4));
    EXPECT_EQ(stats()[3].fields["notificationID"], Value("8101"));
    EXPECT_EQ(stats()[3].fields["template"], Value("101"));
    EXPECT_TRUE(callbacks("Banner Impression").empty());
}

TEST_F(InAppStatistics, RefusedOrFailedAnswersAreLoggedAndTheFileCleared) {
    ASSERT_TRUE(showOn("AlertViewController"));
    ASSERT_TRUE(env.host.runUntil([] { return storedStatistics().count() > 0; }));
    popupView()->qmInAppPopupViewCloseNow();

    env.service->setFault("stats", {service::FaultKind::Refusal});
    ASSERT_TRUE(showOn("AlertViewController"));
    ASSERT_TRUE(env.host.runUntil([&] {
        return env.host.logContains("[ERROR]: Invalid authentication for InAppBanner/Survey statistics");
    }));
    EXPECT_EQ(storedStatistics().count(), 0u) << "a refusal clears what an earlier answer left";
    popupView()->qmInAppPopupViewCloseNow();

    // An exchange that fails says why and leaves the file alone.
    QMRuntime::shared().qmStoreData()->write_qm_Statistics(Value{{"Authentication", "success"}});
    env.service->setFault("stats", {service::FaultKind::RedirectHTTP});
    ASSERT_TRUE(showOn("AlertViewController"));
    ASSERT_TRUE(env.host.runUntil([&] {
        return env.host.logContains(
            "[ERROR]: An error has occurred while requesting InApp Banner/Survey notification statistics. Error "
            "description: ");
    }));
    env.host.runUntilIdle();
    EXPECT_EQ(storedStatistics()["Authentication"], Value("success"));
}

TEST_F(InAppStatistics, TheHostHearsOfImpressionsAndClicks) {
    auto alert = showOn("AlertViewController");
    ASSERT_TRUE(alert);
    auto impressions = callbacks("Banner Impression");
    ASSERT_EQ(impressions.size(), 1u);
    EXPECT_EQ(impressions[0], (Value{{"status", "success"},
                                     {"eventName", "Banner Impression"},
                                     {"message", "InApp Banner Shown"},
                                     {"attributes", Value{{"notification_id", "8001"}}},
                                     {"type", 15.2},
                                     {"callbackType", "banner"}}));

    ASSERT_TRUE(waitForStats(1));
    // First click: "uniqueClick", and the click record with the call-to-action data.
    alert->qmInAppPopupFirstCtaBtnAction();
    env.host.runUntilIdle();
    ASSERT_TRUE(waitForStats(2));
    EXPECT_EQ(stats()[1].fields["action"], Value("uniqueClick"));
    EXPECT_EQ(stats()[1].fields["pageUrl"], Value("AlertViewController"));
    EXPECT_EQ(stats()[1].fields["template"], Value("1"));
    auto clicks = callbacks("Banner Clicked");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0]["message"], Value("InApp Banner clicked"));
    EXPECT_EQ(clicks[0]["type"].doubleValue(), 15);
    EXPECT_EQ(clicks[0]["callbackType"], Value("banner"));
    EXPECT_EQ(clicks[0]["attributes"], (Value{{"notification_id", "8001"},
                                              {"callToAction", 1},
                                              {"target", 0},
                                              {"actionURL", "OffersViewController"},
                                              {"action_params", Value{{"source", "alert"}}}}));

    // Later clicks: "click".
    alert = showOn("AlertViewController");
    ASSERT_TRUE(alert);
    ASSERT_TRUE(waitForStats(3)) << "each request is awaited: they are sent in parallel";
    alert->qmInAppPopupFirstCtaBtnAction();
    ASSERT_TRUE(waitForStats(4));
    env.host.runUntilIdle();  // the click's record reaches the delegate
    EXPECT_EQ(stats()[3].fields["action"], Value("click"));
    EXPECT_EQ(callbacks("Banner Clicked").size(), 2u);

    // A click on a campaign gone from the stored list: the host hears of it without
    // attributes, the service hears nothing.
    recorder->received.clear();
    inapp::qmInAppTapHandler::shared()->qmInAppPopupFirstCTAButtonAction("9999", 1);
    env.host.runUntilIdle();
    clicks = callbacks("Banner Clicked");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_FALSE(clicks[0].contains("attributes"));
    EXPECT_EQ(stats().size(), 4u);

    // A campaign shown again untracked (after a share) is neither reported nor an impression.
    recorder->received.clear();
    auto again = inapp::qmBuildCampaignView(1, inapp::qmLastShownCampaignRecord("8001"), false);
    ASSERT_TRUE(again);
    env.host.runUntilIdle();
    EXPECT_EQ(stats().size(), 4u);
    EXPECT_EQ(inAppCallbackCount(), 0u);
}

TEST_F(InAppStatistics, DismissAllTakesEveryCampaignAwayAndRecordsNothing) {
    showOn("SurveyViewController");
    const auto survey = inapp::qmCurrentModalSurvey();
    ASSERT_TRUE(survey.panel && survey.backdrop && survey.webView);
    const std::size_t surveyPage = env.host.webEngine().pageCount() - 1;
    ASSERT_NE(env.host.webEngine().page(surveyPage).loads.at(0).url.find("/survey/"), std::string::npos);
    // A popup the key window holds, and one a screen's own view holds.
    auto onWindow = qmInAppPopupView::create();
    root->addSubview(onWindow);
    auto onScreen = qmInAppPopupView::create();
    auto screenView = viewOf(*window->rootViewController());
    screenView->addSubview(onScreen);
    env.host.runUntilIdle();
    const std::size_t statsBefore = stats().size();
    recorder->received.clear();

    // From another thread the call is handed to the main thread.
    std::thread([] { quelmar::DismissAllQuelmarInAppNotifications(); }).join();
    env.host.runUntilIdle();
    EXPECT_FALSE(onWindow->superview());
    EXPECT_FALSE(onScreen->superview());
    EXPECT_FALSE(survey.panel->superview());
    EXPECT_FALSE(survey.backdrop->superview());
    const auto loads = env.host.webEngine().page(surveyPage).loads;
    EXPECT_TRUE(loads.back().html && loads.back().htmlText.empty()) << "the survey's page is emptied";
    EXPECT_FALSE(inapp::qmCurrentModalSurvey().panel);
    EXPECT_EQ(stats().size(), statsBefore);
    EXPECT_EQ(inAppCallbackCount(), 0u);
    EXPECT_FALSE(QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_ClosedNIDConditions", QMStore::Library))
        << "no close recorded";

    // Nothing to dismiss: nothing happens.
    quelmar::DismissAllQuelmarInAppNotifications();
    env.host.runUntilIdle();
}

TEST(InAppCallbackRecords, KeepTheirShapeAndDropWhatIsNotText) {
    testkit::TestHost host;
    auto recorder = std::make_shared<testkit::RecordingDelegate>();
    quelmar::sharedInstance().delegate = recorder;
    auto engine = std::make_shared<qmInternalProcessClass>();

    // Without a status code the type is 15; empty attributes are left out.
    engine->qmCallBackDataForInAppBannerWithEventName("Banner Clicked", "InApp Banner clicked", Value::dictionary(),
                                                      Value(), "banner");
    // No event name or no message: nothing at all.
    engine->qmCallBackDataForInAppBannerWithEventName(Value(), "InApp Banner clicked", Value(), Value(15), "banner");
    engine->qmCallBackDataForInAppBannerWithEventName("Banner Clicked", Value::null(), Value(), Value(15), "banner");
    engine->qmCallBackDataForInAppBannerWithEventName("", "InApp Banner clicked", Value(), Value(15), "banner");
    host.runUntilIdle();
    ASSERT_EQ(recorder->received.size(), 1u);
    EXPECT_EQ(recorder->received[0], (Value{{"status", "success"},
                                            {"eventName", "Banner Clicked"},
                                            {"message", "InApp Banner clicked"},
                                            {"type", 15},
                                            {"callbackType", "banner"}}));

    // Call-to-action data: no "actionURL" when there is none, an empty parameter dictionary
    // when the parameters are not one; nothing at all without a valid id.
    using Engine = qmInternalProcessClass;
    EXPECT_EQ(Engine::qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID("31", true, 2, 3, Value(),
                                                                                            Value("x")),
              (Value{{"notification_id", "31"}, {"callToAction", 2}, {"target", 3}, {"action_params", Value::dictionary()}}));
    EXPECT_EQ(Engine::qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID("31", false, 2, 3, "u",
                                                                                            Value::dictionary()),
              (Value{{"notification_id", "31"}}));
    EXPECT_FALSE(Engine::qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID(Value(), true, 1, 1, "u",
                                                                                               Value()));
    EXPECT_FALSE(Engine::qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID("", true, 1, 1, "u",
                                                                                               Value()));
    quelmar::sharedInstance().delegate.reset();
}

TEST_F(InAppStatistics, AClickIsReportedAfterItsViewClosedAndTheAppWentToTheBackground) {
    auto popup = showOn("ModalViewController");
    ASSERT_TRUE(popup);
    ASSERT_TRUE(waitForStats(1));
    // The button closes the campaign; the app leaves the screen right after the tap, before
    // the report could be sent.
    popup->qmInAppPopupFirstCtaBtnAction();
    Application::shared().setApplicationState(ApplicationState::Background);
    popup.reset();
    // The report is sent before the host hears of the click; wait for both.
    ASSERT_TRUE(env.host.runUntil([&] { return stats().size() >= 2 && !callbacks("Banner Clicked").empty(); }));
    EXPECT_FALSE(popupView());
    EXPECT_EQ(stats()[1].fields["notificationID"], Value("8003"));
    EXPECT_EQ(stats()[1].fields["action"], Value("uniqueClick"));
    EXPECT_EQ(callbacks("Banner Clicked").size(), 1u);
    Application::shared().setApplicationState(ApplicationState::Active);
}
