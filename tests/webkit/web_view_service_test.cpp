// Web views in the real engine against pages the local service serves over loopback TLS:
// messages posted on load, scripts answered, a link held for the navigation delegate and
// followed once allowed, the request headers the service saw, and the page's colours in the
// snapshot the view draws. Skipped where the helper is not built or cannot start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmservice/local_service.hpp"
#include "qmweb/helper_engine.hpp"
#include "qmweb/web_view.hpp"
#include "test_host.hpp"

using namespace qm;
using namespace qm::platform;
using qm::service::LocalService;

namespace {

struct Recorder : ScriptMessageHandler, NavigationDelegate {
    std::vector<ScriptMessage> messages;
    std::vector<NavigationAction> asked;
    std::vector<std::function<void(NavigationActionPolicy)>> decisions;
    int finished = 0;
    std::optional<std::string> failed;
    bool crashed = false;
    bool allowAll = false;  // navigations are allowed at once instead of held

    void userContentController(UserContentController&, const ScriptMessage& message) override {
        messages.push_back(message);
    }
    void webViewDecidePolicyForNavigationAction(WebView&, const NavigationAction& action,
                                                std::function<void(NavigationActionPolicy)> decide) override {
        asked.push_back(action);
        if (allowAll) return decide(NavigationActionPolicy::Allow);
        decisions.push_back(std::move(decide));
    }
    void webViewDidFinishNavigation(WebView&, const Navigation&) override { ++finished; }
    void webViewDidFailNavigation(WebView&, const Navigation&, const std::string& message) override { failed = message; }
    void webViewWebContentProcessDidTerminate(WebView&) override { crashed = true; }
};

class WebViewService : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HelperEngine::findHelper()) GTEST_SKIP() << "the qm-webkit helper is not built here";
        char folder[] = "/tmp/qm-web-service-XXXXXX";
        ASSERT_TRUE(mkdtemp(folder));
        dir_ = folder;
        service_ = std::make_unique<LocalService>(LocalService::Options{dir_ + "/state"});
        ASSERT_TRUE(service_->start()) << service_->lastError();
        engine_ = HelperEngine::create();
        ASSERT_TRUE(engine_);
        setConfiguredWebEngine(engine_);
        std::optional<std::optional<WebError>> trusted;
        engine_->trustCertificate("127.0.0.1", service_->serverCertificatePEM(),
                                  [&](const std::optional<WebError>& error) { trusted = error; });
        ASSERT_TRUE(host_.runUntil([&] { return trusted.has_value(); }, 60));
        if (*trusted && (*trusted)->kind == WebError::Kind::EngineLost) {
            GTEST_SKIP() << "the web engine cannot start here: " << (*trusted)->message;
        }
        ASSERT_FALSE(*trusted) << (*trusted)->message;
    }
    void TearDown() override {
        setConfiguredWebEngine(nullptr);
        if (engine_) engine_->shutdown();
        engine_.reset();
        if (service_) service_->stop();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    std::string authorities() const {
        std::ifstream in(service_->caFile());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::optional<WebError> route(std::optional<HelperRoute> route) {
        std::optional<std::optional<WebError>> done;
        engine_->setRoute(std::move(route), [&](const std::optional<WebError>& error) { done = error; });
        EXPECT_TRUE(host_.runUntil([&] { return done.has_value(); }, 30));
        return done.value_or(WebError{WebError::Kind::Timeout, "no answer"});
    }
    // A web view with the survey's message handlers, its navigations allowed.
    std::shared_ptr<WebView> surveyView(const std::shared_ptr<Recorder>& recorder) {
        auto controller = std::make_shared<UserContentController>();
        for (const char* name : {"qmResizeWebView", "surveyAttempt", "surveySubmit"})
            controller->addScriptMessageHandler(recorder, name);
        WebViewConfiguration configuration;
        configuration.userContentController = controller;
        auto web = WebView::create({0, 0, 320, 480}, configuration);
        recorder->allowAll = true;
        web->setNavigationDelegate(recorder);
        return web;
    }
    std::string surveyURL() const {
        return "https://" + service_->hostFor("mobile") + "/user/survey/modal?notificationid=7";
    }
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(service_->port()) + path;
    }

    testkit::TestHost host_;
    std::string dir_;
    std::unique_ptr<LocalService> service_;
    std::shared_ptr<HelperEngine> engine_;
};

}  // namespace

TEST_F(WebViewService, ServedPageTalksToTheAppAndWaitsForItsNavigationDecisions) {
    auto recorder = std::make_shared<Recorder>();
    auto controller = std::make_shared<UserContentController>();
    controller->addScriptMessageHandler(recorder, "probe");
    WebViewConfiguration configuration;
    configuration.userContentController = controller;
    configuration.applicationNameForUserAgent = "probe-app/1.0";
    auto web = WebView::create({0, 0, 320, 480}, configuration);
    web->setNavigationDelegate(recorder);

    web->loadRequest(url("/pages/probe.html"), {{"X-Probe", "yes"}});
    ASSERT_TRUE(host_.runUntil([&] { return recorder->finished == 1 || recorder->failed; }, 30));
    ASSERT_FALSE(recorder->failed) << *recorder->failed;
    ASSERT_TRUE(host_.runUntil([&] { return !recorder->messages.empty(); }, 10));
    EXPECT_EQ(recorder->messages[0].name, "probe");
    EXPECT_EQ(recorder->messages[0].body["loaded"], Value(true));
    EXPECT_EQ(recorder->messages[0].body["height"].intValue(), 340);
    EXPECT_EQ(recorder->messages[0].webView.lock(), web);
    EXPECT_EQ(web->URL(), url("/pages/probe.html"));

    // What the service saw: the extra header, and the engine's agent ending in the app's name.
    const auto pages = service_->requestsFor("probe.html");
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].headers.at("x-probe"), "yes");
    EXPECT_TRUE(pages[0].headers.at("user-agent").ends_with(" probe-app/1.0")) << pages[0].headers.at("user-agent");

    // Scripts: values of every JSON kind, and the page's own exception text.
    std::optional<Value> answer;
    web->evaluateJavaScript("probeAnswer(21)", [&](const Value& v, const std::optional<std::string>& error) {
        answer = error ? Value(*error) : v;
    });
    ASSERT_TRUE(host_.runUntil([&] { return answer.has_value(); }, 10));
    EXPECT_EQ(*answer, (Value{{"got", 21}, {"twice", 42}, {"list", Value::array({1, "two", true, Value::null()})}}));
    std::optional<std::string> thrown;
    web->evaluateJavaScript("noSuchFunction()", [&](const Value&, const std::optional<std::string>& error) {
        thrown = error.value_or("no error");
    });
    ASSERT_TRUE(host_.runUntil([&] { return thrown.has_value(); }, 10));
    EXPECT_NE(thrown->find("noSuchFunction"), std::string::npos) << *thrown;

    // A followed link waits for the delegate: cancelled, the page stays; allowed, it loads.
    auto followLink = [&] {
        web->evaluateJavaScript("probeFollowLink()", nullptr);
        return host_.runUntil([&] { return recorder->asked.size() == recorder->decisions.size() &&
                                           !recorder->decisions.empty() && recorder->decisions.back(); }, 10);
    };
    ASSERT_TRUE(followLink());
    EXPECT_EQ(recorder->asked.back().url, url("/pages/next.html"));
    EXPECT_EQ(recorder->asked.back().navigationType, WebNavigationType::LinkActivated);
    std::exchange(recorder->decisions.back(), nullptr)(NavigationActionPolicy::Cancel);
    std::optional<Value> stillHere;
    web->evaluateJavaScript("document.title", [&](const Value& v, const std::optional<std::string>&) { stillHere = v; });
    ASSERT_TRUE(host_.runUntil([&] { return stillHere.has_value(); }, 10));
    EXPECT_EQ(*stillHere, Value("Probe"));
    EXPECT_TRUE(service_->requestsFor("next.html").empty());

    ASSERT_TRUE(followLink());
    std::exchange(recorder->decisions.back(), nullptr)(NavigationActionPolicy::Allow);
    ASSERT_TRUE(host_.runUntil([&] { return recorder->finished == 2 || recorder->failed; }, 30));
    ASSERT_TRUE(host_.runUntil([&] { return recorder->messages.size() == 2; }, 10));
    EXPECT_EQ(recorder->messages[1].body, (Value{{"page", "next"}}));
    EXPECT_EQ(web->URL(), url("/pages/next.html"));
    EXPECT_FALSE(recorder->crashed);
}

TEST_F(WebViewService, TheViewDrawsThePagesOwnColours) {
    auto web = WebView::create({0, 0, 200, 400});
    auto recorder = std::make_shared<Recorder>();
    web->setNavigationDelegate(recorder);
    web->loadRequest(url("/pages/probe.html"));
    ASSERT_TRUE(host_.runUntil([&] { return recorder->finished == 1 || recorder->failed; }, 30));
    ASSERT_FALSE(recorder->failed);
    // The view takes its own snapshot after the load.
    ASSERT_TRUE(host_.runUntil([&] { return !web->snapshotBitmap().empty(); }, 10));
    const Bitmap& shot = web->snapshotBitmap();
    const double scale = shot.width / 200.0;
    EXPECT_EQ(shot.height, static_cast<int>(400 * scale + 0.5));
    auto rgb = [&](double x, double y) { return shot.at(static_cast<int>(x * scale), static_cast<int>(y * scale)) & 0xFFFFFFu; };
    EXPECT_EQ(rgb(10, 50), 0xFF0000u);
    EXPECT_EQ(rgb(190, 150), 0x00FF00u);
    EXPECT_EQ(rgb(100, 250), 0x0000FFu);
    EXPECT_EQ(rgb(100, 390), 0xFFFFFFu);
}

TEST_F(WebViewService, ARoutedEngineReachesTheServiceUnderItsHostNamesAcrossHelperRestarts) {
    ASSERT_FALSE(route(HelperRoute{service_->address(), authorities()}));
    ASSERT_TRUE(engine_->route());
    EXPECT_EQ(engine_->route()->address, service_->address());

    auto recorder = std::make_shared<Recorder>();
    auto web = surveyView(recorder);
    web->loadRequest(surveyURL());
    // The survey posts its messages and moves on to its thank-you page, which posts one more.
    ASSERT_TRUE(host_.runUntil([&] { return recorder->finished == 2 || recorder->failed; }, 60));
    ASSERT_FALSE(recorder->failed) << *recorder->failed;
    ASSERT_TRUE(host_.runUntil([&] { return recorder->messages.size() == 4; }, 10));
    std::vector<std::string> names;
    for (const auto& m : recorder->messages) names.push_back(m.name);
    EXPECT_EQ(names, (std::vector<std::string>{"qmResizeWebView", "surveyAttempt", "surveySubmit", "qmResizeWebView"}));
    EXPECT_NE(recorder->messages[2].body.string().find(R"("notificationID":"7")"), std::string::npos);
    const std::string mobile = service_->hostFor("mobile");
    EXPECT_EQ(web->URL(), "https://" + mobile + "/user/survey/thankYou?notificationid=7");
    const auto modal = service_->requestsFor("modal");
    ASSERT_EQ(modal.size(), 1u);
    EXPECT_EQ(modal[0].method, "GET");
    EXPECT_EQ(modal[0].host, mobile);
    EXPECT_EQ(modal[0].fields["notificationid"], Value("7"));
    const auto thanks = service_->requestsFor("thankYou");
    ASSERT_EQ(thanks.size(), 1u);
    EXPECT_EQ(thanks[0].host, mobile);

    // A port the page names is connected as named, past the route.
    auto direct = std::make_shared<Recorder>();
    auto probe = WebView::create({0, 0, 320, 480});
    probe->setNavigationDelegate(direct);
    probe->loadRequest(url("/pages/probe.html"));
    ASSERT_TRUE(host_.runUntil([&] { return direct->finished == 1 || direct->failed; }, 30));
    EXPECT_FALSE(direct->failed) << *direct->failed;

    // A helper that dies takes its route along; the next one is given it again before any page.
    const auto pid = engine_->helperPid();
    ASSERT_TRUE(pid);
    ASSERT_EQ(kill(static_cast<pid_t>(*pid), SIGKILL), 0);
    ASSERT_TRUE(host_.runUntil([&] { return recorder->crashed && engine_->helperPid() != pid; }, 30));
    service_->clearRequests();
    auto again = std::make_shared<Recorder>();
    auto second = surveyView(again);
    second->loadRequest("https://" + service_->hostFor("analytics") + "/user/survey/modal?notificationid=8");
    ASSERT_TRUE(host_.runUntil([&] { return again->finished == 2 || again->failed; }, 60));
    ASSERT_FALSE(again->failed) << *again->failed;
    ASSERT_TRUE(host_.runUntil([&] { return again->messages.size() == 4; }, 10));
    ASSERT_EQ(service_->requestsFor("modal").size(), 1u);
    EXPECT_EQ(service_->requestsFor("modal")[0].host, service_->hostFor("analytics"));
}

TEST_F(WebViewService, ARouteNowhereFailsLoadsAndTakingItAwayConnectsDirectly) {
    // A port nothing listens on.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(s);
    const std::string closed = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    // Malformed routes are refused and change nothing.
    for (const char* bad : {"", "127.0.0.1", "127.0.0.1:0", "a b:443", "[::1:443"}) {
        auto error = route(HelperRoute{bad, ""});
        ASSERT_TRUE(error) << bad;
        EXPECT_EQ(error->kind, WebError::Kind::BadRequest) << bad;
    }
    EXPECT_FALSE(engine_->route());
    // Authorities that are no certificates are refused by the helper.
    auto junk = route(HelperRoute{service_->address(), "not a certificate"});
    ASSERT_TRUE(junk);
    EXPECT_EQ(junk->kind, WebError::Kind::Failed);

    ASSERT_FALSE(route(HelperRoute{closed, authorities()}));
    auto recorder = std::make_shared<Recorder>();
    auto web = surveyView(recorder);
    web->loadRequest(surveyURL());
    ASSERT_TRUE(host_.runUntil([&] { return recorder->failed || recorder->finished > 0; }, 30));
    EXPECT_TRUE(recorder->failed);
    EXPECT_EQ(recorder->finished, 0);
    EXPECT_TRUE(recorder->messages.empty());
    EXPECT_TRUE(service_->requestsFor("modal").empty());

    // Without a route, the service's own address works as before.
    ASSERT_FALSE(route(std::nullopt));
    EXPECT_FALSE(engine_->route());
    auto direct = std::make_shared<Recorder>();
    auto probe = WebView::create({0, 0, 320, 480});
    probe->setNavigationDelegate(direct);
    probe->loadRequest(url("/pages/probe.html"));
    ASSERT_TRUE(host_.runUntil([&] { return direct->finished == 1 || direct->failed; }, 30));
    EXPECT_FALSE(direct->failed) << *direct->failed;
}
