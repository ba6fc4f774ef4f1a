// The one view behind the alert, the confirmation dialog, the modal and full-screen popups, the
// full-screen survey and the sticky bars. A builder creates it, sets its properties and calls
// qmSetupInAppPopupView once; the view then lays out its panel (the container) with a web view
// or an image view, adds up to two call-to-action buttons and a close button, sizes itself to
// the content, starts its entrance and reports taps to its delegate (the engine). Main thread
// only, like every view; the image download alone runs on a global queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "qmplatform/image.hpp"
#include "qmplatform/url.hpp"
#include "qmui/button.hpp"
#include "qmui/color.hpp"
#include "qmui/image_view.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/view.hpp"
#include "qmweb/web_view.hpp"

namespace qm {

namespace inapp {
// The close button's picture, process-wide (nothing until a host or the start-up sets one; a
// button without it still works). Any thread.
std::shared_ptr<platform::Image> qmCloseButtonImage();
void qmSetCloseButtonImage(std::shared_ptr<platform::Image> image);

// The picture drawn at `size` points (one pixel a point), its first frame for an animation;
// nothing for an empty picture or a size below one pixel.
std::shared_ptr<platform::Image> qmResizeImage(const std::shared_ptr<platform::Image>& image, platform::Size size);
}  // namespace inapp

// The engine hears of taps through this; every method is optional. Each is called after the
// view has been closed, with the campaign id and the view's dismiss value.
class qmInAppPopupViewDelegate {
public:
    virtual ~qmInAppPopupViewDelegate() = default;
    // The first button or the sticky bar.
    virtual void qmInAppPopupFirstCTAButtonAction(const std::string& notificationID, long dismissValue) {
        (void)notificationID, (void)dismissValue;
    }
    virtual void qmInAppPopupSecondCTAButtonAction(const std::string& notificationID, long dismissValue) {
        (void)notificationID, (void)dismissValue;
    }
    virtual void qmInAppPopupImageViewAction(const std::string& notificationID, long dismissValue) {
        (void)notificationID, (void)dismissValue;
    }
};

class qmInAppPopupView : public platform::View,
                         public platform::NavigationDelegate,
                         public platform::ScriptMessageHandler {
public:
    static std::shared_ptr<qmInAppPopupView> create(platform::Rect frame = {});
    explicit qmInAppPopupView(platform::Rect frame = {});
    std::string className() const override { return "qmInAppPopupView"; }

    // ---- Properties the builder sets before qmSetupInAppPopupView.
    // The visible panel; its tag is the campaign id as a number.
    std::shared_ptr<platform::View> qmInAppPopupContainerView;
    std::shared_ptr<platform::WebView> qmInAppPopupWebView;
    std::shared_ptr<platform::ImageView> qmInAppPopupImageView;
    std::shared_ptr<platform::Button> qmInAppPopupCloseBtn;
    std::shared_ptr<platform::Button> qmInAppPopupFirstCtaBtn;
    std::shared_ptr<platform::Button> qmInAppPopupSecondCtaBtn;
    // 0 no close button, 2 top right, any other top left.
    long qmInAppPopupCloseBtnType = 2;
    bool qmInAppPopupDismissOnTapOutSide = true;
    platform::Color qmInAppPopupContainerViewBgColor = platform::Color::whiteColor();
    std::string qmInAppPopupNotificationID;
    long qmInAppPopupTemplateID = 0;
    // 0 no button, 1 the second only, 2 the first only, 3 both.
    long qmInAppPopupCtaShowCondition = 0;
    bool qmShouldHideInAppPopupCloseBtn = false;
    // Handed to the delegate with every tap; the view closes on every tap whatever it is.
    long qmInAppPopupDismissIntValue = 1;
    std::optional<long> qmInAppPopupAnimationID;
    std::optional<std::string> qmInAppPopupFirstCtaBtnTitleText;
    std::optional<std::string> qmInAppPopupSecondCtaBtnTitleText;
    std::optional<platform::Color> qmInAppPopupCtaBtnTextColor;
    // Also the close picture's tint.
    std::optional<platform::Color> qmInAppPopupCtaBtnBgColor;
    // The call-to-action layout id (none reads as 0).
    std::optional<long> qmInAppPopupCtaBtnTemplateID;
    // The HTML to show, or for the full-screen survey (template 102) the survey's address.
    std::string qmInAppPopupWebViewHTMLStr;
    std::optional<platform::URL> qmInAppPopupViewImageUrl;
    // The page's measured height (0 until the first load has been measured).
    float qmInAppPopupWebViewHeight = 0;
    std::shared_ptr<platform::LayoutConstraint> qmInAppPopupWebViewContentHeight;
    std::shared_ptr<platform::LayoutConstraint> qmInAppPopupContainerViewBottomConstraint;
    std::shared_ptr<platform::LayoutConstraint> qmInAppPopupContainerViewWidthConstraint;
    // The first finished load has been handled.
    bool qmInAppPopupContentLoaded = false;
    std::weak_ptr<qmInAppPopupViewDelegate> delegate;

    // ---- Set-up and closing.
    // Builds the panel and its content from the properties; once (later calls do nothing).
    void qmSetupInAppPopupView();
    // Removes the view from its superview (a removed view is not shown again).
    void qmInAppPopupViewCloseNow();
    // The backdrop's tap: the same.
    void qmInAppPopupAnimateOut();

    // ---- The steps of the set-up (called by it; public for the engine's builders and tests).
    void qmLoadInAppPopupWithWebView();
    void qmLoadInAppPopupWithImageView();
    void qmLoadPopupCTAButtons();
    void qmCreateFirstCTAButton();
    void qmCreateSecondCTAButton();
    void addCtaButtonsContraints();
    void setupCloseButton();
    void qmSetCloseButtonType(long type);
    void qmCheckCloseButtonCoonditionsToView();
    void setupStickyBarTapView();
    // The sticky tap view, once added.
    std::shared_ptr<platform::View> qmStickyBarTapView() const { return stickyTapView_; }

    // ---- Taps: each closes the view first, then tells the delegate.
    void qmCloseBtnAction();
    void qmInAppPopupFirstCtaBtnAction();
    void qmInAppPopupSecondCtaBtnAction();
    void qmInAppPopupImageViewCtaAction();
    void qmInAppStickyBarTapAction();

    void layoutSubviews() override;

    // platform::NavigationDelegate (main run loop).
    void webViewDecidePolicyForNavigationAction(platform::WebView& webView, const platform::NavigationAction& action,
                                                std::function<void(platform::NavigationActionPolicy)> decisionHandler) override;
    void webViewDidFinishNavigation(platform::WebView& webView, const platform::Navigation& navigation) override;
    void webViewDidFailNavigation(platform::WebView& webView, const platform::Navigation& navigation,
                                  const std::string& message) override;
    // The page's process stopped: the page is loaded again once; a second stop closes the view.
    void webViewWebContentProcessDidTerminate(platform::WebView& webView) override;
    // platform::ScriptMessageHandler (main run loop): the page's messages; none is acted on
    // here yet.
    void userContentController(platform::UserContentController& controller,
                               const platform::ScriptMessage& message) override;

    // The names pages post to, in the order they are registered.
    static const std::vector<std::string>& scriptMessageNames();

private:
    std::shared_ptr<qmInAppPopupView> self();
    // The layout id (0 when not set).
    long ctaLayoutID() const { return qmInAppPopupCtaBtnTemplateID.value_or(0); }
    std::shared_ptr<platform::Button> makeCtaButton(const std::optional<std::string>& title,
                                                    void (qmInAppPopupView::*action)());
    // The page's height arrived (or not): the first-load steps.
    void contentHeightMeasured(const Value& answer);
    void imageArrived(std::shared_ptr<platform::Image> image, platform::Size size);
    void startEntrance();
    // Loads the page of the properties (the survey's address or the HTML) into `web`.
    void loadWebContent(platform::WebView& web);
    // The tap handlers' common part: closes, then calls `notify` with the delegate.
    void closeThenTell(void (qmInAppPopupViewDelegate::*method)(const std::string&, long));
    long campaignTag() const;
    static double screenWidth();
    static double screenHeight();

    bool setUp_ = false;
    bool entranceStarted_ = false;
    int webContentCrashes_ = 0;
    std::shared_ptr<platform::View> stickyTapView_;
    std::shared_ptr<platform::LayoutConstraint> viewBottomOnContainer_;
    // The side-by-side narrow buttons' centres, relative to the panel's centre.
    std::shared_ptr<platform::LayoutConstraint> narrowFirstCentre_, narrowSecondCentre_;
};

}  // namespace qm
