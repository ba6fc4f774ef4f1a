#include "qmweb/web_view.hpp"

#include "qmweb/headless_engine.hpp"
#include "qmweb/helper_engine.hpp"

namespace qm::platform {

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

class WebView::PageClient : public WebPageClient {
public:
    void webLoadStateChanged(WebLoadState, const std::string&, std::int64_t) override {}
    void webLoadFailed(const std::string&, const std::string&, std::int64_t) override {}
    void webNavigationRequested(const WebNavigationAction&) override {}
    void webScriptMessage(const std::string&, const Value&) override {}
    void webPageCrashed(const std::string&, bool) override {}
};

std::shared_ptr<WebEngine> WebView::defaultEngine() {
    static const std::shared_ptr<WebEngine> engine = std::make_shared<HeadlessWebEngine>();
    return engine;
}

std::shared_ptr<WebView> WebView::create(Rect frame, WebViewConfiguration configuration) {
    return std::make_shared<WebView>(frame, std::move(configuration));
}

WebView::WebView(Rect frame, WebViewConfiguration configuration)
    : View(frame), configuration_(std::move(configuration)), scrollView_(std::make_shared<ScrollView>()) {
    engine_ = configuredWebEngine();
    if (!engine_) engine_ = defaultEngine();
}

WebView::~WebView() = default;

void WebView::setCustomUserAgent(std::string agent) { customUserAgent_ = std::move(agent); }

void WebView::ensurePage() {
    if (page_) return;
    pageClient_ = std::make_shared<PageClient>();
    WebPageOptions options;
    options.size = frame().size();
    options.userAgent = customUserAgent_;
    options.applicationName = configuration_.applicationNameForUserAgent;
    if (configuration_.userContentController) options.handlers = configuration_.userContentController->handlerNames();
    page_ = engine_->createPage(options, pageClient_);
}

Navigation WebView::loadHTMLString(const std::string& html, const std::string& baseURL) {
    ensurePage();
    return {page_ ? page_->loadHTML(html, baseURL, nullptr) : 0, baseURL};
}

Navigation WebView::loadRequest(const std::string& url, const std::map<std::string, std::string>& headers) {
    ensurePage();
    return {page_ ? page_->loadURL(url, headers, nullptr) : 0, url};
}

void WebView::evaluateJavaScript(const std::string& script,
                                 std::function<void(const Value&, const std::optional<std::string>&)> completion,
                                 double timeoutSeconds) {
    ensurePage();
    auto self = std::static_pointer_cast<WebView>(shared_from_this());
    page_->evaluate(script, timeoutSeconds,
                    [self, completion = std::move(completion)](const Value& value, const std::optional<WebError>& error) {
                        if (!completion) return;
                        if (error) completion(Value(), error->message);
                        else completion(value, std::nullopt);
                    });
}

void WebView::takeSnapshot(std::function<void(const std::string&, const std::optional<std::string>&)>) {}

void WebView::drawContent(Canvas& canvas, const Rect& bounds, double time) const { View::drawContent(canvas, bounds, time); }

void WebView::boundsSizeDidChange() {}

}  // namespace qm::platform
