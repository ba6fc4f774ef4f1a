#include "inapp/qmInAppSurveyModal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/QMEntranceAnimations.hpp"
#include "inapp/qmInAppCloseButton.hpp"
#include "inapp/qmInAppColors.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppPresentation.hpp"
#include "inapp/qmInAppScriptBridge.hpp"
#include "inapp/qmInAppSurveyURL.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/url.hpp"
#include "qmplatform/window.hpp"
#include "qmui/activity_indicator.hpp"
#include "qmui/button.hpp"
#include "qmui/gesture.hpp"
#include "qmui/view.hpp"
#include "qmui/view_animation.hpp"
#include "qmweb/web_view.hpp"

namespace qm::inapp {

using platform::View;
using platform::WebView;

namespace {

class SurveyPanel;

// The dimmed view behind a survey panel; its own class so that taking a survey away by its
// tag never touches a host view that happens to carry the same number.
class SurveyBackdrop : public View {
public:
    using View::View;
    std::string className() const override { return "qmSurveyModalBackdrop"; }
};

// The survey's panel. It is also its web view's navigation delegate and script-message
// handler (the web view holds both weakly), so every survey shown answers for its own page
// even after another survey has taken its place in the process-wide slots.
class SurveyPanel : public View, public platform::NavigationDelegate, public platform::ScriptMessageHandler {
public:
    using View::View;
    std::string className() const override { return "qmSurveyModalPopupView"; }

    std::string notificationID;
    std::shared_ptr<WebView> web;
    std::shared_ptr<View> activityBox;
    std::shared_ptr<platform::ActivityIndicatorView> indicator;
    std::weak_ptr<View> backdrop;
    // What the page was loaded with, for loading it again after its process stopped.
    std::string surveyURL;
    std::map<std::string, std::string> headers;

    std::shared_ptr<SurveyPanel> self() { return std::static_pointer_cast<SurveyPanel>(shared_from_this()); }

    // ---- platform::NavigationDelegate (main run loop)
    void webViewDidStartProvisionalNavigation(WebView&, const platform::Navigation&) override {
        if (indicator) indicator->startAnimating();
        if (activityBox) {
            activityBox->setHidden(false);
            addSubview(activityBox);
        }
    }

    void webViewDecidePolicyForNavigationAction(
        WebView&, const platform::NavigationAction& action,
        std::function<void(platform::NavigationActionPolicy)> decisionHandler) override {
        if (action.navigationType == platform::WebNavigationType::LinkActivated) {
            decisionHandler(platform::NavigationActionPolicy::Cancel);
            QMRuntime::shared().engine()->qmNavigateToWebForUrl(platform::URL::parse(action.url), nullptr);
            return;
        }
        decisionHandler(platform::NavigationActionPolicy::Allow);
        qmRememberSurveyThankYouPage(action.url);
    }

    void webViewDidFinishNavigation(WebView& webView, const platform::Navigation& navigation) override {
        const std::string url = navigation.url.empty() ? webView.URL() : navigation.url;
        std::weak_ptr<SurveyPanel> weak = self();
        // Answered on the main run loop; the main thread is never held waiting for the page.
        webView.evaluateJavaScript("document.body.innerHTML",
                                   [weak, url](const Value& html, const std::optional<std::string>& error) {
                                       if (auto panel = weak.lock()) panel->pageShown(error ? Value() : html, url);
                                   });
    }

    void webViewWebContentProcessDidTerminate(WebView& webView) override {
        // A survey already taken away is not brought back.
        if (!superview()) return;
        ++crashes_;
        if (crashes_ == 1) {
            QMLog(QMLogLevelError, "The survey page of campaign %@ stopped; loading it again", Value(notificationID));
            webView.loadRequest(surveyURL, headers);
            return;
        }
        // A page that keeps dying would leave an empty panel on screen.
        QMLog(QMLogLevelError, "The survey page of campaign %@ stopped again; the survey is closed",
              Value(notificationID));
        auto keep = self();
        qmRemoveModalSurveyFromSuperViewForTagValue(tag());
    }

    // ---- platform::ScriptMessageHandler (main run loop)
    void userContentController(platform::UserContentController&, const platform::ScriptMessage& message) override {
        auto decoded = qmDecodeScriptMessage(message);
        if (!decoded) return;
        // A survey already taken away is not listened to.
        if (!superview()) {
            QMLog(QMLogLevelDebug, "A message %@ from a closed survey was ignored", Value(decoded->name));
            return;
        }
        if (qmPerformSharedScriptMessage(*decoded)) return;
        auto posting = message.webView.lock();
        const Value& given = decoded->body["notificationID"];
        const long long id = isValidString(given) ? given.integerValue() : 0;
        if (decoded->name == "qmResizeWebView") {
            const bool ours = sameCampaign(id, posting ? posting->tag() : 0,
                                           {"Modal Survey is unable to resize due to missing required parameters.",
                                            "Modal Survey is unable to resize due to an invalid webview, or it's not a web "
                                            "view from quelmar.",
                                            "Modal Survey is unable to resize due to an invalid or not current webview, or "
                                            "it's not a web view from quelmar."});
            if (ours) measureAndFit(*posting);
            return;
        }
        if (decoded->name == "qmStopShowAgain") {
            auto holder = posting ? posting->superview() : nullptr;
            const bool ours = sameCampaign(id, holder ? holder->tag() : 0,
                                           {"InApp Banner/Survey is unable to close due to missing required parameters.",
                                            "InApp Banner/Survey is unable to close due to an invalid webview, or it's not "
                                            "a web view from quelmar.",
                                            "InApp Banner/ Survey is unable to close due to an invalid or not current "
                                            "webview, or it's not a web view from quelmar."});
            if (ours) stopShowingAgain(id, decoded->body);
        }
    }

    // Whether a message's campaign id names the web view it came from; else the first of the
    // three refusals that applies (no id, a view that is not a campaign's, another campaign).
    static bool sameCampaign(long long id, long tag, const std::array<const char*, 3>& refusals) {
        const char* refusal = id < 1 ? refusals[0] : tag < 1 ? refusals[1] : tag != id ? refusals[2] : nullptr;
        if (refusal) QMLog(QMLogLevelInfo, refusal);
        return refusal == nullptr;
    }

private:
    void pageShown(const Value& html, const std::string& url) {
        if (!web) return;
        if (isValidString(html)) {
            const std::string script = format(
                "document.querySelector('meta[name=viewport]').setAttribute('content', 'width=%d;', false);",
                static_cast<long long>(web->frame().width));
            web->evaluateJavaScript(script, [](const Value&, const std::optional<std::string>& error) {
                if (error) QMLog(QMLogLevelError, "The survey's viewport could not be set: %@", Value(*error));
            });
            if (indicator) indicator->stopAnimating();
            if (activityBox) activityBox->setHidden(true);
        }
        const auto parsed = platform::URL::parse(url);
        if (!parsed || parsed->lastPathComponent() != "thankYou") return;
        std::weak_ptr<SurveyPanel> weak = self();
        web->evaluateJavaScript("document.body.offsetHeight",
                                [weak](const Value& height, const std::optional<std::string>& error) {
                                    auto panel = weak.lock();
                                    if (!panel) return;
                                    if (error) {
                                        QMLog(QMLogLevelError, "The survey's thank-you page could not be measured: %@",
                                              Value(*error));
                                        return;
                                    }
                                    panel->fitThankYouPage(height);
                                });
    }

    // The page's height, then the panel fitted to it.
    void measureAndFit(WebView& page) {
        std::weak_ptr<SurveyPanel> weak = self();
        page.evaluateJavaScript("document.body.offsetHeight", [weak](const Value& height, const std::optional<std::string>& error) {
            auto panel = weak.lock();
            if (!panel) return;
            if (error) {
                QMLog(QMLogLevelError, "The survey's page could not be measured: %@", Value(*error));
                return;
            }
            panel->fitThankYouPage(height);
        });
    }

    // "Do not show again": the click rule, the survey taken away, the host told.
    void stopShowingAgain(long long id, const Value& body) {
        const Value idText(std::to_string(id));
        auto engine = QMRuntime::shared().qmInternalProcess();
        if (!engine) return;
        engine->qmSetVaidationForPopupsButtonsClickforClickType(1, idText);
        std::string templateText;
        const Value stored = QMRuntime::shared().qmStoreData()->read_qm_notifications_bID_Data();
        for (const Value& campaign : stored["notifications"].arrayItems()) {
            if (campaign["notificationID"].description() == idText.string()) {
                templateText = campaign["template"].description();
                break;
            }
        }
        // (Templates 4 and 102 lower the key window's level on the phone; windows here have one level.)
        auto keep = self();
        qmRemoveModalSurveyFromSuperViewForTagValue(static_cast<long>(id));
        if (templateText == "102") {
            engine->qmCallBackDataForInAppBannerWithEventName(Value("Survey Attempt"), Value("Survey attempted successfully"),
                                                              body, Value(14.1), Value("survey"));
        } else {
            engine->qmCallBackDataForInAppBannerWithEventName(Value("Banner Clicked"), Value("InApp Banner clicked"), Value(),
                                                              Value(15.1), Value("banner"));
        }
    }

    // The panel shrinks (or grows) to the thank-you page, keeping its centre.
    void fitThankYouPage(const Value& answer) {
        if (!web || !(answer.isNumber() || answer.isString())) return;
        const double content = answer.doubleValue();
        if (!std::isfinite(content) || content < 0) return;
        const qmModalSurveyResize resize = qmModalSurveyResizeValues();
        // Never taller than the screen: the close button at the panel's top stays reachable.
        const double screenHeight = platform::Screen::main().bounds().size().height;
        const double height = std::min(resize.bottomPadding + content, screenHeight);
        const platform::Point centre = center();
        platform::Rect webFrame = web->frame();
        webFrame.height = height;
        auto me = self();
        platform::ViewAnimation::animate(resize.duration, [me, webFrame, centre] {
            me->web->setFrame(webFrame);
            platform::Rect panelFrame = me->frame();
            panelFrame.height = webFrame.height;
            me->setFrame(panelFrame);
            me->setCenter(centre);
        });
    }

    int crashes_ = 0;
};

// The survey on screen, process-wide. Views are used on the main thread only; the slots are
// guarded because other threads may ask what is shown.
struct SurveySlots {
    std::mutex mutex;
    std::shared_ptr<SurveyPanel> panel;  // qm_SurveyModalPopupView
    std::shared_ptr<View> backdrop;      // SurveyModalfullscreenShadow
    std::shared_ptr<View> activityBox;   // ActivityBoxView
    std::shared_ptr<platform::ActivityIndicatorView> indicator;  // _QMActivityIndicator
    long animation = 0;                  // QMAnimationValue
};

SurveySlots& slots() {
    static NoDestructor<SurveySlots> s;
    return *s;
}

// Forgets the slots that hold `removed`. What is dropped is destroyed after the lock is
// released (a view's destruction may run code of its own).
void untrack(const View* removed) {
    std::vector<std::shared_ptr<void>> dropped;
    {
        auto& s = slots();
        std::lock_guard lock(s.mutex);
        if (s.panel && s.panel.get() == removed) {
            dropped.push_back(std::exchange(s.panel, nullptr));
            dropped.push_back(std::exchange(s.activityBox, nullptr));
            dropped.push_back(std::exchange(s.indicator, nullptr));
            s.animation = 0;
        }
        if (s.backdrop && s.backdrop.get() == removed) dropped.push_back(std::exchange(s.backdrop, nullptr));
    }
}

// Empties the pages among the view's own subviews, takes it off screen and out of the slots.
void takeAway(const std::shared_ptr<View>& view) {
    if (!view) return;
    for (const auto& sub : std::vector<std::shared_ptr<View>>(view->subviews())) {
        if (auto web = std::dynamic_pointer_cast<WebView>(sub)) web->loadHTMLString("", "");
    }
    view->removeFromSuperview();
    untrack(view.get());
}

bool isSurveyView(const std::shared_ptr<View>& view) {
    return std::dynamic_pointer_cast<SurveyPanel>(view) || std::dynamic_pointer_cast<SurveyBackdrop>(view);
}

long tagOf(const std::string& id) {
    // The id as a number; text that is not one tags 0.
    return std::strtol(id.c_str(), nullptr, 10);
}

}  // namespace

qmModalSurveyResize qmModalSurveyResizeValues() {
    // Defaults; the appearance resources will override them once they are loaded here.
    return {0.3, 40};
}

void CreateSurvayModalPopup(const Value& original, bool trackViewStates) {
    if (!platform::RunLoop::main().isMainThread()) {
        platform::Queue::main().async([original, trackViewStates] { CreateSurvayModalPopup(original, trackViewStates); });
        return;
    }
    const Value record = qmBeginCampaignDisplay(original, trackViewStates);
    if (record.count() == 0) return;
    auto window = qmGetFilteredData::sharedInstance().qmGetKeyWindow();
    if (!window) return;
    auto root = platform::viewOf(*window);
    if (!root) return;

    // One survey at a time: the one shown before goes (its page emptied) before this one comes.
    qmDismissModalSurvey();

    const std::string id = record["notificationID"].description();
    const long tag = tagOf(id);
    const long animation = static_cast<long>(record["animation"].integerValue());
    long percent = static_cast<long>(record["height"].integerValue());
    // Absent, zero or negative: four fifths; more than the screen is the screen.
    if (percent <= 0) percent = 80;
    percent = std::min(percent, 100L);

    const platform::Size screen = platform::Screen::main().bounds().size();
    const double W = screen.width, H = screen.height;

    // The panel, centred.
    auto panel = std::make_shared<SurveyPanel>(platform::Rect{W * 0.5, H * 0.5, 0, 0});
    panel->notificationID = id;
    panel->setAlpha(1);
    panel->setBackgroundColor(GetColor(record["bgColor"]));
    const double panelWidth = W * 8 / 10, panelHeight = H * static_cast<double>(percent) / 100;
    panel->setFrame({W / 10, (H - panelHeight) / 2, panelWidth, panelHeight});
    panel->setTag(tag);
    panel->setClipsToBounds(true);
    panel->setCornerRadius(5);

    // The loading indicator in its box, centred in the panel (the box joins the panel when
    // the page starts loading).
    auto indicator = std::make_shared<platform::ActivityIndicatorView>(platform::ActivityIndicatorViewStyle::WhiteLarge);
    indicator->setFrame({0, 0, 10, 10});
    auto box = View::create({1, 1, 50, 50});
    box->setBackgroundColor(platform::Color::black());
    box->setAlpha(0.8);
    box->setCornerRadius(5);
    indicator->setCenter({box->frame().width / 2, box->frame().height / 2});
    box->addSubview(indicator);
    box->setCenter({panelWidth / 2, panelHeight / 2});
    panel->activityBox = box;
    panel->indicator = indicator;

    // The close button.
    auto close = platform::Button::create(platform::ButtonType::Custom);
    close->setTag(tag);
    close->addTarget([](platform::Control& button) { closeSurvayModalPopup(button); },
                     platform::ControlEventTouchUpInside);
    close->setImage(qmResizeImage(qmCloseButtonImage(), {12, 12}));
    close->setTintColor(GetColor(record["ctaBgColor"]));
    close->setBackgroundColor(platform::Color::clear());
    close->setFrame({panelWidth - 25, 0, 25, 25});

    // The page.
    platform::WebViewConfiguration configuration;
    configuration.allowsInlineMediaPlayback = true;
    configuration.mediaTypesRequireUserActionForPlayback = false;
    configuration.userContentController = std::make_shared<platform::UserContentController>();
    const std::shared_ptr<platform::ScriptMessageHandler> handler(panel, static_cast<platform::ScriptMessageHandler*>(panel.get()));
    for (const auto& name : qmInAppPopupView::scriptMessageNames()) {
        configuration.userContentController->addScriptMessageHandler(handler, name);
    }
    auto web = WebView::create({0, 0, panelWidth, panelHeight}, configuration);
    if (auto scroll = web->scrollView()) scroll->setBounces(false);
    web->setBackgroundColor(platform::Color::clear());
    web->setTag(tag);
    web->setNavigationDelegate(
        std::shared_ptr<platform::NavigationDelegate>(panel, static_cast<platform::NavigationDelegate*>(panel.get())));
    panel->web = web;

    panel->surveyURL = qmInAppSurveyURLForCampaign(record);
    QMLog(QMLogLevelVerbose, "%@", Value{{"surveyURL", panel->surveyURL}});
    const Value agent = QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_secretAgent", QMStore::Library);
    // No agent stored yet: the engine's own, rather than a header reading "(null)".
    if (isValidString(agent, true)) panel->headers["User-Agent"] = agent.description();
    web->loadRequest(panel->surveyURL, panel->headers);

    panel->addSubview(web);
    qmAddCloseButtonInPopupstoParentView(panel, close, Value(id));

    // The backdrop; a tap on it takes the survey away.
    auto backdrop = std::make_shared<SurveyBackdrop>(root->bounds());
    backdrop->setBackgroundColor(platform::Color::black());
    backdrop->setAlpha(0.3);
    backdrop->setTag(tag);
    backdrop->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>(
        [](platform::GestureRecognizer& recognizer) { tapOnSurveyModalPopup(recognizer); }));
    panel->backdrop = backdrop;

    root->addSubview(backdrop);
    root->addSubview(panel);
    {
        std::vector<std::shared_ptr<void>> dropped;
        auto& s = slots();
        std::lock_guard lock(s.mutex);
        dropped.push_back(std::exchange(s.panel, panel));
        dropped.push_back(std::exchange(s.backdrop, backdrop));
        dropped.push_back(std::exchange(s.activityBox, box));
        dropped.push_back(std::exchange(s.indicator, indicator));
        s.animation = animation;
        // `dropped` (empty slots after the dismissal above) is released after the lock.
    }
    animateEntrance(animation, *web);
}

void closeSurvayModalPopup(View& closeButton) {
    const long tag = closeButton.tag();
    const std::string id = format("%ld", tag);
    const Value reached = QMRuntime::shared().container("qmRestictSurveyCrossBtnforSession");
    const auto& ids = reached.arrayItems();
    const bool thanked = std::any_of(ids.begin(), ids.end(), [&](const Value& v) { return v.description() == id; });
    if (!thanked) QMRuntime::shared().engine()->qmSetVaidationForPopupsButtonsClickforClickType(0, Value(id));
    qmRemoveModalSurveyFromSuperViewForTagValue(tag);
}

void tapOnSurveyModalPopup(platform::GestureRecognizer& recognizer) {
    auto tapped = recognizer.view();
    if (!tapped || tapped->tag() == 0) return;
    qmRemoveModalSurveyFromSuperViewForTagValue(tapped->tag());
}

void qmRemoveModalSurveyFromSuperViewForTagValue(long tag) {
    std::vector<std::shared_ptr<View>> found;
    if (auto window = qmGetFilteredData::sharedInstance().qmGetKeyWindow()) {
        if (auto root = platform::viewOf(*window)) {
            for (const auto& view : root->subviews()) {
                if (view->tag() == tag && isSurveyView(view)) found.push_back(view);
            }
        }
    }
    // The survey shown stays reachable when the key window has changed since it came.
    {
        auto& s = slots();
        std::lock_guard lock(s.mutex);
        for (const std::shared_ptr<View>& view : {std::shared_ptr<View>(s.panel), s.backdrop}) {
            if (view && view->tag() == tag && std::find(found.begin(), found.end(), view) == found.end()) {
                found.push_back(view);
            }
        }
    }
    for (const auto& view : found) takeAway(view);
}

void qmDismissModalSurvey() {
    if (!platform::RunLoop::main().isMainThread()) {
        platform::Queue::main().async([] { qmDismissModalSurvey(); });
        return;
    }
    std::shared_ptr<View> panel, backdrop;
    {
        auto& s = slots();
        std::lock_guard lock(s.mutex);
        panel = s.panel;
        backdrop = s.backdrop;
    }
    takeAway(panel);
    takeAway(backdrop);
}

qmModalSurveyViews qmCurrentModalSurvey() {
    auto& s = slots();
    std::lock_guard lock(s.mutex);
    qmModalSurveyViews views;
    views.panel = s.panel;
    views.backdrop = s.backdrop;
    views.activityBox = s.activityBox;
    views.indicator = s.indicator;
    views.webView = s.panel ? s.panel->web : nullptr;
    views.animation = s.animation;
    return views;
}

std::shared_ptr<View> qmCurrentSurveyPanel() {
    auto& s = slots();
    std::lock_guard lock(s.mutex);
    return s.panel;
}

void qmRememberSurveyThankYouPage(const std::string& address) {
    const auto url = platform::URL::parse(address);
    if (!url || url->lastPathComponent() != "thankYou") return;
    std::optional<std::string> id;
    for (const auto& item : url->queryItems()) {
        if (item.name == "notificationid") {
            id = item.value;
            break;
        }
    }
    if (!id || !isValidString(Value(*id))) return;
    QMRuntime::shared().updateContainer("qmRestictSurveyCrossBtnforSession", [&](Value& list) {
        if (!list.isArray()) list = Value::array();
        for (const Value& known : list.arrayItems()) {
            if (known.description() == *id) return;
        }
        list.append(Value(*id));
    });
    QMRuntime::shared().engine()->qmSetVaidationForPopupsButtonsClickforClickType(1, Value(*id));
}

}  // namespace qm::inapp
