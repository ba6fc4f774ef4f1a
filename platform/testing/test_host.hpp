// The test host: a throw-away app bundle and sandbox, the manual clock, a fixed time zone,
// locale and language, a captured system log, a scripted web engine (no test ever starts a real
// browser) and, when asked, a test transport, so that each test starts clean.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "manual_clock.hpp"
#include "scripted_web_engine.hpp"
#include "qmplatform/transport.hpp"
#include "quelmar/value.hpp"

namespace qm::testkit {

class TestHost {
public:
    struct Options {
        std::string timeZone = "UTC";
        std::string locale = "en_US";
        std::vector<std::string> languages{"en-US"};
        // 2024-01-15 10:00:00 UTC.
        Date start = Date::fromUnix(1705312800);
        // The Info.plist of the test app.
        Value info = defaultInfo();
        // What carries requests (a RecordingTransport, say); empty: libcurl, routed to
        // unroutedAddress() unless the test routes it elsewhere.
        std::shared_ptr<platform::Transport> transport;
        // The engine web views run their pages in; empty: the host's scripted engine.
        std::shared_ptr<platform::WebEngine> webEngine;
    };

    static Value defaultInfo();

    // At the end of a test: how long the blocks it queued may take to run, and how long the
    // platform's stop may take before the test counts as having left work in flight.
    static constexpr double kQuietSeconds = 5;
    static constexpr double kStopSeconds = 10;

    TestHost();
    explicit TestHost(Options options);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    const std::string& root() const { return root_; }
    const std::string& bundleDir() const { return bundleDir_; }
    const std::string& sandboxDir() const { return sandboxDir_; }
    const std::string& groupsDir() const { return groupsDir_; }

    ManualClock& clock() { return *clock_; }
    // The scripted web engine web views use (unless the options named another engine).
    ScriptedWebEngine& webEngine() { return *webEngine_; }
    // Advances the manual clock, releasing timers and delayed blocks on the way.
    void advance(double seconds);
    // Pumps the main run loop until `done` (bounded by real time).
    bool runUntil(const std::function<bool()>& done, double realTimeoutSeconds = 20);
    bool runUntilIdle(double realTimeoutSeconds = 20);

    // Rewrites the app's Info.plist and makes the main bundle read it again.
    void writeInfo(const Value& info);

    // System log lines written since the host started (or since clearLog).
    std::vector<std::string> logLines() const;
    bool logContains(const std::string& text) const;
    std::size_t logCount(const std::string& text) const;
    void clearLog();

    // Where every request goes unless a test routes it elsewhere: a loopback port that
    // refuses connections, so that no test reaches beyond this machine.
    const std::string& unroutedAddress() const { return unroutedAddress_; }

private:
    std::string root_, bundleDir_, sandboxDir_, groupsDir_;
    int refusingSocket_ = -1;
    std::string unroutedAddress_;
    std::shared_ptr<ManualClock> clock_;
    std::shared_ptr<ScriptedWebEngine> webEngine_;
    struct Log {
        mutable std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Log> log_;
};

}  // namespace qm::testkit
