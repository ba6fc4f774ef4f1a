// In-app figures for qm-bench, on a started library:
//   inapp.show_1000_us  Show with 1,000 stored campaigns, from the call until the view builder
//                       is asked for the chosen one (the builder itself is not timed);
//   inapp.present_ms    a modal HTML popup from its builder's call until its page has loaded in
//                       the helper-process engine and the popup is laid out (skipped, with the
//                       reason, where the helper cannot run);
//   inapp.message_us    one script message from a campaign's page on the scripted web engine,
//                       from its post (queued to the main run loop) until its effect: a popup's
//                       "surveyAttempt" until the host's callback ran;
//   inapp.message_resize_us  the survey in a modal's "qmResizeWebView" until its panel has the
//                       page's new height (the measuring script's answer included).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppPresentation.hpp"
#include "inapp/qmInAppRules.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/web_engine.hpp"
#include "qmplatform/window.hpp"
#include "qmweb/helper_engine.hpp"
#include "quelmar/quelmar.hpp"
#include "scripted_web_engine.hpp"

namespace qm::bench {

namespace {

namespace pf = qm::platform;
using SteadyClock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

Value condition(const char* key, long type, long op, Value value) {
    return Value{{"e", key}, {"d", type}, {"c", op}, {"v", std::move(value)}};
}

Value range(const char* low, const char* high) { return Value::array({Value{{"d", low}, {"e", high}}}); }

std::string campaignHTML(int i) {
    std::string html = "<div class='qm-campaign' id='c" + std::to_string(i) + "'><h2>Hello [[name]]</h2>";
    while (html.size() < 600) html += "<p>Spring offers on every shoe in the store, today only.</p>";
    return html + "</div>";
}

// A campaign list as the service sends it: most campaigns fail one rule or another (screen,
// custom rules, versions, tokens, counters, launch interval), every 100th one passes.
Value thousandCampaigns() {
    Value list = Value::array();
    for (int i = 0; i < 1000; ++i) {
        Value c{{"notificationID", 10000 + i},
                {"template", 3 + i % 3},
                {"description", campaignHTML(i)},
                {"noOfTimesPerUser", 3},
                {"noOfTimesPerAL", 2},
                {"appLaunches", 1},
                {"pageUrls", Value::array({"HomeVC", "CartVC", "ProductVC"})},
                {"pageUrlCond", 0},
                {"customRule", Value::array({condition("points", 1, 2, 100), condition("member", 3, 0, "true")})},
                {"customRuleGC", 1},
                {"os_version", range("0", "999")},
                {"app_version", range("1.0", "3.0")},
                {"dynamicTokens", Value{{"name", "friend"}}},
                {"hideTokens", 0},
                {"timeDelayPage", 0},
                {"scroll", 0},
                {"repeat_close", 1},
                {"repeat_click", 501},
                {"bgColor", "#ffffff"},
                {"actionText", "Shop now"}};
        switch (i % 10) {
        case 0: c.set("pageUrls", Value::array({"CartVC"})); break;  // another screen
        case 1: c.set("customRule", Value::array({condition("points", 1, 2, 1000)})); break;
        case 2: c.set("os_version", range("0.1", "0.2")); break;
        case 3: c.set("app_version", range("5.0", "9.0")); break;
        case 4:
            c.set("dynamicTokens", Value{{"name", "friend"}, {"vip_code", "none"}});
            c.set("hideTokens", 1);
            break;
        case 5: c.set("noOfTimesPerUser", 0); break;
        case 6: c.set("noOfTimesPerAL", 0); break;
        case 7: c.set("pageUrlCond", 1); break;  // every screen but the listed ones
        case 8:
            c.set("customRule", Value::array({condition("tier", 0, 0, "platinum"), condition("city", 0, 4, "Oslo")}));
            c.set("customRuleGC", 0);
            break;
        default:
            if (i % 100 != 99)
                c.set("customRule", Value::array({condition("signup", 2, 3, "2020-01-01"), condition("points", 1, 3, 10)}));
            break;
        }
        list.append(c);
    }
    return list;
}

// Show over the stored list until the builder is asked; microseconds per decision.
void showFigure() {
    QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(
        Value{{"Authentication", "success"}, {"notifications", thousandCampaigns()}});
    std::atomic<bool> asked = false;
    SteadyClock::time_point askedAt;
    std::string chosen;
    inapp::setViewBuilder([&](long, const Value& campaign, bool) {
        askedAt = SteadyClock::now();
        chosen = campaign["notificationID"].description();
        asked = true;
    });
    const Value tokens{{"name", "Ann"}, {"email", "ann@example.com"}};
    const Value rules{{"points", 150}, {"member", "1"}, {"tier", "gold"}, {"city", "Bergen"}, {"signup", "2021-05-01"}};
    std::vector<double> samples;
    for (int i = 0; i < 33; ++i) {
        asked = false;
        const auto start = SteadyClock::now();
        quelmar::Show(tokens, rules);
        if (!pf::RunLoop::main().runUntil([&] { return asked.load(); }, 30)) {
            std::fprintf(stderr, "qm-bench: in-app decision figure skipped: no campaign was chosen\n");
            break;
        }
        if (i >= 3) samples.push_back(std::chrono::duration<double, std::micro>(askedAt - start).count());
    }
    inapp::setViewBuilder(nullptr);
    if (chosen != "10999") std::fprintf(stderr, "qm-bench: in-app decision chose %s, not 10999\n", chosen.c_str());
    if (!samples.empty()) std::printf("inapp.show_1000_us %.3f us\n", median(samples));
}

// A modal HTML popup (about 2 KB) from its builder to its page loaded and the popup laid out.
void presentFigure(const std::shared_ptr<pf::View>& root) {
    if (!pf::HelperEngine::findHelper()) {
        std::fprintf(stderr, "qm-bench: in-app present figure skipped: the web engine's helper is not installed\n");
        return;
    }
    auto engine = pf::HelperEngine::create();
    struct Probe : pf::WebPageClient {
        void webLoadStateChanged(pf::WebLoadState, const std::string&, std::int64_t) override {}
        void webLoadFailed(const std::string&, const std::string&, std::int64_t) override {}
        void webNavigationRequested(const pf::WebNavigationAction&) override {}
        void webScriptMessage(const std::string&, const Value&) override {}
        void webPageCrashed(const std::string&, bool) override {}
    };
    auto probeClient = std::make_shared<Probe>();
    auto probe = engine ? engine->createPage(pf::WebPageOptions{}, probeClient) : nullptr;
    std::optional<pf::WebError> error;
    bool answered = false;
    if (probe) {
        probe->evaluate("1", 30, [&](const Value&, const std::optional<pf::WebError>& e) {
            error = e;
            answered = true;
        });
    }
    if (!probe || !pf::RunLoop::main().runUntil([&] { return answered; }, 60) || error) {
        std::fprintf(stderr, "qm-bench: in-app present figure skipped: the web engine cannot run here (%s)\n",
                     error ? error->message.c_str() : "no answer");
        return;
    }
    probe.reset();
    pf::setConfiguredWebEngine(engine);

    std::string html = "<div style='font-family:sans-serif;padding:16px'><h1>Spring sale</h1>";
    for (int i = 0; html.size() < 2000; ++i)
        html += "<p>Offer " + std::to_string(i) + ": every shoe in the store at half price today.</p>";
    html += "</div>";
    const Value campaign{{"notificationID", "4242"}, {"template", 3},           {"description", html},
                         {"bgColor", "#ffffff"},    {"actionText", "Shop now"}, {"actionTextTwo", "Later"},
                         {"close_btn", 0}};
    std::vector<double> samples;
    for (int i = 0; i < 13; ++i) {
        const auto start = SteadyClock::now();
        auto popup = inapp::qmBuildCampaignView(3, campaign, false);
        if (!popup ||
            !pf::RunLoop::main().runUntil([&] { return popup->qmInAppPopupContentLoaded; }, 30)) {
            std::fprintf(stderr, "qm-bench: in-app present figure stopped: the popup's page did not load\n");
            if (popup) popup->qmInAppPopupViewCloseNow();
            break;
        }
        root->layoutIfNeeded();
        const auto end = SteadyClock::now();
        if (i >= 3) samples.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        popup->qmInAppPopupViewCloseNow();
        pf::RunLoop::main().runUntilIdle(5);
    }
    pf::setConfiguredWebEngine(nullptr);
    if (!samples.empty()) std::printf("inapp.present_ms %.3f ms\n", median(samples));
}

// Script messages from a campaign's page, on the scripted web engine (answers and messages go
// through the main queue as a real engine's do); microseconds per message.
void messageFigure() {
    auto scripted = std::make_shared<testkit::ScriptedWebEngine>();
    scripted->onEvaluate(testkit::TextMatch::contains("scrollHeight"), Value(200));
    scripted->onEvaluate(testkit::TextMatch::contains("innerHTML"), Value("<form>Rate us</form>"));
    scripted->onEvaluate(testkit::TextMatch::contains("offsetHeight"), Value(300));
    scripted->setSnapshotError("no snapshots in this figure");
    pf::setConfiguredWebEngine(scripted);
    struct Probe : quelmarDelegate {
        void quelmarEventsResponseCallback(const Value& v) override {
            if (v["eventName"] != Value("Survey Attempt")) return;
            at = SteadyClock::now();
            ++seen;
        }
        SteadyClock::time_point at;
        int seen = 0;
    };
    auto probe = std::make_shared<Probe>();
    const auto previous = quelmar::sharedInstance().delegate;
    quelmar::sharedInstance().delegate = probe;

    const Value popupCampaign{{"notificationID", "4243"}, {"template", 3}, {"description", "<p>Rate us</p>"}, {"close_btn", 0}};
    auto popup = inapp::qmBuildCampaignView(3, popupCampaign, false);
    if (!popup || !pf::RunLoop::main().runUntil([&] { return popup->qmInAppPopupContentLoaded; }, 30)) {
        std::fprintf(stderr, "qm-bench: in-app message figure skipped: the popup's page did not load\n");
    } else {
        pf::RunLoop::main().runUntilIdle(5);
        const Value body(R"({"q1":"yes","rating":4,"tokens":"{\"name\":\"Ann\"}"})");
        std::vector<double> samples;
        for (int i = 0; i < 1003; ++i) {
            const int before = probe->seen;
            const auto start = SteadyClock::now();
            if (!scripted->postMessage("surveyAttempt", body) ||
                !pf::RunLoop::main().runUntil([&] { return probe->seen > before; }, 5)) {
                std::fprintf(stderr, "qm-bench: in-app message figure stopped: the message had no effect\n");
                break;
            }
            if (i >= 3) samples.push_back(std::chrono::duration<double, std::micro>(probe->at - start).count());
        }
        if (!samples.empty()) std::printf("inapp.message_us %.3f us\n", median(samples));
    }
    if (popup) popup->qmInAppPopupViewCloseNow();
    pf::RunLoop::main().runUntilIdle(5);

    inapp::qmBuildCampaignView(101, Value{{"notificationID", "4244"}, {"template", 101}, {"height", 50}}, false);
    pf::RunLoop::main().runUntilIdle(5);
    const auto survey = inapp::qmCurrentModalSurvey();
    if (!survey.panel) {
        std::fprintf(stderr, "qm-bench: in-app resize figure skipped: the survey was not shown\n");
    } else {
        const Value body(R"({"notificationID":"4244"})");
        std::vector<double> samples;
        for (int i = 0; i < 203; ++i) {
            // Every other message finds the page at another height.
            scripted->onEvaluate(testkit::TextMatch::contains("offsetHeight"), Value(i % 2 ? 300 : 420));
            const double before = survey.panel->frame().height;
            const auto start = SteadyClock::now();
            if (!scripted->postMessage("qmResizeWebView", body) ||
                !pf::RunLoop::main().runUntil([&] { return survey.panel->frame().height != before; }, 5)) {
                std::fprintf(stderr, "qm-bench: in-app resize figure stopped: the panel kept its height\n");
                break;
            }
            const auto end = SteadyClock::now();
            if (i >= 3) samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
        if (!samples.empty()) std::printf("inapp.message_resize_us %.3f us\n", median(samples));
    }
    inapp::qmDismissModalSurvey();
    pf::RunLoop::main().runUntilIdle(5);
    quelmar::sharedInstance().delegate = previous;
    pf::setConfiguredWebEngine(nullptr);
}

}  // namespace

// Needs the library started with its settings applied (Show is not deferred).
void printInAppBench() {
    auto window = std::make_shared<pf::Window>();
    window->setRootViewController(std::make_shared<pf::ViewController>("HomeVC"));
    window->makeKeyAndVisible();
    showFigure();
    presentFigure(pf::viewOf(*window));
    messageFigure();
    pf::Application::shared().removeWindow(window);
}

}  // namespace qm::bench
