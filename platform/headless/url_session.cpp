// Sessions and tasks: task life cycle, delivery on the delegate queue, invalidation, and the
// persistence of background requests; the choice of transport and what a transport may see
// and do. The libcurl transfers themselves run in url_transport.cpp.
#include "qmplatform/url_session.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "qmplatform/bundle.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/transport.hpp"
#include "qmplatform/url.hpp"
#include "url_transport.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm::platform {

namespace {

std::atomic<double> gDefaultRequestTimeout{60.0};
std::atomic<std::size_t> gActiveTasks{0};

const char* textForCode(long code) {
    switch (code) {
        case URLErrorCode::Cancelled: return "cancelled";
        case URLErrorCode::TimedOut: return "The request timed out.";
        case URLErrorCode::UnsupportedURL: return "unsupported URL";
        case URLErrorCode::CannotFindHost: return "A server with the specified hostname could not be found.";
        case URLErrorCode::CannotConnectToHost: return "Could not connect to the server.";
        case URLErrorCode::NetworkConnectionLost: return "The network connection was lost.";
        case URLErrorCode::HTTPTooManyRedirects: return "too many HTTP redirects";
        case URLErrorCode::NotConnectedToInternet: return "The Internet connection appears to be offline.";
        case URLErrorCode::BadServerResponse: return "bad server response";
        case URLErrorCode::SecureConnectionRequired:
            return "The resource could not be loaded because a secure connection is required.";
        case URLErrorCode::DataLengthExceedsMaximum: return "resource exceeds maximum size";
        case URLErrorCode::SecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case URLErrorCode::ServerCertificateUntrusted: return "The certificate for this server is invalid.";
        case URLErrorCode::CannotCreateFile: return "The file could not be created.";
        default: return "unknown error";
    }
}

// Runs a callback supplied by the host; an exception must not skip the rest of the delivery.
template <typename F>
void guarded(F&& f) {
    try {
        f();
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------------------------
// Background persistence. One folder per session identifier below
// <sandbox>/Library/BackgroundTransfers, one property list per request ("<n>.plist").

struct Persistence {
    std::mutex mutex;
    std::set<std::string> live;  // files whose task runs in this process
};

Persistence& persistence() {
    static NoDestructor<Persistence> p;  // never destroyed (used by the I/O thread)
    return *p;
}

std::string transfersRoot() { return Sandbox::root() + "/Library/BackgroundTransfers"; }

// Identifiers become single file names: bytes outside [A-Za-z0-9._-] and a leading "." are
// %XX-escaped.
std::string folderName(const std::string& identifier) {
    std::string out;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < identifier.size(); ++i) {
        const auto c = static_cast<unsigned char>(identifier[i]);
        const bool keep = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0);
        if (keep) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The request files of a folder, in the order they were written.
std::vector<std::string> requestFiles(const std::string& folder) {
    std::vector<std::pair<long long, std::string>> numbered;
    for (const auto& name : Files::contentsOfDirectory(folder)) {
        if (!endsWith(name, ".plist")) continue;
        const std::string stem = name.substr(0, name.size() - 6);
        if (stem.empty() || !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            stem.size() > 18)
            continue;
        numbered.emplace_back(std::stoll(stem), folder + "/" + name);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> paths;
    for (auto& entry : numbered) paths.push_back(std::move(entry.second));
    return paths;
}

Value encodeRequest(const URLRequest& request, const std::string& identifier, long long attempts) {
    Array headers;
    for (const auto& [name, value] : request.headers) headers.push_back(Value{{"name", name}, {"value", value}});
    Value record{{"url", request.url},
                 {"httpMethod", request.httpMethod},
                 {"headers", Value(std::move(headers))},
                 {"body", Value(Bytes(request.body.begin(), request.body.end()))},
                 {"sessionIdentifier", identifier},
                 {"attempts", attempts}};
    if (request.timeoutInterval) record.set("timeoutInterval", *request.timeoutInterval);
    return record;
}

std::optional<URLRequest> decodeRequest(const Value& record) {
    if (!record.isDictionary() || !record["url"].isString() || !record["httpMethod"].isString()) return std::nullopt;
    URLRequest request;
    request.url = record["url"].string();
    request.httpMethod = record["httpMethod"].string();
    for (const auto& header : record["headers"].arrayItems())
        if (header["name"].isString() && header["value"].isString())
            request.headers.emplace_back(header["name"].string(), header["value"].string());
    const Bytes& body = record["body"].data();
    request.body.assign(body.begin(), body.end());
    if (record["timeoutInterval"].isNumber()) request.timeoutInterval = record["timeoutInterval"].doubleValue();
    return request;
}

// Writes the request to a new file of the identifier's folder; empty when that failed (the
// task then runs without surviving the process).
std::string persistRequest(const std::string& identifier, const URLRequest& request) {
    const std::string folder = transfersRoot() + "/" + folderName(identifier);
    auto bytes = plist::write(encodeRequest(request, identifier, 1));
    Persistence& p = persistence();
    std::lock_guard lock(p.mutex);
    if (!bytes || !Files::createDirectory(folder)) return {};
    long long next = 1;
    const auto existing = requestFiles(folder);
    if (!existing.empty()) {
        const std::string& last = existing.back();
        const auto slash = last.rfind('/');
        next = std::stoll(last.substr(slash + 1)) + 1;
    }
    for (const auto& path : p.live) {  // written in this process, maybe not yet visible above
        if (path.rfind(folder + "/", 0) != 0) continue;
        const std::string name = path.substr(folder.size() + 1);
        next = std::max(next, std::atoll(name.c_str()) + 1);
    }
    const std::string path = folder + "/" + std::to_string(next) + ".plist";
    if (!Files::writeFileAtomically(path, *bytes)) return {};
    p.live.insert(path);
    return path;
}

// The task of a persisted request has ended; keep the file for a retry or drop it.
void releasePersisted(const std::string& path, bool keep) {
    Persistence& p = persistence();
    std::lock_guard lock(p.mutex);
    p.live.erase(path);
    if (keep) return;
    ::unlink(path.c_str());
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) ::rmdir(path.substr(0, slash).c_str());  // only if empty
}

bool keepForRetry(long code) {
    return code == URLErrorCode::TimedOut || code == URLErrorCode::CannotFindHost ||
           code == URLErrorCode::CannotConnectToHost || code == URLErrorCode::NetworkConnectionLost ||
           code == URLErrorCode::NotConnectedToInternet;
}

// Answers that say "not now" rather than "done": a server error or too many requests.
bool isTransientStatus(long status) { return status == 429 || (status >= 500 && status <= 599); }

std::string userAgent() {
    const Bundle& bundle = Bundle::main();
    auto text = [&bundle](const char* key) { return bundle.objectForInfoDictionaryKey(key).stringIfText().value_or(""); };
    std::string name = text("CFBundleName");
    if (name.empty()) name = "quelmar";
    std::string version = text("CFBundleShortVersionString");
    if (version.empty()) version = text("CFBundleVersion");
    std::string agent = version.empty() ? name : name + "/" + version;
    return agent + " (" + Device::current().systemName() + ")";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
URLError URLError::withCode(long code) {
    URLError error;
    error.code = code;
    error.localizedDescription = textForCode(code);
    return error;
}

std::string URLError::description() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
}

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view name) const {
    std::string key(name);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto it = headers.find(key);
    if (it == headers.end()) return std::nullopt;
    return it->second;
}

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() { return URLSessionConfiguration(); }

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfiguration(std::string identifier) {
    URLSessionConfiguration configuration;
    configuration.identifier = std::move(identifier);
    configuration.background_ = true;
    return configuration;
}

void URLSessionConfiguration::setDefaultTimeoutIntervalForRequest(double seconds) {
    if (seconds > 0) gDefaultRequestTimeout.store(seconds);
}

double URLSessionConfiguration::defaultTimeoutIntervalForRequest() { return gDefaultRequestTimeout.load(); }

// ---------------------------------------------------------------------------------------------
struct URLSessionTask::Impl {
    Impl(std::shared_ptr<URLSession> session, std::size_t identifier, URLRequest request, bool download)
        : session_(std::move(session)),
          transport_(Transport::current()),
          identifier_(identifier),
          request_(std::move(request)),
          download_(download) {}

    std::shared_ptr<URLSession> session_;
    const std::shared_ptr<Transport> transport_;  // Transport::current() when the task was made
    const std::size_t identifier_;
    const URLRequest request_;
    const bool download_;
    std::function<void(const std::optional<std::string>&, const std::optional<HTTPURLResponse>&,
                       const std::optional<URLError>&)>
        completion_;
    std::atomic<State> state_{State::Suspended};
    std::atomic<bool> completionClaimed_{false};
    std::atomic<bool> started_{false};          // the transport's start() has returned
    std::atomic<bool> cancelForwarded_{false};  // the transport's cancel() was called
    std::atomic<bool> countedActive_{false};    // counted in activeTaskCount() since resume()
    bool rejected_ = false;                     // created on an invalidated session
    std::string persistedPath_;                 // background tasks: the request's file
    int attempts_ = 0;                          // background tasks: sends of that request, this one included
    std::string downloadDirectory_;             // where a download's body is written
    std::string userAgent_;
};

URLSessionTask::URLSessionTask(Key, std::shared_ptr<URLSession> session, std::size_t identifier, URLRequest request,
                               bool download)
    : impl_(std::make_unique<Impl>(std::move(session), identifier, std::move(request), download)) {}

std::size_t URLSessionTask::taskIdentifier() const { return impl_->identifier_; }
const URLRequest& URLSessionTask::originalRequest() const { return impl_->request_; }
const URLRequest& URLSessionTask::currentRequest() const { return impl_->request_; }
URLSessionTask::State URLSessionTask::state() const { return impl_->state_.load(); }
bool URLSessionTask::isDownloadTask() const { return impl_->download_; }
bool URLSessionTask::claimCompletion() { return !impl_->completionClaimed_.exchange(true); }

URLSessionTask::~URLSessionTask() {
    if (impl_->session_) impl_->session_->taskEnded(impl_->identifier_);
}

void URLSessionTask::resume() {
    auto expected = State::Suspended;
    if (!impl_->state_.compare_exchange_strong(expected, State::Running)) return;
    impl_->countedActive_ = true;
    gActiveTasks.fetch_add(1);
    auto self = shared_from_this();
    auto fail = [&](long code) { complete(self, std::nullopt, std::nullopt, std::nullopt, URLError::withCode(code)); };
    if (impl_->rejected_) return fail(URLErrorCode::Cancelled);
    const auto url = URL::parse(impl_->request_.url);
    const std::string scheme = url ? url->scheme() : std::string();
    if (!url || (scheme != "http" && scheme != "https") || url->host().empty())
        return fail(URLErrorCode::UnsupportedURL);

    const URLSessionConfiguration& configuration = impl_->session_->configuration();
    if (configuration.isBackground() && !configuration.identifier.empty() && impl_->persistedPath_.empty()) {
        impl_->persistedPath_ = persistRequest(configuration.identifier, impl_->request_);
        impl_->attempts_ = 1;
    }
    if (impl_->download_) {
        impl_->downloadDirectory_ = Sandbox::temporaryDirectory();
        Files::createDirectory(impl_->downloadDirectory_);
    }
    impl_->userAgent_ = userAgent();
    impl_->transport_->start(self);
    // A cancel that came while the transport was being handed the task was held back (see
    // cancel()); pass it on now that the transport knows the task.
    impl_->started_.store(true);
    if (impl_->state_.load() == State::Canceling) forwardCancel();
}

void URLSessionTask::forwardCancel() {
    if (!impl_->cancelForwarded_.exchange(true)) impl_->transport_->cancel(shared_from_this());
}

void URLSessionTask::cancel() {
    auto expected = State::Suspended;
    if (impl_->state_.compare_exchange_strong(expected, State::Canceling)) {
        complete(shared_from_this(), std::nullopt, std::nullopt, std::nullopt, URLError::withCode(URLErrorCode::Cancelled));
        return;
    }
    // Running, but maybe not yet handed to the transport: then resume() passes the cancel on
    // once it has, so that a transport never hears of a task before its start() and never
    // ends it while resume() is still filling it in.
    expected = State::Running;
    if (impl_->state_.compare_exchange_strong(expected, State::Canceling) && impl_->started_.load()) forwardCancel();
}

// ---------------------------------------------------------------------------------------------
void URLSessionTask::complete(const std::shared_ptr<URLSessionTask>& task, std::optional<std::string> body,
                              std::optional<std::string> filePath, std::optional<HTTPURLResponse> response,
                              std::optional<URLError> error) {
    if (!task->claimCompletion()) {
        if (filePath) ::unlink(filePath->c_str());
        return;
    }
    task->impl_->state_.store(URLSessionTask::State::Completed);
    bool retry = error && keepForRetry(error->code);
    // A background request answered with a transient status has not got through: like a lost
    // connection, it fails (-1011) and stays for a retry; its answer is not handed on.
    if (!error && response && isTransientStatus(response->statusCode) && task->impl_->session_->configuration().isBackground()) {
        if (filePath) ::unlink(filePath->c_str());
        URLError failed = URLError::withCode(URLErrorCode::BadServerResponse);
        failed.localizedDescription += " (status " + std::to_string(response->statusCode) + ")";
        error = std::move(failed);
        body.reset();
        filePath.reset();
        response.reset();
        retry = true;
    }
    // The last allowed send gives up for good: its failure is the one the delegate hears last.
    if (!task->impl_->persistedPath_.empty())
        releasePersisted(task->impl_->persistedPath_, retry && task->impl_->attempts_ < URLSession::kMaxBackgroundAttempts);
    task->impl_->session_->deliver(task, std::move(body), std::move(filePath), std::move(response), std::move(error));
}

// ---------------------------------------------------------------------------------------------
namespace {

struct TransportChoice {
    std::mutex mutex;
    std::shared_ptr<Transport> transport;  // null: libcurl
};

TransportChoice& transportChoice() {
    static NoDestructor<TransportChoice> choice;  // read by tasks made during exit
    return *choice;
}

}  // namespace

std::shared_ptr<Transport> Transport::current() {
    {
        TransportChoice& choice = transportChoice();
        std::lock_guard lock(choice.mutex);
        if (choice.transport) return choice.transport;
    }
    // The libcurl engine is never destroyed; the pointer owns nothing.
    return std::shared_ptr<Transport>(std::shared_ptr<Transport>(), &detail::URLEngine::instance());
}

void Transport::setCurrent(std::shared_ptr<Transport> transport) {
    std::shared_ptr<Transport> previous;  // released after the lock: it may hold tasks
    TransportChoice& choice = transportChoice();
    std::lock_guard lock(choice.mutex);
    previous = std::exchange(choice.transport, std::move(transport));
}

const URLSessionConfiguration& Transport::configurationOf(const URLSessionTask& task) {
    return task.impl_->session_->configuration();
}

const std::string& Transport::userAgentOf(const URLSessionTask& task) { return task.impl_->userAgent_; }

const std::string& Transport::downloadDirectoryOf(const URLSessionTask& task) { return task.impl_->downloadDirectory_; }

void Transport::deliverResponse(const std::shared_ptr<URLSessionTask>& task, HTTPURLResponse response, std::string body) {
    if (!task->isDownloadTask()) {
        URLSessionTask::complete(task, std::move(body), std::nullopt, std::move(response), std::nullopt);
        return;
    }
    if (task->impl_->completionClaimed_.load()) return;  // already ended: no file to write
    std::string path = task->impl_->downloadDirectory_ + "/qm-download-XXXXXX.tmp";
    const int fd = ::mkstemps(path.data(), 4);
    bool written = fd >= 0;
    for (std::size_t offset = 0; written && offset < body.size();) {
        const ssize_t n = ::write(fd, body.data() + offset, body.size() - offset);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) offset += static_cast<std::size_t>(n);
    }
    if (fd >= 0 && ::close(fd) != 0) written = false;
    if (!written) {
        if (fd >= 0) ::unlink(path.c_str());
        deliverError(task, URLError::withCode(URLErrorCode::CannotCreateFile));
        return;
    }
    URLSessionTask::complete(task, std::nullopt, std::move(path), std::move(response), std::nullopt);
}

void Transport::deliverDownloadedFile(const std::shared_ptr<URLSessionTask>& task, HTTPURLResponse response,
                                      std::string filePath) {
    if (task->isDownloadTask()) {
        URLSessionTask::complete(task, std::nullopt, std::move(filePath), std::move(response), std::nullopt);
        return;
    }
    auto body = Files::readFile(filePath);
    ::unlink(filePath.c_str());
    if (!body) {
        deliverError(task, URLError::withCode(URLErrorCode::CannotCreateFile));
        return;
    }
    URLSessionTask::complete(task, std::move(*body), std::nullopt, std::move(response), std::nullopt);
}

void Transport::deliverError(const std::shared_ptr<URLSessionTask>& task, URLError error) {
    URLSessionTask::complete(task, std::nullopt, std::nullopt, std::nullopt, std::move(error));
}

// ---------------------------------------------------------------------------------------------
struct URLSession::Impl {
    Impl(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate, OperationQueue* delegateQueue,
         bool shared)
        : configuration_(std::move(configuration)),
          delegateQueue_(delegateQueue),
          shared_(shared),
          delegate_(std::move(delegate)) {}

    const URLSessionConfiguration configuration_;
    OperationQueue* const delegateQueue_;
    const bool shared_;
    std::optional<Queue> serialQueue_;
    std::atomic<bool> invalidated_{false};

    mutable std::mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::size_t nextIdentifier_ = 1;
    std::map<std::size_t, std::weak_ptr<URLSessionTask>> unfinished_;
};

URLSession::URLSession(Key, URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       OperationQueue* delegateQueue, bool shared)
    : impl_(std::make_unique<Impl>(std::move(configuration), std::move(delegate), delegateQueue, shared)) {
    if (!impl_->delegateQueue_) impl_->serialQueue_ = Queue::serial("qm.urlsession.delegate");
}

const URLSessionConfiguration& URLSession::configuration() const { return impl_->configuration_; }
bool URLSession::isInvalidated() const { return impl_->invalidated_.load(); }

URLSession::~URLSession() = default;

std::shared_ptr<URLSession> URLSession::sharedSession() {
    // Never destroyed: tasks of the shared session may complete during exit.
    static auto* session = new std::shared_ptr<URLSession>(std::make_shared<URLSession>(
        Key{}, URLSessionConfiguration::defaultSessionConfiguration(), nullptr, nullptr, true));
    return *session;
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(URLSessionConfiguration configuration,
                                                                 std::shared_ptr<URLSessionDelegate> delegate,
                                                                 OperationQueue* delegateQueue) {
    auto session = std::make_shared<URLSession>(Key{}, std::move(configuration), std::move(delegate), delegateQueue, false);
    if (session->impl_->configuration_.isBackground() && !session->impl_->configuration_.identifier.empty())
        session->resendKeptRequests();
    return session;
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
    std::lock_guard lock(impl_->mutex_);
    return impl_->delegate_;
}

std::shared_ptr<URLSessionTask> URLSession::makeTask(URLRequest request, bool download) {
    std::lock_guard lock(impl_->mutex_);
    auto task = std::make_shared<URLSessionTask>(URLSessionTask::Key{}, shared_from_this(), impl_->nextIdentifier_++,
                                                 std::move(request), download);
    task->impl_->rejected_ = impl_->invalidated_.load();
    impl_->unfinished_[task->impl_->identifier_] = task;
    return task;
}

std::shared_ptr<URLSessionTask> URLSession::dataTaskWithRequest(URLRequest request, DataCompletion completion) {
    auto task = makeTask(std::move(request), false);
    task->impl_->completion_ = std::move(completion);
    return task;
}

std::shared_ptr<URLSessionTask> URLSession::downloadTaskWithRequest(URLRequest request, DownloadCompletion completion) {
    auto task = makeTask(std::move(request), true);
    task->impl_->completion_ = std::move(completion);
    return task;
}

std::shared_ptr<URLSessionTask> URLSession::downloadTaskWithRequest(URLRequest request) {
    return makeTask(std::move(request), true);
}

void URLSession::resendKeptRequests() {
    const std::string folder = transfersRoot() + "/" + folderName(impl_->configuration_.identifier);
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    {
        Persistence& p = persistence();
        std::lock_guard lock(p.mutex);
        for (const auto& path : requestFiles(folder)) {
            if (p.live.count(path)) continue;  // its task is running in this process
            const auto bytes = Files::readFile(path);
            const auto record = bytes ? plist::read(*bytes) : std::nullopt;
            const auto request = record ? decodeRequest(*record) : std::nullopt;
            const long long attempts = record ? (*record)["attempts"].integerValue() : 0;
            if (!request || attempts >= kMaxBackgroundAttempts) {
                ::unlink(path.c_str());
                continue;
            }
            const auto updated = plist::write(encodeRequest(*request, impl_->configuration_.identifier, attempts + 1));
            if (!updated || !Files::writeFileAtomically(path, *updated)) continue;
            p.live.insert(path);
            auto task = makeTask(*request, true);
            task->impl_->persistedPath_ = path;
            task->impl_->attempts_ = static_cast<int>(attempts + 1);
            tasks.push_back(std::move(task));
        }
        if (tasks.empty()) ::rmdir(folder.c_str());  // only if empty
    }
    for (auto& task : tasks) task->resume();
}

void URLSession::post(Block block) {
    if (impl_->delegateQueue_) impl_->delegateQueue_->addOperation(std::move(block));
    else impl_->serialQueue_->async(std::move(block));
}

void URLSession::deliver(std::shared_ptr<URLSessionTask> task, std::optional<std::string> body,
                         std::optional<std::string> filePath, std::optional<HTTPURLResponse> response,
                         std::optional<URLError> error) {
    post([self = shared_from_this(), task = std::move(task), body = std::move(body), filePath = std::move(filePath),
          response = std::move(response), error = std::move(error)] {
        const auto delegate = self->delegate();
        if (task->impl_->completion_) {
            guarded([&] { task->impl_->completion_(task->impl_->download_ ? filePath : body, response, error); });
        } else if (task->impl_->download_ && filePath && delegate) {
            guarded([&] { delegate->didFinishDownloadingToURL(*self, *task, *filePath); });
        }
        if (filePath) ::unlink(filePath->c_str());
        if (delegate) guarded([&] { delegate->didCompleteWithError(*self, *task, error); });
        // Drop the handler now: it may hold the task or the session.
        task->impl_->completion_ = nullptr;
        self->taskEnded(task->impl_->identifier_);
        if (task->impl_->countedActive_.exchange(false)) gActiveTasks.fetch_sub(1);
    });
}

void URLSession::taskEnded(std::size_t identifier) {
    std::shared_ptr<URLSessionDelegate> released;
    std::lock_guard lock(impl_->mutex_);
    impl_->unfinished_.erase(identifier);
    if (impl_->invalidated_.load() && impl_->unfinished_.empty()) released = std::move(impl_->delegate_);
}

void URLSession::finishTasksAndInvalidate() {
    if (impl_->shared_) return;
    std::shared_ptr<URLSessionDelegate> released;
    std::lock_guard lock(impl_->mutex_);
    impl_->invalidated_.store(true);
    std::erase_if(impl_->unfinished_, [](const auto& entry) { return entry.second.expired(); });
    if (impl_->unfinished_.empty()) released = std::move(impl_->delegate_);
}

void URLSession::invalidateAndCancel() {
    if (impl_->shared_) return;
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    {
        std::shared_ptr<URLSessionDelegate> released;
        std::lock_guard lock(impl_->mutex_);
        impl_->invalidated_.store(true);
        for (const auto& [id, weak] : impl_->unfinished_)
            if (auto task = weak.lock()) tasks.push_back(std::move(task));
        if (tasks.empty()) {
            impl_->unfinished_.clear();
            released = std::move(impl_->delegate_);
        }
    }
    for (auto& task : tasks) task->cancel();
}

void URLSession::setConnectTo(std::optional<std::string> address) { detail::URLEngine::setConnectTo(std::move(address)); }

void URLSession::setCAFile(std::optional<std::string> path) { detail::URLEngine::setCAFile(std::move(path)); }

std::optional<std::string> URLSession::connectTo() { return detail::URLEngine::settings().connectTo; }

std::optional<std::string> URLSession::caFile() { return detail::URLEngine::settings().caFile; }

std::size_t URLSession::activeTaskCount() { return gActiveTasks.load(); }

std::vector<std::string> URLSession::pendingBackgroundSessionIdentifiers() {
    std::vector<std::string> identifiers;
    const std::string root = transfersRoot();
    for (const auto& name : Files::contentsOfDirectory(root)) {
        if (requestFiles(root + "/" + name).empty()) continue;
        identifiers.push_back(percentDecode(name));
    }
    std::sort(identifiers.begin(), identifiers.end());
    return identifiers;
}

}  // namespace qm::platform
