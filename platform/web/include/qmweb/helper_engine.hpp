// The helper-process engine: pages run in a real browser engine inside the `qm-webkit` helper
// program, which this engine starts at its first page over a socket pair and speaks the line
// protocol with from one long-lived I/O thread. The helper dies with the process that started
// it. Every request has a deadline; a helper that stops answering (end of file, exit, missed
// pings) is killed, every pending request fails with "engine lost", every page reports a
// crash, and the next page starts a new helper (a few restarts a minute at most, then pages
// fail at once with a log line saying why).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmplatform/web_engine.hpp"

namespace qm::platform {

struct HelperEngineOptions {
    // The helper program (empty: findHelper()).
    std::string helperPath;
    // Extra arguments for the helper (tests).
    std::vector<std::string> helperArguments;
    // Real-time limits.
    double startTimeoutSeconds = 15;    // from start to the helper's "ready"
    double requestTimeoutSeconds = 15;  // any request but evaluate, which carries its own
    double pingIntervalSeconds = 5;     // two unanswered pings in a row lose the helper
    int maxStartsPerMinute = 4;
};

// Where pages connect instead of the hosts they name (development against a local service,
// as the transport's connect-to setting does for the library's own requests).
struct HelperRoute {
    // "host:port" every connection to a host's HTTPS port (443) goes to; other ports are
    // connected as the page names them, and plain HTTP fails.
    std::string address;
    // Certificate authorities (PEM; may be empty): the certificate the service presents for
    // a host is accepted for that host when one of them vouches for it.
    std::string authoritiesPEM;

    friend bool operator==(const HelperRoute&, const HelperRoute&) = default;
};

class HelperEngine : public WebEngine, public std::enable_shared_from_this<HelperEngine> {
public:
    static std::shared_ptr<HelperEngine> create(HelperEngineOptions options = {});
    // The helper program: $QM_WEBKIT_HELPER, else "qm-webkit" next to the running program or
    // in its ../libexec, else the build's or the install's copy; nothing when none exists.
    static std::optional<std::string> findHelper();

    ~HelperEngine() override;

    std::shared_ptr<WebPage> createPage(const WebPageOptions& options, std::weak_ptr<WebPageClient> client) override;
    void defaultUserAgent(std::function<void(const std::optional<std::string>& agent)> done) override;

    // Trusts a certificate (PEM) for a host in every page from now on (tests against the
    // local service).
    void trustCertificate(const std::string& host, const std::string& certificatePEM, WebDone done);
    // Routes every page's connections, in this helper and every later one, before any
    // further page request; nothing: pages connect directly again. Setting the route that is
    // set does nothing. `done` hears when the running helper took it (at once when none
    // runs: the next one starts with it); a malformed address fails with BadRequest and
    // leaves the route as it was.
    void setRoute(std::optional<HelperRoute> route, WebDone done = nullptr);
    std::optional<HelperRoute> route() const;
    // The running helper's and its display server's process ids (nothing when not running).
    std::optional<long> helperPid() const;
    std::optional<long> displayServerPid() const;
    // Asks the helper to exit and waits for it (bounded); pending requests fail.
    void shutdown();

    class Impl;
    explicit HelperEngine(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm::platform
