// The in-app popup view on the default 390 × 844 screen: frames worked out by hand from the
// panel's rules, buttons, close button, measured page height, image sizes, taps and link
// handling, with the scripted web engine and the test clock.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/QMRuntime.hpp"
#include "inapp/qmInAppCloseButton.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/screen.hpp"
#include "qmui/gesture.hpp"
#include "qmui/layout_constraint.hpp"
#include "recording_transport.hpp"
#include "test_host.hpp"

using namespace qm;
using namespace qm::platform;
using qm::testkit::TestHost;
using qm::testkit::TextMatch;

namespace {

constexpr double kW = 390, kH = 844;

// How a builder places the popup over the window: filling it, or as a bar under the top
// safe area ("top") or over the bottom one ("bottom").
enum class Placement { Fill, Top, Bottom };

struct Stage {
    std::shared_ptr<View> root = View::create({0, 0, kW, kH});
    std::shared_ptr<qmInAppPopupView> popup = qmInAppPopupView::create();

    explicit Stage(Placement placement = Placement::Fill) {
        popup->setTranslatesAutoresizingMaskIntoConstraints(false);
        root->addSubview(popup);
        std::map<std::string, std::shared_ptr<View>, std::less<>> views{{"p", popup}};
        auto add = [&](const char* format) {
            LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat(format, 0, {}, views));
        };
        add("H:|-0-[p]-0-|");
        if (placement == Placement::Fill) add("V:|-0-[p]-0-|");
        if (placement == Placement::Top) add("V:|-47-[p]");
        if (placement == Placement::Bottom) add("V:[p]-34-|");
        popup->qmInAppPopupNotificationID = "77";
    }
    // Sets up, lets the page load and be measured, and lets the entrance finish.
    void show(TestHost& host) {
        popup->qmSetupInAppPopupView();
        host.runUntilIdle();
        host.advance(3);
        host.runUntilIdle();
        root->layoutIfNeeded();
    }
    Rect inRoot(const std::shared_ptr<View>& view) const { return view->convertRectTo(view->bounds(), root.get()); }
    Rect panel() const { return inRoot(popup->qmInAppPopupContainerView); }
};

void expectRect(const Rect& r, double x, double y, double w, double h, const char* what) {
    EXPECT_NEAR(r.x, x, 0.01) << what;
    EXPECT_NEAR(r.y, y, 0.01) << what;
    EXPECT_NEAR(r.width, w, 0.01) << what;
    EXPECT_NEAR(r.height, h, 0.01) << what;
}

struct Recorder : qmInAppPopupViewDelegate {
    std::vector<std::string> calls;
    std::weak_ptr<qmInAppPopupView> view;
    bool viewStillShown = false;
    void note(const std::string& what, const std::string& id, long dismiss) {
        calls.push_back(what + " " + id + " " + std::to_string(dismiss));
        if (auto v = view.lock(); v && v->superview()) viewStillShown = true;
    }
    void qmInAppPopupFirstCTAButtonAction(const std::string& id, long dismiss) override { note("first", id, dismiss); }
    void qmInAppPopupSecondCTAButtonAction(const std::string& id, long dismiss) override { note("second", id, dismiss); }
    void qmInAppPopupImageViewAction(const std::string& id, long dismiss) override { note("image", id, dismiss); }
};

Point centreOf(const Rect& r) { return {r.x + r.width / 2, r.y + r.height / 2}; }

}  // namespace

TEST(InAppPopupView, PanelsOfModalFullScreenAndStickyTemplatesFollowTheirPages) {
    TestHost host;
    host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value(300));

    // Modal (3): 0.9 × 390 wide, page 300 + 12 high, centred; close button top right, 3 in.
    Stage modal;
    modal.popup->qmInAppPopupTemplateID = 3;
    modal.show(host);
    expectRect(modal.panel(), 19.5, (kH - 312) / 2, 351, 312, "modal panel");
    expectRect(modal.inRoot(modal.popup->qmInAppPopupWebView), 19.5, 266, 351, 312, "modal page");
    EXPECT_FLOAT_EQ(modal.popup->qmInAppPopupWebViewHeight, 312);
    EXPECT_EQ(modal.popup->qmInAppPopupContainerView->cornerRadius(), 5);
    EXPECT_EQ(modal.popup->qmInAppPopupContainerView->tag(), 77);
    EXPECT_TRUE(modal.popup->qmInAppPopupContentLoaded);
    ASSERT_TRUE(modal.popup->qmInAppPopupCloseBtn);
    expectRect(modal.inRoot(modal.popup->qmInAppPopupCloseBtn), 19.5 + 351 - 3 - 20, 269, 20, 20, "modal close");
    EXPECT_FALSE(modal.popup->qmInAppPopupCloseBtn->isHidden());
    // The page was told its width.
    const auto scripts = host.webEngine().page(0).scripts();
    EXPECT_NE(std::find(scripts.begin(), scripts.end(),
                        "document.querySelector('meta[name=viewport]').setAttribute('content', 'width=351.000000;', "
                        "false); "),
              scripts.end());

    // Full screen (4): the panel and the page fill the screen; close 50 down, 15 in.
    Stage full;
    full.popup->qmInAppPopupTemplateID = 4;
    full.show(host);
    expectRect(full.panel(), 0, 0, kW, kH, "full-screen panel");
    expectRect(full.inRoot(full.popup->qmInAppPopupWebView), 0, 0, kW, kH, "full-screen page");
    expectRect(full.inRoot(full.popup->qmInAppPopupCloseBtn), kW - 15 - 20, 50, 20, 20, "full-screen close");
    EXPECT_EQ(full.popup->qmInAppPopupContainerView->cornerRadius(), 0);

    // Sticky bar (5) under the top safe area and over the bottom one: as high as the page,
    // the close button as high as the bar.
    Stage top(Placement::Top);
    top.popup->qmInAppPopupTemplateID = 5;
    top.show(host);
    expectRect(top.inRoot(top.popup), 0, 47, kW, 312, "top bar");
    expectRect(top.panel(), 0, 47, kW, 312, "top bar panel");
    expectRect(top.inRoot(top.popup->qmInAppPopupCloseBtn), kW - 3 - 20, 47, 20, 312, "top bar close");
    ASSERT_TRUE(top.popup->qmStickyBarTapView());
    expectRect(top.inRoot(top.popup->qmStickyBarTapView()), 0, 47, kW, 312, "top bar tap view");

    Stage bottom(Placement::Bottom);
    bottom.popup->qmInAppPopupTemplateID = 5;
    bottom.popup->qmInAppPopupCloseBtnType = 1;
    bottom.show(host);
    expectRect(bottom.panel(), 0, kH - 34 - 312, kW, 312, "bottom bar panel");
    expectRect(bottom.inRoot(bottom.popup->qmInAppPopupCloseBtn), 0, kH - 34 - 312, 20, 312, "bottom bar close (left)");
}

TEST(InAppPopupView, PageHeightIsMeasuredAndCappedAtFourFifthsOfTheScreen) {
    TestHost host;
    host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value("2000"));
    Stage stage;
    stage.popup->qmInAppPopupTemplateID = 3;
    stage.popup->qmSetupInAppPopupView();
    EXPECT_EQ(stage.popup->qmInAppPopupWebViewContentHeight->constant(), 0) << "nothing before the page loaded";
    EXPECT_EQ(host.webEngine().page(0).loads.at(0).htmlText, "");
    stage.show(host);
    EXPECT_FLOAT_EQ(stage.popup->qmInAppPopupWebViewHeight, 2012);
    expectRect(stage.panel(), 19.5, (kH - 0.8 * kH) / 2, 351, 0.8 * kH, "capped panel");

    // A page that answers nothing measures as the margin alone.
    Stage blank;
    blank.popup->qmInAppPopupTemplateID = 3;
    host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value());
    blank.show(host);
    EXPECT_FLOAT_EQ(blank.popup->qmInAppPopupWebViewHeight, 12);
    EXPECT_NEAR(blank.panel().height, 12, 0.01);
}

TEST(InAppPopupView, CallToActionLayoutsPlaceAndStyleTheButtons) {
    TestHost host;
    host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value(300));
    // Panel 351 × 312 at (19.5, 266).
    auto make = [&](long condition, long layout) {
        auto stage = std::make_unique<Stage>();
        auto& p = *stage->popup;
        p.qmInAppPopupTemplateID = 3;
        p.qmInAppPopupCtaShowCondition = condition;
        p.qmInAppPopupCtaBtnTemplateID = layout;
        p.qmInAppPopupFirstCtaBtnTitleText = "Shop";
        p.qmInAppPopupSecondCtaBtnTitleText = "Later";
        p.qmInAppPopupCtaBtnTextColor = Color::redColor();
        p.qmInAppPopupCtaBtnBgColor = Color::blueColor();
        stage->show(host);
        return stage;
    };
    const double px = 19.5, py = 266, pw = 351, ph = 312;

    auto flush = make(3, 0);
    expectRect(flush->inRoot(flush->popup->qmInAppPopupFirstCtaBtn), px - 0.5, py + ph - 40, pw / 2, 40, "L0 first");
    expectRect(flush->inRoot(flush->popup->qmInAppPopupSecondCtaBtn), px + pw / 2 + 0.5, py + ph - 40, pw / 2 - 0.5, 40,
               "L0 second");
    EXPECT_EQ(flush->popup->qmInAppPopupFirstCtaBtn->cornerRadius(), 0);
    EXPECT_EQ(flush->popup->qmInAppPopupFirstCtaBtn->currentTitle(), "Shop");
    EXPECT_EQ(flush->popup->qmInAppPopupFirstCtaBtn->currentTitleColor(), Color::redColor());
    EXPECT_EQ(flush->popup->qmInAppPopupFirstCtaBtn->backgroundColor(), Color::blueColor());
    EXPECT_EQ(flush->popup->qmInAppPopupFirstCtaBtn->tag(), 77);

    // Narrow: 0.38 wide, centres at 0.54 and 1.46 × the panel's centre, 25 above its bottom.
    auto narrow = make(3, 2);
    const double nw = 0.38 * pw;
    expectRect(narrow->inRoot(narrow->popup->qmInAppPopupFirstCtaBtn), px + 0.54 * pw / 2 - nw / 2, py + ph - 25 - 40, nw,
               40, "L2 first");
    expectRect(narrow->inRoot(narrow->popup->qmInAppPopupSecondCtaBtn), px + 1.46 * pw / 2 - nw / 2, py + ph - 25 - 40,
               nw, 40, "L2 second");
    EXPECT_EQ(narrow->popup->qmInAppPopupSecondCtaBtn->cornerRadius(), 20);

    // Stacked: 0.8 wide, the second 30 above the bottom, the first 15 above it.
    auto stacked = make(3, 1);
    expectRect(stacked->inRoot(stacked->popup->qmInAppPopupSecondCtaBtn), px + 0.1 * pw, py + ph - 30 - 40, 0.8 * pw, 40,
               "L1 second");
    expectRect(stacked->inRoot(stacked->popup->qmInAppPopupFirstCtaBtn), px + 0.1 * pw, py + ph - 30 - 40 - 15 - 40,
               0.8 * pw, 40, "L1 first");
    EXPECT_EQ(stacked->popup->qmInAppPopupFirstCtaBtn->cornerRadius(), 5);

    // One button: full width at L 0, half width 30 above the bottom at L 2.
    auto one = make(2, 0);
    EXPECT_FALSE(one->popup->qmInAppPopupSecondCtaBtn);
    expectRect(one->inRoot(one->popup->qmInAppPopupFirstCtaBtn), px, py + ph - 40, pw, 40, "one L0");
    auto oneNarrow = make(1, 2);
    EXPECT_FALSE(oneNarrow->popup->qmInAppPopupFirstCtaBtn);
    expectRect(oneNarrow->inRoot(oneNarrow->popup->qmInAppPopupSecondCtaBtn), px + pw / 4, py + ph - 30 - 40, pw / 2, 40,
               "one L2");

    // L 5 inverts the first button; the second keeps its colours.
    auto inverted = make(3, 5);
    const auto& first = inverted->popup->qmInAppPopupFirstCtaBtn;
    EXPECT_EQ(first->backgroundColor(), Color::redColor());
    EXPECT_EQ(first->currentTitleColor(), Color::blueColor());
    EXPECT_EQ(first->borderColor(), Color::blueColor());
    EXPECT_DOUBLE_EQ(first->borderWidth(), 1.6);
    EXPECT_EQ(inverted->popup->qmInAppPopupSecondCtaBtn->backgroundColor(), Color::blueColor());
    EXPECT_EQ(inverted->popup->qmInAppPopupSecondCtaBtn->borderWidth(), 0);

    // L 3 outlines both in white on clear.
    auto outlined = make(3, 3);
    for (const auto& b : {outlined->popup->qmInAppPopupFirstCtaBtn, outlined->popup->qmInAppPopupSecondCtaBtn}) {
        EXPECT_EQ(b->borderColor(), Color::whiteColor());
        EXPECT_EQ(b->borderWidth(), 2);
        EXPECT_EQ(b->backgroundColor(), Color::clear());
    }

    // A title that is not a valid text makes no button.
    Stage untitled;
    untitled.popup->qmInAppPopupTemplateID = 3;
    untitled.popup->qmInAppPopupCtaShowCondition = 3;
    untitled.popup->qmInAppPopupFirstCtaBtnTitleText = "";
    untitled.show(host);
    EXPECT_FALSE(untitled.popup->qmInAppPopupFirstCtaBtn);
    EXPECT_FALSE(untitled.popup->qmInAppPopupSecondCtaBtn);
}

TEST(InAppPopupView, CloseButtonTypeZeroNeverShowsAndADelayHoldsItBack) {
    TestHost host;
    host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value(300));

    Stage none;
    none.popup->qmInAppPopupTemplateID = 4;
    none.popup->qmInAppPopupCloseBtnType = 0;
    none.show(host);
    host.advance(10);
    host.runUntilIdle();
    ASSERT_TRUE(none.popup->qmInAppPopupCloseBtn);
    EXPECT_TRUE(none.popup->qmInAppPopupCloseBtn->isHidden()) << "type 0 stays hidden after any delay";

    // The campaign's rule: after 4 seconds.
    inapp::qmCheckCrossBtnInPopups(Value(4), Value("78"));
    Stage delayed;
    delayed.popup->qmInAppPopupNotificationID = "78";
    delayed.popup->qmInAppPopupTemplateID = 3;
    delayed.popup->qmSetupInAppPopupView();
    host.runUntilIdle();
    ASSERT_TRUE(delayed.popup->qmInAppPopupCloseBtn);
    EXPECT_TRUE(delayed.popup->qmInAppPopupCloseBtn->isHidden());
    host.advance(3.9);
    host.runUntilIdle();
    EXPECT_TRUE(delayed.popup->qmInAppPopupCloseBtn->isHidden());
    host.advance(0.2);
    host.runUntilIdle();
    EXPECT_FALSE(delayed.popup->qmInAppPopupCloseBtn->isHidden());

    // The campaign's rule "never", and the builder's hide, win over the delay.
    inapp::qmCheckCrossBtnInPopups(Value(0), Value("79"));
    Stage never;
    never.popup->qmInAppPopupNotificationID = "79";
    never.popup->qmInAppPopupTemplateID = 3;
    never.show(host);
    EXPECT_TRUE(never.popup->qmInAppPopupCloseBtn->isHidden());
    Stage hidden;
    hidden.popup->qmInAppPopupTemplateID = 3;
    hidden.popup->qmShouldHideInAppPopupCloseBtn = true;
    hidden.show(host);
    EXPECT_TRUE(hidden.popup->qmInAppPopupCloseBtn->isHidden());

    // Alerts (template 1) get no close button at all.
    Stage alert;
    alert.popup->qmInAppPopupTemplateID = 1;
    alert.show(host);
    EXPECT_FALSE(alert.popup->qmInAppPopupCloseBtn);

    // The close button closes the view.
    ASSERT_TRUE(platform::tap(*delayed.root, centreOf(delayed.inRoot(delayed.popup->qmInAppPopupCloseBtn))));
    EXPECT_FALSE(delayed.popup->superview());
}

TEST(InAppPopupView, TapsCloseTheViewBeforeTheDelegateHearsOfThem) {
    TestHost host;
    host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value(300));
    auto recorder = std::make_shared<Recorder>();

    // A tap on the panel stays; a tap on the backdrop closes without telling anyone.
    Stage backdrop;
    backdrop.popup->qmInAppPopupTemplateID = 3;
    backdrop.popup->delegate = recorder;
    backdrop.show(host);
    platform::tap(*backdrop.root, {200, 400});
    EXPECT_TRUE(backdrop.popup->superview()) << "a tap on the page is not outside";
    platform::tap(*backdrop.root, {5, 5});
    EXPECT_FALSE(backdrop.popup->superview());
    EXPECT_TRUE(recorder->calls.empty());

    // Without tap-outside dismissal the backdrop keeps it.
    Stage kept;
    kept.popup->qmInAppPopupTemplateID = 3;
    kept.popup->qmInAppPopupDismissOnTapOutSide = false;
    kept.show(host);
    platform::tap(*kept.root, {5, 5});
    EXPECT_TRUE(kept.popup->superview());

    // Buttons: the view is gone when the delegate runs, and the only owner may be the tree.
    auto buttons = std::make_unique<Stage>();
    buttons->popup->qmInAppPopupTemplateID = 3;
    buttons->popup->qmInAppPopupCtaShowCondition = 3;
    buttons->popup->qmInAppPopupCtaBtnTemplateID = 0;
    buttons->popup->qmInAppPopupFirstCtaBtnTitleText = "Yes";
    buttons->popup->qmInAppPopupSecondCtaBtnTitleText = "No";
    buttons->popup->qmInAppPopupDismissIntValue = 0;
    buttons->popup->delegate = recorder;
    recorder->view = buttons->popup;
    buttons->show(host);
    const Point second = centreOf(buttons->inRoot(buttons->popup->qmInAppPopupSecondCtaBtn));
    auto root = buttons->root;
    buttons->popup.reset();
    ASSERT_TRUE(platform::tap(*root, second));
    ASSERT_EQ(recorder->calls.size(), 1u);
    EXPECT_EQ(recorder->calls[0], "second 77 0");
    EXPECT_FALSE(recorder->viewStillShown);
    EXPECT_TRUE(root->subviews().empty());

    Stage firstButton;
    firstButton.popup->qmInAppPopupTemplateID = 3;
    firstButton.popup->qmInAppPopupCtaShowCondition = 2;
    firstButton.popup->qmInAppPopupFirstCtaBtnTitleText = "Yes";
    firstButton.popup->delegate = recorder;
    recorder->view = firstButton.popup;
    firstButton.show(host);
    ASSERT_TRUE(platform::tap(*firstButton.root, centreOf(firstButton.inRoot(firstButton.popup->qmInAppPopupFirstCtaBtn))));
    EXPECT_EQ(recorder->calls.back(), "first 77 1");

    // The sticky bar's tap is the first button's.
    Stage bar(Placement::Top);
    bar.popup->qmInAppPopupTemplateID = 5;
    bar.popup->delegate = recorder;
    recorder->view = bar.popup;
    bar.show(host);
    ASSERT_TRUE(platform::tap(*bar.root, {100, 60}));
    EXPECT_EQ(recorder->calls.back(), "first 77 1");
    EXPECT_FALSE(bar.popup->superview());
    EXPECT_FALSE(recorder->viewStillShown);
    EXPECT_EQ(recorder->calls.size(), 3u);
}

TEST(InAppPopupView, LinksOpenOutsideAndTheSurveyThankYouPageIsRemembered) {
    TestHost host;
    host.webEngine().onEvaluate(TextMatch::contains("scrollHeight"), Value(300));
    Stage stage;
    stage.popup->qmInAppPopupTemplateID = 3;
    stage.show(host);

    host.webEngine().requestNavigation("https://shop.example.com/offer?x=1");
    host.runUntilIdle();
    auto decisions = host.webEngine().page(0).decisions;
    ASSERT_EQ(decisions.size(), 1u);
    EXPECT_FALSE(decisions[0].allow);
    const auto opened = Application::shared().openedURLs();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], "https://shop.example.com/offer?x=1");

    // Other navigations load in the page.
    host.webEngine().requestNavigation("https://shop.example.com/next", WebNavigationType::Other);
    host.runUntilIdle();
    decisions = host.webEngine().page(0).decisions;
    ASSERT_EQ(decisions.size(), 2u);
    EXPECT_TRUE(decisions[1].allow);
    EXPECT_EQ(Application::shared().openedURLs().size(), 1u);

    // The full-screen survey loads its address with the stored agent, and its thank-you
    // page marks the campaign once.
    Stage survey;
    survey.popup->qmInAppPopupTemplateID = 102;
    survey.popup->qmInAppPopupWebViewHTMLStr = "https://survey.example.com/s/5";
    survey.show(host);
    const auto page = host.webEngine().page(1);
    ASSERT_EQ(page.loads.size(), 1u);
    EXPECT_FALSE(page.loads[0].html);
    EXPECT_EQ(page.loads[0].url, "https://survey.example.com/s/5");
    expectRect(survey.panel(), 0, 0, kW, kH, "survey panel");
    for (int i = 0; i < 2; ++i) {
        host.webEngine().requestNavigation("https://survey.example.com/s/thankYou?notificationid=91",
                                           WebNavigationType::FormSubmitted);
        host.runUntilIdle();
    }
    const Value marked = QMRuntime::shared().container("qmRestictSurveyCrossBtnforSession");
    ASSERT_EQ(marked.count(), 1u);
    EXPECT_EQ(marked[0].description(), "91");
}

namespace {
// Pictures as "IMG <width>x<height>" texts.
class TextCodec : public ImageCodec {
public:
    Decoded decode(std::string_view bytes) override {
        Decoded d;
        int w = 0, h = 0;
        if (std::sscanf(std::string(bytes).c_str(), "IMG %dx%d", &w, &h) == 2 && w > 0 && h > 0 && w <= 4000 &&
            h <= 4000) {
            d.frames.emplace_back(w, h, 0xFF336699u);
            d.delays.push_back(0);
        } else {
            d.error = "not a picture";
        }
        return d;
    }
};
}  // namespace

TEST(InAppPopupView, ImagePopupsAreSizedToTheScreenAndCloseWithoutAPicture) {
    auto transport = std::make_shared<testkit::RecordingTransport>();
    transport->answer("https://cdn.example.com/wide.png", testkit::RecordingTransport::Answer::text("IMG 2000x1000"));
    transport->answer("https://cdn.example.com/small.png", testkit::RecordingTransport::Answer::text("IMG 100x50"));
    transport->answer("https://cdn.example.com/broken.png", testkit::RecordingTransport::Answer::text("<html>"));
    TestHost::Options options;
    options.transport = transport;
    TestHost host(options);
    ImageCodec::setCurrent(std::make_shared<TextCodec>());
    auto showImage = [&](const char* url, long templateID) {
        auto stage = std::make_unique<Stage>();
        stage->popup->qmInAppPopupTemplateID = templateID;
        if (url) stage->popup->qmInAppPopupViewImageUrl = URL::parse(url);
        stage->popup->qmSetupInAppPopupView();
        host.runUntil([&] { return stage->popup->qmInAppPopupImageView || !stage->popup->superview(); });
        host.advance(3);
        host.runUntilIdle();
        stage->root->layoutIfNeeded();
        return stage;
    };

    // 2000 × 1000 is drawn 0.9 × 390 wide, keeping its shape, in a panel of that size.
    auto wide = showImage("https://cdn.example.com/wide.png", 7);
    ASSERT_TRUE(wide->popup->qmInAppPopupImageView);
    expectRect(wide->panel(), 19.5, (kH - 175.5) / 2, 351, 175.5, "wide panel");
    expectRect(wide->inRoot(wide->popup->qmInAppPopupImageView), 19.5, (kH - 175.5) / 2, 351, 175.5, "wide image");
    EXPECT_EQ(wide->popup->qmInAppPopupImageView->image()->frames()[0].width, 351);
    ASSERT_TRUE(wide->popup->qmInAppPopupCloseBtn);

    // A small picture keeps its size; the full-screen image (8) fills the screen.
    auto small = showImage("https://cdn.example.com/small.png", 7);
    expectRect(small->panel(), (kW - 100) / 2, (kH - 50) / 2, 100, 50, "small panel");
    auto full = showImage("https://cdn.example.com/small.png", 8);
    expectRect(full->panel(), 0, 0, kW, kH, "full-screen image panel");

    // A tap on the picture closes the view, then tells the delegate.
    auto recorder = std::make_shared<Recorder>();
    small->popup->delegate = recorder;
    recorder->view = small->popup;
    ASSERT_TRUE(platform::tap(*small->root, {kW / 2, kH / 2}));
    ASSERT_EQ(recorder->calls.size(), 1u);
    EXPECT_EQ(recorder->calls[0], "image 77 1");
    EXPECT_FALSE(recorder->viewStillShown);

    // No address, or bytes that are no picture: logged and closed.
    auto missing = showImage(nullptr, 7);
    EXPECT_FALSE(missing->popup->superview());
    auto broken = showImage("https://cdn.example.com/broken.png", 7);
    EXPECT_FALSE(broken->popup->superview());
    EXPECT_EQ(host.logCount("The image only modal popup has an invalid or empty image URL."), 2u);

    // The worked example: on a 400 × 800 screen the same picture is 360 × 180.
    Screen::main().setBoundsSize({400, 800});
    auto other = showImage("https://cdn.example.com/wide.png", 7);
    EXPECT_NEAR(other->popup->qmInAppPopupContainerView->bounds().width, 360, 0.01);
    EXPECT_NEAR(other->popup->qmInAppPopupContainerView->bounds().height, 180, 0.01);
    Screen::main().reset();
    ImageCodec::setCurrent(nullptr);
}
