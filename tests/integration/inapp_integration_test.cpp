// In-app campaigns from the local service's settings to the key window: one campaign of each
// template, each on its own screen, placed by its builder's constraints on the default
// 390 × 844 screen; taps that close or route; the per-launch and per-day limits.
#include <gtest/gtest.h>

#include <cmath>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "library_fixture.hpp"
#include "qmmedia/media.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/image.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/button.hpp"
#include "qmui/gesture.hpp"
#include "qmui/picture.hpp"
#include "qmui/view.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;
using namespace qm::platform;

namespace {

// The page height every campaign page reports (the view adds 12).
constexpr double kPageHeight = 120;

class InAppOnScreen : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(env.service->useFixtureSet("templates")) << env.service->lastError();
        ImageCodec::setCurrent(media::imageCodec());
        env.host.webEngine().onEvaluate(testkit::TextMatch::contains("scrollHeight"), Value(kPageHeight));
        quelmar::Initialize("live");
        ASSERT_TRUE(env.waitForSettings());
        ASSERT_EQ(QMSDKDataStore::sharedInstance()->read_qm_notifications_bID_Data()["notifications"].count(), 11u);
    }
    void TearDown() override {
        if (window) Application::shared().removeWindow(window);
        ImageCodec::setCurrent(nullptr);
    }

    // Puts the screen NAME in a new key window, asks for a campaign and waits until the one
    // chosen (if any) has its content and has entered. The campaign view on screen, if any.
    std::shared_ptr<View> showOn(const std::string& screen) {
        if (window) Application::shared().removeWindow(window);
        window = std::make_shared<Window>();
        window->setRootViewController(std::make_shared<ViewController>(screen));
        window->makeKeyAndVisible();
        root = viewOf(*window);
        quelmar::Show(Value::dictionary(), Value::dictionary());
        env.host.runUntilIdle();
        // Image campaigns download their picture from the service (real time).
        env.host.runUntil([this] {
            auto popup = popupView();
            return !popup || popup->qmInAppPopupImageView || !popup->qmInAppPopupViewImageUrl || !popup->superview();
        }, 20);
        env.host.advance(2);  // entrance animations and close buttons at once ("close_btn" 5000)
        env.host.runUntilIdle();
        root->layoutIfNeeded();
        // Anything above the screen's own view is the campaign.
        const auto subviews = root->subviews();
        return subviews.size() < 2 ? nullptr : subviews.back();
    }
    std::shared_ptr<qmInAppPopupView> popupView() const {
        if (!root) return nullptr;
        for (const auto& view : root->subviews()) {
            if (auto popup = std::dynamic_pointer_cast<qmInAppPopupView>(view)) return popup;
        }
        return nullptr;
    }
    Rect frameInWindow(const std::shared_ptr<View>& view) const { return view->convertRectTo(view->bounds(), root.get()); }
    bool tapOn(const std::shared_ptr<View>& view) {
        const Rect r = frameInWindow(view);
        const bool tapped = tap(*root, {r.x + r.width / 2, r.y + r.height / 2});
        env.host.runUntilIdle();
        return tapped;
    }

    testkit::ServiceHost env;
    std::shared_ptr<Window> window;
    std::shared_ptr<View> root;
};

}  // namespace

TEST_F(InAppOnScreen, EveryTemplateTakesItsPlaceOverTheKeyWindow) {
    const double W = 390, H = 844;
    ASSERT_EQ(Screen::main().bounds(), (Rect{0, 0, W, H}));
    const double page = kPageHeight + 12;

    struct Case {
        const char* screen;
        long id;
    };
    for (const Case& c : {Case{"AlertViewController", 8001}, Case{"ConfirmViewController", 8002},
                          Case{"ModalViewController", 8003}, Case{"FullViewController", 8004},
                          Case{"ModalImageViewController", 8007}, Case{"FullImageViewController", 8008},
                          Case{"FullSurveyViewController", 8102}}) {
        SCOPED_TRACE(c.screen);
        auto shown = showOn(c.screen);
        auto popup = popupView();
        ASSERT_TRUE(popup);
        ASSERT_EQ(shown, popup) << "the campaign is the top-most view";
        EXPECT_EQ(popup->frame(), (Rect{0, 0, W, H})) << "pinned to every edge of the window";
        auto container = popup->qmInAppPopupContainerView;
        ASSERT_TRUE(container);
        EXPECT_EQ(container->tag(), c.id);
        const Rect panel = container->frame();
        switch (c.id) {
        case 8001:
        case 8002:
        case 8003:
            EXPECT_EQ(panel, (Rect{(W - 0.9 * W) / 2, (H - page) / 2, 0.9 * W, page})) << "centred, 90 % wide";
            break;
        case 8004:
        case 8102:
            EXPECT_EQ(panel, (Rect{0, 0, W, H})) << "the whole screen";
            break;
        case 8007: {
            ASSERT_TRUE(popup->qmInAppPopupImageView);
            const Size picture = popup->qmInAppPopupImageView->frame().size();
            EXPECT_GT(picture.width, 0);
            EXPECT_EQ(panel.size(), picture) << "the panel is the picture";
            EXPECT_DOUBLE_EQ(panel.x + panel.width / 2, W / 2);
            EXPECT_DOUBLE_EQ(panel.y + panel.height / 2, H / 2);
            break;
        }
        case 8008:
            ASSERT_TRUE(popup->qmInAppPopupImageView);
            EXPECT_EQ(panel, (Rect{0, 0, W, H}));
            EXPECT_EQ(popup->qmInAppPopupImageView->frame().width, W);
            break;
        }
        // Alerts and confirmations close only through their buttons; the others show the
        // close button at once ("close_btn" 5000) in their corner.
        auto close = popup->qmInAppPopupCloseBtn;
        if (c.id == 8001 || c.id == 8002) {
            EXPECT_TRUE(!close || close->isHidden() || !close->superview());
        } else {
            ASSERT_TRUE(close);
            EXPECT_FALSE(close->isHidden());
            const Rect at = close->frame();
            const bool full = c.id == 8004 || c.id == 8008 || c.id == 8102;
            EXPECT_EQ(at.y, full ? 50 : 3);
            EXPECT_EQ(at.x + at.width, panel.width - (full ? 15 : 3));
            EXPECT_TRUE(tapOn(close));
            EXPECT_FALSE(popup->superview()) << "the close button closes the campaign";
        }
        if (c.id == 8102) {
            EXPECT_TRUE(popup->qmInAppPopupWebView->URL().starts_with("https://mobile.quelmar.io/user/survey/modal?"))
                << popup->qmInAppPopupWebView->URL();
        }
    }

    // Sticky bars span the width on their safe-area edge: 8005 at the bottom, 8006 at the top.
    const EdgeInsets insets = Screen::main().safeAreaInsets();
    auto bottom = showOn("StickyViewController");
    auto bar = popupView();
    ASSERT_TRUE(bar);
    EXPECT_EQ(bar->frame(), (Rect{0, H - insets.bottom - page, W, page}));
    EXPECT_EQ(bar->qmInAppPopupContainerView->frame(), (Rect{0, 0, W, page}));
    auto top = showOn("StickyImageViewController");
    bar = popupView();
    ASSERT_TRUE(bar);
    ASSERT_TRUE(bar->qmInAppPopupImageView);
    EXPECT_EQ(bar->frame().y, insets.top);
    EXPECT_EQ(bar->frame().width, W);
    EXPECT_EQ(bar->qmInAppPopupImageView->frame().width, W);
    EXPECT_EQ(bar->frame().height, bar->qmInAppPopupImageView->frame().height);

    // The survey in a modal: a panel 80 % wide and "height" 50 % high, centred over a dimmed
    // backdrop; it loads the service's survey page; its close button takes both away.
    auto survey = showOn("SurveyViewController");
    const auto modal = inapp::qmCurrentModalSurvey();
    ASSERT_TRUE(modal.panel);
    ASSERT_EQ(survey, modal.panel) << "the panel is the top-most view";
    EXPECT_EQ(modal.panel->frame(), (Rect{W / 10, (H - H / 2) / 2, W * 8 / 10, H / 2}));
    EXPECT_EQ(modal.backdrop->frame(), (Rect{0, 0, W, H}));
    EXPECT_EQ(modal.panel->tag(), 8101);
    EXPECT_TRUE(modal.webView->URL().starts_with("https://mobile.quelmar.io/user/survey/modal?")) << modal.webView->URL();
    std::shared_ptr<View> surveyClose;
    for (const auto& view : modal.panel->subviews()) {
        if (std::dynamic_pointer_cast<Button>(view)) surveyClose = view;
    }
    ASSERT_TRUE(surveyClose);
    EXPECT_EQ(surveyClose->frame(), (Rect{W * 8 / 10 - 25, 0, 25, 25}));
    EXPECT_TRUE(tapOn(surveyClose));
    EXPECT_FALSE(modal.panel->superview());
    EXPECT_FALSE(modal.backdrop->superview());

    // A screen without a campaign of its own shows nothing.
    EXPECT_FALSE(showOn("HomeViewController"));
}

TEST_F(InAppOnScreen, ButtonsRouteAndTheLimitsHoldAcrossLaunchesAndDays) {
    std::vector<Value> routed;
    auto token = NotificationCenter::defaultCenter().addObserver(
        "QMInAppViewConroller", [&routed](const Notification& n) { routed.push_back(n.userInfo); });

    // The alert's button routes to its screen with the campaign's parameters.
    ASSERT_TRUE(showOn("AlertViewController"));
    auto alert = popupView();
    ASSERT_TRUE(alert && alert->qmInAppPopupFirstCtaBtn);
    EXPECT_EQ(alert->qmInAppPopupFirstCtaBtn->currentTitle(), std::optional<std::string>("View offers"));
    EXPECT_TRUE(tapOn(alert->qmInAppPopupFirstCtaBtn));
    EXPECT_FALSE(alert->superview());
    ASSERT_EQ(routed.size(), 1u);
    EXPECT_EQ(routed[0]["ViewControllerToLoad"], Value("OffersViewController"));
    EXPECT_EQ(routed[0]["parameters"]["source"], Value("alert"));

    // The modal popup shows once per launch; the next launch shows it again.
    ASSERT_TRUE(popupView() == nullptr);
    ASSERT_TRUE(showOn("ModalViewController"));
    popupView()->qmInAppPopupViewCloseNow();
    EXPECT_FALSE(showOn("ModalViewController")) << "once per launch";
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil([] { return QMRuntime::shared().qmInternalProcess()->fetchBrandSettingsComplete(); }));
    auto again = showOn("ModalViewController");
    ASSERT_TRUE(again);
    EXPECT_EQ(popupView()->qmInAppPopupNotificationID, "8003");
    popupView()->qmInAppPopupViewCloseNow();

    // The full-screen popup shows once a day: not again today, again tomorrow.
    ASSERT_TRUE(showOn("FullViewController"));
    popupView()->qmInAppPopupViewCloseNow();
    EXPECT_FALSE(showOn("FullViewController")) << "once a day";
    env.host.advance(86400);
    ASSERT_TRUE(showOn("FullViewController")) << "the next day";
    EXPECT_EQ(QMSDKUserDefaultsData::sharedInstance().qmIntegerForKey("qm_LaunchedNID8004", QMStore::Library), 2)
        << "one tracked display today";
    NotificationCenter::defaultCenter().removeObserver(token);
}

// The close button's picture: the service's default is downloaded at start and cached; a
// later launch whose download fails keeps the cached one; an app that names a picture of its
// own bundle in its appearance file gets that one instead.
TEST(CloseButtonPicture, ComesFromTheServiceTheCacheOrTheAppsBundle) {
    testkit::ServiceHost env;
    ImageCodec::setCurrent(media::imageCodec());
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil([] { return inapp::qmCloseButtonImage() != nullptr; }));
    ASSERT_TRUE(env.waitForRequests("close.png", 1));
    EXPECT_EQ(env.service->requestsFor("close.png")[0].host, "mobile.quelmar.io");
    const Size served = inapp::qmCloseButtonImage()->size();
    ASSERT_TRUE(env.host.runUntil([] {
        return QMRuntime::shared().qmStoreData()->cachedDataWithName("qmCloseButtonData").has_value();
    }));

    // The next launch cannot download it: the cached copy stands in.
    inapp::qmSetCloseButtonImage(nullptr);
    env.service->setFault("close.png", service::Fault{service::FaultKind::ServerError});
    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForRequests("close.png", 2));
    ASSERT_TRUE(env.host.runUntil([] { return inapp::qmCloseButtonImage() != nullptr; }));
    EXPECT_EQ(inapp::qmCloseButtonImage()->size(), served);

    // The app's own picture, named in its appearance file, wins without a download.
    Bitmap square(5, 5, 0xffff0000u);
    ASSERT_TRUE(writePNG(square, env.host.bundleDir() + "/closeX.png"));
    auto appearance = plist::write(Value{{"qmStrings", Value{{"qmCloseButtonImageResource", "closeX"}}}});
    ASSERT_TRUE(appearance);
    ASSERT_TRUE(Files::writeFileAtomically(env.host.bundleDir() + "/qmResourceValues.plist", *appearance));
    inapp::qmSetCloseButtonImage(nullptr);
    env.service->clearFaults();
    quelmar::Initialize("live");
    ASSERT_TRUE(env.host.runUntil([] {
        auto image = inapp::qmCloseButtonImage();
        return image && image->size() == Size{5, 5};
    }));
    env.host.runUntilIdle();
    EXPECT_EQ(env.service->requestsFor("close.png").size(), 2u) << "no download for the app's own picture";
    ImageCodec::setCurrent(nullptr);
}
