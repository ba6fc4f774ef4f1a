#include "test_host.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/configuration.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/url_session.hpp"
#include "qmplatform/web_engine.hpp"

namespace qm::testkit {

Value TestHost::defaultInfo() {
    return Value{{"CFBundleIdentifier", "com.example.testapp"},
                 {"CFBundleShortVersionString", "1.0"},
                 {"CFBundleName", "TestApp"},
                 {"qmBrandID", 1234},
                 {"qmSecretKey", "secret-key-0123456789abcdef"}};
}

TestHost::TestHost() : TestHost(Options{}) {}

TestHost::TestHost(Options options) : log_(std::make_shared<Log>()) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qm-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    root_ = tmpl;
    bundleDir_ = root_ + "/TestApp.app";
    sandboxDir_ = root_ + "/Sandbox";
    groupsDir_ = root_ + "/AppGroups";
    std::filesystem::create_directories(bundleDir_);

    clock_ = std::make_shared<ManualClock>(options.start);
    // A bound socket that never listens: connections to its port are refused at once.
    refusingSocket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (refusingSocket_ < 0 || ::bind(refusingSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(refusingSocket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::abort();
    }
    unroutedAddress_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    writeInfo(options.info);

    platform::Configuration config;
    config.mainBundlePath = bundleDir_;
    config.sandboxPath = sandboxDir_;
    config.appGroupContainersPath = groupsDir_;
    config.serviceAddress = unroutedAddress_;
    config.clock = clock_;
    config.transport = std::move(options.transport);
    webEngine_ = std::make_shared<ScriptedWebEngine>();
    config.webEngine = options.webEngine ? std::move(options.webEngine) : webEngine_;
    config.timeZone = options.timeZone;
    config.locale = options.locale;
    config.preferredLanguages = options.languages;
    auto log = log_;
    config.logSink = [log](std::string_view line) {
        std::lock_guard lock(log->mutex);
        log->lines.emplace_back(line);
    };
    if (!platform::configure(std::move(config))) std::abort();
    platform::NetworkReachability::setSimulatedFlags(std::nullopt);
}

TestHost::~TestHost() {
    // The blocks the test's last steps queued are run; then the platform stops as a host's
    // would (transfers, queue workers, timers, preference writer). Requests the test started
    // have had their time: one still running when the stop's deadline comes was left in flight
    // by the test, which fails here rather than leaving threads behind under a removed sandbox.
    auto& loop = platform::RunLoop::main();
    loop.runUntilIdle(kQuietSeconds);
    if (!platform::shutdown(kStopSeconds)) {
        std::fprintf(stderr, "TestHost: work was still in flight %g seconds after the test ended\n", kStopSeconds);
        std::abort();
    }
    // Web views the test keeps past the host get an engine that is no longer configured: no
    // later test sees this one.
    if (platform::configuredWebEngine() == webEngine_) platform::setConfiguredWebEngine(nullptr);
    // Whatever logs after the test (the library's stop at exit) is dropped, not sent to the
    // machine's system log.
    platform::SystemLog::setSink([](std::string_view) {});
    ::close(refusingSocket_);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void TestHost::advance(double seconds) { clock_->advance(seconds); }

bool TestHost::runUntil(const std::function<bool()>& done, double realTimeoutSeconds) {
    return platform::RunLoop::main().runUntil(done, realTimeoutSeconds);
}

bool TestHost::runUntilIdle(double realTimeoutSeconds) { return platform::RunLoop::main().runUntilIdle(realTimeoutSeconds); }

void TestHost::writeInfo(const Value& info) {
    auto bytes = platform::plist::write(info, platform::plist::Format::XML);
    if (!bytes || !platform::Files::writeFileAtomically(bundleDir_ + "/Info.plist", *bytes)) std::abort();
    platform::Bundle::setMainBundlePath(bundleDir_);
    platform::Bundle::main().reload();
}

std::vector<std::string> TestHost::logLines() const {
    std::lock_guard lock(log_->mutex);
    return log_->lines;
}

bool TestHost::logContains(const std::string& text) const { return logCount(text) > 0; }

std::size_t TestHost::logCount(const std::string& text) const {
    std::lock_guard lock(log_->mutex);
    std::size_t n = 0;
    for (const auto& line : log_->lines) n += line.find(text) != std::string::npos;
    return n;
}

void TestHost::clearLog() {
    std::lock_guard lock(log_->mutex);
    log_->lines.clear();
}

}  // namespace qm::testkit
