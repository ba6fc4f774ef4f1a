// Web views over the scripted engine: what the delegate hears of loads, how navigations are
// decided, where script messages go, what scripts answer, and a view that goes away with
// requests in flight.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qmplatform/screen.hpp"
#include "qmweb/headless_engine.hpp"
#include "qmweb/web_view.hpp"
#include "test_host.hpp"
#include "web/web_support.hpp"

using namespace qm;
using namespace qm::platform;
using qm::testing::RecordingDelegate;
using qm::testing::RecordingHandler;
using qm::testkit::ScriptedLoad;
using qm::testkit::ScriptedWebEngine;
using qm::testkit::TestHost;
using qm::testkit::TextMatch;

namespace {

struct Answer {
    int calls = 0;
    Value value;
    std::optional<std::string> error;
    auto completion() {
        return [this](const Value& v, const std::optional<std::string>& e) {
            ++calls;
            value = v;
            error = e;
        };
    }
};

}  // namespace

TEST(WebViewLoads, DelegateHearsStartCommitFinishInOrderAndThePageIsMadeToTheView) {
    TestHost host;
    auto& engine = host.webEngine();
    engine.onLoadURL(TextMatch::regex("^https://down\\."), {.states = {WebLoadState::Started}, .failure = "offline"});
    auto controller = std::make_shared<UserContentController>();
    auto handler = std::make_shared<RecordingHandler>();
    controller->addScriptMessageHandler(handler, "qmOpenWeb");
    controller->addScriptMessageHandler(handler, "qmClose");
    WebViewConfiguration configuration;
    configuration.userContentController = controller;
    configuration.applicationNameForUserAgent = "App/2";
    auto web = WebView::create({0, 0, 200, 100}, configuration);
    web->setCustomUserAgent("Custom/1");
    auto delegate = std::make_shared<RecordingDelegate>();
    web->setNavigationDelegate(delegate);

    // Nothing is made before the first load; nothing is heard inside the call.
    EXPECT_EQ(engine.pageCount(), 0u);
    const Navigation first = web->loadHTMLString("<p>Hello</p>", "");
    EXPECT_EQ(first.url, "about:blank");
    EXPECT_TRUE(delegate->events.empty());
    EXPECT_FALSE(web->isLoading());
    ASSERT_TRUE(host.runUntilIdle());
    const std::string id = std::to_string(first.id);
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"start " + id + " about:blank loading",
                                                          "commit " + id + " about:blank loading",
                                                          "finish " + id + " about:blank"}));
    EXPECT_EQ(web->URL(), "about:blank");

    ASSERT_EQ(engine.pageCount(), 1u);
    auto page = engine.page(0);
    EXPECT_EQ(page.options.size, (Size{200, 100}));
    EXPECT_EQ(page.options.scale, Screen::main().scale());
    EXPECT_EQ(page.options.userAgent, "Custom/1");
    EXPECT_EQ(page.options.applicationName, "App/2");
    EXPECT_EQ(page.options.handlers, (std::vector<std::string>{"qmOpenWeb", "qmClose"}));
    ASSERT_EQ(page.loads.size(), 1u);
    EXPECT_TRUE(page.loads[0].html);
    EXPECT_EQ(page.loads[0].htmlText, "<p>Hello</p>");

    // A URL with headers, committed: the URL follows; a failing one tells the delegate why.
    delegate->events.clear();
    const Navigation second = web->loadRequest("https://example.com/offer", {{"X-Brand", "1234"}});
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(web->URL(), "https://example.com/offer");
    const Navigation third = web->loadRequest("https://down.example.com/");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(delegate->events.size(), 5u);
    EXPECT_EQ(delegate->events.back(), "fail " + std::to_string(third.id) + " https://down.example.com/ offline");
    EXPECT_FALSE(web->isLoading());
    EXPECT_EQ(web->URL(), "https://example.com/offer");  // the failed load never committed
    page = engine.page(0);
    ASSERT_EQ(page.loads.size(), 3u);
    EXPECT_EQ(page.loads[1].id, second.id);
    EXPECT_EQ(page.loads[1].headers, (std::map<std::string, std::string>{{"X-Brand", "1234"}}));
    EXPECT_EQ(engine.pageCount(), 1u);  // one page for the view's whole life
}

TEST(WebViewNavigation, DecisionsReachThePageOnceAndADroppedHandlerCancels) {
    TestHost host;
    auto& engine = host.webEngine();
    auto web = WebView::create({0, 0, 100, 100});
    auto delegate = std::make_shared<RecordingDelegate>();
    web->setNavigationDelegate(delegate);
    web->loadHTMLString("<a href=x>", "https://example.com/");
    ASSERT_TRUE(host.runUntilIdle());
    delegate->events.clear();

    // Allowed: the delegate sees the action as the page asked, then the load it started, with
    // the action's id.
    const std::int64_t allowed = engine.requestNavigation("https://example.com/next", WebNavigationType::LinkActivated, true);
    ASSERT_TRUE(host.runUntilIdle());
    ASSERT_EQ(delegate->actions.size(), 1u);
    EXPECT_EQ(delegate->actions[0].url, "https://example.com/next");
    EXPECT_EQ(delegate->actions[0].navigationType, WebNavigationType::LinkActivated);
    EXPECT_TRUE(delegate->actions[0].targetsNewWindow);
    EXPECT_EQ(delegate->events[1], "start " + std::to_string(allowed) + " https://example.com/next loading");
    EXPECT_EQ(web->URL(), "https://example.com/next");

    delegate->answer = RecordingDelegate::Answer::Cancel;
    const std::int64_t cancelled = engine.requestNavigation("https://example.com/no", WebNavigationType::FormSubmitted);
    delegate->answer = RecordingDelegate::Answer::Twice;
    ASSERT_TRUE(host.runUntilIdle());
    const std::int64_t twice = engine.requestNavigation("https://example.com/twice");
    ASSERT_TRUE(host.runUntilIdle());
    delegate->answer = RecordingDelegate::Answer::Drop;
    const std::int64_t dropped = engine.requestNavigation("https://example.com/dropped");
    ASSERT_TRUE(host.runUntilIdle());
    delegate->answer = RecordingDelegate::Answer::Keep;
    const std::int64_t kept = engine.requestNavigation("https://example.com/kept");
    ASSERT_TRUE(host.runUntilIdle());

    auto decisions = engine.page(0).decisions;
    ASSERT_EQ(decisions.size(), 4u);  // the kept one is still waiting
    EXPECT_EQ(decisions[0].navigation, allowed);
    EXPECT_TRUE(decisions[0].allow);
    EXPECT_EQ(decisions[1].navigation, cancelled);
    EXPECT_FALSE(decisions[1].allow);
    EXPECT_EQ(decisions[2].navigation, twice);
    EXPECT_FALSE(decisions[2].allow);  // the first call decides, the second is ignored
    EXPECT_EQ(decisions[3].navigation, dropped);
    EXPECT_FALSE(decisions[3].allow);  // never called: cancelled when the handler went
    for (const auto& d : decisions) EXPECT_TRUE(d.known);
    EXPECT_EQ(web->URL(), "https://example.com/next");

    // A kept handler decides later, copies share the one decision.
    auto copy = delegate->kept.at(0);
    delegate->kept.at(0)(NavigationActionPolicy::Allow);
    copy(NavigationActionPolicy::Cancel);
    delegate->kept.clear();
    copy = nullptr;
    ASSERT_TRUE(host.runUntilIdle());
    decisions = engine.page(0).decisions;
    ASSERT_EQ(decisions.size(), 5u);
    EXPECT_EQ(decisions[4].navigation, kept);
    EXPECT_TRUE(decisions[4].allow);
    EXPECT_EQ(web->URL(), "https://example.com/kept");

    // Without a delegate a navigation is allowed.
    web->setNavigationDelegate({});
    engine.requestNavigation("https://example.com/free");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_TRUE(engine.page(0).decisions.back().allow);
    EXPECT_EQ(web->URL(), "https://example.com/free");
}

TEST(WebViewScriptMessages, ReachTheHandlerOfTheirNameWithTheBodyAsPosted) {
    TestHost host;
    auto& engine = host.webEngine();
    auto controller = std::make_shared<UserContentController>();
    auto open = std::make_shared<RecordingHandler>();
    auto close = std::make_shared<RecordingHandler>();
    controller->addScriptMessageHandler(open, "qmOpenWeb");
    controller->addScriptMessageHandler(close, "qmClose");
    const Value dictionary{{"url", "https://example.com"}, {"count", 2}, {"ok", true}};
    engine.onLoadHTML("<form", {.messages = {{"qmOpenWeb", dictionary},
                                             {"qmClose", Value("bye")},
                                             {"qmUnknown", Value(1)},
                                             {"qmOpenWeb", Value::array({1, 2.5, "x"})}}});
    WebViewConfiguration configuration;
    configuration.userContentController = controller;
    auto web = WebView::create({0, 0, 100, 100}, configuration);
    web->loadHTMLString("<form></form>", "");
    ASSERT_TRUE(host.runUntilIdle());

    ASSERT_EQ(open->messages.size(), 2u);
    EXPECT_EQ(open->messages[0].name, "qmOpenWeb");
    EXPECT_EQ(open->messages[0].body, dictionary);
    EXPECT_EQ(open->messages[1].body, Value::array({1, 2.5, "x"}));
    EXPECT_EQ(open->messages[0].webView.lock(), web);
    ASSERT_EQ(close->messages.size(), 1u);
    EXPECT_EQ(close->messages[0].body, Value("bye"));

    // A removed handler gets nothing; a handler that went is skipped.
    controller->removeScriptMessageHandlerForName("qmClose");
    EXPECT_TRUE(engine.postMessage("qmClose", Value("again")));
    open.reset();
    EXPECT_TRUE(engine.postMessage("qmOpenWeb", Value::null()));
    EXPECT_FALSE(engine.postMessage("qmNever", Value()));  // the page has no such name
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(close->messages.size(), 1u);
}

TEST(WebViewScripts, EvaluateAnswersValueErrorOrTheLostEngineOnceOnTheMainLoop) {
    TestHost host;
    auto& engine = host.webEngine();
    engine.onEvaluate(TextMatch::regex("^document\\.title"), Value("Offers"));
    engine.onEvaluate("offer()", Value{{"id", 7}});
    engine.onEvaluateError("broken()", "TypeError: broken is not a function");
    WebViewConfiguration configuration;
    configuration.applicationNameForUserAgent = "App/2";
    auto web = WebView::create({0, 0, 100, 100}, configuration);

    Answer title, offer, broken, agent, other;
    web->evaluateJavaScript("document.title", title.completion());
    EXPECT_EQ(title.calls, 0);  // never inside the call
    web->evaluateJavaScript("window.offer()", offer.completion());
    web->evaluateJavaScript("broken()", broken.completion());
    web->evaluateJavaScript(" navigator.userAgent; ", agent.completion());
    web->evaluateJavaScript("1 + 1", other.completion(), 3);
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(title.calls, 1);
    EXPECT_EQ(title.value, Value("Offers"));
    EXPECT_FALSE(title.error);
    EXPECT_EQ(offer.value, (Value{{"id", 7}}));
    EXPECT_EQ(broken.error, "TypeError: broken is not a function");
    EXPECT_FALSE(broken.value);
    EXPECT_EQ(agent.value, Value(std::string(ScriptedWebEngine::kUserAgent) + " App/2"));
    EXPECT_EQ(other.calls, 1);
    EXPECT_FALSE(other.error);
    const auto page = engine.page(0);
    EXPECT_EQ(page.scripts(), (std::vector<std::string>{"document.title", "window.offer()", "broken()",
                                                        " navigator.userAgent; ", "1 + 1"}));
    EXPECT_EQ(page.evaluations[4].timeoutSeconds, 3);

    // The engine goes while a script is held: the script fails, the delegate hears the page
    // stopped, and the next request makes a new page.
    auto delegate = std::make_shared<RecordingDelegate>();
    web->setNavigationDelegate(delegate);
    engine.setSilent(true);
    Answer held;
    web->evaluateJavaScript("document.title", held.completion());
    EXPECT_EQ(engine.heldCount(), 1u);
    engine.loseEngine("the helper exited");
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(held.calls, 1);
    EXPECT_EQ(held.error, "the helper exited");
    EXPECT_EQ(delegate->events, std::vector<std::string>{"terminate"});
    EXPECT_TRUE(engine.page(0).lost);
    engine.setSilent(false);
    Answer again;
    web->evaluateJavaScript("document.title", again.completion());
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(again.value, Value("Offers"));
    EXPECT_EQ(engine.pageCount(), 2u);
    EXPECT_EQ(engine.livePageCount(), 1u);
    EXPECT_TRUE(engine.page(0).destroyed);
}

TEST(WebViewLifetime, AViewGoneWithRequestsInFlightHearsNothingAndItsCompletionsEndOnce) {
    TestHost host;
    auto& engine = host.webEngine();
    auto controller = std::make_shared<UserContentController>();
    auto handler = std::make_shared<RecordingHandler>();
    controller->addScriptMessageHandler(handler, "qmOpenWeb");
    engine.onLoadHTML("", {.messages = {{"qmOpenWeb", Value(1)}}});
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->answer = RecordingDelegate::Answer::Keep;
    Answer script;
    int snapshots = 0;
    std::optional<std::string> snapshotError;
    {
        WebViewConfiguration configuration;
        configuration.userContentController = controller;
        auto web = WebView::create({0, 0, 100, 100}, configuration);
        web->setNavigationDelegate(delegate);
        web->loadHTMLString("<p>", "");
        ASSERT_TRUE(host.runUntilIdle());
        ASSERT_EQ(handler->messages.size(), 1u);
        delegate->events.clear();

        // Answered at once, but the view goes before the main loop runs them.
        web->loadHTMLString("<p>again</p>", "");
        engine.requestNavigation("https://example.com/");
        engine.postMessage("qmOpenWeb", Value(2));
        engine.crash();
        // Held, then failed as the page goes.
        engine.setSilent(true);
        web->evaluateJavaScript("document.title", script.completion());
        web->takeSnapshot([&](const std::string& png, const std::optional<std::string>& error) {
            ++snapshots;
            snapshotError = error;
            EXPECT_TRUE(png.empty());
        });
        EXPECT_EQ(engine.heldCount(), 2u);
    }
    EXPECT_EQ(engine.heldCount(), 0u);
    EXPECT_EQ(engine.livePageCount(), 0u);
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_TRUE(delegate->events.empty());
    EXPECT_EQ(handler->messages.size(), 1u);
    EXPECT_EQ(script.calls, 1);
    EXPECT_TRUE(script.error);
    EXPECT_EQ(snapshots, 1);
    EXPECT_TRUE(snapshotError);

    // A decision handler kept past its view decides nothing, and nothing breaks.
    engine.setSilent(false);
    {
        auto web = WebView::create({0, 0, 100, 100});
        web->setNavigationDelegate(delegate);
        web->loadHTMLString("<p>", "");
        ASSERT_TRUE(host.runUntilIdle());
        engine.requestNavigation("https://example.com/late");
        ASSERT_TRUE(host.runUntilIdle());
        ASSERT_EQ(delegate->kept.size(), 1u);
    }
    delegate->kept.at(0)(NavigationActionPolicy::Allow);
    delegate->kept.clear();
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_TRUE(engine.page(1).decisions.empty());
}

// The library reads the user agent from a web view at start-up; without the host's scripted
// engine a view uses the engine the test host was given.
TEST(WebViewEngines, TheHostsEngineUnlessTheOptionsNameAnother) {
    TestHost::Options options;
    options.webEngine = std::make_shared<HeadlessWebEngine>();
    TestHost host(options);
    auto web = WebView::create();
    Answer agent;
    web->evaluateJavaScript("navigator.userAgent", agent.completion());
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(agent.value, Value(HeadlessWebEngine::userAgent()));
    EXPECT_EQ(host.webEngine().pageCount(), 0u);

    // The engine's own agent, asked of the engine.
    host.webEngine().setUserAgent("Agent/9");
    std::optional<std::string> own;
    host.webEngine().defaultUserAgent([&](const std::optional<std::string>& a) { own = a; });
    EXPECT_FALSE(own);
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(own, "Agent/9");
    EXPECT_EQ(host.webEngine().defaultUserAgentRequests(), 1);
}
