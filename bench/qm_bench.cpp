// qm-bench: throughput of the library's transport against the local service, next to a
// bare libcurl keep-alive loop against the same server in the same run.
//
//   qm-bench [--requests N]   (2000 unless given)
//
// Prints one line per figure: NAME VALUE UNIT.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/QMRuntime.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/url_session.hpp"
#include "qmservice/local_service.hpp"
#include "quelmar/quelmar.hpp"

namespace qm::bench {
// render_bench.cpp: prints render.screen_ms.
void printRenderBench();
void printUIBench();
void printWebBench();  // web_bench.cpp: web.load_ms, web.roundtrip_ms
void printInAppBench();  // inapp_bench.cpp: inapp.show_1000_us, inapp.present_ms (library started)
}  // namespace qm::bench

namespace {

using Clock = std::chrono::steady_clock;
namespace pf = qm::platform;

const std::string kBody =
    "bid=1001&bid_e=demo-secret&device=2&deviceID=5B2E7D8E-22FA-4FF7-88DF-80CF859FB801&clickID=&language=English"
    "&gmOffset=00&mode=live&sdk_version=7.0.5&event_name=purchase&ltv=19.99&os_version=12.000000&app_version=1.0.0&scope=2";

void print(const char* name, double value, const char* unit) { std::printf("%s %.3f %s\n", name, value, unit); }

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// A plain keep-alive loop: one handle, one connection, the same request N times.
double bareCurlRate(const std::string& url, const qm::service::LocalService& service, int n) {
    CURL* curl = curl_easy_init();
    const std::string host = url.substr(8, url.find('/', 8) - 8);
    const std::string connectTo = host + ":443:" + service.address();
    curl_slist* route = curl_slist_append(nullptr, connectTo.c_str());
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, "Accept: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, route);
    curl_easy_setopt(curl, CURLOPT_CAINFO, service.caFile().c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");  // as the library asks, so the server works alike
    int ok = 0;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) ok += curl_easy_perform(curl) == CURLE_OK;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    curl_slist_free_all(route);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (ok != n) std::fprintf(stderr, "bare loop: %d of %d requests failed\n", n - ok, n);
    return n / seconds;
}

// The library's POST routine, one request after the other, each answered on the main run
// loop before the next starts.
double librarySequentialRate(const std::string& url, int n) {
    auto engine = std::make_shared<qm::qmInternalProcessClass>();
    int done = 0, failed = 0;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        const int target = done + 1;
        engine->qmHitAPIWithPOSTRequestforUrlString(
            url, "qm-bench", kBody, 1, [&done](const qm::Value&) { ++done; },
            [&failed, &done](const std::optional<pf::Error>& e) {
                if (e) {
                    ++failed;
                    ++done;
                }
            });
        pf::RunLoop::main().runUntil([&] { return done >= target; }, 30);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed) std::fprintf(stderr, "library: %d of %d requests failed\n", failed, n);
    return n / seconds;
}

// All requests started at once; the transport runs them side by side.
double libraryConcurrentRate(const std::string& url, int n) {
    auto engine = std::make_shared<qm::qmInternalProcessClass>();
    int done = 0;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        engine->qmHitAPIWithPOSTRequestforUrlString(
            url, "qm-bench", kBody, 1, [&done](const qm::Value&) { ++done; },
            [&done](const std::optional<pf::Error>& e) {
                if (e) ++done;
            });
    }
    pf::RunLoop::main().runUntil([&] { return done >= n; }, 120);
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

// Starts the library on a throw-away app and waits until the settings answer is applied.
bool startLibrary(const std::filesystem::path& dir) {
    const auto bundle = dir / "Bench.app";
    std::filesystem::create_directories(bundle);
    qm::Value info{{"CFBundleIdentifier", "com.example.bench"},
                   {"CFBundleShortVersionString", "1.0"},
                   {"qmBrandID", 1001},
                   {"qmSecretKey", "bench-secret"},
                   {"qmLogsLevel", "error"}};
    auto bytes = pf::plist::write(info, pf::plist::Format::XML);
    if (!bytes || !pf::Files::writeFileAtomically((bundle / "Info.plist").string(), *bytes)) return false;
    pf::Bundle::setMainBundlePath(bundle.string());
    qm::quelmar::Initialize("live");
    auto engine = qm::QMRuntime::shared().qmInternalProcess();
    return engine && pf::RunLoop::main().runUntil([&] { return engine->fetchBrandSettingsComplete(); }, 30);
}

// Median cost on the caller's thread of one trackEvents call, set-up complete.
double trackCallerNanoseconds(int n) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(n));
    const qm::Value attributes{{"sku", "A1"}, {"color", "red"}};
    for (int i = 0; i < n; ++i) {
        const auto start = Clock::now();
        qm::quelmar::trackEvents("bench_event", attributes, "19.99", 2);
        samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
        if (i % 50 == 49) pf::RunLoop::main().runOnce();
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Events per second from trackEvents to the service's record of them, for a burst of n.
double trackEndToEndRate(qm::service::LocalService& service, int n) {
    service.clearRequests();
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) qm::quelmar::trackEvents("bench_event", qm::Value(), "1", 2);
    pf::RunLoop::main().runUntil([&] { return service.requestsFor("event").size() >= static_cast<std::size_t>(n); }, 120);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The answers of this burst are applied before the next round starts.
    pf::RunLoop::main().runUntil([] { return pf::URLSession::activeTaskCount() == 0; }, 120);
    const auto delivered = service.requestsFor("event").size();
    if (delivered < static_cast<std::size_t>(n)) std::fprintf(stderr, "track: %zu of %d events arrived\n", delivered, n);
    return static_cast<double>(delivered) / seconds;
}

}  // namespace

void printLayoutFigures();  // layout_bench.cpp

int main(int argc, char** argv) {
    int n = 2000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--requests") n = std::max(10, std::atoi(argv[++i]));
    }
    printLayoutFigures();

    const auto dir = std::filesystem::temp_directory_path() / ("qm-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    pf::RunLoop::main().setMainThread();
    pf::SystemLog::setSink([](std::string_view) {});
    pf::Sandbox::configure((dir / "sandbox").string());

    qm::bench::printRenderBench();
    qm::bench::printUIBench();
    qm::bench::printWebBench();

    qm::service::LocalService::Options options;
    options.stateDir = (dir / "service").string();
    qm::service::LocalService service(options);
    if (!service.start()) {
        std::fprintf(stderr, "qm-bench: the local service did not start: %s\n", service.lastError().c_str());
        return 1;
    }
    pf::URLSession::setConnectTo(service.address());
    pf::URLSession::setCAFile(service.caFile());
    pf::NetworkReachability::setRouteOverride(service.address());
    const std::string url = qm::QMSDKNetworkManager::sharedInstance().qmRecordEventApiURLString();

    // Warm both paths (TLS handshake, CA load) before measuring.
    bareCurlRate(url, service, 5);
    librarySequentialRate(url, 5);

    // Rounds alternate between the two loops so that load from elsewhere on the machine
    // falls on both alike; the medians are reported.
    constexpr int kRounds = 9;
    const int perRound = std::max(10, n / kRounds);
    std::vector<double> bareRates, libraryRates;
    for (int round = 0; round < kRounds; ++round) {
        bareRates.push_back(bareCurlRate(url, service, perRound));
        libraryRates.push_back(librarySequentialRate(url, perRound));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double bare = median(bareRates);
    const double library = median(libraryRates);
    const double concurrent = libraryConcurrentRate(url, n);
    print("transport.curl_rps", bare, "req/s");
    print("transport.library_rps", library, "req/s");
    print("transport.library_concurrent_rps", concurrent, "req/s");
    print("transport.ratio", library / bare, "x");

    if (!startLibrary(dir)) {
        std::fprintf(stderr, "qm-bench: the library did not finish start-up against the local service\n");
        return 1;
    }
    const double callerNs = trackCallerNanoseconds(2000);
    pf::RunLoop::main().runUntil([] { return pf::URLSession::activeTaskCount() == 0; }, 120);
    // Bursts of events alternate with the bare loop, as above.
    std::vector<double> trackRates, bareTrackRates;
    for (int round = 0; round < kRounds; ++round) {
        bareTrackRates.push_back(bareCurlRate(url, service, perRound));
        trackRates.push_back(trackEndToEndRate(service, perRound));
    }
    const double trackRate = median(trackRates);
    print("track.caller_ns", callerNs, "ns");
    print("track.e2e_rps", trackRate, "events/s");
    print("track.e2e_ratio", trackRate / median(bareTrackRates), "x");
    pf::RunLoop::main().runUntil([] { return pf::URLSession::activeTaskCount() == 0; }, 120);
    qm::bench::printInAppBench();

    service.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
