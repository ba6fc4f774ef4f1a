// URL sessions: HTTP(S) data and download tasks, and background sessions whose tasks outlive
// the process.
//
// Every session is "new" to its caller, but all sessions of the process share one transport
// (transport.hpp; a host or a test may configure its own). The platform's transport runs on
// libcurl: one I/O thread runs every transfer, keeps connections open for reuse, and shares
// TLS sessions, DNS answers and the loaded CA store between requests. resume() only hands the
// request to the transport; nothing here blocks the caller (apart from the small atomic file
// write that persists a background task, see below).
//
// TLS is always verified. Proxies come from the usual environment variables (http_proxy,
// https_proxy, no_proxy), except while a connect-to address is set. Redirects are followed
// only to https, a request body only ever goes to the original request's host, and at most
// 16 redirects are followed (see followRedirect in url_transport.cpp).
//
// Threads: completion handlers and delegate calls run on the session's delegate queue: the
// OperationQueue given at creation (OperationQueue::main() runs them on the main run loop),
// otherwise a serial queue of the session. Each task's completion runs exactly once: with the
// result, with -999 when cancelled (also by invalidateAndCancel), or with the error.
//
// Background sessions: before a background task starts, its request is written to
// "<sandbox>/Library/BackgroundTransfers/<identifier>/<n>.plist". The file is removed when the
// task ends with an answer from the server, is cancelled, or fails for good (unsupported URL,
// TLS and certificate errors, refused redirects, ...). It is kept for a later retry when the
// request timed out, the host could not be found or reached, the connection was lost or the
// device is offline, when the server answered 5xx or 429 (the task then fails with -1011 and
// the answer is not handed on), and of course when the process ends first. Creating a
// background session with that identifier (usually in a later launch) re-sends the kept
// requests as download tasks of the new session and delivers their results to its delegate
// (didFinishDownloadingToURL, then didCompleteWithError). A request is given up after
// kMaxBackgroundAttempts sends: the failure of the last one goes to the delegate and the file
// is removed.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qmplatform/dispatch.hpp"

namespace qm::platform {

struct URLRequest {
    std::string url;
    std::string httpMethod = "GET";
    // Sent in this order. A header given here replaces the one the transport would send
    // (User-Agent, Accept, Content-Type, ...).
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // sent for every method but GET and HEAD
    // Overrides the session's timeoutIntervalForRequest when set.
    std::optional<double> timeoutInterval;
};

struct HTTPURLResponse {
    std::string url;  // after redirects
    long statusCode = 0;
    // Names lower-cased; repeated headers joined with ", ".
    std::map<std::string, std::string> headers;
    // Case-insensitive lookup.
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

// Error codes of the platform's URL loading. A host name that cannot be resolved gives
// NotConnectedToInternet instead of CannotFindHost when no network interface but loopback is up.
// An HTTP status code is never an error, except 5xx and 429 for background sessions (see
// above).
namespace URLErrorCode {
constexpr long Unknown = -1;
constexpr long Cancelled = -999;
constexpr long TimedOut = -1001;
constexpr long UnsupportedURL = -1002;
constexpr long CannotFindHost = -1003;
constexpr long CannotConnectToHost = -1004;
constexpr long NetworkConnectionLost = -1005;
constexpr long HTTPTooManyRedirects = -1007;
constexpr long NotConnectedToInternet = -1009;
constexpr long BadServerResponse = -1011;
// A redirect to plain http (only https is followed).
constexpr long SecureConnectionRequired = -1022;
// The answer's body is larger than the session's maximumResponseBodySize.
constexpr long DataLengthExceedsMaximum = -1103;
constexpr long SecureConnectionFailed = -1200;
constexpr long ServerCertificateUntrusted = -1202;
constexpr long CannotCreateFile = -3000;
}  // namespace URLErrorCode

struct URLError {
    long code = 0;
    std::string domain = "NSURLErrorDomain";
    std::string localizedDescription;

    // An error of the URL domain with the platform's text for the code.
    static URLError withCode(long code);
    // Error Domain=NSURLErrorDomain Code=-1001 "The request timed out."
    std::string description() const;
};

class URLSessionConfiguration {
public:
    URLSessionConfiguration() = default;
    static URLSessionConfiguration defaultSessionConfiguration();
    static URLSessionConfiguration backgroundSessionConfiguration(std::string identifier);

    static constexpr std::size_t kDefaultMaximumResponseBodySize = 16 * 1024 * 1024;

    std::string identifier;  // background sessions only
    // Seconds in which no byte was received or sent before a task fails with -1001 (connecting
    // included); every byte starts the interval again.
    double timeoutIntervalForRequest = defaultTimeoutIntervalForRequest();
    // Seconds a task may take in all, redirects included, before it fails with -1001.
    double timeoutIntervalForResource = 7 * 86400;
    // Bytes an answer's body may have (after content decoding); a longer one fails the task
    // with -1103 as soon as its announced length or its received bytes pass this.
    std::size_t maximumResponseBodySize = kDefaultMaximumResponseBodySize;
    bool sessionSendsLaunchEvents = false;

    bool isBackground() const { return background_; }

    // The timeoutIntervalForRequest of configurations created from now on (60 s unless
    // changed). For hosts and tests; ignored unless positive.
    static void setDefaultTimeoutIntervalForRequest(double seconds);
    static double defaultTimeoutIntervalForRequest();

private:
    bool background_ = false;
};

class URLSession;
class Transport;

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    enum class State { Suspended, Running, Canceling, Completed };

    std::size_t taskIdentifier() const;
    const URLRequest& originalRequest() const;
    // The request as sent. Redirects are followed inside the transport (only to https, a
    // body only to the original host; see url_transport.cpp); the final URL is in the response.
    const URLRequest& currentRequest() const;
    // Starts a suspended task; does nothing otherwise.
    void resume();
    // A suspended or running task completes with -999; a finished one is left alone.
    void cancel();
    State state() const;
    bool isDownloadTask() const;

    ~URLSessionTask();
    URLSessionTask(const URLSessionTask&) = delete;
    URLSessionTask& operator=(const URLSessionTask&) = delete;

private:
    friend class URLSession;
    friend class Transport;
    struct Key {};

public:
    URLSessionTask(Key, std::shared_ptr<URLSession> session, std::size_t identifier, URLRequest request,
                   bool download);

private:
    // Claims the right to deliver the result (true exactly once).
    bool claimCompletion();
    // Tells the transport of a cancel, once.
    void forwardCancel();
    // Ends the task with its result: the first call keeps or drops a background request's
    // file and hands the result to the session; later calls only delete their file.
    static void complete(const std::shared_ptr<URLSessionTask>& task, std::optional<std::string> body,
                         std::optional<std::string> filePath, std::optional<HTTPURLResponse> response,
                         std::optional<URLError> error);

    struct Impl;
    const std::unique_ptr<Impl> impl_;
};

class URLSessionDelegate {
public:
    virtual ~URLSessionDelegate() = default;
    // A download task's body is in the file at locationPath, which is deleted when this
    // returns. Not called for tasks with a completion handler.
    virtual void didFinishDownloadingToURL(URLSession& session, URLSessionTask& task,
                                           const std::string& locationPath) {
        (void)session, (void)task, (void)locationPath;
    }
    // Follows every task of the session (after its completion handler, if any).
    virtual void didCompleteWithError(URLSession& session, URLSessionTask& task,
                                      const std::optional<URLError>& error) {
        (void)session, (void)task, (void)error;
    }
};

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    // Maximum sends of one persisted background request (over all processes).
    static constexpr int kMaxBackgroundAttempts = 10;

    // A session with the default configuration and no delegate; invalidating it does nothing.
    static std::shared_ptr<URLSession> sharedSession();
    // The delegate queue must outlive the session. Creating a background session re-sends
    // the requests its identifier has kept from earlier (see above).
    static std::shared_ptr<URLSession> sessionWithConfiguration(URLSessionConfiguration configuration,
                                                                std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                                                OperationQueue* delegateQueue = nullptr);

    const URLSessionConfiguration& configuration() const;
    std::shared_ptr<URLSessionDelegate> delegate() const;

    // Completions run on the delegate queue. Data: the body (also for 4xx/5xx answers; the
    // status code is not an error, except 5xx and 429 on background sessions) with the
    // response, or an error. Download: the path of a
    // file holding the body (deleted when the handler returns), or an error.
    using DataCompletion = std::function<void(const std::optional<std::string>& data,
                                              const std::optional<HTTPURLResponse>& response,
                                              const std::optional<URLError>& error)>;
    using DownloadCompletion = std::function<void(const std::optional<std::string>& locationPath,
                                                  const std::optional<HTTPURLResponse>& response,
                                                  const std::optional<URLError>& error)>;

    // Tasks start suspended. On an invalidated session they complete with -999 when resumed.
    std::shared_ptr<URLSessionTask> dataTaskWithRequest(URLRequest request, DataCompletion completion);
    std::shared_ptr<URLSessionTask> downloadTaskWithRequest(URLRequest request, DownloadCompletion completion);
    // The result goes to the delegate.
    std::shared_ptr<URLSessionTask> downloadTaskWithRequest(URLRequest request);

    // No new tasks; running ones finish; the delegate is released after the last one.
    void finishTasksAndInvalidate();
    // No new tasks; every unfinished task completes with -999.
    void invalidateAndCancel();
    bool isInvalidated() const;

    // Settings of the libcurl transport, process-wide, read by every task resumed afterwards.
    // "127.0.0.1:PORT": every host's default port (443, 80) connects there, while TLS still
    // checks the real host name; a URL that names another port connects as given.
    static void setConnectTo(std::optional<std::string> address);
    // Trust the CA certificates in this PEM file instead of the system's.
    static void setCAFile(std::optional<std::string> path);
    // The two settings above as set (the web engine follows the same route).
    static std::optional<std::string> connectTo();
    static std::optional<std::string> caFile();

    // Identifiers of background sessions with kept requests, sorted.
    static std::vector<std::string> pendingBackgroundSessionIdentifiers();

    // Tasks resumed whose results have not been delivered yet, over all sessions (hosts use
    // it to tell when the library has nothing left in flight).
    static std::size_t activeTaskCount();

    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

private:
    friend class URLSessionTask;
    struct Key {};

public:
    URLSession(Key, URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
               OperationQueue* delegateQueue, bool shared);

private:
    std::shared_ptr<URLSessionTask> makeTask(URLRequest request, bool download);
    void resendKeptRequests();
    // Runs the task's callbacks on the delegate queue and forgets the task.
    void deliver(std::shared_ptr<URLSessionTask> task, std::optional<std::string> body,
                 std::optional<std::string> filePath, std::optional<HTTPURLResponse> response,
                 std::optional<URLError> error);
    void post(Block block);
    void taskEnded(std::size_t identifier);

    struct Impl;
    const std::unique_ptr<Impl> impl_;
};

}  // namespace qm::platform
