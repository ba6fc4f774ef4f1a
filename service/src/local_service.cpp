// The HTTPS server behind LocalService, and the probe client. The only file that includes the
// HTTP library.
#define CPPHTTPLIB_OPENSSL_SUPPORT
#include <httplib.h>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "answers.hpp"
#include "certificates.hpp"
#include "content.hpp"
#include "qmplatform/json.hpp"
#include "qmservice/local_service.hpp"
#include "qmservice/probe.hpp"

#ifndef QM_SERVICE_FIXTURES_DIR
#define QM_SERVICE_FIXTURES_DIR ""
#endif

namespace qm::service {

namespace {

constexpr int kWorkerThreads = 16;

struct LabelKind {
    const char* label;
    const char* service;
};
// Every environment's subdomain label: development, user acceptance, staging, live.
constexpr LabelKind kLabels[] = {
    {"devmobile6", "mobile"}, {"mobile1uat", "mobile"}, {"stagemobile", "mobile"},
    {"mobile", "mobile"},     {"devpush6", "push"},     {"push1uat", "push"},
    {"stagepush", "push"},    {"push", "push"},         {"devanal6", "analytics"},
    {"anal1uat", "analytics"}, {"stageanal", "analytics"}, {"analytics", "analytics"},
    {"livechat", "livechat"},
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool validDomain(const std::string& domain) {
    if (domain.empty() || domain.front() == '.' || domain.back() == '.') return false;
    return std::all_of(domain.begin(), domain.end(), [](unsigned char c) {
        return std::islower(c) || std::isdigit(c) || c == '-' || c == '.';
    });
}

// The Host header without its port ("a.b:8443" -> "a.b", "[::1]:1" -> "[::1]").
std::string hostWithoutPort(const std::string& host) {
    const std::size_t colon = host.rfind(':');
    if (colon == std::string::npos) return lower(host);
    const std::size_t bracket = host.rfind(']');
    if (bracket != std::string::npos && bracket > colon) return lower(host);
    return lower(host.substr(0, colon));
}

double nowSince2001() {
    using namespace std::chrono;
    return Date::fromUnix(duration<double>(system_clock::now().time_since_epoch()).count())
        .seconds;
}

Value toValue(const RecordedRequest& request) {
    Dictionary headers;
    for (const auto& [name, value] : request.headers) headers.emplace(name, Value(value));
    return Value{{"time", request.time},
                 {"method", request.method},
                 {"host", request.host},
                 {"path", request.path},
                 {"endpoint", request.endpoint},
                 {"service", request.service},
                 {"headers", Value(std::move(headers))},
                 {"fields", request.fields.isDictionary() ? request.fields : Value::dictionary()},
                 {"body", request.body}};
}

std::string jsonText(const Value& value) {
    return platform::json::write(value).value_or("{}");
}

std::optional<FaultKind> faultKindNamed(const std::string& name) {
    static const std::map<std::string, FaultKind> kinds = {
        {"none", FaultKind::None},         {"delay", FaultKind::Delay},
        {"noanswer", FaultKind::NoAnswer}, {"error", FaultKind::ServerError},
        {"notjson", FaultKind::NotJSON},   {"empty", FaultKind::EmptyBody},
        {"refusal", FaultKind::Refusal},
    };
    auto it = kinds.find(lower(name));
    if (it == kinds.end()) return std::nullopt;
    return it->second;
}

bool writeFileAtomically(const std::string& path, const std::string& contents, mode_t mode,
                         std::string* error) {
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        if (error) *error = "cannot write " + temp;
        return false;
    }
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool complete = written == contents.size() && ::close(fd) == 0;
    if (!complete || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        if (error) *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

struct LocalService::State {
    Options options;

    // Requests, faults and answers.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t generation = 0;  // bumped on every recorded request
    std::vector<RecordedRequest> requests;
    std::map<std::string, Fault> faults;
    std::map<std::string, Value> answers;
    std::map<std::string, Value> fixtures;
    std::string error;

    // Server life cycle (start/stop are serialised by lifecycle).
    std::mutex lifecycle;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<int> port{0};
    int stopPipe[2] = {-1, -1};
    detail::Certificates certificates;

    std::mutex readyMutex;
    std::condition_variable readyChanged;
    bool ready = false;

    void setError(const std::string& text) {
        std::lock_guard lock(mutex);
        error = text;
    }

    void markReady() {
        std::lock_guard lock(readyMutex);
        ready = true;
        readyChanged.notify_all();
    }

    void record(const RecordedRequest& request) {
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
            ++generation;
        }
        changed.notify_all();
        if (options.observer) options.observer(request);
    }

    // The fault for this request, counting it down; None when there is none.
    Fault takeFault(const std::string& service, const std::string& endpoint) {
        std::lock_guard lock(mutex);
        for (const std::string& key : {service + "/" + endpoint, endpoint, std::string("*")}) {
            auto it = faults.find(key);
            if (it == faults.end()) continue;
            Fault fault = it->second;
            if (fault.count > 0 && --it->second.count == 0) faults.erase(it);
            return fault;
        }
        return {};
    }

    std::optional<Value> answerFor(const std::string& service, const std::string& endpoint) {
        std::lock_guard lock(mutex);
        for (const std::string& key : {service + "/" + endpoint, endpoint}) {
            if (auto it = answers.find(key); it != answers.end()) return it->second;
        }
        for (const std::string& key : {service + "_" + endpoint, endpoint}) {
            if (auto it = fixtures.find(key); it != fixtures.end()) return it->second;
        }
        return std::nullopt;
    }

    // Waits until the service stops, `seconds` pass (negative: no limit) or, when fd is
    // given, the client closes its side. True when the service is stopping.
    bool hold(double seconds, int fd) {
        pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {fd, POLLRDHUP, 0}};
        const nfds_t count = fd >= 0 ? 2 : 1;
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::duration<double>(std::max(0.0, seconds));
        for (;;) {
            int timeout = -1;
            if (seconds >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count()));
            }
            const int n = ::poll(fds, count, timeout);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // time is up
            if (fds[0].revents) return true;
            if (count == 2 && fds[1].revents) return false;  // the client gave up
        }
    }

    void handle(const httplib::Request& req, httplib::Response& res);
    bool handleAdmin(const httplib::Request& req, httplib::Response& res);
    void answerGet(const RecordedRequest& request, httplib::Response& res);
    void answerPost(const RecordedRequest& request, FaultKind fault, httplib::Response& res);
};

bool LocalService::State::handleAdmin(const httplib::Request& req, httplib::Response& res) {
    const std::string& path = req.path;
    if (!path.starts_with("/__admin/")) return false;
    Value fields = Value::dictionary();
    detail::decodeForm(req.body, fields);
    if (path == "/__admin/ping") {
        res.set_content(R"({"ok":true})", "application/json");
    } else if (req.method == "GET" && path == "/__admin/requests") {
        Array list;
        {
            std::lock_guard lock(mutex);
            for (const RecordedRequest& request : requests) list.push_back(toValue(request));
        }
        res.set_content(jsonText(Value(std::move(list))), "application/json");
    } else if (req.method == "POST" && path == "/__admin/reset") {
        {
            std::lock_guard lock(mutex);
            requests.clear();
        }
        res.set_content(R"({"ok":true})", "application/json");
    } else if (req.method == "POST" && path == "/__admin/fault") {
        const std::string endpoint = fields["endpoint"].string();
        const auto kind = faultKindNamed(fields["kind"].string());
        if (endpoint.empty() || !kind) {
            res.status = 400;
            res.set_content(R"({"error":"endpoint and kind (none, delay, noanswer, error, notjson, empty, refusal) are needed"})",
                            "application/json");
            return true;
        }
        Fault fault{*kind, fields["delay"].doubleValue(),
                    fields.contains("count") ? fields["count"].intValue() : -1};
        std::lock_guard lock(mutex);
        if (fault.kind == FaultKind::None) {
            faults.erase(endpoint);
        } else {
            faults[endpoint] = fault;
        }
        res.set_content(R"({"ok":true})", "application/json");
    } else if (req.method == "POST" && path == "/__admin/clear-faults") {
        std::lock_guard lock(mutex);
        faults.clear();
        res.set_content(R"({"ok":true})", "application/json");
    } else {
        res.status = 404;
        res.set_content(R"({"error":"unknown admin request"})", "application/json");
    }
    return true;
}

void LocalService::State::handle(const httplib::Request& req, httplib::Response& res) {
    if (handleAdmin(req, res)) return;

    RecordedRequest request;
    request.time = nowSince2001();
    request.method = req.method;
    request.host = hostWithoutPort(req.get_header_value("Host"));
    request.path = req.path;
    for (const auto& [name, value] : req.headers) {
        // The server adds the peer's and its own address as pseudo headers.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
            name == "LOCAL_PORT") {
            continue;
        }
        request.headers[lower(name)] = value;
    }
    request.body = req.body;
    const std::size_t question = req.target.find('?');
    const std::string query =
        question == std::string::npos ? std::string() : req.target.substr(question + 1);
    request.fields = Value::dictionary();
    detail::decodeForm(query, request.fields);
    if (req.method == "POST") detail::decodeForm(req.body, request.fields);
    const std::size_t slash = request.path.rfind('/');
    request.endpoint = slash == std::string::npos ? request.path : request.path.substr(slash + 1);
    const std::string suffix = "." + options.domain;
    if (request.host.size() > suffix.size() && request.host.ends_with(suffix)) {
        request.service =
            serviceForLabel(request.host.substr(0, request.host.size() - suffix.size()));
    }
    record(request);

    const Fault fault = takeFault(request.service, request.endpoint);
    const int fd = req.ssl ? SSL_get_fd(req.ssl) : -1;
    switch (fault.kind) {
        case FaultKind::Delay:
            if (hold(fault.delaySeconds, -1)) {
                if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
                return;
            }
            break;
        case FaultKind::NoAnswer:
            hold(-1, fd);
            // Close the connection without an answer.
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
            res.set_header("Connection", "close");
            return;
        case FaultKind::ServerError:
            res.status = 500;
            res.set_content(R"({"error":"internal"})", "application/json");
            return;
        case FaultKind::NotJSON:
            res.set_content("<html>oops</html>", "text/html");
            return;
        case FaultKind::EmptyBody:
            res.status = 200;
            res.set_content("", "application/json");
            return;
        default:
            break;
    }

    if (req.method == "GET") {
        answerGet(request, res);
    } else {
        answerPost(request, fault.kind, res);
    }
}

void LocalService::State::answerGet(const RecordedRequest& request, httplib::Response& res) {
    const std::string id = request.fields["notificationid"].string();
    if (request.endpoint == "modal") {
        // The thank-you step lives beside the survey page, on the same host.
        std::string host = request.host;
        if (!validDomain(host)) host = "mobile." + options.domain;
        const std::string folder = request.path.substr(0, request.path.rfind('/') + 1);
        const std::string thankYou = "https://" + host + folder + "thankYou?notificationid=" +
                                     (id.find_first_of("&#'\"\\<> ") == std::string::npos ? id : "");
        res.set_content(detail::surveyPage(id, request.fields["tokens"].string(), thankYou),
                        "text/html; charset=utf-8");
    } else if (request.endpoint == "thankYou") {
        res.set_content(detail::thankYouPage(id), "text/html; charset=utf-8");
    } else if (request.path == "/assets/close.png") {
        res.set_content(detail::closeButtonPNG(), "image/png");
    } else if (request.path.starts_with("/media/")) {
        if (auto file = detail::mediaFile(request.endpoint)) {
            res.set_content(file->bytes, file->contentType);
        } else {
            res.status = 404;
            res.set_content(R"({"error":"no such media"})", "application/json");
        }
    } else {
        res.status = 404;
        res.set_content(R"({"error":"not found"})", "application/json");
    }
}

void LocalService::State::answerPost(const RecordedRequest& request, FaultKind fault,
                                     httplib::Response& res) {
    auto answer = answerFor(request.service, request.endpoint);
    if (!answer) {
        res.status = 404;
        res.set_content(R"({"error":"unknown endpoint"})", "application/json");
        return;
    }
    Value fields = request.fields;
    fields.set("@domain", options.domain);  // for links back to this service
    Value filled = detail::fillPlaceholders(*answer, fields);
    if (fault == FaultKind::Refusal) filled = detail::refusal(filled);
    res.set_content(jsonText(filled), "application/json; charset=utf-8");
}

LocalService::LocalService(Options options) : state_(std::make_shared<State>()) {
    state_->options = std::move(options);
}

LocalService::~LocalService() { stop(); }

bool LocalService::start() {
    try {
        return startServing();
    } catch (const std::exception& e) {
        // Only allocation and thread creation can throw here; undo what was set up.
        State& s = *state_;
        std::lock_guard life(s.lifecycle);
        if (!s.thread.joinable()) {
            if (s.server) s.server->stop();
            s.server.reset();
            for (int& fd : s.stopPipe) {
                if (fd >= 0) ::close(fd);
                fd = -1;
            }
        }
        s.setError(std::string("start failed: ") + e.what());
        return false;
    }
}

bool LocalService::startServing() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    if (s.running) return true;
    auto fail = [&](const std::string& text) {
        s.setError(text);
        return false;
    };

    const Options& options = s.options;
    if (!validDomain(options.domain)) return fail("invalid service domain: " + options.domain);
    if (options.stateDir.empty()) return fail("no state folder given");
    std::error_code ec;
    std::filesystem::create_directories(options.stateDir, ec);
    if (ec) return fail("cannot create " + options.stateDir + ": " + ec.message());

    std::string error;
    std::vector<std::string> labels;
    for (const LabelKind& entry : kLabels) labels.emplace_back(entry.label);
    auto certificates = detail::makeCertificates(options.domain, labels, &error);
    if (!certificates) return fail(error);
    if (!writeFileAtomically(caFile(), certificates->caPem, 0644, &error)) return fail(error);
    s.certificates = *certificates;

    std::map<std::string, Value> fixtures;
    const std::string fixturesDir =
        options.fixturesDir.empty() ? std::string(QM_SERVICE_FIXTURES_DIR) : options.fixturesDir;
    if (!fixturesDir.empty() && !detail::loadFixtures(fixturesDir, fixtures, &error)) {
        return fail(error);
    }
    {
        std::lock_guard lock(s.mutex);
        s.fixtures = std::move(fixtures);
    }

    auto server = std::make_unique<httplib::SSLServer>([&s](SSL_CTX& ctx) {
        BIO* certBio = BIO_new_mem_buf(s.certificates.serverCertPem.data(),
                                       static_cast<int>(s.certificates.serverCertPem.size()));
        BIO* keyBio = BIO_new_mem_buf(s.certificates.serverKeyPem.data(),
                                      static_cast<int>(s.certificates.serverKeyPem.size()));
        X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
        EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
        const bool ok = cert && key && SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION) == 1 &&
                        SSL_CTX_use_certificate(&ctx, cert) == 1 &&
                        SSL_CTX_use_PrivateKey(&ctx, key) == 1 &&
                        SSL_CTX_check_private_key(&ctx) == 1;
        X509_free(cert);
        EVP_PKEY_free(key);
        BIO_free(certBio);
        BIO_free(keyBio);
        ERR_clear_error();
        return ok;
    });
    if (!server->is_valid()) return fail("TLS set-up failed");

    auto handler = [&s](const httplib::Request& req, httplib::Response& res) { s.handle(req, res); };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Idle keep-alive connections hold a worker until they time out, and stop() waits for
    // the workers: keep that wait short.
    server->set_keep_alive_timeout(1);
    // Answers are written in pieces; without this, delayed acknowledgements stall each one.
    server->set_tcp_nodelay(true);
    server->set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                     std::exception_ptr) {
        res.status = 500;
        res.set_content(R"({"error":"internal"})", "application/json");
    });
    // The task queue is created once the server loop runs: from then on stop() ends it.
    server->new_task_queue = [&s] {
        s.markReady();
        return new httplib::ThreadPool(kWorkerThreads);
    };

    int port = options.port;
    if (port == 0) {
        port = server->bind_to_any_port("127.0.0.1");
        if (port < 0) return fail("cannot bind 127.0.0.1");
    } else if (!server->bind_to_port("127.0.0.1", port)) {
        return fail("port " + std::to_string(port) + " is not available");
    }
    if (::pipe2(s.stopPipe, O_CLOEXEC) != 0) {
        server->stop();
        return fail("pipe failed");
    }

    {
        std::lock_guard lock(s.readyMutex);
        s.ready = false;
    }
    s.server = std::move(server);
    s.port = port;
    httplib::SSLServer* raw = s.server.get();
    s.thread = std::thread([raw, &s] {
        // Writing to a connection the client closed must fail with EPIPE, not end the
        // process; the workers inherit this mask.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        raw->listen_after_bind();
        s.markReady();
    });
    {
        std::unique_lock lock(s.readyMutex);
        s.readyChanged.wait(lock, [&s] { return s.ready; });
    }
    s.running = true;
    s.setError("");
    return true;
}

void LocalService::stop() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    if (!s.server) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(s.stopPipe[1], &byte, 1);
    s.server->stop();
    if (s.thread.joinable()) s.thread.join();
    s.server.reset();
    ::close(s.stopPipe[0]);
    ::close(s.stopPipe[1]);
    s.stopPipe[0] = s.stopPipe[1] = -1;
    s.running = false;
}

bool LocalService::running() const { return state_->running; }
int LocalService::port() const { return state_->port; }
std::string LocalService::address() const { return "127.0.0.1:" + std::to_string(port()); }
std::string LocalService::caFile() const { return state_->options.stateDir + "/ca.pem"; }
std::string LocalService::domain() const { return state_->options.domain; }

std::string LocalService::lastError() const {
    std::lock_guard lock(state_->mutex);
    return state_->error;
}

std::string LocalService::hostFor(const std::string& label) const {
    return label + "." + state_->options.domain;
}

std::vector<RecordedRequest> LocalService::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::vector<RecordedRequest> LocalService::requestsFor(const std::string& endpoint) const {
    std::vector<RecordedRequest> matching;
    std::lock_guard lock(state_->mutex);
    for (const RecordedRequest& request : state_->requests) {
        if (request.endpoint == endpoint) matching.push_back(request);
    }
    return matching;
}

void LocalService::clearRequests() {
    std::lock_guard lock(state_->mutex);
    state_->requests.clear();
}

bool LocalService::waitFor(const std::function<bool(const std::vector<RecordedRequest>&)>& done,
                           double timeoutSeconds) {
    State& s = *state_;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
    std::unique_lock lock(s.mutex);
    for (;;) {
        // The condition runs without the lock, so it may call back into the service.
        const std::uint64_t seen = s.generation;
        std::vector<RecordedRequest> snapshot = s.requests;
        lock.unlock();
        if (done(snapshot)) return true;
        lock.lock();
        if (!s.changed.wait_until(lock, deadline, [&] { return s.generation != seen; })) {
            lock.unlock();
            return done(requests());
        }
    }
}

void LocalService::setFault(const std::string& endpoint, Fault fault) {
    std::lock_guard lock(state_->mutex);
    if (fault.kind == FaultKind::None || fault.count == 0) {
        state_->faults.erase(endpoint);
    } else {
        state_->faults[endpoint] = fault;
    }
}

void LocalService::clearFaults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

void LocalService::setAnswer(const std::string& endpoint, Value answer) {
    std::lock_guard lock(state_->mutex);
    state_->answers[endpoint] = std::move(answer);
}

std::string LocalService::serviceForLabel(const std::string& label) {
    const std::string name = lower(label);
    for (const LabelKind& entry : kLabels) {
        if (name == entry.label) return entry.service;
    }
    return {};
}

const std::vector<std::string>& LocalService::knownLabels() {
    static const std::vector<std::string> labels = [] {
        std::vector<std::string> all;
        for (const LabelKind& entry : kLabels) all.emplace_back(entry.label);
        return all;
    }();
    return labels;
}

// ---- probe client ----

ProbeAnswer probe(const ProbeRequest& request) {
    ProbeAnswer answer;
    try {
        httplib::SSLClient client(request.host, request.port);
        client.set_hostname_addr_map({{request.host, "127.0.0.1"}});
        if (request.caFile.empty()) {
            client.enable_server_certificate_verification(false);
        } else {
            client.set_ca_cert_path(request.caFile.c_str());
            client.enable_server_certificate_verification(true);
        }
        const double timeout = std::max(0.001, request.timeoutSeconds);
        const auto sec = static_cast<time_t>(timeout);
        const auto usec = static_cast<time_t>(std::llround((timeout - sec) * 1e6));
        client.set_connection_timeout(sec, usec);
        client.set_read_timeout(sec, usec);
        client.set_write_timeout(sec, usec);
        client.set_keep_alive(false);

        httplib::Headers headers;
        for (const auto& [name, value] : request.headers) headers.emplace(name, value);
        httplib::Result result = request.method == "GET"
                                     ? client.Get(request.path, headers)
                                     : client.Post(request.path, headers, request.body,
                                                   request.contentType);
        if (!result) {
            answer.error = httplib::to_string(result.error());
            if (result.error() == httplib::Error::SSLServerVerification) {
                answer.error += ": ";
                answer.error += X509_verify_cert_error_string(client.get_openssl_verify_result());
            }
            return answer;
        }
        answer.ok = true;
        answer.status = result->status;
        answer.body = result->body;
        for (const auto& [name, value] : result->headers) answer.headers[lower(name)] = value;
    } catch (const std::exception& e) {
        answer.error = e.what();
    }
    return answer;
}

bool probeTLS(const std::string& host, int port, const std::string& caFile) {
    if (caFile.empty()) return false;
    ProbeRequest request;
    request.method = "GET";
    request.host = host;
    request.port = port;
    request.path = "/__admin/ping";
    request.caFile = caFile;
    return probe(request).ok;
}

}  // namespace qm::service
