// What campaign pages post: decoding of outside input, the shared effects (survey callbacks,
// web pages, apps, calls, app screens), and each receiver's own messages (resize, stop showing
// again) in a popup and in the survey in a modal. Scripted web engine, test clock.
#include <gtest/gtest.h>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppScriptBridge.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/view.hpp"
#include "qmweb/web_view.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"
#include "unit/engine_test_access.hpp"

using namespace qm;
using namespace qm::platform;
using qm::testkit::TextMatch;

namespace {

class Recorder : public quelmarDelegate {
public:
    void quelmarEventsResponseCallback(const Value& v) override {
        if (v["callbackType"] == Value("banner") || v["callbackType"] == Value("survey")) received.push_back(v);
    }
    std::vector<Value> received;
};

ScriptMessage message(std::string name, Value body) { return ScriptMessage{std::move(name), std::move(body), {}}; }

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        Screen::main().setBoundsSize({400, 800});
        host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value(200));
        host.webEngine().onEvaluate(TextMatch::contains("innerHTML"), Value("<form>Rate us</form>"));
        host.webEngine().onEvaluate(TextMatch::contains("offsetHeight"), Value(300));
        quelmar::sharedInstance().delegate = recorder;
        quelmar::Initialize("live");
        qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
        routed = NotificationCenter::defaultCenter().addObserver(
            "QMInAppViewConroller", [this](const Notification& n) { screens.push_back(n.userInfo); });
        QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(Value{
            {"Authentication", "success"},
            {"notifications",
             Value::array({Value{{"notificationID", "31"}, {"template", 3}, {"description", "<p>Sale</p>"},
                                 {"pageUrls", Value::array({"PopupVC"})}, {"noOfTimesPerUser", 9}, {"noOfTimesPerAL", 9},
                                 {"repeat_click", 2}, {"close_btn", 5000}},
                           Value{{"notificationID", "41"}, {"template", 101}, {"pageUrls", Value::array({"SurveyVC"})},
                                 {"noOfTimesPerUser", 9}, {"noOfTimesPerAL", 9}, {"height", 50}}})}});
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(routed);
        inapp::qmDismissModalSurvey();
        host.runUntilIdle();
        if (window) Application::shared().removeWindow(window);
        Screen::main().reset();
    }
    void showOn(const std::string& screen) {
        if (window) Application::shared().removeWindow(window);
        window = std::make_shared<Window>();
        window->setRootViewController(std::make_shared<ViewController>(screen));
        window->makeKeyAndVisible();
        root = viewOf(*window);
        quelmar::Show(Value::dictionary(), Value::dictionary());
        host.runUntilIdle();
        host.advance(2);
        host.runUntilIdle();
    }
    std::shared_ptr<qmInAppPopupView> popupView() const {
        for (const auto& view : root->subviews()) {
            if (auto popup = std::dynamic_pointer_cast<qmInAppPopupView>(view)) return popup;
        }
        return nullptr;
    }
    // The page posts NAME with BODY (as its script would) and the main run loop handles it.
    void post(const std::string& name, const Value& body) {
        EXPECT_TRUE(host.webEngine().postMessage(name, body)) << name;
        host.runUntilIdle();
    }
    std::size_t opened() const { return Application::shared().openedURLs().size(); }

    testkit::TestHost host;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::vector<Value> screens;
    NotificationCenter::Token routed = 0;
    std::shared_ptr<Window> window;
    std::shared_ptr<View> root;
};

}  // namespace

TEST(ScriptMessages, BodiesAreDecodedAsOutsideInput) {
    testkit::TestHost host;
    EXPECT_FALSE(inapp::qmDecodeScriptMessage(message("", Value("{}"))));
    auto submit = inapp::qmDecodeScriptMessage(message("surveySubmit", Value(R"({"q1":"yes","tokens":"{\"name\":\"Ann\"}"})")));
    ASSERT_TRUE(submit);
    EXPECT_EQ(submit->body["q1"], Value("yes"));
    EXPECT_EQ(submit->body["tokens"]["name"], Value("Ann")) << "the tokens' JSON text is read too";
    auto plain = inapp::qmDecodeScriptMessage(message("surveyAttempt", Value(R"({"tokens":"[]","a":1})")));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->body["tokens"], Value("[]"));
    auto broken = inapp::qmDecodeScriptMessage(message("qmStopShowAgain", Value(R"({"tokens":"{not json","notificationID")")));
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->body.count(), 0u) << "a body that is not JSON decodes to nothing";
    auto object = inapp::qmDecodeScriptMessage(message("qmStopShowAgain", Value{{"notificationID", "31"}}));
    ASSERT_TRUE(object);
    EXPECT_EQ(object->body["notificationID"], Value("31")) << "an object posted as such is taken as it is";
    EXPECT_FALSE(inapp::qmDecodeScriptMessage(message("qmOpenWeb", Value(std::string(inapp::kMaxScriptMessageBody + 1, 'a')))));

    EXPECT_TRUE(inapp::validateUrl(Value("https://www.example.com/sale?code=A1&x=%20")));
    EXPECT_TRUE(inapp::validateUrl(Value("example.com")));
    EXPECT_TRUE(inapp::validateUrl(Value("http://shop.example.co.uk/a/b")));
    EXPECT_FALSE(inapp::validateUrl(Value("https://localhost/path"))) << "no dot after the host part";
    EXPECT_FALSE(inapp::validateUrl(Value("ftp://example.com")));
    EXPECT_FALSE(inapp::validateUrl(Value("javascript:alert(1)")));
    EXPECT_FALSE(inapp::validateUrl(Value("https://example.com/a b")));
    EXPECT_FALSE(inapp::validateUrl(Value(std::string(5000, 'a') + ".com")));
}

TEST_F(Bridge, APopupsPageOpensScreensPagesAppsAndCallsAndReportsSurveySteps) {
    showOn("PopupVC");
    auto popup = popupView();
    ASSERT_TRUE(popup);

    post("qmOpenInApp", Value("qminapp://Offers?id=7&src=banner"));
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0]["ViewControllerToLoad"], Value("Offers"));
    EXPECT_EQ(screens[0]["parameters"], (Value{{"id", "7"}, {"src", "banner"}}));
    EXPECT_EQ(screens[0]["callToAction"], Value(3));
    post("qmOpenInApp", Value("qminapp://Offers?flag"));
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[1]["parameters"].count(), 0u);
    post("qmOpenInApp", Value("https://Offers"));
    EXPECT_EQ(screens.size(), 2u) << "only qminapp:// opens a screen";

    Application::shared().registerURLScheme("telprompt");
    Application::shared().registerURLScheme("shopapp");
    const std::size_t before = opened();
    post("qmOpenWeb", Value("not a url"));
    post("qmOpenWeb", Value(""));
    EXPECT_EQ(opened(), before);
    post("qmOpenWeb", Value("https://www.example.com/new"));
    post("qmInAppCall", Value("5551234"));
    post("qmOpenThirdPartyApp", Value("shopapp://cart"));
    const auto urls = Application::shared().openedURLs();
    ASSERT_EQ(urls.size(), before + 3);
    EXPECT_EQ(urls[before], "https://www.example.com/new");
    EXPECT_EQ(urls[before + 1], "telprompt:5551234");
    EXPECT_EQ(urls[before + 2], "shopapp://cart");

    post("surveySubmit", Value(R"({"q1":"yes","tokens":"{\"name\":\"Ann\"}"})"));
    post("surveyAttempt", Value("no json"));
    ASSERT_EQ(recorder->received.size(), 3u) << "the display's impression, then the two survey steps";
    const Value& submitted = recorder->received[1];
    EXPECT_EQ(submitted["eventName"], Value("Survey Submit"));
    EXPECT_EQ(submitted["type"], Value(14.1));
    EXPECT_EQ(submitted["callbackType"], Value("survey"));
    EXPECT_EQ(submitted["attributes"], (Value{{"q1", "yes"}, {"tokens", Value{{"name", "Ann"}}}}));
    EXPECT_EQ(recorder->received[2]["eventName"], Value("Survey Attempt"));
    EXPECT_FALSE(recorder->received[2].contains("attributes"));

    // A popup's page cannot resize it; "stop showing again" records the click and closes it.
    host.clearLog();
    post("qmResizeWebView", Value(R"({"notificationID":"31"})"));
    EXPECT_TRUE(host.logContains("unable to resize due to an invalid webview"));
    EXPECT_TRUE(popup->superview());
    post("qmStopShowAgain", Value(R"({"notificationID":"31"})"));
    EXPECT_FALSE(popup->superview());
    EXPECT_TRUE(QMSDKUserDefaultsData::sharedInstance()
                    .qmObjectForKey("qm_ClosedNIDConditions", QMStore::Library)
                    .contains("31"))
        << "hidden for its repeat_click days";
    ASSERT_EQ(recorder->received.size(), 4u);
    EXPECT_EQ(recorder->received[3]["eventName"], Value("Banner Clicked"));
    EXPECT_EQ(recorder->received[3]["type"], Value(15.1));

    // The closed campaign's page is not listened to any more.
    const std::size_t afterClose = opened();
    post("qmInAppCall", Value("5551234"));
    EXPECT_EQ(opened(), afterClose);
}

TEST_F(Bridge, TheSurveysPageResizesItAndStopsItOnlyWithItsOwnId) {
    showOn("SurveyVC");
    const auto survey = inapp::qmCurrentModalSurvey();
    ASSERT_TRUE(survey.panel);
    const Rect before = survey.panel->frame();
    const Point centre = survey.panel->center();

    host.clearLog();
    post("qmResizeWebView", Value(R"({"notificationID":"42"})"));
    EXPECT_TRUE(host.logContains("unable to resize due to an invalid or not current webview"));
    post("qmResizeWebView", Value("{}"));
    EXPECT_TRUE(host.logContains("Modal Survey is unable to resize due to missing required parameters."));
    EXPECT_EQ(survey.panel->frame(), before);

    post("qmResizeWebView", Value(R"({"notificationID":"41"})"));
    host.advance(1);
    host.runUntilIdle();
    EXPECT_DOUBLE_EQ(survey.panel->frame().height, 300 + 40) << "the page's height and the bottom margin";
    EXPECT_DOUBLE_EQ(survey.webView->frame().height, 340);
    EXPECT_NEAR(survey.panel->center().y, centre.y, 0.01) << "around its centre";

    post("qmStopShowAgain", Value(R"({"notificationID":"42"})"));
    EXPECT_TRUE(host.logContains("unable to close due to an invalid or not current webview"));
    EXPECT_TRUE(survey.panel->superview()) << "another campaign's id leaves the survey open";
    const std::size_t callbacks = recorder->received.size();
    post("qmStopShowAgain", Value(R"({"notificationID":"41"})"));
    EXPECT_FALSE(survey.panel->superview());
    EXPECT_FALSE(survey.backdrop->superview());
    ASSERT_EQ(recorder->received.size(), callbacks + 1);
    EXPECT_EQ(recorder->received.back()["eventName"], Value("Banner Clicked"));
    EXPECT_EQ(recorder->received.back()["type"], Value(15.1));
}
