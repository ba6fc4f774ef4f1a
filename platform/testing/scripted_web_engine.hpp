// A browser engine tests script, in process: which load states and script messages a load
// brings, what a script evaluates to, what a snapshot shows; it injects navigation requests,
// script messages, crashes and the loss of the whole engine, holds every answer on request
// (to test deadlines), and records what each page was asked. Every answer and every event
// goes through the main queue, as a real engine's do, never inside the call that asked.
//
//     auto& engine = host.webEngine();
//     engine.onLoadHTML(TextMatch::contains("<form"), {.messages = {{"qmOpenWeb", Value{{"a", 1}}}}});
//     engine.onEvaluate(TextMatch::regex("^document\\.title"), Value("Offers"));
//     web->loadHTMLString("<form>…</form>", "");
//     host.runUntilIdle();
//     EXPECT_EQ(engine.page(0).loads.size(), 1u);
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "qmplatform/web_engine.hpp"
#include "quelmar/value.hpp"

namespace qm::testkit {

// What a rule matches: text containing a substring, text in which a regular expression
// (ECMAScript) finds a match, or anything.
class TextMatch {
public:
    static TextMatch any();
    static TextMatch contains(std::string text);
    static TextMatch regex(const std::string& pattern);
    // A plain text is a substring match.
    TextMatch(const char* text) : TextMatch(contains(text)) {}
    TextMatch(std::string text) : TextMatch(contains(std::move(text))) {}

    bool matches(const std::string& text) const;

private:
    TextMatch() = default;
    std::string text_;
    std::shared_ptr<const std::regex> regex_;
};

// What a load does in a page.
struct ScriptedLoad {
    // The states reported, in order, with the load's URL and id.
    std::vector<platform::WebLoadState> states{platform::WebLoadState::Started, platform::WebLoadState::Committed,
                                               platform::WebLoadState::Finished};
    // When set, the load fails with this message after the states above.
    std::optional<std::string> failure;
    // What the page posts after the load, in order (handler name, body). Names the page was
    // not created with are dropped, as a page cannot reach them.
    std::vector<std::pair<std::string, Value>> messages;
};

class ScriptedWebEngine : public platform::WebEngine {
public:
    // The engine's own user agent until setUserAgent.
    static constexpr const char* kUserAgent =
        "Mozilla/5.0 (Linux; Scripted) QuelmarWebKit/1.0 (KHTML, like Gecko) Mobile";

    struct LoadRecord {
        std::int64_t id = 0;
        bool html = false;        // loadHTML (else a URL or an allowed navigation)
        bool navigation = false;  // started by an allowed navigation
        std::string url;          // the base URL ("about:blank" when none) or the URL loaded
        std::string htmlText;     // loadHTML's text
        std::map<std::string, std::string> headers;
    };
    struct EvaluationRecord {
        std::string script;
        double timeoutSeconds = 0;
    };
    struct DecisionRecord {
        std::int64_t navigation = 0;
        bool allow = false;
        bool known = false;  // the page was waiting for this decision
    };
    struct ResizeRecord {
        platform::Size size;
        double scale = 1;
    };
    // What one page was asked, in order.
    struct PageRecord {
        std::size_t index = 0;  // in creation order
        platform::WebPageOptions options;
        std::vector<LoadRecord> loads;
        std::vector<EvaluationRecord> evaluations;
        std::vector<DecisionRecord> decisions;
        std::vector<ResizeRecord> resizes;
        int snapshots = 0;
        int crashes = 0;
        bool destroyed = false;
        bool lost = false;  // its engine was lost
        std::vector<std::string> scripts() const;
    };

    ScriptedWebEngine();
    ~ScriptedWebEngine() override;
    ScriptedWebEngine(const ScriptedWebEngine&) = delete;
    ScriptedWebEngine& operator=(const ScriptedWebEngine&) = delete;

    // ---- Rules. The most recently added rule that matches decides; a load no rule matches
    // reports started, committed and finished.
    void onLoadHTML(TextMatch html, ScriptedLoad load);
    void onLoadURL(TextMatch url, ScriptedLoad load);
    // Scripts no rule matches answer nothing (no value, no error), but for
    // "navigator.userAgent", which answers the page's user agent.
    void onEvaluate(TextMatch script, Value answer);
    void onEvaluateError(TextMatch script, std::string message,
                         platform::WebError::Kind kind = platform::WebError::Kind::Exception);
    // The engine's own user agent: what defaultUserAgent answers (nothing: the engine cannot
    // tell) and, followed by the application's name, what pages without a custom agent report.
    void setUserAgent(std::optional<std::string> agent);
    // Snapshots answer these bytes (good or bad), or an error; by default a PNG of one colour
    // (0xAARRGGBB, not premultiplied) of the page's size × scale.
    void setSnapshotPNG(std::string png);
    void setSnapshotColor(std::uint32_t argb);
    void setSnapshotError(std::string message);

    // ---- Silence. While silent, answers (completions and the events of loads) are held
    // until released; a page destroyed meanwhile answers its held requests NoPage, a crash
    // fails them, a lost engine fails them EngineLost.
    void setSilent(bool silent);
    std::size_t heldCount() const;
    // Sends every held answer, in the order asked; returns how many.
    std::size_t release();

    // ---- Injection into a live page: `page` by creation index, none for the newest live one.
    // The page asks its client to decide a navigation; answers the action's id (0: no page).
    // An allowed navigation loads its URL (by the URL rules) with the action's id as load id.
    std::int64_t requestNavigation(const std::string& url,
                                   platform::WebNavigationType type = platform::WebNavigationType::LinkActivated,
                                   bool newWindow = false, std::optional<std::size_t> page = std::nullopt);
    // The page posts a script message (dropped, false, when the page has no such handler name).
    bool postMessage(const std::string& name, const Value& body, std::optional<std::size_t> page = std::nullopt);
    // The page's process stops: its held requests fail and its client hears of it.
    bool crash(const std::string& message = "the web content process stopped",
               std::optional<std::size_t> page = std::nullopt);
    // The whole engine stops: every held request fails EngineLost, every live page crashes
    // for good (later requests to it answer NoPage). New pages work again.
    void loseEngine(const std::string& message = "the web engine stopped");

    // ---- Records (copies).
    std::size_t pageCount() const;  // destroyed ones included
    std::size_t livePageCount() const;
    PageRecord page(std::size_t index) const;  // an empty record past the end
    std::vector<PageRecord> pages() const;
    int defaultUserAgentRequests() const;

    // A PNG of `argb` pixels (0xAARRGGBB, not premultiplied, rows from the top); empty when
    // the size does not match the pixels.
    static std::string encodePNG(int width, int height, const std::vector<std::uint32_t>& argb);
    static std::string solidColorPNG(int width, int height, std::uint32_t argb);

    // platform::WebEngine
    std::shared_ptr<platform::WebPage> createPage(const platform::WebPageOptions& options,
                                                  std::weak_ptr<platform::WebPageClient> client) override;
    void defaultUserAgent(std::function<void(const std::optional<std::string>& agent)> done) override;

    struct State;
    struct PageState;

private:
    std::shared_ptr<State> state_;
};

}  // namespace qm::testkit
