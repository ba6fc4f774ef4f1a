// The helper-process engine. One I/O thread per engine starts the helper, writes requests,
// reads answers and events, and keeps every deadline; whatever the library's callers see is
// posted from it to the main run loop, outside the lock.
#include "qmweb/helper_engine.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "protocol.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/system_log.hpp"

extern char** environ;

namespace qm::platform {

namespace {

namespace wk = qm::webkit;
using SteadyClock = std::chrono::steady_clock;

// An evaluate's own deadline is the helper's; ours allows this much more for the answer.
constexpr double kEvaluateMarginSeconds = 2.0;
// How long a helper asked to shut down has before it is killed.
constexpr double kStopSeconds = 2.0;
// Requests waiting at once, beyond which new ones fail (bounded memory).
constexpr std::size_t kMaxPending = 10'000;
// Request ids start here, far above the helper's navigation ids (counted from 1), so the
// load ids the client sees never mean both.
constexpr std::int64_t kFirstRequestId = std::int64_t{1} << 40;
// The helper's end of the socket pair, as the helper sees it.
constexpr int kChildFd = 3;
constexpr const char* kLostMessage = "engine lost";

SteadyClock::duration seconds(double s) {
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(std::max(0.0, s)));
}

void log(const std::string& line) { SystemLog::write("web engine: " + line); }

// What a request's owner receives on the main run loop: the answer, or why there is none.
using Reply = std::function<void(const wk::Response* answer, const std::optional<WebError>& error)>;

WebError errorOf(const wk::Response& r) {
    switch (r.kind) {
    case wk::ErrorKind::Exception: return {WebError::Kind::Exception, r.message};
    case wk::ErrorKind::Timeout: return {WebError::Kind::Timeout, r.message};
    case wk::ErrorKind::NoView: return {WebError::Kind::NoPage, r.message};
    case wk::ErrorKind::BadRequest: return {WebError::Kind::BadRequest, r.message};
    case wk::ErrorKind::Failed: break;
    }
    return {WebError::Kind::Failed, r.message};
}

WebLoadState loadStateOf(wk::LoadState s) {
    switch (s) {
    case wk::LoadState::Started: return WebLoadState::Started;
    case wk::LoadState::Redirected: return WebLoadState::Redirected;
    case wk::LoadState::Committed: return WebLoadState::Committed;
    case wk::LoadState::Finished: break;
    }
    return WebLoadState::Finished;
}

WebNavigationType navigationTypeOf(wk::NavigationType t) {
    switch (t) {
    case wk::NavigationType::LinkActivated: return WebNavigationType::LinkActivated;
    case wk::NavigationType::FormSubmitted: return WebNavigationType::FormSubmitted;
    case wk::NavigationType::BackForward: return WebNavigationType::BackForward;
    case wk::NavigationType::Reload: return WebNavigationType::Reload;
    case wk::NavigationType::FormResubmitted: return WebNavigationType::FormResubmitted;
    case wk::NavigationType::Other: break;
    }
    return WebNavigationType::Other;
}

bool isExecutable(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

int clampSide(double v) {
    if (!std::isfinite(v)) return 1;
    return static_cast<int>(std::clamp(std::lround(v), 1L, static_cast<long>(wk::kMaxViewSide)));
}

double clampScale(double s) { return std::isfinite(s) ? std::clamp(s, wk::kMinScale, wk::kMaxScale) : 1.0; }

std::int64_t timeoutMs(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return wk::kDefaultTimeoutMs;
    return std::clamp<std::int64_t>(std::llround(seconds * 1000), 1, wk::kMaxTimeoutMs);
}

}  // namespace

// ---- The state shared by the engine, its pages and the I/O thread ------------------------

class HelperCore : public std::enable_shared_from_this<HelperCore> {
public:
    explicit HelperCore(HelperEngineOptions options) : options_(std::move(options)) {
        if (options_.helperPath.empty()) options_.helperPath = HelperEngine::findHelper().value_or("");
        if (options_.maxStartsPerMinute < 1) options_.maxStartsPerMinute = 1;
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    ~HelperCore() {
        quit();
        if (wake_ >= 0) close(wake_);
    }

    HelperCore(const HelperCore&) = delete;
    HelperCore& operator=(const HelperCore&) = delete;

    struct Opened {
        std::int64_t view = 0;
        std::int64_t generation = 0;
        std::string refusal;  // set: the page is refused, its requests fail at once
    };

    // A page: starts the helper when none runs, registers the client and creates the view.
    Opened openPage(const WebPageOptions& options, std::weak_ptr<WebPageClient> client) {
        std::vector<Block> posts;
        Opened opened;
        {
            std::lock_guard lock(mu_);
            opened.view = nextView_++;
            opened.generation = acquireLocked(&opened.refusal);
            if (opened.generation == 0) {
                log(opened.refusal);
                return opened;
            }
            pages_[opened.view] = Page{std::move(client), opened.generation};
            wk::Request r;
            r.op = wk::Op::CreateView;
            r.view = opened.view;
            r.width = clampSide(options.size.width);
            r.height = clampSide(options.size.height);
            r.scale = clampScale(options.scale);
            r.userAgent = options.userAgent;
            r.applicationName = options.applicationName;
            r.handlers = options.handlers;
            submitLocked(std::move(r), options_.requestTimeoutSeconds, nullptr, opened.generation, posts);
        }
        postAll(posts);
        return opened;
    }

    // The page is gone: its events stop and its view is destroyed (not waited for).
    void closePage(std::int64_t view, std::int64_t generation) {
        std::vector<Block> posts;
        {
            std::lock_guard lock(mu_);
            if (pages_.erase(view) == 0 || generation != generation_ || phase_ == Phase::Idle) return;
            wk::Request r;
            r.op = wk::Op::DestroyView;
            r.view = view;
            submitLocked(std::move(r), options_.requestTimeoutSeconds, nullptr, generation, posts);
        }
        postAll(posts);
    }

    // Sends a request of a page (view != 0) or of the engine; returns its id. The reply comes
    // on the main run loop, exactly once.
    std::int64_t request(wk::Request r, double timeoutSeconds, Reply reply, std::int64_t generation) {
        std::vector<Block> posts;
        std::int64_t id;
        {
            std::lock_guard lock(mu_);
            id = submitLocked(std::move(r), timeoutSeconds, std::move(reply), generation, posts);
        }
        postAll(posts);
        return id;
    }

    // Starts the helper when none runs; the generation requests go to, or 0 (and why).
    std::int64_t acquire(std::string* refusal) {
        std::lock_guard lock(mu_);
        return acquireLocked(refusal);
    }

    void trust(const std::string& host, const std::string& pem, WebDone done) {
        std::string refusal;
        std::vector<Block> posts;
        {
            std::lock_guard lock(mu_);
            const std::int64_t generation = acquireLocked(&refusal);
            if (generation != 0) {
                // Every later helper gets it too, before any page.
                trusted_.emplace_back(host, pem);
                wk::Request r;
                r.op = wk::Op::TrustCertificate;
                r.host = host;
                r.certificatePEM = pem;
                submitLocked(std::move(r), options_.requestTimeoutSeconds,
                             [done](const wk::Response*, const std::optional<WebError>& error) {
                                 if (done) done(error);
                             },
                             generation, posts);
            }
        }
        if (!refusal.empty()) {
            log(refusal);
            posts.push_back([done, refusal] {
                if (done) done(WebError{WebError::Kind::EngineLost, refusal});
            });
        }
        postAll(posts);
    }

    void setRoute(std::optional<HelperRoute> route, WebDone done) {
        std::vector<Block> posts;
        {
            std::lock_guard lock(mu_);
            if (route && !wk::isRouteAddress(route->address)) {
                posts.push_back([done, address = route->address] {
                    if (done) done(WebError{WebError::Kind::BadRequest, "a route is host:port, not \"" + address + "\""});
                });
            } else if (route == route_) {
                if (done) posts.push_back([done] { done(std::nullopt); });
            } else {
                route_ = std::move(route);
                if (phase_ == Phase::Running && !done) {
                    // Nobody waits: nothing is posted for it (a refusal is logged).
                    writeInternalLocked(wk::Op::Route, Internal::Route, routeRequestLocked());
                    signalLocked();
                } else if (phase_ == Phase::Starting && !done) {
                    // The helper gets it with the other replays once it is up.
                } else if (phase_ == Phase::Starting || phase_ == Phase::Running) {
                    // A helper starting gets it with the other replays too; twice is the same.
                    submitLocked(routeRequestLocked(), options_.requestTimeoutSeconds,
                                 [done](const wk::Response*, const std::optional<WebError>& error) {
                                     if (done) done(error);
                                 },
                                 generation_, posts);
                } else if (done) {
                    posts.push_back([done] { done(std::nullopt); });
                }
            }
        }
        postAll(posts);
    }

    std::optional<HelperRoute> route() {
        std::lock_guard lock(mu_);
        return route_;
    }

    void userAgent(std::function<void(const std::optional<std::string>&)> done) {
        std::vector<Block> posts;
        {
            std::lock_guard lock(mu_);
            std::string refusal;
            if (userAgent_) {
                posts.push_back([done, agent = *userAgent_] { done(agent); });
            } else if (acquireLocked(&refusal) == 0) {
                log(refusal);
                posts.push_back([done] { done(std::nullopt); });
            } else {
                agentWaiters_.push_back(std::move(done));
            }
        }
        postAll(posts);
    }

    std::weak_ptr<WebPageClient> clientOf(std::int64_t view) {
        std::lock_guard lock(mu_);
        auto it = pages_.find(view);
        return it == pages_.end() ? std::weak_ptr<WebPageClient>() : it->second.client;
    }

    std::optional<long> helperPid() {
        std::lock_guard lock(mu_);
        if (phase_ == Phase::Idle || pid_ <= 0) return std::nullopt;
        return static_cast<long>(pid_);
    }

    std::optional<long> displayServerPid() {
        std::lock_guard lock(mu_);
        if (phase_ == Phase::Idle || xvfbPid_ <= 0) return std::nullopt;
        return static_cast<long>(xvfbPid_);
    }

    // Stops the helper (bounded) and waits until it is gone.
    void shutdown() {
        std::unique_lock lock(mu_);
        if (phase_ == Phase::Idle || !thread_.joinable()) return;
        stopRequested_ = true;
        signalLocked();
        idle_.wait_for(lock, seconds(kStopSeconds + 3), [&] { return phase_ == Phase::Idle; });
    }

    // Stops the helper and the I/O thread; never waits for the main run loop.
    void quit() {
        {
            std::lock_guard lock(mu_);
            quit_ = true;
            signalLocked();
        }
        if (thread_.joinable()) thread_.join();
    }

private:
    enum class Phase { Idle, Starting, Running, Stopping };

    struct Page {
        std::weak_ptr<WebPageClient> client;
        std::int64_t generation = 0;
    };

    struct Pending {
        std::string line;
        double timeoutSeconds = 0;
        bool sent = false;
        SteadyClock::time_point deadline{};  // once sent
        Reply reply;                   // empty: nobody waits for the answer
    };

    enum class Internal { Hello, Ping, Quiet, Route };

    wk::Request routeRequestLocked() const {
        wk::Request r;
        r.op = wk::Op::Route;
        if (route_) {
            r.address = route_->address;
            r.certificatePEM = route_->authoritiesPEM;
        }
        return r;
    }

    // ---- Main-thread side (mu_ held) ----------------------------------------------------

    std::int64_t acquireLocked(std::string* refusal) {
        if (quit_) {
            *refusal = "the web engine is shutting down";
            return 0;
        }
        if (phase_ == Phase::Starting || phase_ == Phase::Running) return generation_;
        if (phase_ == Phase::Stopping) {
            *refusal = "the web engine is shutting down";
            return 0;
        }
        const auto now = SteadyClock::now();
        while (!starts_.empty() && now - starts_.front() >= std::chrono::seconds(60)) starts_.pop_front();
        if (starts_.size() >= static_cast<std::size_t>(options_.maxStartsPerMinute)) {
            *refusal = "the web engine was restarted too often (" + std::to_string(options_.maxStartsPerMinute) +
                       " starts in the last minute); no new start before the oldest is a minute old";
            return 0;
        }
        starts_.push_back(now);
        ++generation_;
        phase_ = Phase::Starting;
        pid_ = 0;
        xvfbPid_ = 0;
        startRequested_ = true;
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        signalLocked();
        return generation_;
    }

    std::int64_t submitLocked(wk::Request r, double timeoutSeconds, Reply reply, std::int64_t generation,
                              std::vector<Block>& posts) {
        r.id = nextId_++;
        auto fail = [&](WebError error) {
            if (reply) posts.push_back([reply, error] { reply(nullptr, error); });
            return r.id;
        };
        const bool live = generation == generation_ && (phase_ == Phase::Starting || phase_ == Phase::Running);
        if (!live || (r.view != 0 && pages_.count(r.view) == 0))
            return fail({WebError::Kind::NoPage, "the page is gone: its web engine stopped or it was closed"});
        if (pending_.size() >= kMaxPending) return fail({WebError::Kind::Failed, "too many requests waiting"});
        std::string why;
        auto line = wk::encode(r, &why);
        if (!line) return fail({WebError::Kind::BadRequest, why});
        Pending p;
        p.line = std::move(*line);
        p.timeoutSeconds = timeoutSeconds;
        p.reply = std::move(reply);
        pending_.emplace(r.id, std::move(p));
        unsent_.push_back(r.id);
        signalLocked();
        return r.id;
    }

    void signalLocked() {
        if (wake_ < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
    }

    static void postAll(std::vector<Block>& posts) {
        for (auto& block : posts) Queue::main().async(std::move(block));
        posts.clear();
    }

    // ---- The I/O thread ----------------------------------------------------------------

    void run() {
        std::vector<Block> posts;
        std::unique_lock lock(mu_);
        for (;;) {
            if (startRequested_) {
                startRequested_ = false;
                spawnLocked(posts);
            }
            if (stopRequested_ || quit_) {
                stopRequested_ = false;
                if (phase_ == Phase::Running) beginStopLocked();
                else if (phase_ == Phase::Starting) loseLocked("the web engine was shut down", posts);
            }
            if (quit_ && phase_ == Phase::Idle) break;
            const auto now = SteadyClock::now();
            if (phase_ == Phase::Running) sendUnsentLocked(now);
            checkTimesLocked(now, posts);

            // What to wait for, and until when.
            SteadyClock::time_point until = SteadyClock::time_point::max();
            if (phase_ == Phase::Starting) until = std::min(until, startDeadline_);
            if (phase_ == Phase::Stopping) until = std::min(until, stopDeadline_);
            if (phase_ == Phase::Running && !pages_.empty()) until = std::min(until, nextPing_);
            for (const auto& [id, p] : pending_)
                if (p.sent) until = std::min(until, p.deadline);
            int timeout = -1;
            if (until != SteadyClock::time_point::max()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
                timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
            }
            pollfd fds[3] = {{wake_, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
            if (socket_ >= 0) fds[1] = {socket_, static_cast<short>(POLLIN | (out_.size() > outStart_ ? POLLOUT : 0)), 0};
            if (pidfd_ >= 0 && phase_ != Phase::Idle) fds[2] = {pidfd_, POLLIN, 0};

            lock.unlock();
            postAll(posts);
            const int n = poll(fds, 3, timeout);
            lock.lock();
            if (n <= 0) continue;

            if (fds[0].revents & POLLIN) {
                std::uint64_t count;
                [[maybe_unused]] const ssize_t r = read(wake_, &count, sizeof count);
            }
            if (socket_ >= 0 && (fds[1].revents & POLLOUT)) flushLocked(posts);
            if (socket_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) readLocked(posts);
            if (phase_ != Phase::Idle && pidfd_ >= 0 && (fds[2].revents & POLLIN)) {
                // Whatever it wrote before it exited was read above.
                readLocked(posts);
                if (phase_ != Phase::Idle) loseLocked(stopMessage("the web engine exited"), posts);
            }
        }
        lock.unlock();
        postAll(posts);
    }

    std::string stopMessage(const std::string& otherwise) const {
        return phase_ == Phase::Stopping ? "the web engine was shut down" : otherwise;
    }

    void spawnLocked(std::vector<Block>& posts) {
        if (options_.helperPath.empty() || !isExecutable(options_.helperPath)) {
            loseLocked("the web engine's helper program (qm-webkit) was not found", posts);
            return;
        }
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            loseLocked(std::string("no socket pair: ") + std::strerror(errno), posts);
            return;
        }
        // dup2 onto the same number would keep close-on-exec: move that end elsewhere first.
        if (sv[1] == kChildFd) {
            const int moved = fcntl(sv[1], F_DUPFD_CLOEXEC, kChildFd + 1);
            close(sv[1]);
            sv[1] = moved;
        }
        std::vector<std::string> args{options_.helperPath, "--fd", std::to_string(kChildFd), "--parent-death"};
        args.insert(args.end(), options_.helperArguments.begin(), options_.helperArguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        // The helper's own chatter goes where the host's errors go.
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, sv[1], kChildFd);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // Descriptors the host left inheritable stay with the host: a helper holding one of
        // its sockets or pipes open would keep the other end from seeing it close.
        posix_spawn_file_actions_addclosefrom_np(&actions, kChildFd + 1);
#endif
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        // A group of its own: killing the group takes the engine's own processes with it.
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, options_.helperPath.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        close(sv[1]);
        if (rc != 0) {
            close(sv[0]);
            loseLocked("the web engine's helper did not start: " + std::string(std::strerror(rc)), posts);
            return;
        }
        socket_ = sv[0];
        const int flags = fcntl(socket_, F_GETFL);
        fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
        pid_ = pid;
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        lines_ = wk::LineSplitter();
        out_.clear();
        outStart_ = 0;
        internal_.clear();
        pingsUnanswered_ = 0;
        startDeadline_ = SteadyClock::now() + seconds(options_.startTimeoutSeconds);
    }

    void beginStopLocked() {
        phase_ = Phase::Stopping;
        stopDeadline_ = SteadyClock::now() + seconds(kStopSeconds);
        writeInternalLocked(wk::Op::Shutdown, Internal::Quiet);
    }

    std::int64_t writeInternalLocked(wk::Op op, Internal kind, wk::Request r = {}) {
        r.id = nextId_++;
        r.op = op;
        auto line = wk::encode(r);
        if (!line) return 0;
        internal_[r.id] = kind;
        out_ += *line;
        return r.id;
    }

    void sendUnsentLocked(SteadyClock::time_point now) {
        while (!unsent_.empty()) {
            auto it = pending_.find(unsent_.front());
            unsent_.pop_front();
            if (it == pending_.end()) continue;
            out_ += it->second.line;
            std::string().swap(it->second.line);
            it->second.sent = true;
            it->second.deadline = now + seconds(it->second.timeoutSeconds);
        }
    }

    void checkTimesLocked(SteadyClock::time_point now, std::vector<Block>& posts) {
        if (phase_ == Phase::Starting && now >= startDeadline_) {
            loseLocked("the web engine did not start within " + std::to_string(options_.startTimeoutSeconds) + " s",
                       posts);
            return;
        }
        if (phase_ == Phase::Stopping && now >= stopDeadline_) {
            loseLocked("the web engine was shut down", posts);
            return;
        }
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.sent && now >= it->second.deadline) {
                if (Reply reply = std::move(it->second.reply)) {
                    const WebError error{WebError::Kind::Timeout, "the web engine did not answer within " +
                                                                      std::to_string(it->second.timeoutSeconds) + " s"};
                    posts.push_back([reply, error] { reply(nullptr, error); });
                }
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
        if (phase_ == Phase::Running) {
            if (pages_.empty()) {
                pingsUnanswered_ = 0;
                nextPing_ = now + seconds(options_.pingIntervalSeconds);
            } else if (now >= nextPing_) {
                if (pingsUnanswered_ >= 2) {
                    loseLocked("the web engine stopped answering", posts);
                    return;
                }
                writeInternalLocked(wk::Op::Ping, Internal::Ping);
                ++pingsUnanswered_;
                nextPing_ = now + seconds(options_.pingIntervalSeconds);
            }
        }
        if (out_.size() > outStart_) flushLocked(posts);
    }

    void flushLocked(std::vector<Block>& posts) {
        while (socket_ >= 0 && outStart_ < out_.size()) {
            const ssize_t n = send(socket_, out_.data() + outStart_, out_.size() - outStart_, MSG_NOSIGNAL);
            if (n > 0) {
                outStart_ += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            loseLocked(stopMessage(std::string("the web engine's socket broke: ") + std::strerror(errno)), posts);
            return;
        }
        out_.clear();
        outStart_ = 0;
    }

    void readLocked(std::vector<Block>& posts) {
        char buffer[65536];
        while (socket_ >= 0) {
            const ssize_t n = read(socket_, buffer, sizeof buffer);
            if (n > 0) {
                lines_.append(std::string_view(buffer, static_cast<std::size_t>(n)));
                while (auto line = lines_.next()) {
                    if (line->overlong) {
                        log("an overlong line from the helper was dropped");
                        continue;
                    }
                    std::string why;
                    auto message = wk::decodeIncoming(line->text, &why);
                    if (!message) {
                        log("a line from the helper was not understood: " + why);
                        continue;
                    }
                    if (auto* answer = std::get_if<wk::Response>(&*message)) handleAnswerLocked(*answer, posts);
                    else handleEventLocked(std::get<wk::Event>(*message), posts);
                    if (socket_ < 0) return;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            loseLocked(stopMessage(n == 0 ? "the web engine closed its connection"
                                          : std::string("the web engine's socket broke: ") + std::strerror(errno)),
                       posts);
            return;
        }
    }

    void handleAnswerLocked(const wk::Response& answer, std::vector<Block>& posts) {
        if (auto it = internal_.find(answer.id); it != internal_.end()) {
            const Internal kind = it->second;
            internal_.erase(it);
            if (kind == Internal::Ping) pingsUnanswered_ = 0;
            if (kind == Internal::Route && !answer.ok) log("the helper refused the route: " + answer.message);
            if (kind == Internal::Hello && phase_ == Phase::Starting) {
                if (!answer.ok) {
                    loseLocked("the web engine refused to start: " + answer.message, posts);
                    return;
                }
                const Value& agent = answer.fields["userAgent"];
                if (agent.isString() && !agent.string().empty()) userAgent_ = agent.string();
                for (auto& done : agentWaiters_) posts.push_back([done, agent = userAgent_] { done(agent); });
                agentWaiters_.clear();
                for (const auto& [host, pem] : trusted_) {
                    wk::Request r;
                    r.host = host;
                    r.certificatePEM = pem;
                    writeInternalLocked(wk::Op::TrustCertificate, Internal::Quiet, r);
                }
                if (route_) writeInternalLocked(wk::Op::Route, Internal::Route, routeRequestLocked());
                phase_ = Phase::Running;
                pingsUnanswered_ = 0;
                nextPing_ = SteadyClock::now() + seconds(options_.pingIntervalSeconds);
                sendUnsentLocked(SteadyClock::now());
                flushLocked(posts);
            }
            return;
        }
        auto it = pending_.find(answer.id);
        if (it == pending_.end()) return;  // answered late, after its deadline
        Reply reply = std::move(it->second.reply);
        pending_.erase(it);
        if (!reply) return;
        // A helper shutting down fails what it still has because its views go: that is the
        // engine going away, as far as the caller can tell.
        const WebError error = phase_ == Phase::Stopping ? WebError{WebError::Kind::EngineLost, kLostMessage}
                                                         : errorOf(answer);
        if (answer.ok) posts.push_back([reply, answer] { reply(&answer, std::nullopt); });
        else posts.push_back([reply, error] { reply(nullptr, error); });
    }

    void handleEventLocked(const wk::Event& event, std::vector<Block>& posts) {
        switch (event.kind) {
        case wk::EventKind::Ready:
            if (phase_ == Phase::Starting && internal_.empty()) {
                pid_ = static_cast<pid_t>(event.pid);
                xvfbPid_ = static_cast<pid_t>(event.xvfbPid);
                writeInternalLocked(wk::Op::Hello, Internal::Hello);
                flushLocked(posts);
            }
            return;
        case wk::EventKind::Fatal:
            loseLocked("the web engine failed: " + event.message, posts);
            return;
        default:
            break;
        }
        if (pages_.count(event.view) == 0) return;
        // The client is looked up again when the event is delivered: a page closed meanwhile
        // hears nothing more.
        posts.push_back([weak = weak_from_this(), event] {
            auto core = weak.lock();
            if (!core) return;
            auto client = core->clientOf(event.view).lock();
            if (!client) return;
            switch (event.kind) {
            case wk::EventKind::LoadState:
                client->webLoadStateChanged(loadStateOf(event.state), event.url, event.load);
                break;
            case wk::EventKind::LoadFailed: client->webLoadFailed(event.url, event.message, event.load); break;
            case wk::EventKind::NavigationRequested: {
                WebNavigationAction action;
                action.id = event.navigation;
                action.url = event.url;
                action.type = navigationTypeOf(event.navigationType);
                action.newWindow = event.newWindow;
                client->webNavigationRequested(action);
                break;
            }
            case wk::EventKind::ScriptMessage: client->webScriptMessage(event.name, event.body); break;
            case wk::EventKind::ViewCrashed: client->webPageCrashed(event.message, false); break;
            default: break;
            }
        });
    }

    // The helper is gone (or must be): kill and reap it, fail what waits, tell the pages.
    void loseLocked(const std::string& why, std::vector<Block>& posts) {
        const bool deliberate = phase_ == Phase::Stopping || why == "the web engine was shut down";
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (socket_ >= 0) close(socket_);
        if (pidfd_ >= 0) close(pidfd_);
        socket_ = pidfd_ = -1;
        pid_ = xvfbPid_ = 0;
        out_.clear();
        outStart_ = 0;
        internal_.clear();
        unsent_.clear();
        if (!deliberate) log(why);
        for (auto& [id, p] : pending_) {
            if (p.reply)
                posts.push_back([reply = std::move(p.reply)] {
                    reply(nullptr, WebError{WebError::Kind::EngineLost, kLostMessage});
                });
        }
        pending_.clear();
        for (auto& done : agentWaiters_) posts.push_back([done] { done(std::nullopt); });
        agentWaiters_.clear();
        for (auto it = pages_.begin(); it != pages_.end();) {
            if (it->second.generation == generation_) {
                posts.push_back([client = it->second.client, why] {
                    if (auto c = client.lock()) c->webPageCrashed(why, true);
                });
                it = pages_.erase(it);
            } else {
                ++it;
            }
        }
        phase_ = Phase::Idle;
        idle_.notify_all();
    }

    HelperEngineOptions options_;
    int wake_ = -1;
    std::thread thread_;

    std::mutex mu_;
    std::condition_variable idle_;
    Phase phase_ = Phase::Idle;
    std::int64_t generation_ = 0;
    bool startRequested_ = false;
    bool stopRequested_ = false;
    bool quit_ = false;
    std::deque<SteadyClock::time_point> starts_;
    std::int64_t nextId_ = kFirstRequestId;
    std::int64_t nextView_ = 1;
    std::map<std::int64_t, Page> pages_;
    std::map<std::int64_t, Pending> pending_;
    std::deque<std::int64_t> unsent_;
    std::optional<std::string> userAgent_;
    std::vector<std::function<void(const std::optional<std::string>&)>> agentWaiters_;
    std::vector<std::pair<std::string, std::string>> trusted_;
    std::optional<HelperRoute> route_;
    pid_t pid_ = 0;
    pid_t xvfbPid_ = 0;

    // The I/O thread's own (touched under mu_ all the same).
    int socket_ = -1;
    int pidfd_ = -1;
    wk::LineSplitter lines_;
    std::string out_;
    std::size_t outStart_ = 0;
    std::map<std::int64_t, Internal> internal_;
    int pingsUnanswered_ = 0;
    SteadyClock::time_point nextPing_{};
    SteadyClock::time_point startDeadline_{};
    SteadyClock::time_point stopDeadline_{};
};

// ---- Pages ---------------------------------------------------------------------------

namespace {

class HelperPage : public WebPage {
public:
    HelperPage(std::weak_ptr<HelperCore> core, HelperCore::Opened opened, double requestTimeout)
        : core_(std::move(core)), opened_(std::move(opened)), requestTimeout_(requestTimeout) {}

    ~HelperPage() override {
        if (auto core = core_.lock(); core && opened_.refusal.empty()) core->closePage(opened_.view, opened_.generation);
    }

    void resize(Size size, double scale, WebDone done) override {
        if (!(size.width >= 1 && size.height >= 1 && size.width <= wk::kMaxViewSide &&
              size.height <= wk::kMaxViewSide && scale >= wk::kMinScale && scale <= wk::kMaxScale)) {
            post([done] {
                if (done) done(WebError{WebError::Kind::BadRequest, "sizes are 1 to 8192 px and scales 0.25 to 4"});
            });
            return;
        }
        wk::Request r;
        r.op = wk::Op::Resize;
        r.width = clampSide(size.width);
        r.height = clampSide(size.height);
        r.scale = scale;
        send(std::move(r), requestTimeout_, plain(std::move(done)));
    }

    std::int64_t loadHTML(const std::string& html, const std::string& baseURL, WebDone done) override {
        wk::Request r;
        r.op = wk::Op::LoadHTML;
        r.html = html;
        r.baseURL = baseURL;
        return send(std::move(r), requestTimeout_, plain(std::move(done)));
    }

    std::int64_t loadURL(const std::string& url, const std::map<std::string, std::string>& headers,
                         WebDone done) override {
        wk::Request r;
        r.op = wk::Op::LoadURL;
        r.url = url;
        r.headers = headers;
        return send(std::move(r), requestTimeout_, plain(std::move(done)));
    }

    void evaluate(const std::string& script, double timeoutSeconds, WebValueDone done) override {
        wk::Request r;
        r.op = wk::Op::Evaluate;
        r.script = script;
        r.timeoutMs = timeoutMs(timeoutSeconds);
        const double deadline = static_cast<double>(r.timeoutMs) / 1000 + kEvaluateMarginSeconds;
        send(std::move(r), deadline, [done](const wk::Response* answer, const std::optional<WebError>& error) {
            if (!done) return;
            if (answer) done(answer->fields["value"].isNone() ? Value::null() : answer->fields["value"], std::nullopt);
            else done(Value(), error);
        });
    }

    void decideNavigation(std::int64_t navigation, bool allow) override {
        if (navigation < 1 || navigation > wk::kMaxId) return;
        wk::Request r;
        r.op = wk::Op::DecideNavigation;
        r.navigation = navigation;
        r.allow = allow;
        send(std::move(r), requestTimeout_, nullptr);
    }

    void snapshot(WebSnapshotDone done) override {
        wk::Request r;
        r.op = wk::Op::Snapshot;
        r.timeoutMs = timeoutMs(requestTimeout_);
        send(std::move(r), static_cast<double>(r.timeoutMs) / 1000 + kEvaluateMarginSeconds,
             [done](const wk::Response* answer, const std::optional<WebError>& error) {
                 if (!done) return;
                 if (!answer) {
                     done({}, error);
                     return;
                 }
                 const Value& text = answer->fields["png"];
                 auto png = text.isString() ? wk::base64Decode(text.string()) : std::nullopt;
                 if (png) done(*png, std::nullopt);
                 else done({}, WebError{WebError::Kind::Failed, "the snapshot came without a PNG"});
             });
    }

private:
    static Reply plain(WebDone done) {
        if (!done) return nullptr;
        return [done](const wk::Response*, const std::optional<WebError>& error) { done(error); };
    }

    static void post(Block block) { Queue::main().async(std::move(block)); }

    std::int64_t send(wk::Request r, double timeoutSeconds, Reply reply) {
        r.view = opened_.view;
        auto core = core_.lock();
        if (core && opened_.refusal.empty()) return core->request(std::move(r), timeoutSeconds, std::move(reply), opened_.generation);
        // Refused at its start, or its engine is gone: fails at once (but not inside this call).
        const WebError error = core ? WebError{WebError::Kind::EngineLost, opened_.refusal}
                                    : WebError{WebError::Kind::NoPage, "the page's web engine is gone"};
        if (reply) post([reply, error] { reply(nullptr, error); });
        return ++refusedLoads_;
    }

    std::weak_ptr<HelperCore> core_;
    HelperCore::Opened opened_;
    double requestTimeout_;
    std::int64_t refusedLoads_ = 0;
};

}  // namespace

// ---- The engine ------------------------------------------------------------------------

class HelperEngine::Impl {
public:
    explicit Impl(HelperEngineOptions options)
        : requestTimeout(options.requestTimeoutSeconds), core(std::make_shared<HelperCore>(std::move(options))) {}
    double requestTimeout;
    std::shared_ptr<HelperCore> core;
};

std::shared_ptr<HelperEngine> HelperEngine::create(HelperEngineOptions options) {
    return std::make_shared<HelperEngine>(std::make_unique<Impl>(std::move(options)));
}

std::optional<std::string> HelperEngine::findHelper() {
    if (const char* env = std::getenv("QM_WEBKIT_HELPER"); env && isExecutable(env)) return std::string(env);
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.find_last_of('/'));
        for (const std::string& candidate : {dir + "/qm-webkit", dir + "/../libexec/qm-webkit"})
            if (isExecutable(candidate)) return candidate;
    }
#ifdef QM_WEBKIT_BUILD_HELPER
    if (isExecutable(QM_WEBKIT_BUILD_HELPER)) return std::string(QM_WEBKIT_BUILD_HELPER);
#endif
#ifdef QM_WEBKIT_INSTALLED_HELPER
    if (isExecutable(QM_WEBKIT_INSTALLED_HELPER)) return std::string(QM_WEBKIT_INSTALLED_HELPER);
#endif
    return std::nullopt;
}

HelperEngine::HelperEngine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HelperEngine::~HelperEngine() {
    if (impl_) impl_->core->quit();
}

std::shared_ptr<WebPage> HelperEngine::createPage(const WebPageOptions& options, std::weak_ptr<WebPageClient> client) {
    auto opened = impl_->core->openPage(options, std::move(client));
    return std::make_shared<HelperPage>(impl_->core, std::move(opened), impl_->requestTimeout);
}

void HelperEngine::defaultUserAgent(std::function<void(const std::optional<std::string>& agent)> done) {
    if (done) impl_->core->userAgent(std::move(done));
}

void HelperEngine::trustCertificate(const std::string& host, const std::string& certificatePEM, WebDone done) {
    impl_->core->trust(host, certificatePEM, std::move(done));
}

void HelperEngine::setRoute(std::optional<HelperRoute> route, WebDone done) {
    impl_->core->setRoute(std::move(route), std::move(done));
}

std::optional<HelperRoute> HelperEngine::route() const { return impl_->core->route(); }

std::optional<long> HelperEngine::helperPid() const { return impl_->core->helperPid(); }
std::optional<long> HelperEngine::displayServerPid() const { return impl_->core->displayServerPid(); }
void HelperEngine::shutdown() { impl_->core->shutdown(); }

}  // namespace qm::platform
