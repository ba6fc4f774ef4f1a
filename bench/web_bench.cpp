// Web figures for qm-bench through the helper-process engine: loading a 5 KB HTML string to
// its finish, and a message's round trip from the page to native code and back into the page.
// Skipped, with the reason, where the helper cannot run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "qmplatform/dispatch.hpp"
#include "qmweb/helper_engine.hpp"

namespace qm::bench {

namespace {

namespace pf = qm::platform;
using SteadyClock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool pump(const std::function<bool()>& done, double seconds = 30) {
    return pf::RunLoop::main().runUntil(done, seconds);
}

// Counts finished loads by id and answers each numbered message with the page's ack().
struct BenchClient : pf::WebPageClient {
    std::int64_t finished = 0;
    pf::WebPage* page = nullptr;
    bool done = false;
    std::string crash;
    std::vector<SteadyClock::time_point> arrivals;

    void webLoadStateChanged(pf::WebLoadState state, const std::string&, std::int64_t load) override {
        if (state == pf::WebLoadState::Finished) finished = load;
    }
    void webLoadFailed(const std::string&, const std::string&, std::int64_t) override {}
    void webNavigationRequested(const pf::WebNavigationAction& action) override {
        page->decideNavigation(action.id, false);
    }
    void webScriptMessage(const std::string&, const Value& body) override {
        arrivals.push_back(SteadyClock::now());
        if (body.isString() && body.string() == "done") done = true;
        else page->evaluate("ack()", 5, nullptr);
    }
    void webPageCrashed(const std::string& message, bool) override { crash = message; }
};

std::string fiveKilobytes() {
    std::string html = "<html><head><title>bench</title></head><body>";
    for (int i = 0; html.size() < 5000; ++i)
        html += "<p class=row id=r" + std::to_string(i) + ">Line " + std::to_string(i) + " of the page.</p>";
    return html + "</body></html>";
}

}  // namespace

void printWebBench() {
    auto engine = pf::HelperEngine::create();
    auto client = std::make_shared<BenchClient>();
    pf::WebPageOptions options;
    options.size = {390, 844};
    options.handlers = {"qm"};
    auto page = engine->createPage(options, client);
    client->page = page.get();
    std::optional<pf::WebError> error;
    bool answered = false;
    page->evaluate("1", 30, [&](const Value&, const std::optional<pf::WebError>& e) {
        error = e;
        answered = true;
    });
    if (!pump([&] { return answered; }, 60) || error) {
        std::fprintf(stderr, "qm-bench: web figures skipped: the web engine cannot run here (%s)\n",
                     error ? error->message.c_str() : "no answer");
        return;
    }

    const std::string html = fiveKilobytes();
    std::vector<double> loads;
    for (int i = 0; i < 21; ++i) {
        const auto start = SteadyClock::now();
        const std::int64_t id = page->loadHTML(html, "https://bench.test/", nullptr);
        if (!pump([&] { return client->finished == id; })) break;
        if (i > 0) loads.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    }
    if (!loads.empty()) std::printf("web.load_ms %.3f ms\n", median(loads));

    // Rounds: the page posts, native code answers with an evaluate of ack(), and ack() posts
    // the next message; the time between two arrivals is one round trip.
    const std::int64_t id = page->loadHTML(
        "<script>let n = 0;"
        "function post() { window.webkit.messageHandlers.qm.postMessage(n < 101 ? n : 'done'); }"
        "function ack() { n++; post(); }"
        "</script>",
        "https://bench.test/", nullptr);
    if (!pump([&] { return client->finished == id; })) return;
    page->evaluate("post()", 5, nullptr);
    if (!pump([&] { return client->done || !client->crash.empty(); }, 60) || !client->done) {
        std::fprintf(stderr, "qm-bench: web round trips did not finish\n");
        return;
    }
    std::vector<double> trips;
    for (std::size_t i = 2; i < client->arrivals.size(); ++i)
        trips.push_back(std::chrono::duration<double, std::milli>(client->arrivals[i] - client->arrivals[i - 1]).count());
    if (!trips.empty()) std::printf("web.roundtrip_ms %.3f ms\n", median(trips));
}

}  // namespace qm::bench
