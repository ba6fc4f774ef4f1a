// The transport: every transfer of every session runs on one libcurl multi handle, driven by
// one I/O thread that sleeps in curl_multi_poll and is woken when work arrives. Keeping all
// transfers on one multi handle lets them share its connection pool, DNS cache and cached CA
// store; a share object adds TLS session reuse across connections. Nothing here is torn down
// at exit: the thread may be mid-transfer when the process ends.
//
// The I/O thread also keeps each transfer's time limits (libcurl's low-speed window averages
// over several seconds and lets a trickling server hold a request far past its limit), caps
// the size of answers, and follows redirects itself so that it can hold them to our rules
// (see followRedirect).
#include "url_transport.hpp"

#include "lifetime.hpp"
#include "qmbase/no_destructor.hpp"

#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <thread>
#include <vector>
#include <utility>

namespace qm::platform::detail {

namespace {
using Steady = std::chrono::steady_clock;

// Redirects followed for one task before it fails with -1007.
constexpr int kMaxRedirects = 16;
}  // namespace

// What the I/O thread keeps for one running task.
struct URLTransfer {
    std::shared_ptr<URLSessionTask> task;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    curl_slist* connectTo = nullptr;
    std::string body;         // data tasks
    std::FILE* file = nullptr;  // download tasks
    std::string filePath;
    bool writeFailed = false;
    std::map<std::string, std::string> responseHeaders;

    // The request as it goes out on the current hop (redirects may turn it into a GET).
    std::string method;
    bool sendsBody = true;         // the body and its headers (Content-Type, Content-Length)
    bool sendsCredentials = true;  // Authorization and Cookie headers
    std::string originHost;        // the original request's host, lower-cased
    int redirects = 0;

    // Limits. Time is measured on the monotonic clock: a wall clock set back or forward must
    // not stretch or cut a request's time.
    Steady::time_point started;
    Steady::time_point lastActivity;  // the last byte received or sent
    Steady::duration idleLimit{};
    std::optional<Steady::time_point> resourceDeadline;
    curl_off_t lastDownloaded = 0, lastUploaded = 0;
    std::size_t maximumBody = 0;
    std::size_t received = 0;  // body bytes of the current answer
    long status = 0;           // of the answer whose head is being read
    bool tooLarge = false;

    Steady::time_point deadline() const {
        const Steady::time_point idle = lastActivity + idleLimit;
        return resourceDeadline ? std::min(idle, *resourceDeadline) : idle;
    }

    ~URLTransfer() {
        if (file) std::fclose(file);
        if (easy) curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
        curl_slist_free_all(connectTo);
    }
};

namespace {

struct Settings {
    std::mutex mutex;
    TransportSettings values;
};

Settings& settingsStore() {
    // Never destroyed: read by the I/O thread and by tasks resumed during exit.
    // Only the host sets them (URLSession::setConnectTo / setCAFile): nothing in the
    // environment can reroute the library's traffic or replace its trust store.
    static NoDestructor<Settings> store;
    return *store;
}

std::string lowerCased(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// True when some network interface other than loopback is up.
bool hasNetworkInterface() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return true;  // unknown: assume online
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next)
        found = (i->ifa_flags & IFF_UP) && (i->ifa_flags & IFF_RUNNING) && !(i->ifa_flags & IFF_LOOPBACK);
    freeifaddrs(list);
    return found;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<URLTransfer*>(user);
    const size_t bytes = size * count;
    transfer->lastActivity = Steady::now();
    // Stop reading as soon as the answer is larger than allowed, not after all of it came.
    if (bytes > transfer->maximumBody - std::min(transfer->received, transfer->maximumBody)) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->received += bytes;
    if (transfer->file) {
        if (std::fwrite(data, 1, bytes, transfer->file) != bytes) {
            transfer->writeFailed = true;
            return 0;
        }
    } else {
        transfer->body.append(data, bytes);
    }
    return bytes;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<URLTransfer*>(user);
    const size_t bytes = size * count;
    const std::string_view line(data, bytes);
    transfer->lastActivity = Steady::now();
    if (line.substr(0, 5) == "HTTP/") {
        // A new response (after an interim answer) starts over.
        transfer->responseHeaders.clear();
        const auto space = line.find(' ');
        transfer->status = space == std::string_view::npos ? 0 : std::atol(std::string(line.substr(space + 1, 3)).c_str());
        return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return bytes;
    const std::string name = lowerCased(trimmed(line.substr(0, colon)));
    const std::string value(trimmed(line.substr(colon + 1)));
    // An announced length above the cap fails the task before any of the body is read (no
    // body follows a HEAD request, an interim answer, 204 or 304).
    const long status = transfer->status;
    if (name == "content-length" && transfer->method != "HEAD" && status >= 200 && status != 204 && status != 304) {
        char* end = nullptr;
        const unsigned long long length = std::strtoull(value.c_str(), &end, 10);
        if (end != value.c_str() && length > transfer->maximumBody) {
            transfer->tooLarge = true;
            return 0;
        }
    }
    auto [it, inserted] = transfer->responseHeaders.emplace(name, value);
    if (!inserted) it->second += ", " + value;
    return bytes;
}

// Any byte moved either way counts as activity for the request time-out.
int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<URLTransfer*>(user);
    if (downloaded != transfer->lastDownloaded || uploaded != transfer->lastUploaded) {
        transfer->lastDownloaded = downloaded;
        transfer->lastUploaded = uploaded;
        transfer->lastActivity = Steady::now();
    }
    return 0;
}

// Lower-cased host, or empty when the URL cannot be parsed.
std::string hostOf(const char* url, std::string* scheme = nullptr) {
    CURLU* parsed = curl_url();
    std::string host;
    char* part = nullptr;
    if (parsed && curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK) {
        if (curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) host = lowerCased(part);
        curl_free(part);
        part = nullptr;
        if (scheme && curl_url_get(parsed, CURLUPART_SCHEME, &part, 0) == CURLUE_OK && part) *scheme = lowerCased(part);
        curl_free(part);
    }
    curl_url_cleanup(parsed);
    return host;
}

// The request's headers as libcurl takes them, without the ones the current hop must not send.
curl_slist* headerList(const URLRequest& request, bool sendsBody, bool sendsCredentials) {
    curl_slist* list = nullptr;
    bool hasExpect = false;
    for (const auto& [name, value] : request.headers) {
        if (name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos)
            continue;  // would corrupt the request
        const std::string lowered = lowerCased(name);
        if (!sendsBody && (lowered == "content-length" || lowered == "content-type" || lowered == "expect")) continue;
        if (!sendsCredentials && (lowered == "authorization" || lowered == "cookie")) continue;
        hasExpect = hasExpect || lowered == "expect";
        // "Name;" is libcurl's way of sending a header with an empty value.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        list = curl_slist_append(list, line.c_str());
    }
    if (!hasExpect) list = curl_slist_append(list, "Expect:");
    return list;
}

void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user);
void unlockShare(CURL*, curl_lock_data data, void* user);

}  // namespace

struct URLEngine::State {
    CURLM* multi = nullptr;
    CURLSH* share = nullptr;
    std::mutex shareLocks[CURL_LOCK_DATA_LAST];
    std::atomic<std::size_t> connections{0};

    struct Command {
        bool start;
        std::shared_ptr<URLSessionTask> task;
        TransportSettings settings;
    };
    std::mutex mutex;
    std::deque<Command> inbox;
    std::atomic<bool> hasCommands{false};  // inbox is not empty, readable without the lock
    // The I/O thread, started with the first command (again after a shutdown).
    std::thread thread;
    bool stopNow = false;           // the I/O thread ends its transfers and returns
    std::size_t liveCount = 0;      // transfers running, as the I/O thread last saw them
    std::condition_variable quiet;  // signalled when nothing is queued or running

    // I/O thread only.
    std::map<CURL*, std::unique_ptr<URLTransfer>> live;
    std::map<const URLSessionTask*, CURL*> byTask;

    void post(Command command) {
        {
            std::lock_guard lock(mutex);
            inbox.push_back(std::move(command));
            hasCommands.store(true, std::memory_order_release);
            if (!thread.joinable()) thread = std::thread([this] { run(); });
        }
        curl_multi_wakeup(multi);
    }

    // Waits until nothing is queued or running, or the deadline; then ends what is left and
    // joins the I/O thread. True when nothing had to be ended.
    bool shutdown(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        if (!thread.joinable()) return true;
        const bool drained = quiet.wait_until(lock, deadline, [&] { return inbox.empty() && liveCount == 0; });
        stopNow = true;
        std::thread ending = std::move(thread);
        lock.unlock();
        curl_multi_wakeup(multi);
        ending.join();
        lock.lock();
        stopNow = false;
        // A command that came in while the thread was ending starts a new one.
        if (!inbox.empty()) thread = std::thread([this] { run(); });
        return drained;
    }

    void run() {
        // A write to a socket the peer closed must not end the process.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        for (;;) {
            std::deque<Command> commands;
            bool ending = false;
            {
                std::lock_guard lock(mutex);
                commands.swap(inbox);
                hasCommands.store(false, std::memory_order_relaxed);
                ending = stopNow;
            }
            for (auto& command : commands) {
                if (command.start) begin(std::move(command.task), command.settings);
                else abort(command.task.get());
            }
            if (ending) {
                endAll();
                return;
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            bool delivered = false;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                CURL* easy = message->easy_handle;
                const CURLcode result = message->data.result;
                if (result == CURLE_OK && followRedirect(easy)) continue;
                finish(easy, result, false);
                delivered = true;
            }
            {
                std::lock_guard lock(mutex);
                liveCount = live.size();
                if (liveCount == 0 && inbox.empty()) quiet.notify_all();
            }
            // An answer often brings the next request at once (a caller that sends one after
            // the other). Waiting a moment for it awake saves putting this thread to sleep and
            // waking it again, which costs more than the moment.
            if (delivered && live.empty() && awaitCommand()) continue;
            curl_multi_poll(multi, nullptr, 0, expireTimedOut(), nullptr);
        }
    }

    bool awaitCommand() {
        const auto until = Steady::now() + std::chrono::microseconds(kAwaitAfterAnswerMicros);
        do {
            if (hasCommands.load(std::memory_order_acquire)) return true;
            std::this_thread::yield();
        } while (Steady::now() < until);
        return false;
    }
    static constexpr int kAwaitAfterAnswerMicros = 100;

    // The process is stopping: every transfer still running fails as a lost connection, so
    // that a background request stays recorded and the next process sends it.
    void endAll() {
        while (!live.empty()) {
            URLError error = URLError::withCode(URLErrorCode::NetworkConnectionLost);
            error.localizedDescription = "The transfer was ended because the app stopped.";
            finish(live.begin()->first, CURLE_OK, false, std::move(error));
        }
        std::lock_guard lock(mutex);
        liveCount = 0;
    }

    // Fails the transfers whose time is up; returns how long the loop may sleep (ms) before
    // the next limit falls due.
    int expireTimedOut() {
        const auto now = Steady::now();
        std::vector<CURL*> expired;
        auto next = now + std::chrono::seconds(1);
        for (const auto& [easy, transfer] : live) {
            const auto deadline = transfer->deadline();
            if (deadline <= now) expired.push_back(easy);
            else next = std::min(next, deadline);
        }
        for (CURL* easy : expired) finish(easy, CURLE_OPERATION_TIMEDOUT, false);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::clamp<long long>(wait, 0, 1000));
    }

    // Finished easy handles are reset and used again: a new handle costs its buffers and
    // set-up for every request. I/O thread only.
    static constexpr std::size_t kIdleHandles = 8;
    std::vector<CURL*> idleHandles;
    CURL* takeHandle() {
        if (idleHandles.empty()) return curl_easy_init();
        CURL* easy = idleHandles.back();
        idleHandles.pop_back();
        return easy;
    }
    void recycleHandle(CURL* easy) {
        if (!easy) return;
        if (idleHandles.size() >= kIdleHandles) return curl_easy_cleanup(easy);
        curl_easy_reset(easy);
        idleHandles.push_back(easy);
    }

    void begin(std::shared_ptr<URLSessionTask> task, const TransportSettings& settings);
    void abort(const URLSessionTask* task);
    bool followRedirect(CURL* easy);
    void finish(CURL* easy, CURLcode result, bool cancelled, std::optional<URLError> failure = std::nullopt);
    static void complete(const std::shared_ptr<URLSessionTask>& task, long errorCode);
};

namespace {
void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<URLEngine::State*>(user)->shareLocks[data].lock();
}
void unlockShare(CURL*, curl_lock_data data, void* user) {
    static_cast<URLEngine::State*>(user)->shareLocks[data].unlock();
}
}  // namespace

void URLEngine::State::complete(const std::shared_ptr<URLSessionTask>& task, long errorCode) {
    URLEngine::deliverError(task, URLError::withCode(errorCode));
}

void URLEngine::State::begin(std::shared_ptr<URLSessionTask> task, const TransportSettings& settings) {
    if (task->state() == URLSessionTask::State::Canceling) return complete(task, URLErrorCode::Cancelled);
    auto transfer = std::make_unique<URLTransfer>();
    transfer->task = task;
    CURL* easy = takeHandle();
    if (!easy) return complete(task, URLErrorCode::Unknown);
    transfer->easy = easy;
    const URLRequest& request = task->originalRequest();
    const URLSessionConfiguration& configuration = URLEngine::configurationOf(*task);

    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed by followRedirect, not by libcurl.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer.get());
    const std::string& userAgent = URLEngine::userAgentOf(*task);
    if (!userAgent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.c_str());

    // Method and body. The body lives in the task's request, which outlives the transfer.
    const std::string& method = request.httpMethod;
    transfer->method = method.empty() ? "GET" : method;
    if (method == "GET" || method.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (method == "POST" || !request.body.empty()) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        }
    }
    transfer->originHost = hostOf(request.url.c_str());
    transfer->headers = headerList(request, true, true);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);

    // Time limits, kept by expireTimedOut: no byte moved for the request interval (connecting
    // included), and the resource interval for the whole task, redirects included.
    double idle = request.timeoutInterval.value_or(configuration.timeoutIntervalForRequest);
    if (!(idle > 0)) idle = configuration.timeoutIntervalForRequest > 0 ? configuration.timeoutIntervalForRequest : 60;
    idle = std::min(idle, 1e7);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::max(1L, static_cast<long>(idle * 1000)));
    transfer->started = transfer->lastActivity = Steady::now();
    transfer->idleLimit = std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(idle));
    const double total = configuration.timeoutIntervalForResource;
    if (total > 0)
        transfer->resourceDeadline = transfer->started + std::chrono::duration_cast<Steady::duration>(
                                                             std::chrono::duration<double>(std::min(total, 1e9)));
    transfer->maximumBody = configuration.maximumResponseBodySize;

    // TLS: always verified; a configured CA file replaces the system bundle. The parsed store
    // stays cached in the multi handle.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 86400L);
    if (settings.caFile) curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caFile->c_str());
    if (settings.connectTo) {
        // The default ports of every host; an address that names another port is left alone.
        transfer->connectTo = curl_slist_append(nullptr, (":443:" + *settings.connectTo).c_str());
        transfer->connectTo = curl_slist_append(transfer->connectTo, (":80:" + *settings.connectTo).c_str());
        curl_easy_setopt(easy, CURLOPT_CONNECT_TO, transfer->connectTo);
        // Every host goes to that address; a proxy would defeat it.
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    }

    if (task->isDownloadTask()) {
        std::string path = URLEngine::downloadDirectoryOf(*task) + "/qm-download-XXXXXX.tmp";
        const int fd = mkstemps(path.data(), 4);
        transfer->file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
        if (!transfer->file) {
            if (fd >= 0) {
                ::close(fd);
                ::unlink(path.c_str());
            }
            return complete(task, URLErrorCode::CannotCreateFile);
        }
        transfer->filePath = std::move(path);
    }

    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        if (!transfer->filePath.empty()) ::unlink(transfer->filePath.c_str());
        return complete(task, URLErrorCode::Unknown);
    }
    byTask[task.get()] = easy;
    live[easy] = std::move(transfer);
}

void URLEngine::State::abort(const URLSessionTask* task) {
    const auto it = byTask.find(task);
    if (it == byTask.end()) return;  // already finished (or begin() will see the cancel)
    finish(it->second, CURLE_ABORTED_BY_CALLBACK, true);
}

// Our redirect rules:
// - only to https: a redirect to plain http fails with -1022 (to any other scheme with -1002),
//   before anything is sent there;
// - 301 and 302 turn a POST into a GET, 303 turns every method but HEAD into a GET (without
//   body and body headers); 307 and 308 keep method and body;
// - the body is only ever sent to the original request's host: a redirect to another host is
//   followed only where it becomes a GET (or HEAD), without Authorization and Cookie headers;
//   a 307 or 308 that would carry the body elsewhere fails with -1011;
// - at most kMaxRedirects hops, then -1007.
// A 3xx without a Location is an answer like any other. Returns true when the transfer goes
// on (the next hop) or has ended (refused); false when the answer is to be delivered.
bool URLEngine::State::followRedirect(CURL* easy) {
    const auto it = live.find(easy);
    if (it == live.end()) return false;
    URLTransfer& transfer = *it->second;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return false;
    char* next = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &next) != CURLE_OK || !next || !*next) return false;
    const std::string location = next;  // owned by the handle, which the next hop reuses

    auto refuse = [&](long code, std::string description = {}) {
        URLError error = URLError::withCode(code);
        if (!description.empty()) error.localizedDescription = std::move(description);
        finish(easy, CURLE_OK, false, std::move(error));
        return true;
    };
    if (transfer.redirects >= kMaxRedirects) return refuse(URLErrorCode::HTTPTooManyRedirects);
    std::string scheme;
    const std::string host = hostOf(location.c_str(), &scheme);
    if (scheme == "http") return refuse(URLErrorCode::SecureConnectionRequired);
    if (scheme != "https" || host.empty()) return refuse(URLErrorCode::UnsupportedURL);

    const bool toGet = status == 303 ? transfer.method != "HEAD"
                                     : (status == 301 || status == 302) && transfer.method == "POST";
    const std::string method = toGet ? "GET" : transfer.method;
    const bool sameHost = host == transfer.originHost;
    if (!sameHost && method != "GET" && method != "HEAD")
        return refuse(URLErrorCode::BadServerResponse,
                      "The server redirected the request to another host; its body is not sent there.");

    curl_multi_remove_handle(multi, easy);
    ++transfer.redirects;
    transfer.body.clear();
    transfer.received = 0;
    transfer.responseHeaders.clear();
    if (transfer.file) {
        std::fflush(transfer.file);
        if (::ftruncate(::fileno(transfer.file), 0) != 0) transfer.writeFailed = true;
        std::rewind(transfer.file);
    }
    curl_easy_setopt(easy, CURLOPT_URL, location.c_str());
    if (toGet) {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        transfer.method = "GET";
        transfer.sendsBody = false;
    }
    transfer.sendsCredentials = transfer.sendsCredentials && sameHost;
    curl_slist* headers = headerList(transfer.task->originalRequest(), transfer.sendsBody, transfer.sendsCredentials);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_slist_free_all(transfer.headers);
    transfer.headers = headers;
    if (transfer.writeFailed || curl_multi_add_handle(multi, easy) != CURLM_OK) {
        // Not in the multi handle any more; finish() removing it again is harmless.
        finish(easy, transfer.writeFailed ? CURLE_WRITE_ERROR : CURLE_FAILED_INIT, false);
    }
    return true;
}

void URLEngine::State::finish(CURL* easy, CURLcode result, bool cancelled, std::optional<URLError> failure) {
    const auto it = live.find(easy);
    if (it == live.end()) return;
    std::unique_ptr<URLTransfer> transfer = std::move(it->second);
    live.erase(it);
    byTask.erase(transfer->task.get());
    curl_multi_remove_handle(multi, easy);
    // The handle goes back to the pool once its results have been read (before the transfer,
    // which would otherwise clean it up, is destroyed).
    struct Recycle {
        State& state;
        URLTransfer& transfer;
        ~Recycle() { state.recycleHandle(std::exchange(transfer.easy, nullptr)); }
    } recycle{*this, *transfer};

    long connects = 0;
    if (curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects > 0)
        connections += static_cast<std::size_t>(connects);

    if (transfer->file) {
        if (std::fclose(transfer->file) != 0) transfer->writeFailed = true;
        transfer->file = nullptr;
    }

    long code = 0;
    if (cancelled) code = URLErrorCode::Cancelled;
    else if (failure) code = failure->code;
    else if (transfer->tooLarge) code = URLErrorCode::DataLengthExceedsMaximum;
    else if (transfer->writeFailed) code = URLErrorCode::CannotCreateFile;
    else code = urlErrorCodeForCurl(result);
    if (code == URLErrorCode::CannotFindHost && !hasNetworkInterface()) code = URLErrorCode::NotConnectedToInternet;

    if (code != 0) {
        if (!transfer->filePath.empty()) ::unlink(transfer->filePath.c_str());
        if (failure && !cancelled) {
            URLEngine::deliverError(transfer->task, std::move(*failure));
        } else {
            complete(transfer->task, code);
        }
        return;
    }
    HTTPURLResponse response;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    response.statusCode = status;
    char* effective = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
    response.url = effective ? effective : transfer->task->originalRequest().url;
    response.headers = std::move(transfer->responseHeaders);
    if (transfer->task->isDownloadTask())
        URLEngine::deliverDownloadedFile(transfer->task, std::move(response), transfer->filePath);
    else
        URLEngine::deliverResponse(transfer->task, std::move(response), std::move(transfer->body));
}

long urlErrorCodeForCurl(int curlCode) {
    switch (static_cast<CURLcode>(curlCode)) {
        case CURLE_OK:
            return 0;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return URLErrorCode::UnsupportedURL;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return URLErrorCode::CannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return URLErrorCode::CannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return URLErrorCode::TimedOut;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_WEIRD_SERVER_REPLY:
            return URLErrorCode::NetworkConnectionLost;
        case CURLE_TOO_MANY_REDIRECTS:
            return URLErrorCode::HTTPTooManyRedirects;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return URLErrorCode::ServerCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            return URLErrorCode::SecureConnectionFailed;
        case CURLE_ABORTED_BY_CALLBACK:
            return URLErrorCode::Cancelled;
        case CURLE_WRITE_ERROR:
            return URLErrorCode::CannotCreateFile;
        default:
            return URLErrorCode::Unknown;
    }
}

namespace {
// Set once the libcurl engine exists, so that a stop does not create it only to stop it.
std::atomic<bool> gEngineCreated{false};
}  // namespace

URLEngine& URLEngine::instance() {
    static NoDestructor<URLEngine> engine;
    gEngineCreated.store(true);
    return *engine;
}

URLEngine::URLEngine() : state_(new State) {
    // Keep OpenSSL's exit-time cleanup from pulling the library out from under a transfer
    // still running at exit (effective only if nothing initialised OpenSSL before us).
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    state_->multi = curl_multi_init();
    // Like the platform's sessions: a few connections per host, reused; further requests
    // wait for one rather than opening (and handshaking) a connection each.
    curl_multi_setopt(state_->multi, CURLMOPT_MAX_HOST_CONNECTIONS, 4L);
    state_->share = curl_share_init();
    curl_share_setopt(state_->share, CURLSHOPT_LOCKFUNC, lockShare);
    curl_share_setopt(state_->share, CURLSHOPT_UNLOCKFUNC, unlockShare);
    curl_share_setopt(state_->share, CURLSHOPT_USERDATA, state_);
    curl_share_setopt(state_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(state_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

bool URLEngine::shutdown(double timeoutSeconds) { return state_->shutdown(Deadline(timeoutSeconds).at()); }

bool stopTransport(const Deadline& deadline) {
    // The configured transport, and the libcurl one if it exists and carried tasks before.
    const auto current = Transport::current();
    bool finished = current->shutdown(deadline.remaining());
    if (gEngineCreated.load() && current.get() != &URLEngine::instance())
        finished = URLEngine::instance().shutdown(deadline.remaining()) && finished;
    return finished;
}

void URLEngine::start(std::shared_ptr<URLSessionTask> task) { state_->post({true, std::move(task), settings()}); }

void URLEngine::cancel(std::shared_ptr<URLSessionTask> task) { state_->post({false, std::move(task), {}}); }

std::size_t URLEngine::connectionsOpened() const { return state_->connections.load(); }

TransportSettings URLEngine::settings() {
    Settings& store = settingsStore();
    std::lock_guard lock(store.mutex);
    return store.values;
}

void URLEngine::setConnectTo(std::optional<std::string> address) {
    Settings& store = settingsStore();
    std::lock_guard lock(store.mutex);
    store.values.connectTo = std::move(address);
}

void URLEngine::setCAFile(std::optional<std::string> path) {
    Settings& store = settingsStore();
    std::lock_guard lock(store.mutex);
    store.values.caFile = std::move(path);
}

}  // namespace qm::platform::detail
