#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppScriptBridge.hpp"
#include "inapp/qmInAppSurveyModal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/QMEntranceAnimations.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/url_session.hpp"
#include "qmui/gesture.hpp"

namespace qm {

using platform::LayoutAttribute;
using platform::LayoutConstraint;
using platform::LayoutRelation;

namespace inapp {

namespace {
struct CloseImageSlot {
    std::mutex mutex;
    std::shared_ptr<platform::Image> image;
};
CloseImageSlot& closeImageSlot() {
    static NoDestructor<CloseImageSlot> slot;
    return *slot;
}
}  // namespace

std::shared_ptr<platform::Image> qmCloseButtonImage() {
    auto& slot = closeImageSlot();
    std::lock_guard lock(slot.mutex);
    return slot.image;
}

void qmSetCloseButtonImage(std::shared_ptr<platform::Image> image) {
    std::shared_ptr<platform::Image> old;
    {
        auto& slot = closeImageSlot();
        std::lock_guard lock(slot.mutex);
        old = std::exchange(slot.image, std::move(image));
    }
    // `old` is released here, outside the lock.
}

std::shared_ptr<platform::Image> qmResizeImage(const std::shared_ptr<platform::Image>& image, platform::Size size) {
    if (!image || image->frames().empty()) return nullptr;
    const platform::Bitmap& source = image->frames().front();
    if (source.empty() || !std::isfinite(size.width) || !std::isfinite(size.height)) return nullptr;
    const long width = std::lround(size.width), height = std::lround(size.height);
    // Larger than any screen: refused rather than allocating without bound.
    if (width < 1 || height < 1 || width > 16384 || height > 16384) return nullptr;
    platform::Bitmap out(static_cast<int>(width), static_cast<int>(height));
    // Each target pixel takes the source pixel under its centre.
    for (int y = 0; y < out.height; ++y) {
        const int sy = std::min(source.height - 1, static_cast<int>((y + 0.5) * source.height / out.height));
        for (int x = 0; x < out.width; ++x) {
            const int sx = std::min(source.width - 1, static_cast<int>((x + 0.5) * source.width / out.width));
            out.at(x, y) = source.at(sx, sy);
        }
    }
    return platform::Image::withBitmap(std::move(out), 1);
}

}  // namespace inapp

namespace {

std::shared_ptr<LayoutConstraint> relate(const std::shared_ptr<platform::View>& a, LayoutAttribute attributeA,
                                         const std::shared_ptr<platform::View>& b, LayoutAttribute attributeB,
                                         double multiplier = 1, double constant = 0) {
    auto c = LayoutConstraint::constraintWithItem(a, attributeA, LayoutRelation::Equal, b, attributeB, multiplier, constant);
    if (c) c->setActive(true);
    return c;
}

std::shared_ptr<LayoutConstraint> fixed(const std::shared_ptr<platform::View>& a, LayoutAttribute attribute,
                                        double constant) {
    auto c = LayoutConstraint::constraintWithItem(a, attribute, LayoutRelation::Equal, nullptr,
                                                  LayoutAttribute::NotAnAttribute, 1, constant);
    if (c) c->setActive(true);
    return c;
}

void deactivate(const std::shared_ptr<LayoutConstraint>& c) {
    if (c) c->setActive(false);
}

void visual(std::string_view format, const std::string& name, const std::shared_ptr<platform::View>& view,
            const std::shared_ptr<platform::View>& other = nullptr, const std::string& otherName = {}) {
    std::map<std::string, std::shared_ptr<platform::View>, std::less<>> views{{name, view}};
    if (other) views.emplace(otherName, other);
    LayoutConstraint::activateConstraints(LayoutConstraint::constraintsWithVisualFormat(format, 0, {}, views));
}

// Templates whose panel spans the screen from its top.
bool isEdgeToEdge(long templateID) {
    return templateID == 4 || templateID == 5 || templateID == 6 || templateID == 8 || templateID == 102;
}
bool isFullScreen(long templateID) { return templateID == 4 || templateID == 8 || templateID == 102; }
bool isStickyBar(long templateID) { return templateID == 5 || templateID == 6; }

// The dimmed backdrop behind the panel.
platform::Color backdropColor() { return platform::Color::rgba(0, 0, 0, 0.3); }

const char* kFirstCta = "qmInAppPopupFirstCtaBtn";
const char* kSecondCta = "qmInAppPopupSecondCtaBtn";

}  // namespace

const std::vector<std::string>& qmInAppPopupView::scriptMessageNames() {
    static const NoDestructor<std::vector<std::string>> names(std::vector<std::string>{
        "surveyAttempt", "surveySubmit", "qmResizeWebView", "qmOpenWeb", "qmOpenThirdPartyApp", "qmInAppCall",
        "qmStopShowAgain", "qmOpenInApp"});
    return *names;
}

std::shared_ptr<qmInAppPopupView> qmInAppPopupView::create(platform::Rect frame) {
    return std::make_shared<qmInAppPopupView>(frame);
}

qmInAppPopupView::qmInAppPopupView(platform::Rect frame) : View(frame) {}

std::shared_ptr<qmInAppPopupView> qmInAppPopupView::self() {
    return std::static_pointer_cast<qmInAppPopupView>(shared_from_this());
}

double qmInAppPopupView::screenWidth() { return platform::Screen::main().bounds().size().width; }
double qmInAppPopupView::screenHeight() { return platform::Screen::main().bounds().size().height; }

long qmInAppPopupView::campaignTag() const {
    // The id as a number; text that is not one tags 0.
    return std::strtol(qmInAppPopupNotificationID.c_str(), nullptr, 10);
}

// ---- Set-up ---------------------------------------------------------------------------------

void qmInAppPopupView::qmSetupInAppPopupView() {
    // A view that is not owned by a shared_ptr cannot take part in a tree or be told of taps.
    if (setUp_ || weak_from_this().expired()) return;
    setUp_ = true;
    auto me = self();

    auto container = platform::View::create();
    qmInAppPopupContainerView = container;
    container->setTranslatesAutoresizingMaskIntoConstraints(false);
    addSubview(container);
    container->setClipsToBounds(true);
    container->setBackgroundColor(qmInAppPopupContainerViewBgColor);
    container->setTag(campaignTag());
    relate(container, LayoutAttribute::CenterX, me, LayoutAttribute::CenterX);

    if (isEdgeToEdge(qmInAppPopupTemplateID)) {
        container->setCornerRadius(0);
        relate(container, LayoutAttribute::Top, me, LayoutAttribute::Top);
        qmInAppPopupContainerViewWidthConstraint = relate(container, LayoutAttribute::Width, me, LayoutAttribute::Width);
    } else {
        relate(container, LayoutAttribute::CenterY, me, LayoutAttribute::CenterY);
        container->setCornerRadius(5);
        qmInAppPopupContainerViewWidthConstraint =
            relate(container, LayoutAttribute::Width, me, LayoutAttribute::Width, 0.9);
    }

    const long t = qmInAppPopupTemplateID;
    if (t == 6 || t == 7 || t == 8) {
        qmLoadInAppPopupWithImageView();
    } else {
        qmLoadInAppPopupWithWebView();
    }

    if (qmInAppPopupDismissOnTapOutSide) {
        std::weak_ptr<qmInAppPopupView> weak = me;
        // Taps on the panel (its page, its picture) reach this recogniser too; they are not
        // taps outside it. (Decided when the tap is recognised: that is when its place is known.)
        auto recognizer = std::make_shared<platform::TapGestureRecognizer>([weak](platform::GestureRecognizer& r) {
            auto view = weak.lock();
            if (!view) return;
            if (const auto& panel = view->qmInAppPopupContainerView; panel && panel->pointInside(r.locationInView(panel.get()))) {
                return;
            }
            view->qmInAppPopupAnimateOut();
        });
        addGestureRecognizer(recognizer);
    }
}

void qmInAppPopupView::qmInAppPopupViewCloseNow() { removeFromSuperview(); }

void qmInAppPopupView::qmInAppPopupAnimateOut() { qmInAppPopupViewCloseNow(); }

// ---- Web content ----------------------------------------------------------------------------

void qmInAppPopupView::qmLoadInAppPopupWithWebView() {
    if (!qmInAppPopupContainerView || qmInAppPopupWebView) return;
    auto me = self();
    auto container = qmInAppPopupContainerView;
    setBackgroundColor(backdropColor());

    platform::WebViewConfiguration configuration;
    configuration.allowsInlineMediaPlayback = true;
    configuration.mediaTypesRequireUserActionForPlayback = false;
    configuration.userContentController = std::make_shared<platform::UserContentController>();
    const std::shared_ptr<platform::ScriptMessageHandler> handler(me, static_cast<platform::ScriptMessageHandler*>(this));
    for (const auto& name : scriptMessageNames()) configuration.userContentController->addScriptMessageHandler(handler, name);

    auto web = platform::WebView::create({}, configuration);
    qmInAppPopupWebView = web;
    web->setNavigationDelegate(std::shared_ptr<platform::NavigationDelegate>(me, static_cast<platform::NavigationDelegate*>(this)));
    web->setTranslatesAutoresizingMaskIntoConstraints(false);
    container->addSubview(web);
    relate(web, LayoutAttribute::Top, container, LayoutAttribute::Top);
    relate(web, LayoutAttribute::Left, container, LayoutAttribute::Left);
    relate(web, LayoutAttribute::Width, container, LayoutAttribute::Width);
    qmInAppPopupWebViewContentHeight = fixed(web, LayoutAttribute::Height, 0);
    qmInAppPopupContainerViewBottomConstraint = relate(container, LayoutAttribute::Bottom, web, LayoutAttribute::Bottom);
    web->setClipsToBounds(true);
    web->setBackgroundColor(platform::Color::clear());
    if (auto scroll = web->scrollView()) {
        scroll->setBounces(false);
        scroll->showsVerticalScrollIndicator = false;
        scroll->showsHorizontalScrollIndicator = false;
    }

    loadWebContent(*web);

    qmLoadPopupCTAButtons();
}

void qmInAppPopupView::loadWebContent(platform::WebView& web) {
    if (qmInAppPopupTemplateID == 102) {
        const Value agent = QMRuntime::shared().qmPreferences().qmObjectForKey("qm_secretAgent", QMStore::Library);
        std::map<std::string, std::string> headers;
        if (isValidString(agent)) headers["User-Agent"] = agent.description();
        web.loadRequest(qmInAppPopupWebViewHTMLStr, headers);
    } else {
        web.loadHTMLString(qmInAppPopupWebViewHTMLStr, "");
    }
}

void qmInAppPopupView::webViewWebContentProcessDidTerminate(platform::WebView& webView) {
    // A closed view is not brought back.
    if (!superview()) return;
    ++webContentCrashes_;
    if (webContentCrashes_ == 1) {
        QMLog(QMLogLevelError, "The page of in-app campaign %@ stopped; loading it again",
              Value(qmInAppPopupNotificationID));
        loadWebContent(webView);
        return;
    }
    // A page that keeps dying would leave a campaign on screen that shows nothing and may
    // have no working close button: closed, without counting as the user's close.
    QMLog(QMLogLevelError, "The page of in-app campaign %@ stopped again; the campaign is closed",
          Value(qmInAppPopupNotificationID));
    auto keep = self();
    qmInAppPopupViewCloseNow();
}

void qmInAppPopupView::webViewDecidePolicyForNavigationAction(
    platform::WebView& webView, const platform::NavigationAction& action,
    std::function<void(platform::NavigationActionPolicy)> decisionHandler) {
    (void)webView;
    auto engine = QMRuntime::shared().engine();
    if (action.navigationType == platform::WebNavigationType::LinkActivated) {
        decisionHandler(platform::NavigationActionPolicy::Cancel);
        engine->qmNavigateToWebForUrl(platform::URL::parse(action.url), nullptr);
        return;
    }
    decisionHandler(platform::NavigationActionPolicy::Allow);
    if (qmInAppPopupTemplateID == 101 || qmInAppPopupTemplateID == 102) inapp::qmRememberSurveyThankYouPage(action.url);
}

void qmInAppPopupView::webViewDidFinishNavigation(platform::WebView& webView, const platform::Navigation& navigation) {
    (void)navigation;
    // Measured without waiting: the answer comes back on the main run loop. Every engine the
    // view runs on knows the body's scroll height.
    std::weak_ptr<qmInAppPopupView> weak = self();
    webView.evaluateJavaScript("document.body.scrollHeight",
                               [weak](const Value& result, const std::optional<std::string>& error) {
                                   auto view = weak.lock();
                                   if (!view) return;
                                   view->contentHeightMeasured(error ? Value() : result);
                               });
}

void qmInAppPopupView::webViewDidFailNavigation(platform::WebView& webView, const platform::Navigation& navigation,
                                                const std::string& message) {
    (void)webView, (void)navigation;
    // A page that never loaded would leave an empty, dimmed panel with no way to close it.
    if (qmInAppPopupContentLoaded) return;
    QMLog(QMLogLevelError, "The in-app campaign %@ could not be loaded: %@", Value(qmInAppPopupNotificationID),
          Value(message));
    qmInAppPopupViewCloseNow();
}

void qmInAppPopupView::userContentController(platform::UserContentController& controller,
                                             const platform::ScriptMessage& message) {
    (void)controller;
    auto decoded = inapp::qmDecodeScriptMessage(message);
    if (!decoded) return;
    // A page still talking after its campaign closed is not listened to.
    if (!superview()) {
        QMLog(QMLogLevelDebug, "A message %@ from a closed campaign was ignored", Value(decoded->name));
        return;
    }
    if (inapp::qmPerformSharedScriptMessage(*decoded)) return;
    auto engine = QMRuntime::shared().qmInternalProcess();
    if (decoded->name == "qmResizeWebView") {
        // Only the survey in a modal resizes; the popup's web view carries no campaign tag.
        auto web = message.webView.lock();
        const Value& id = decoded->body["notificationID"];
        const long long number = isValidString(id) ? id.integerValue() : 0;
        if (number < 1) {
            QMLog(QMLogLevelInfo, "Modal Survey is unable to resize due to missing required parameters.");
        } else if (!web || web->tag() < 1) {
            QMLog(QMLogLevelInfo, "Modal Survey is unable to resize due to an invalid webview, or it's not a web view from quelmar.");
        } else if (web->tag() != number) {
            QMLog(QMLogLevelInfo,
                  "Modal Survey is unable to resize due to an invalid or not current webview, or it's not a web view from quelmar.");
        }
        return;
    }
    if (decoded->name == "qmStopShowAgain") {
        const Value id(decoded->body["notificationID"].description());
        if (!isValidString(decoded->body["notificationID"]) || !engine) return;
        engine->qmSetVaidationForPopupsButtonsClickforClickType(1, id);
        if (message.webView.lock() == qmInAppPopupWebView) {
            auto keep = self();
            qmInAppPopupViewCloseNow();
            engine->qmCallBackDataForInAppBannerWithEventName(Value("Banner Clicked"), Value("InApp Banner clicked"), Value(),
                                                              Value(15.1), Value("banner"));
        }
    }
}

void qmInAppPopupView::contentHeightMeasured(const Value& answer) {
    auto me = self();
    auto container = qmInAppPopupContainerView;
    auto web = qmInAppPopupWebView;
    if (!container || !web) return;
    const double measured = answer.isNumber() || answer.isString() ? answer.doubleValue() : 0;
    const double height = (std::isfinite(measured) && measured > 0 ? measured : 0) + 12;
    qmInAppPopupWebViewHeight = static_cast<float>(height);
    const double visible = std::min(height, 0.8 * screenHeight());

    const long t = qmInAppPopupTemplateID;
    if (isFullScreen(t)) {
        // The page fills the panel and the panel the view (for the survey too: its panel is
        // as high as the view, and a page pinned to the panel's bottom cannot be less).
        deactivate(qmInAppPopupWebViewContentHeight);
        qmInAppPopupWebViewContentHeight = relate(web, LayoutAttribute::Height, container, LayoutAttribute::Height);
        deactivate(qmInAppPopupContainerViewBottomConstraint);
        qmInAppPopupContainerViewBottomConstraint = relate(container, LayoutAttribute::Bottom, me, LayoutAttribute::Bottom);
    } else if (qmInAppPopupWebViewContentHeight) {
        qmInAppPopupWebViewContentHeight->setConstant(visible);
    }

    if (qmInAppPopupContentLoaded) return;
    if (qmInAppPopupContainerViewBottomConstraint) qmInAppPopupContainerViewBottomConstraint->setActive(true);
    if (isStickyBar(t)) {
        viewBottomOnContainer_ = relate(me, LayoutAttribute::Bottom, container, LayoutAttribute::Bottom);
        setupStickyBarTapView();
    }
    if (t > 0 && t != 1 && t != 2) setupCloseButton();
    qmInAppPopupContentLoaded = true;

    layoutIfNeeded();
    char script[160];
    std::snprintf(script, sizeof script,
                  "document.querySelector('meta[name=viewport]').setAttribute('content', 'width=%f;', false); ",
                  web->bounds().size().width);
    web->evaluateJavaScript(script, [](const Value&, const std::optional<std::string>&) {});
    startEntrance();
}

void qmInAppPopupView::startEntrance() {
    if (entranceStarted_ || !qmInAppPopupContainerView) return;
    entranceStarted_ = true;
    // The entrance moves the panel from where the layout puts it.
    if (auto parent = superview()) {
        parent->layoutIfNeeded();
    } else {
        layoutIfNeeded();
    }
    inapp::animateEntrance(qmInAppPopupAnimationID.value_or(0), *qmInAppPopupContainerView);
}

void qmInAppPopupView::layoutSubviews() {
    View::layoutSubviews();
    if (qmInAppPopupContainerView && narrowFirstCentre_ && narrowSecondCentre_) {
        const double offset = 0.23 * qmInAppPopupContainerView->bounds().width;
        if (narrowFirstCentre_->constant() != -offset) narrowFirstCentre_->setConstant(-offset);
        if (narrowSecondCentre_->constant() != offset) narrowSecondCentre_->setConstant(offset);
    }
    // Full-screen pages keep the web view as high as the panel: the page scrolls inside it.
    if (qmInAppPopupWebViewHeight <= 0 || !qmInAppPopupWebViewContentHeight) return;
    if (isFullScreen(qmInAppPopupTemplateID)) return;
    const double visible = std::min<double>(qmInAppPopupWebViewHeight, 0.8 * screenHeight());
    if (qmInAppPopupWebViewContentHeight->constant() != visible) qmInAppPopupWebViewContentHeight->setConstant(visible);
}

// ---- Image content --------------------------------------------------------------------------

void qmInAppPopupView::qmLoadInAppPopupWithImageView() {
    if (!qmInAppPopupContainerView) return;
    setBackgroundColor(backdropColor());
    std::weak_ptr<qmInAppPopupView> weak = self();
    const long t = qmInAppPopupTemplateID;
    const double W = screenWidth(), H = screenHeight();
    // Decoding and drawing happen off the main run loop; only the result comes back to it.
    auto finish = [weak, t, W, H](std::optional<std::string> bytes) {
        std::shared_ptr<platform::Image> image;
        platform::Size size;
        if (bytes && !bytes->empty()) {
            auto decoded = platform::Image::withData(*bytes);
            if (decoded) {
                const platform::Size natural = decoded->size();
                if (natural.width > 0 && natural.height > 0) {
                    size.width = (t == 6 || t == 8) ? W : std::min(natural.width, 0.9 * W);
                    size.height = t == 8 ? H : natural.height * size.width / natural.width;
                    size.height = std::min(size.height, 0.9 * H);
                    image = inapp::qmResizeImage(decoded, size);
                }
            }
        }
        platform::Queue::main().async([weak, image, size] {
            if (auto view = weak.lock()) view->imageArrived(image, size);
        });
    };

    const auto& url = qmInAppPopupViewImageUrl;
    if (!url || url->absoluteString().empty()) {
        platform::Queue::main().async([finish] { finish(std::nullopt); });
        return;
    }
    platform::URLRequest request;
    request.url = url->absoluteString();
    auto task = platform::URLSession::sharedSession()->dataTaskWithRequest(
        std::move(request),
        [finish](const std::optional<std::string>& data, const std::optional<platform::HTTPURLResponse>& response,
                 const std::optional<platform::URLError>& error) {
            const bool ok = !error && data && (!response || (response->statusCode >= 200 && response->statusCode < 300));
            std::optional<std::string> bytes = ok ? data : std::nullopt;
            platform::Queue::global().async([finish, bytes = std::move(bytes)] { finish(bytes); });
        });
    task->resume();
}

void qmInAppPopupView::imageArrived(std::shared_ptr<platform::Image> image, platform::Size size) {
    if (!image) {
        QMLog(QMLogLevelError, "The image only modal popup has an invalid or empty image URL.");
        qmInAppPopupViewCloseNow();
        return;
    }
    auto me = self();
    auto container = qmInAppPopupContainerView;
    if (!container || qmInAppPopupImageView) return;
    auto imageView = platform::ImageView::create(image);
    qmInAppPopupImageView = imageView;
    if (qmInAppPopupViewImageUrl) imageView->sourceURL = qmInAppPopupViewImageUrl->absoluteString();
    imageView->setUserInteractionEnabled(true);
    imageView->setTag(campaignTag());
    imageView->setClipsToBounds(true);
    imageView->setContentMode(platform::ContentMode::ScaleAspectFill);
    imageView->setTranslatesAutoresizingMaskIntoConstraints(false);
    container->addSubview(imageView);
    relate(imageView, LayoutAttribute::Top, container, LayoutAttribute::Top);
    relate(imageView, LayoutAttribute::Left, container, LayoutAttribute::Left);
    const long t = qmInAppPopupTemplateID;
    if (t == 8) {
        relate(imageView, LayoutAttribute::Height, container, LayoutAttribute::Height);
        qmInAppPopupContainerViewBottomConstraint = relate(container, LayoutAttribute::Bottom, me, LayoutAttribute::Bottom);
    } else {
        fixed(imageView, LayoutAttribute::Height, size.height);
        qmInAppPopupContainerViewBottomConstraint =
            relate(container, LayoutAttribute::Bottom, imageView, LayoutAttribute::Bottom);
    }
    deactivate(qmInAppPopupContainerViewWidthConstraint);
    if (t == 6 || t == 8) {
        relate(imageView, LayoutAttribute::Width, container, LayoutAttribute::Width);
        qmInAppPopupContainerViewWidthConstraint = relate(container, LayoutAttribute::Width, me, LayoutAttribute::Width);
    } else {
        fixed(imageView, LayoutAttribute::Width, size.width);
        qmInAppPopupContainerViewWidthConstraint =
            relate(container, LayoutAttribute::Width, imageView, LayoutAttribute::Width);
    }

    std::weak_ptr<qmInAppPopupView> weak = me;
    imageView->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>([weak](platform::GestureRecognizer&) {
        if (auto view = weak.lock()) view->qmInAppPopupImageViewCtaAction();
    }));
    setupCloseButton();
    if (isStickyBar(t)) {
        viewBottomOnContainer_ = relate(me, LayoutAttribute::Bottom, container, LayoutAttribute::Bottom);
        setupStickyBarTapView();
    }
    startEntrance();
}

// ---- Call-to-action buttons -----------------------------------------------------------------

std::shared_ptr<platform::Button> qmInAppPopupView::makeCtaButton(const std::optional<std::string>& title,
                                                                  void (qmInAppPopupView::*action)()) {
    if (!qmInAppPopupContainerView || !title || !isValidString(Value(*title))) return nullptr;
    auto button = platform::Button::create(platform::ButtonType::System);
    button->setTranslatesAutoresizingMaskIntoConstraints(false);
    qmInAppPopupContainerView->addSubview(button);
    button->setTag(campaignTag());
    button->setTitle(*title);
    button->setTitleColor(qmInAppPopupCtaBtnTextColor);
    button->setBackgroundColor(qmInAppPopupCtaBtnBgColor);
    // Helvetica where it is installed, else the system face at the same size.
    button->titleLabel()->setFont(platform::Font::fontWithName("Helvetica", 16).value_or(platform::Font::systemFont(16)));
    std::weak_ptr<qmInAppPopupView> weak = self();
    button->addTarget(
        [weak, action](platform::Control&) {
            if (auto view = weak.lock()) ((*view).*action)();
        },
        platform::ControlEventTouchUpInside);
    return button;
}

void qmInAppPopupView::qmCreateFirstCTAButton() {
    if (qmInAppPopupFirstCtaBtn) return;
    qmInAppPopupFirstCtaBtn = makeCtaButton(qmInAppPopupFirstCtaBtnTitleText, &qmInAppPopupView::qmInAppPopupFirstCtaBtnAction);
    // Named as in the layout formats, for tools and tests that find the buttons.
    if (qmInAppPopupFirstCtaBtn) qmInAppPopupFirstCtaBtn->setAccessibilityIdentifier("qmInAppPopupFirstCtaBtn");
}

void qmInAppPopupView::qmCreateSecondCTAButton() {
    if (qmInAppPopupSecondCtaBtn) return;
    qmInAppPopupSecondCtaBtn =
        makeCtaButton(qmInAppPopupSecondCtaBtnTitleText, &qmInAppPopupView::qmInAppPopupSecondCtaBtnAction);
    if (qmInAppPopupSecondCtaBtn) qmInAppPopupSecondCtaBtn->setAccessibilityIdentifier("qmInAppPopupSecondCtaBtn");
}

void qmInAppPopupView::qmLoadPopupCTAButtons() {
    const long condition = qmInAppPopupCtaShowCondition;
    if (condition <= 0) return;
    if (condition == 1 || condition == 3) qmCreateSecondCTAButton();
    if (condition == 2 || condition == 3) qmCreateFirstCTAButton();
    addCtaButtonsContraints();
}

void qmInAppPopupView::addCtaButtonsContraints() {
    auto container = qmInAppPopupContainerView;
    if (!container) return;
    auto first = qmInAppPopupFirstCtaBtn, second = qmInAppPopupSecondCtaBtn;
    const long L = ctaLayoutID();
    const bool narrow = L == 2 || L == 3 || L == 4 || L == 5 || L == 10 || L == 11 || L == 12 || L == 13;

    if (first && second) {
        if (L == 0) {
            relate(first, LayoutAttribute::Left, container, LayoutAttribute::Left, 1, -0.5);
            relate(first, LayoutAttribute::Width, container, LayoutAttribute::Width, 0.5);
            relate(second, LayoutAttribute::Right, container, LayoutAttribute::Right);
            relate(second, LayoutAttribute::Width, container, LayoutAttribute::Width, 0.5, -0.5);
            visual("V:[qmInAppPopupFirstCtaBtn(40)]-(0)-|", kFirstCta, first);
            visual("V:[qmInAppPopupSecondCtaBtn(40)]-(0)-|", kSecondCta, second);
        } else if (narrow) {
            relate(first, LayoutAttribute::Width, container, LayoutAttribute::Width, 0.38);
            relate(second, LayoutAttribute::Width, container, LayoutAttribute::Width, 0.38);
            // Centres at 0.54 and 1.46 × the panel's own centre: offsets of ∓0.23 × its width
            // from that centre, kept up to date by layoutSubviews.
            narrowFirstCentre_ = relate(first, LayoutAttribute::CenterX, container, LayoutAttribute::CenterX);
            narrowSecondCentre_ = relate(second, LayoutAttribute::CenterX, container, LayoutAttribute::CenterX);
            relate(first, LayoutAttribute::Bottom, container, LayoutAttribute::Bottom, 1, -25);
            relate(second, LayoutAttribute::Bottom, container, LayoutAttribute::Bottom, 1, -25);
            visual("V:[qmInAppPopupFirstCtaBtn(40)]", kFirstCta, first);
            visual("V:[qmInAppPopupSecondCtaBtn(40)]", kSecondCta, second);
        } else {
            for (const auto& button : {first, second}) {
                relate(button, LayoutAttribute::Width, container, LayoutAttribute::Width, 0.8);
                relate(button, LayoutAttribute::CenterX, container, LayoutAttribute::CenterX);
            }
            visual("V:[qmInAppPopupSecondCtaBtn(40)]-(30)-|", kSecondCta, second);
            visual("V:[qmInAppPopupFirstCtaBtn(40)]-(15)-[qmInAppPopupSecondCtaBtn]", kFirstCta, first, second, kSecondCta);
        }
    } else if (first || second) {
        const auto& button = first ? first : second;
        const std::string name = first ? kFirstCta : kSecondCta;
        if (L == 0) {
            visual("H:|-(0)-[" + name + "]-(0)-|", name, button);
            visual("V:[" + name + "(40)]-(0)-|", name, button);
        } else {
            relate(button, LayoutAttribute::Width, container, LayoutAttribute::Width, narrow ? 0.5 : 0.8);
            relate(button, LayoutAttribute::CenterX, container, LayoutAttribute::CenterX);
            visual("V:[" + name + "(40)]-(30)-|", name, button);
        }
    }

    // Styles.
    const double radius = L == 0 ? 0 : (L >= 2 && L <= 9) ? 20 : 5;
    const bool outlined = L == 3 || L == 7 || L == 11 || L == 15;
    for (const auto& button : {first, second}) {
        if (!button) continue;
        button->setCornerRadius(radius);
        if (outlined) {
            button->setBorderColor(platform::Color::whiteColor());
            button->setBorderWidth(2);
            button->setBackgroundColor(platform::Color::clear());
        }
    }
    if (first && second) {
        // The inverted button borrows the other's colours: its background becomes the other's
        // title colour, its title and border the other's background.
        auto invert = [](const std::shared_ptr<platform::Button>& button, const std::shared_ptr<platform::Button>& other) {
            const platform::Color border = other->backgroundColor().value_or(platform::Color::clear());
            button->setBorderColor(border);
            button->setBorderWidth(1.6);
            button->setBackgroundColor(other->titleColorForState(platform::ControlStateNormal));
            button->setTitleColor(border);
        };
        if (L == 5 || L == 9 || L == 13 || L == 17) invert(first, second);
        if (L == 4 || L == 8 || L == 12 || L == 16) invert(second, first);
    }
}

// ---- Close button ---------------------------------------------------------------------------

void qmInAppPopupView::setupCloseButton() {
    auto container = qmInAppPopupContainerView;
    if (!container || qmInAppPopupCloseBtn) return;
    auto button = platform::Button::create(platform::ButtonType::System);
    qmInAppPopupCloseBtn = button;
    button->setAccessibilityIdentifier("qmInAppPopupCloseBtn");
    button->setTranslatesAutoresizingMaskIntoConstraints(false);
    container->addSubview(button);
    button->setImage(inapp::qmResizeImage(inapp::qmCloseButtonImage(), {12, 12}));
    button->setTintColor(qmInAppPopupCtaBtnBgColor);
    button->setBackgroundColor(platform::Color::clear());

    const long t = qmInAppPopupTemplateID;
    if (isStickyBar(t)) {
        relate(button, LayoutAttribute::CenterY, container, LayoutAttribute::CenterY);
    } else {
        relate(button, LayoutAttribute::Top, container, LayoutAttribute::Top, 1, isFullScreen(t) ? 50 : 3);
    }
    qmSetCloseButtonType(qmInAppPopupCloseBtnType);

    std::weak_ptr<qmInAppPopupView> weak = self();
    button->addTarget(
        [weak](platform::Control&) {
            if (auto view = weak.lock()) view->qmCloseBtnAction();
        },
        platform::ControlEventTouchUpInside);
    button->setHidden(qmShouldHideInAppPopupCloseBtn);
    // Above a sticky bar's tap view, which would otherwise take its taps.
    container->bringSubviewToFront(button);
    qmCheckCloseButtonCoonditionsToView();
}

void qmInAppPopupView::qmSetCloseButtonType(long type) {
    auto button = qmInAppPopupCloseBtn;
    auto container = qmInAppPopupContainerView;
    if (!button || !container) return;
    if (type == 0) {
        button->setHidden(true);
        return;
    }
    button->setHidden(false);
    const long t = qmInAppPopupTemplateID;
    fixed(button, LayoutAttribute::Width, 20);
    if (isStickyBar(t)) {
        relate(button, LayoutAttribute::Height, container, LayoutAttribute::Height);
    } else {
        fixed(button, LayoutAttribute::Height, 20);
    }
    if (type == 2) {
        relate(button, LayoutAttribute::Right, container, LayoutAttribute::Right, 1, isFullScreen(t) ? -15 : -3);
    } else {
        relate(button, LayoutAttribute::Left, container, LayoutAttribute::Left);
    }
}

void qmInAppPopupView::qmCheckCloseButtonCoonditionsToView() {
    auto button = qmInAppPopupCloseBtn;
    if (!button) return;
    button->setHidden(true);
    // Type 0 has no place in the panel: it never shows.
    if (qmInAppPopupCloseBtnType == 0) return;
    const Value record = QMRuntime::shared().container("qmInAppCloseBtnConditions")[qmInAppPopupNotificationID];
    if (record.isDictionary() && record.contains("qmShowCloseBtn") && !record["qmShowCloseBtn"].boolValue()) return;
    const double delay = std::max(0.0, record["qmShowCloseBtntimeDelay"].doubleValue());
    std::weak_ptr<qmInAppPopupView> weak = self();
    platform::Queue::main().asyncAfter(delay, [weak] {
        auto view = weak.lock();
        if (!view || !view->qmInAppPopupCloseBtn || view->qmShouldHideInAppPopupCloseBtn) return;
        view->qmInAppPopupCloseBtn->setHidden(false);
    });
}

void qmInAppPopupView::qmCloseBtnAction() {
    auto keep = self();  // closing may drop the last owner
    QMRuntime::shared().engine()->qmSetVaidationForPopupsButtonsClickforClickType(0, Value(qmInAppPopupNotificationID));
    qmInAppPopupViewCloseNow();
}

// ---- Sticky tap view ------------------------------------------------------------------------

void qmInAppPopupView::setupStickyBarTapView() {
    auto container = qmInAppPopupContainerView;
    if (!container || stickyTapView_) return;
    auto tapView = platform::View::create();
    stickyTapView_ = tapView;
    tapView->setBackgroundColor(platform::Color::clear());
    tapView->setTranslatesAutoresizingMaskIntoConstraints(false);
    container->addSubview(tapView);
    visual("H:|-(0)-[qmStickyBarTapView]-(0)-|", "qmStickyBarTapView", tapView);
    visual("V:|-(0)-[qmStickyBarTapView]-(0)-|", "qmStickyBarTapView", tapView);
    std::weak_ptr<qmInAppPopupView> weak = self();
    tapView->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>([weak](platform::GestureRecognizer&) {
        if (auto view = weak.lock()) view->qmInAppStickyBarTapAction();
    }));
    // The close button stays reachable above it.
    if (qmInAppPopupCloseBtn) container->bringSubviewToFront(qmInAppPopupCloseBtn);
}

// ---- Taps -----------------------------------------------------------------------------------

void qmInAppPopupView::closeThenTell(void (qmInAppPopupViewDelegate::*method)(const std::string&, long)) {
    // The superview may hold the last reference: keep the view alive for the call.
    auto keep = self();
    const std::string id = qmInAppPopupNotificationID;
    const long dismiss = qmInAppPopupDismissIntValue;
    auto target = delegate.lock();
    qmInAppPopupViewCloseNow();
    if (target) ((*target).*method)(id, dismiss);
}

void qmInAppPopupView::qmInAppPopupFirstCtaBtnAction() {
    closeThenTell(&qmInAppPopupViewDelegate::qmInAppPopupFirstCTAButtonAction);
}

void qmInAppPopupView::qmInAppPopupSecondCtaBtnAction() {
    closeThenTell(&qmInAppPopupViewDelegate::qmInAppPopupSecondCTAButtonAction);
}

void qmInAppPopupView::qmInAppPopupImageViewCtaAction() {
    closeThenTell(&qmInAppPopupViewDelegate::qmInAppPopupImageViewAction);
}

void qmInAppPopupView::qmInAppStickyBarTapAction() {
    closeThenTell(&qmInAppPopupViewDelegate::qmInAppPopupFirstCTAButtonAction);
}

}  // namespace qm
