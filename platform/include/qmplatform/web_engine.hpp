// The seam between web views and the browser engine that runs their pages.
//
// A web view owns one page in an engine. It asks the page to load, evaluate scripts, decide
// navigations and take snapshots; the engine reports what happens in the page to the page's
// client. Every completion runs exactly once and every client call is made on the main run
// loop, never inside the call that started it. Engines: the helper-process engine of the web
// library (a real browser engine in its own process), the headless engine (no pages, only the
// user agent), and the scripted engine tests drive.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qmplatform/geometry.hpp"
#include "quelmar/value.hpp"

namespace qm::platform {

enum class WebLoadState { Started, Redirected, Committed, Finished };

// Why the page navigates, as the engine tells it.
enum class WebNavigationType { LinkActivated, FormSubmitted, BackForward, Reload, FormResubmitted, Other };

struct WebError {
    enum class Kind {
        Exception,   // the script threw; the message is the engine's
        Timeout,     // the deadline passed first
        NoPage,      // the page is gone (destroyed, or its engine lost it)
        BadRequest,  // the engine refused the request's values
        Failed,      // the engine could not do it
        EngineLost,  // the engine stopped before answering
    };
    Kind kind = Kind::Failed;
    std::string message;
};
std::string_view webErrorKindName(WebError::Kind kind);

// A navigation the page started, held until the client decides it.
struct WebNavigationAction {
    std::int64_t id = 0;  // for WebPage::decideNavigation
    std::string url;
    WebNavigationType type = WebNavigationType::Other;
    bool newWindow = false;  // target=_blank or window.open
};

struct WebPageOptions {
    Size size;           // CSS px
    double scale = 1.0;  // device pixels per CSS px of snapshots
    std::string userAgent;  // empty: the engine's own, ending in the application's name
    std::string applicationName;  // "name/version" that ends the engine's own user agent
    std::vector<std::string> handlers;  // script-message handler names the page may post to
};

// What happens in a page. Called on the main run loop.
class WebPageClient {
public:
    virtual ~WebPageClient() = default;
    // `load` is the id WebPage::loadHTML/loadURL answered, or the id of the allowed navigation
    // that started the load (0: a load the client did not start or allow).
    virtual void webLoadStateChanged(WebLoadState state, const std::string& url, std::int64_t load) = 0;
    // A load failed (a cancelled load is not a failure).
    virtual void webLoadFailed(const std::string& url, const std::string& message, std::int64_t load) = 0;
    // The page wants to navigate: call WebPage::decideNavigation with the action's id, once.
    virtual void webNavigationRequested(const WebNavigationAction& action) = 0;
    // The page called window.webkit.messageHandlers.NAME.postMessage(body).
    virtual void webScriptMessage(const std::string& name, const Value& body) = 0;
    // The page's process stopped; the page shows nothing until it loads again. Also when the
    // whole engine was lost (`engineLost`), in which case the page is gone for good.
    virtual void webPageCrashed(const std::string& message, bool engineLost) = 0;
};

using WebDone = std::function<void(const std::optional<WebError>& error)>;
using WebValueDone = std::function<void(const Value& value, const std::optional<WebError>& error)>;
// `png` holds the snapshot's PNG bytes when there is no error.
using WebSnapshotDone = std::function<void(const std::string& png, const std::optional<WebError>& error)>;

// One page in an engine; destroying it destroys the page in the engine. Completions run on
// the main run loop, exactly once, also when the page or the engine goes away first (with an
// error then).
class WebPage {
public:
    virtual ~WebPage() = default;
    virtual void resize(Size size, double scale, WebDone done) = 0;
    // Both answer the load's id, which the client's load events carry. An empty base URL
    // loads the HTML as "about:blank".
    virtual std::int64_t loadHTML(const std::string& html, const std::string& baseURL, WebDone done) = 0;
    virtual std::int64_t loadURL(const std::string& url, const std::map<std::string, std::string>& headers,
                                 WebDone done) = 0;
    // The script's completion value as a dynamic value (a dictionary for an object, and so
    // on), or an error.
    virtual void evaluate(const std::string& script, double timeoutSeconds, WebValueDone done) = 0;
    // Decides a navigation the client was asked about (an unknown id is ignored).
    virtual void decideNavigation(std::int64_t navigation, bool allow) = 0;
    virtual void snapshot(WebSnapshotDone done) = 0;
};

class WebEngine {
public:
    virtual ~WebEngine() = default;
    // A new, empty page whose events go to `client` while it lives.
    virtual std::shared_ptr<WebPage> createPage(const WebPageOptions& options,
                                                std::weak_ptr<WebPageClient> client) = 0;
    // The user agent the engine's pages report when none is set, on the main run loop; nothing
    // when the engine cannot tell.
    virtual void defaultUserAgent(std::function<void(const std::optional<std::string>& agent)> done) = 0;
};

// The engine set by configure() (nothing when the host left it empty: web views then use the
// web library's default engine).
std::shared_ptr<WebEngine> configuredWebEngine();
void setConfiguredWebEngine(std::shared_ptr<WebEngine> engine);

}  // namespace qm::platform
