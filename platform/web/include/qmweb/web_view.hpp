// Web views: a view that shows a page of a browser engine. The page posts script messages to
// the handlers of the view's user-content controller, the navigation delegate decides the
// navigations the page starts and hears how loads go, and scripts run in the page with their
// answers on the main run loop. The view draws the engine's latest snapshot of the page.
//
//     auto controller = std::make_shared<UserContentController>();
//     controller->addScriptMessageHandler(handler, "qmOpenWeb");
//     WebViewConfiguration configuration;
//     configuration.userContentController = controller;
//     auto web = WebView::create({0, 0, 390, 300}, configuration);
//     web->setNavigationDelegate(delegate);
//     web->loadHTMLString("<p>Hello</p>", "");
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmplatform/image.hpp"
#include "qmplatform/web_engine.hpp"
#include "qmui/scroll_view.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

class WebView;
class UserContentController;

struct ScriptMessage {
    std::string name;
    Value body;  // as the page posted it (a dictionary for an object, a text for a string, ...)
    std::weak_ptr<WebView> webView;
};

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    // On the main run loop.
    virtual void userContentController(UserContentController& controller, const ScriptMessage& message) = 0;
};

// The script-message handlers pages may post to, by name. The controller holds its handlers
// weakly (a handler is usually the object that owns the web view).
class UserContentController {
public:
    void addScriptMessageHandler(std::weak_ptr<ScriptMessageHandler> handler, const std::string& name);
    void removeScriptMessageHandlerForName(const std::string& name);
    // Names in the order they were added.
    std::vector<std::string> handlerNames() const;
    std::shared_ptr<ScriptMessageHandler> handlerForName(const std::string& name) const;

private:
    std::vector<std::pair<std::string, std::weak_ptr<ScriptMessageHandler>>> handlers_;
};

struct WebViewConfiguration {
    std::shared_ptr<UserContentController> userContentController;  // none: pages post to nothing
    bool allowsInlineMediaPlayback = false;
    bool mediaTypesRequireUserActionForPlayback = true;
    // "name/version" appended to the engine's user agent (when no custom one is set).
    std::string applicationNameForUserAgent;
};

// A load the view started (or a navigation it allowed).
struct Navigation {
    std::int64_t id = 0;
    std::string url;
};

struct NavigationAction {
    std::string url;
    WebNavigationType navigationType = WebNavigationType::Other;
    bool targetsNewWindow = false;
};

enum class NavigationActionPolicy { Cancel, Allow };

// Every method is optional: a delegate that leaves one alone gets the default behaviour (a
// navigation it does not decide is allowed). Called on the main run loop.
class NavigationDelegate {
public:
    virtual ~NavigationDelegate() = default;
    virtual void webViewDidStartProvisionalNavigation(WebView&, const Navigation&) {}
    virtual void webViewDecidePolicyForNavigationAction(WebView&, const NavigationAction&,
                                                        std::function<void(NavigationActionPolicy)> decisionHandler) {
        decisionHandler(NavigationActionPolicy::Allow);
    }
    virtual void webViewDidCommitNavigation(WebView&, const Navigation&) {}
    virtual void webViewDidFinishNavigation(WebView&, const Navigation&) {}
    virtual void webViewDidFailNavigation(WebView&, const Navigation&, const std::string& /*message*/) {}
    // The page's process stopped (or the engine was lost); the view shows nothing until a
    // new load.
    virtual void webViewWebContentProcessDidTerminate(WebView&) {}
};

class WebView : public View {
public:
    static std::shared_ptr<WebView> create(Rect frame = {}, WebViewConfiguration configuration = {});
    // Public for make_shared; use create().
    WebView(Rect frame, WebViewConfiguration configuration);
    ~WebView() override;
    std::string className() const override { return "WKWebView"; }

    const WebViewConfiguration& configuration() const { return configuration_; }
    std::shared_ptr<NavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }
    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) { navigationDelegate_ = std::move(delegate); }
    // The user agent pages see instead of the engine's (empty: the engine's). Set it before
    // the first load.
    const std::string& customUserAgent() const { return customUserAgent_; }
    void setCustomUserAgent(std::string agent);

    // Loads HTML text; relative URLs in it resolve against `baseURL` (none: about:blank).
    Navigation loadHTMLString(const std::string& html, const std::string& baseURL);
    // Loads a URL with extra request headers (a "User-Agent" header replaces the agent for
    // this load).
    Navigation loadRequest(const std::string& url, const std::map<std::string, std::string>& headers = {});
    // The URL of the page shown (empty before the first commit).
    const std::string& URL() const { return url_; }
    bool isLoading() const { return loading_; }

    // Runs a script in the page; the completion runs once on the main run loop with the
    // result, or an error text (the engine's exception message, a timeout, a lost engine, the
    // view gone first).
    void evaluateJavaScript(const std::string& script,
                            std::function<void(const Value& result, const std::optional<std::string>& error)> completion,
                            double timeoutSeconds = 10);

    // The scroll view of the page (its bounce and indicator settings are kept; the page
    // scrolls inside the engine).
    std::shared_ptr<ScrollView> scrollView() const { return scrollView_; }

    // Asks the engine for a snapshot of the page now; on success the view draws it from then
    // on. The completion (optional) runs once on the main run loop with the PNG bytes or an
    // error (no page yet, the engine's error, bytes that are not a PNG picture: the view then
    // keeps the snapshot it had).
    void takeSnapshot(std::function<void(const std::string& png, const std::optional<std::string>& error)> completion = {});
    // The snapshot the view draws (empty before the first one). A view takes one by itself
    // after every finished load and after its size changes.
    const Bitmap& snapshotBitmap() const { return snapshot_; }
    // Pixels per point of that snapshot (the main screen's scale when the page was sized).
    double snapshotScale() const { return snapshotScale_; }

    // The snapshot scaled to the bounds; a placeholder while there is none.
    void drawContent(Canvas& canvas, const Rect& bounds, double time) const override;

    // The engine web views created from now on use when configure() set none: the web
    // library's helper-process engine where its helper program is installed, else the
    // headless engine.
    static std::shared_ptr<WebEngine> defaultEngine();

protected:
    // Resizes the page and takes a new snapshot at the new size.
    void boundsSizeDidChange() override;

private:
    class PageClient;
    std::weak_ptr<WebView> weakSelf();
    void ensurePage();
    WebDone loadDone(std::shared_ptr<std::atomic<std::int64_t>> id, std::string url);
    WebViewConfiguration configuration_;
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    std::string customUserAgent_;
    std::shared_ptr<ScrollView> scrollView_;
    std::shared_ptr<WebEngine> engine_;
    std::shared_ptr<WebPage> page_;
    std::shared_ptr<PageClient> pageClient_;
    std::string url_;
    bool loading_ = false;
    bool pageLost_ = false;   // the engine lost the page: the next load makes a new one
    double pageScale_ = 1;    // the scale the page draws snapshots at
    Bitmap snapshot_;
    double snapshotScale_ = 1;
    // Snapshots answer in any order and a crash voids those asked before it: one is shown
    // only when it was asked after the one shown and after the last crash.
    std::uint64_t nextSnapshot_ = 1, shownSnapshot_ = 0, snapshotFloor_ = 0;
};

}  // namespace qm::platform
