#include "qmweb/web_view.hpp"

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

#include "qmbase/no_destructor.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/url_session.hpp"
#include "qmui/canvas.hpp"
#include "qmui/picture.hpp"
#include "qmweb/headless_engine.hpp"
#include "qmweb/helper_engine.hpp"

namespace qm::platform {

// ---- User content

void UserContentController::addScriptMessageHandler(std::weak_ptr<ScriptMessageHandler> handler,
                                                    const std::string& name) {
    for (auto& [n, h] : handlers_) {
        if (n == name) {
            h = std::move(handler);
            return;
        }
    }
    handlers_.emplace_back(name, std::move(handler));
}

void UserContentController::removeScriptMessageHandlerForName(const std::string& name) {
    std::erase_if(handlers_, [&](const auto& entry) { return entry.first == name; });
}

std::vector<std::string> UserContentController::handlerNames() const {
    std::vector<std::string> names;
    for (const auto& entry : handlers_) names.push_back(entry.first);
    return names;
}

std::shared_ptr<ScriptMessageHandler> UserContentController::handlerForName(const std::string& name) const {
    for (const auto& [n, h] : handlers_) {
        if (n == name) return h.lock();
    }
    return nullptr;
}

namespace {

std::string errorText(const WebError& error) {
    return error.message.empty() ? std::string(webErrorKindName(error.kind)) : error.message;
}

const char* const kViewGone = "the web view went away before the answer came";

// The decision handler's state, shared by every copy of the handler: the first call decides;
// when the last copy goes without a call the navigation is cancelled, so a page never holds a
// navigation for ever.
class NavigationDecision {
public:
    NavigationDecision(std::weak_ptr<WebPage> page, std::int64_t id) : page_(std::move(page)), id_(id) {}
    ~NavigationDecision() { decide(false); }
    NavigationDecision(const NavigationDecision&) = delete;
    NavigationDecision& operator=(const NavigationDecision&) = delete;

    void decide(bool allow) {
        if (decided_.exchange(true)) return;
        // The page is asked on the main run loop, whichever thread the delegate answered on.
        if (RunLoop::main().isMainThread()) {
            if (auto page = page_.lock()) page->decideNavigation(id_, allow);
            return;
        }
        Queue::main().async([page = page_, id = id_, allow] {
            if (auto p = page.lock()) p->decideNavigation(id, allow);
        });
    }

private:
    std::weak_ptr<WebPage> page_;
    std::int64_t id_;
    std::atomic<bool> decided_{false};
};

}  // namespace

// ---- What the page tells the view

class WebView::PageClient : public WebPageClient {
public:
    explicit PageClient(std::weak_ptr<WebView> view) : view_(std::move(view)) {}
    void setPage(std::weak_ptr<WebPage> page) { page_ = std::move(page); }

    void webLoadStateChanged(WebLoadState state, const std::string& url, std::int64_t load) override {
        auto view = view_.lock();
        if (!view) return;
        const Navigation navigation{load, url};
        auto delegate = view->navigationDelegate();
        switch (state) {
            case WebLoadState::Started:
                view->loading_ = true;
                if (delegate) delegate->webViewDidStartProvisionalNavigation(*view, navigation);
                break;
            case WebLoadState::Redirected: break;
            case WebLoadState::Committed:
                view->url_ = url;
                if (delegate) delegate->webViewDidCommitNavigation(*view, navigation);
                break;
            case WebLoadState::Finished:
                view->loading_ = false;
                if (delegate) delegate->webViewDidFinishNavigation(*view, navigation);
                // Unless the delegate's answer replaced the page meanwhile.
                if (view->pageClient_.get() == this && !view->pageLost_) view->takeSnapshot();
                break;
        }
    }

    void webLoadFailed(const std::string& url, const std::string& message, std::int64_t load) override {
        auto view = view_.lock();
        if (!view) return;
        view->loading_ = false;
        if (auto delegate = view->navigationDelegate()) delegate->webViewDidFailNavigation(*view, {load, url}, message);
    }

    void webNavigationRequested(const WebNavigationAction& action) override {
        auto view = view_.lock();
        if (!view) return;
        auto decision = std::make_shared<NavigationDecision>(page_, action.id);
        auto delegate = view->navigationDelegate();
        if (!delegate) {
            decision->decide(true);
            return;
        }
        NavigationAction asked{action.url, action.type, action.newWindow};
        delegate->webViewDecidePolicyForNavigationAction(*view, asked, [decision](NavigationActionPolicy policy) {
            decision->decide(policy == NavigationActionPolicy::Allow);
        });
    }

    void webScriptMessage(const std::string& name, const Value& body) override {
        auto view = view_.lock();
        if (!view) return;
        auto controller = view->configuration_.userContentController;
        if (!controller) return;
        if (auto handler = controller->handlerForName(name)) handler->userContentController(*controller, {name, body, view});
    }

    void webPageCrashed(const std::string& message, bool engineLost) override {
        auto view = view_.lock();
        if (!view) return;
        SystemLog::write("quelmar: a web view's page stopped: " + message);
        view->loading_ = false;
        view->snapshot_ = Bitmap();
        view->snapshotFloor_ = view->nextSnapshot_;
        if (engineLost && view->pageClient_.get() == this) view->pageLost_ = true;
        if (auto delegate = view->navigationDelegate()) delegate->webViewWebContentProcessDidTerminate(*view);
    }

private:
    std::weak_ptr<WebView> view_;
    std::weak_ptr<WebPage> page_;
};

// ---- The route of the default engine

namespace {

// Certificate files larger than this are not read (a few CA certificates fit many times).
constexpr std::size_t kMaxAuthoritiesBytes = std::size_t{1} << 20;

// The default engine follows the transport's development route: with a connect-to address
// set, every page's HTTPS connections go there, the CA file's authorities vouching for the
// service; without one the engine is left alone. Read at every load, so a host that
// configures the platform again (another service, another port) is followed.
void followConfiguredRoute(const std::shared_ptr<WebEngine>& engine) {
    auto helper = std::dynamic_pointer_cast<HelperEngine>(engine);
    if (!helper) return;
    const auto address = URLSession::connectTo();
    if (!address) {
        if (helper->route()) helper->setRoute(std::nullopt);
        return;
    }
    // The file is read again only when it changed.
    static NoDestructor<std::mutex> mu;
    static NoDestructor<std::string> cachedKey;
    static NoDestructor<std::string> cachedPEM;
    std::string pem;
    if (const auto caFile = URLSession::caFile()) {
        struct stat st {};
        if (stat(caFile->c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::size_t>(st.st_size) <= kMaxAuthoritiesBytes) {
            const std::string key = *caFile + "\n" + std::to_string(st.st_size) + "\n" +
                                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
            std::lock_guard lock(*mu);
            if (key != *cachedKey) {
                std::ifstream in(*caFile, std::ios::binary);
                std::ostringstream text;
                text << in.rdbuf();
                *cachedPEM = in ? text.str() : std::string();
                *cachedKey = key;
            }
            pem = *cachedPEM;
        } else {
            SystemLog::write("quelmar: the web engine cannot use the CA file " + *caFile);
        }
    }
    HelperRoute route{*address, std::move(pem)};
    if (helper->route() == route) return;
    // Nothing waits for the helper's answer: the engine logs a refusal itself.
    helper->setRoute(std::move(route));
}

}  // namespace

// ---- The view

std::shared_ptr<WebEngine> WebView::defaultEngine() {
    // Made once and never destroyed: the helper it may have started dies with the process.
    static const NoDestructor<std::shared_ptr<WebEngine>> engine([]() -> std::shared_ptr<WebEngine> {
        if (HelperEngine::findHelper()) {
            if (auto helper = HelperEngine::create()) return helper;
        }
        return std::make_shared<HeadlessWebEngine>();
    }());
    return *engine;
}

std::shared_ptr<WebView> WebView::create(Rect frame, WebViewConfiguration configuration) {
    return std::make_shared<WebView>(frame, std::move(configuration));
}

WebView::WebView(Rect frame, WebViewConfiguration configuration)
    : View(frame), configuration_(std::move(configuration)), scrollView_(std::make_shared<ScrollView>()) {
    engine_ = configuredWebEngine();
    if (!engine_) engine_ = defaultEngine();
}

WebView::~WebView() {
    // The page goes first; its events and answers find no view from here on.
    page_.reset();
    pageClient_.reset();
}

void WebView::setCustomUserAgent(std::string agent) { customUserAgent_ = std::move(agent); }

std::weak_ptr<WebView> WebView::weakSelf() {
    auto self = weak_from_this().lock();
    return self ? std::static_pointer_cast<WebView>(self) : nullptr;
}

void WebView::ensurePage() {
    if (page_ && !pageLost_) return;
    page_.reset();
    pageLost_ = false;
    WebPageOptions options;
    options.size = frame().size();
    options.scale = Screen::main().scale();
    options.userAgent = customUserAgent_;
    options.applicationName = configuration_.applicationNameForUserAgent;
    if (configuration_.userContentController) options.handlers = configuration_.userContentController->handlerNames();
    // The client learns its page once the engine made it: engines call clients only later,
    // on the main run loop.
    auto client = std::make_shared<PageClient>(weakSelf());
    page_ = engine_ ? engine_->createPage(options, client) : nullptr;
    if (!page_) {
        SystemLog::write("quelmar: the web engine made no page for a web view");
        return;
    }
    client->setPage(page_);
    pageClient_ = std::move(client);
    pageScale_ = options.scale;
}

// A load the engine refused outright (bad values, no page, a lost engine) fails like one
// that went wrong in the page.
WebDone WebView::loadDone(std::shared_ptr<std::atomic<std::int64_t>> id, std::string url) {
    return [weak = weakSelf(), id = std::move(id), url = std::move(url)](const std::optional<WebError>& error) {
        if (!error) return;
        auto view = weak.lock();
        if (!view) return;
        view->loading_ = false;
        if (auto delegate = view->navigationDelegate())
            delegate->webViewDidFailNavigation(*view, {id->load(), url}, errorText(*error));
    };
}

Navigation WebView::loadHTMLString(const std::string& html, const std::string& baseURL) {
    if (engine_ == defaultEngine()) followConfiguredRoute(engine_);
    ensurePage();
    const std::string url = baseURL.empty() ? "about:blank" : baseURL;
    if (!page_) return {0, url};
    auto id = std::make_shared<std::atomic<std::int64_t>>(0);
    id->store(page_->loadHTML(html, baseURL, loadDone(id, url)));
    return {id->load(), url};
}

Navigation WebView::loadRequest(const std::string& url, const std::map<std::string, std::string>& headers) {
    if (engine_ == defaultEngine()) followConfiguredRoute(engine_);
    ensurePage();
    if (!page_) return {0, url};
    auto id = std::make_shared<std::atomic<std::int64_t>>(0);
    id->store(page_->loadURL(url, headers, loadDone(id, url)));
    return {id->load(), url};
}

void WebView::evaluateJavaScript(const std::string& script,
                                 std::function<void(const Value&, const std::optional<std::string>&)> completion,
                                 double timeoutSeconds) {
    ensurePage();
    if (!page_) {
        if (completion) {
            Queue::main().async([completion = std::move(completion)] {
                completion(Value(), std::string("the web view has no page to run scripts in"));
            });
        }
        return;
    }
    page_->evaluate(script, timeoutSeconds,
                    [weak = weakSelf(), completion = std::move(completion)](const Value& value,
                                                                            const std::optional<WebError>& error) {
                        if (!completion) return;
                        if (weak.expired()) completion(Value(), std::string(kViewGone));
                        else if (error) completion(Value(), errorText(*error));
                        else completion(value, std::nullopt);
                    });
}

void WebView::takeSnapshot(std::function<void(const std::string&, const std::optional<std::string>&)> completion) {
    if (!page_ || pageLost_) {
        if (completion) {
            Queue::main().async([completion = std::move(completion)] {
                completion(std::string(), std::string("the web view has no page to draw"));
            });
        }
        return;
    }
    const std::uint64_t request = nextSnapshot_++;
    const double scale = pageScale_;
    page_->snapshot([weak = weakSelf(), request, scale, completion = std::move(completion)](
                        const std::string& png, const std::optional<WebError>& error) {
        auto view = weak.lock();
        std::optional<std::string> failure;
        if (!view) {
            failure = kViewGone;
        } else if (error) {
            failure = errorText(*error);
        } else if (auto bitmap = decodePNG(png)) {
            if (request >= view->snapshotFloor_ && request > view->shownSnapshot_) {
                view->snapshot_ = std::move(*bitmap);
                view->snapshotScale_ = scale;
                view->shownSnapshot_ = request;
            }
        } else {
            failure = "the engine's snapshot is not a PNG picture";
            SystemLog::write("quelmar: a web view kept its last snapshot: the engine's new one is not a PNG picture");
        }
        view.reset();
        if (completion) completion(failure ? std::string() : png, failure);
    });
}

void WebView::drawContent(Canvas& canvas, const Rect& bounds, double) const {
    if (!snapshot_.empty()) canvas.drawBitmap(snapshot_, bounds, ContentMode::ScaleToFill, snapshotScale_);
    else canvas.drawPlaceholder(bounds, "web view");
}

void WebView::boundsSizeDidChange() {
    if (!page_ || pageLost_) return;
    const double scale = Screen::main().scale();
    pageScale_ = scale;
    page_->resize(bounds().size(), scale, [weak = weakSelf()](const std::optional<WebError>& error) {
        if (error) return;
        if (auto view = weak.lock()) view->takeSnapshot();
    });
}

}  // namespace qm::platform
