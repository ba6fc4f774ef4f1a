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
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
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
// A Trickle answer goes out this many bytes at a time.
constexpr std::size_t kTrickleBytes = 8;
// Oversize answers are made and written in pieces of this size.
constexpr std::size_t kOversizePiece = 64 * 1024;

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
        {"refusal", FaultKind::Refusal},   {"redirect", FaultKind::Redirect},
        {"redirect-http", FaultKind::RedirectHTTP},
        {"redirect-host", FaultKind::RedirectHost},
        {"trickle", FaultKind::Trickle},   {"oversize", FaultKind::Oversize},
    };
    auto it = kinds.find(lower(name));
    if (it == kinds.end()) return std::nullopt;
    return it->second;
}

// Bytes [offset, offset + length) of an Oversize answer of `size` bytes:
// {"Authentication":"success","padding":"xxx...x"}, cut short when size is smaller than that.
std::string oversizeBytes(std::size_t size, std::size_t offset, std::size_t length) {
    static constexpr std::string_view kHead = R"({"Authentication":"success","padding":")";
    static constexpr std::string_view kTail = R"("})";
    std::string out;
    out.reserve(length);
    const std::size_t tailAt = size >= kHead.size() + kTail.size() ? size - kTail.size() : size;
    for (std::size_t i = offset; i < offset + length && i < size; ++i) {
        if (i < kHead.size()) out += kHead[i];
        else if (i >= tailAt) out += kTail[i - tailAt];
        else out += 'x';
    }
    return out;
}

// The Content-Length of a plain request's head (0 when absent or unreadable).
std::size_t contentLengthOf(const std::string& head) {
    const std::string lowered = lower(head);
    const std::size_t at = lowered.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::strtoull(lowered.c_str() + at + 17, nullptr, 10));
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

// The web pages served under /pages/: every "NAME.html" of the folder (none when it is
// missing), at most 1 MiB each.
std::map<std::string, std::string> loadPages(const std::string& folder) {
    std::map<std::string, std::string> pages;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".html") || !entry.is_regular_file(ec) || entry.file_size(ec) > (1u << 20)) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad() || text.empty()) continue;
        pages.emplace(name, std::move(text));
    }
    return pages;
}

}  // namespace

struct LocalService::State {
    Options options;

    // Requests, faults and answers (and what reached the plain listener).
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t generation = 0;  // bumped on every recorded request
    std::vector<RecordedRequest> requests;
    std::map<std::string, Fault> faults;
    std::map<std::string, Value> answers;
    std::map<std::string, Value> fixtures;
    std::map<std::string, std::string> pages;  // fixtures/pages/NAME.html by NAME.html
    std::vector<std::string> plainContacts;
    std::string error;
    std::atomic<std::size_t> streamed{0};

    // Server life cycle (start/stop are serialised by lifecycle).
    std::mutex lifecycle;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<int> port{0};
    int stopPipe[2] = {-1, -1};
    // The plain-HTTP listener that RedirectHTTP points at.
    int plainSocket = -1;
    std::atomic<int> plainPort{0};
    std::thread plainThread;
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

    // Reads a request body through the server's content reader, at most kMaxRequestBody
    // bytes; false (with the 413 answer set) when it is larger.
    static bool readBody(const httplib::ContentReader& reader, std::string& body,
                         httplib::Response& res);
    void handle(const httplib::Request& req, const std::string& body, httplib::Response& res);
    bool handleAdmin(const httplib::Request& req, const std::string& body, httplib::Response& res);
    std::string fixturesDir() const;
    // Loads the fixtures with the named set laid over them and makes them the answers.
    bool loadFixtureSet(const std::string& set, std::string* error);
    void answerGet(const RecordedRequest& request, httplib::Response& res);
    void answerPost(const RecordedRequest& request, FaultKind fault, httplib::Response& res);
    void redirect(const httplib::Request& req, const Fault& fault, httplib::Response& res);
    void trickle(httplib::Response& res, double pause, int fd);
    void oversize(const Fault& fault, httplib::Response& res);

    bool openPlainListener();
    void servePlain();
    std::string readPlainRequest(int fd);
};

bool LocalService::State::readBody(const httplib::ContentReader& reader, std::string& body,
                                   httplib::Response& res) {
    bool tooLarge = false;
    const bool complete = reader([&](const char* data, std::size_t length) {
        if (body.size() + length > kMaxRequestBody) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    });
    // The server refuses a declared length above the limit itself (status 413) before any
    // byte is read; a chunked body is cut off here.
    if (complete && !tooLarge) return true;
    res.status = tooLarge || res.status == 413 ? 413 : 400;
    res.set_header("Connection", "close");
    res.set_content(res.status == 413
                        ? R"({"Authentication":"failed","Message":"request body too large"})"
                        : R"({"Authentication":"failed","Message":"request body unreadable"})",
                    "application/json");
    return false;
}

void LocalService::State::redirect(const httplib::Request& req, const Fault& fault,
                                   httplib::Response& res) {
    std::string location = req.target;  // path and query: the same place on the same host
    if (fault.kind == FaultKind::RedirectHTTP) {
        location = "http://127.0.0.1:" + std::to_string(plainPort.load()) + req.target;
    } else if (fault.kind == FaultKind::RedirectHost) {
        location = "https://elsewhere." + options.domain + req.target;
    }
    res.status = fault.status > 0 ? fault.status : 307;
    res.set_header("Location", location);
    res.set_content(jsonText(Value{{"redirect", location}}), "application/json");
}

void LocalService::State::trickle(httplib::Response& res, double pause, int fd) {
    auto text = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    std::string type = res.get_header_value("Content-Type");
    res.headers.erase("Content-Type");
    res.set_content_provider(
        text->size(), type,
        [this, text, pause, fd](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            // The first piece goes out with the head; every further one after a pause.
            if (offset > 0 && hold(pause, fd)) return false;  // stopping
            const std::size_t n = std::min(kTrickleBytes, length);
            // Counted before the write: the client may have the last piece before write returns.
            streamed += n;
            if (!sink.write(text->data() + offset, n)) {
                streamed -= n;
                return false;
            }
            return true;
        });
}

void LocalService::State::oversize(const Fault& fault, httplib::Response& res) {
    const std::size_t size = fault.size > 0 ? fault.size : kDefaultOversize;
    // The server compresses a chunked answer for clients that accept it when its type is
    // exactly "application/json"; with a charset the bytes on the wire are the body's.
    static constexpr const char* kType = "application/json; charset=utf-8";
    res.status = 200;
    if (fault.chunked) {
        res.set_chunked_content_provider(
            kType, [this, size](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= size) {
                    sink.done();
                    return true;
                }
                const std::string piece = oversizeBytes(size, offset, std::min(kOversizePiece, size - offset));
                if (!sink.write(piece.data(), piece.size())) return false;
                streamed += piece.size();
                return true;
            });
        return;
    }
    res.set_content_provider(
        size, kType,
        [this, size](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            const std::string piece = oversizeBytes(size, offset, std::min(kOversizePiece, length));
            if (!sink.write(piece.data(), piece.size())) return false;
            streamed += piece.size();
            return true;
        });
}

bool LocalService::State::openPlainListener() {
    plainSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (plainSocket < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(plainSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(plainSocket, 16) != 0 ||
        ::getsockname(plainSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(plainSocket);
        plainSocket = -1;
        return false;
    }
    plainPort = ntohs(address.sin_port);
    return true;
}

// One connection at a time, which is plenty for a listener that should hear nothing.
void LocalService::State::servePlain() {
    static constexpr std::string_view kAnswer =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 14\r\n"
        "Connection: close\r\n\r\n{\"plain\":true}";
    for (;;) {
        pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {plainSocket, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[0].revents) return;
        if (!(fds[1].revents & POLLIN)) continue;
        const int client = ::accept4(plainSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::string received = readPlainRequest(client);
        {
            std::lock_guard lock(mutex);
            plainContacts.push_back(std::move(received));
        }
        [[maybe_unused]] const ssize_t sent = ::send(client, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
        ::close(client);
    }
}

// The head and, after it, as much body as its Content-Length announces; what came before a
// second of silence, the client's close or the service's stop otherwise.
std::string LocalService::State::readPlainRequest(int fd) {
    std::string data;
    std::size_t wanted = std::string::npos;
    char buffer[16384];
    while (data.size() < wanted && data.size() < kMaxRequestBody) {
        pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {fd, POLLIN, 0}};
        const int n = ::poll(fds, 2, 1000);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || fds[0].revents) break;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        data.append(buffer, static_cast<std::size_t>(got));
        if (wanted == std::string::npos) {
            const std::size_t end = data.find("\r\n\r\n");
            if (end != std::string::npos) wanted = end + 4 + contentLengthOf(data.substr(0, end));
        }
    }
    return data;
}

std::string LocalService::State::fixturesDir() const {
    return options.fixturesDir.empty() ? std::string(QM_SERVICE_FIXTURES_DIR) : options.fixturesDir;
}

bool LocalService::State::loadFixtureSet(const std::string& set, std::string* error) {
    // A set is named, never a path: the admin request passes the name along.
    const bool plainName = set.size() <= 64 && std::all_of(set.begin(), set.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
    if (!plainName) {
        if (error) *error = "a fixture set is named with letters, digits, '-' and '_' only";
        return false;
    }
    const std::string dir = fixturesDir();
    std::map<std::string, Value> loaded;
    std::map<std::string, std::string> loadedPages;
    if (!dir.empty()) {
        if (!detail::loadFixtures(dir, loaded, error)) return false;
        if (!set.empty() && !detail::loadFixtures(dir + "/sets/" + set, loaded, error)) return false;
        loadedPages = loadPages(dir + "/pages");
    } else if (!set.empty()) {
        if (error) *error = "there are no fixtures to take the set " + set + " from";
        return false;
    }
    std::lock_guard lock(mutex);
    fixtures = std::move(loaded);
    pages = std::move(loadedPages);
    return true;
}

bool LocalService::State::handleAdmin(const httplib::Request& req, const std::string& body,
                                      httplib::Response& res) {
    const std::string& path = req.path;
    if (!path.starts_with("/__admin/")) return false;
    Value fields = Value::dictionary();
    detail::decodeForm(body, fields);
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
            plainContacts.clear();
        }
        res.set_content(R"({"ok":true})", "application/json");
    } else if (req.method == "POST" && path == "/__admin/fault") {
        const std::string endpoint = fields["endpoint"].string();
        const auto kind = faultKindNamed(fields["kind"].string());
        if (endpoint.empty() || !kind) {
            res.status = 400;
            res.set_content(R"({"error":"endpoint and kind (none, delay, noanswer, error, notjson, empty, refusal, redirect, redirect-http, redirect-host, trickle, oversize) are needed"})",
                            "application/json");
            return true;
        }
        Fault fault{*kind, fields["delay"].doubleValue(),
                    fields.contains("count") ? fields["count"].intValue() : -1};
        fault.status = fields["status"].intValue();
        const double size = fields["size"].doubleValue();
        if (size > 0) fault.size = static_cast<std::size_t>(std::min(size, 1e12));
        fault.chunked = fields["chunked"].string() == "1" || fields["chunked"].string() == "true";
        std::lock_guard lock(mutex);
        if (fault.kind == FaultKind::None) {
            faults.erase(endpoint);
        } else {
            faults[endpoint] = fault;
        }
        res.set_content(R"({"ok":true})", "application/json");
    } else if (req.method == "POST" && path == "/__admin/fixture-set") {
        std::string why;
        if (!loadFixtureSet(fields["name"].string(), &why)) {
            res.status = 400;
            res.set_content(jsonText(Value{{"error", why}}), "application/json");
        } else {
            res.set_content(R"({"ok":true})", "application/json");
        }
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

void LocalService::State::handle(const httplib::Request& req, const std::string& body,
                                 httplib::Response& res) {
    if (handleAdmin(req, body, res)) return;

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
    request.body = body;
    const std::size_t question = req.target.find('?');
    const std::string query =
        question == std::string::npos ? std::string() : req.target.substr(question + 1);
    request.fields = Value::dictionary();
    detail::decodeForm(query, request.fields);
    if (req.method == "POST") detail::decodeForm(body, request.fields);
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
            res.status = fault.status > 0 ? fault.status : 500;
            res.set_content(R"({"error":"internal"})", "application/json");
            return;
        case FaultKind::Redirect:
        case FaultKind::RedirectHTTP:
        case FaultKind::RedirectHost:
            redirect(req, fault, res);
            return;
        case FaultKind::Oversize:
            oversize(fault, res);
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
    if (fault.kind == FaultKind::Trickle) trickle(res, fault.delaySeconds, fd);
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
    } else if (request.path.starts_with("/pages/")) {
        std::string page;
        {
            std::lock_guard lock(mutex);
            if (auto it = pages.find(request.path.substr(7)); it != pages.end()) page = it->second;
        }
        if (!page.empty()) {
            res.set_content(page, "text/html; charset=utf-8");
        } else {
            res.status = 404;
            res.set_content(R"({"error":"no such page"})", "application/json");
        }
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
            if (s.plainSocket >= 0) ::close(s.plainSocket);
            s.plainSocket = -1;
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

    if (!s.loadFixtureSet(options.fixtureSet, &error)) return fail(error);

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

    server->Get(".*", [&s](const httplib::Request& req, httplib::Response& res) {
        s.handle(req, req.body, res);
    });
    // Bodies are read here rather than by the server, which caps form bodies at 8 KiB.
    server->Post(".*", [&s](const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader& reader) {
        std::string body;
        if (State::readBody(reader, body, res)) s.handle(req, body, res);
    });
    server->set_payload_max_length(kMaxRequestBody);
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
    if (!s.openPlainListener()) {
        server->stop();
        for (int& fd : s.stopPipe) {
            ::close(fd);
            fd = -1;
        }
        return fail("cannot open the plain listener on 127.0.0.1");
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
    s.plainThread = std::thread([&s] { s.servePlain(); });
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
    if (s.plainThread.joinable()) s.plainThread.join();
    s.server.reset();
    if (s.plainSocket >= 0) ::close(s.plainSocket);
    s.plainSocket = -1;
    ::close(s.stopPipe[0]);
    ::close(s.stopPipe[1]);
    s.stopPipe[0] = s.stopPipe[1] = -1;
    s.running = false;
}

bool LocalService::running() const { return state_->running; }
int LocalService::port() const { return state_->port; }
int LocalService::plainPort() const { return state_->plainPort; }

std::vector<std::string> LocalService::plainContacts() const {
    std::lock_guard lock(state_->mutex);
    return state_->plainContacts;
}

std::size_t LocalService::streamedBytes() const { return state_->streamed.load(); }
std::string LocalService::address() const { return "127.0.0.1:" + std::to_string(port()); }
std::string LocalService::caFile() const { return state_->options.stateDir + "/ca.pem"; }
std::string LocalService::domain() const { return state_->options.domain; }

std::string LocalService::serverCertificatePEM() const {
    std::lock_guard lock(state_->lifecycle);
    return state_->certificates.serverCertPem;
}

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
    state_->plainContacts.clear();
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

bool LocalService::useFixtureSet(const std::string& name) {
    std::string why;
    if (state_->loadFixtureSet(name, &why)) return true;
    std::lock_guard lock(state_->mutex);
    state_->error = why;
    return false;
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
