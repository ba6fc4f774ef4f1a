// URL sessions against the local service over verified loopback TLS: what arrives on the wire,
// answers and errors, redirects, time-outs, answer sizes, cancellation, downloads, connection
// reuse and background requests that outlive their process or meet a failing server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "libcurl_statistics.hpp"
#include "process.hpp"
#include "qmplatform/configuration.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/url_session.hpp"
#include "qmservice/local_service.hpp"
#include "test_host.hpp"

using namespace qm::platform;
using qm::Value;
using qm::service::Fault;
using qm::service::FaultKind;
using qm::service::LocalService;

namespace {

const std::string kEventURL = "https://analytics.quelmar.io/mobile/api/event";

struct Result {
    std::optional<std::string> data;  // the body, or a download's file content
    std::optional<HTTPURLResponse> response;
    std::optional<URLError> error;
    int calls = 0;
    bool onMain = false;
};

// Records what the delegate hears, in order, on whichever queue it is called.
class RecordingDelegate : public URLSessionDelegate {
public:
    void didFinishDownloadingToURL(URLSession&, URLSessionTask& task, const std::string& path) override {
        events.push_back("finished " + std::to_string(task.taskIdentifier()));
        contents.push_back(json::parse(Files::readFile(path).value_or("")).value_or(Value()));
        paths.push_back(path);
    }
    void didCompleteWithError(URLSession&, URLSessionTask& task, const std::optional<URLError>& error) override {
        events.push_back("completed " + std::to_string(task.taskIdentifier()) + ": " +
                         (error ? std::to_string(error->code) : "ok"));
        completions++;
    }
    std::vector<std::string> events, paths;
    std::vector<Value> contents;  // downloaded files, as JSON
    std::atomic<int> completions{0};
};

URLRequest eventPost(std::string body) {
    URLRequest request;
    request.url = kEventURL;
    request.httpMethod = "POST";
    request.body = std::move(body);
    return request;
}

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<LocalService>(LocalService::Options{host_.root() + "/service"});
        ASSERT_TRUE(service_->start()) << service_->lastError();
        URLSession::setConnectTo(service_->address());
        URLSession::setCAFile(service_->caFile());
    }
    void TearDown() override { service_->stop(); }

    std::shared_ptr<URLSession> mainSession(URLSessionConfiguration configuration = {},
                                            std::shared_ptr<URLSessionDelegate> delegate = nullptr) {
        return URLSession::sessionWithConfiguration(std::move(configuration), std::move(delegate),
                                                    &OperationQueue::main());
    }

    // Runs a data task of the session and pumps the main run loop until it completed.
    Result fetch(const std::shared_ptr<URLSession>& session, URLRequest request) {
        auto result = std::make_shared<Result>();
        session->dataTaskWithRequest(std::move(request), [result](auto& data, auto& response, auto& error) {
            result->data = data, result->response = response, result->error = error;
            result->calls++;
            result->onMain = RunLoop::main().isMainThread();
        })->resume();
        EXPECT_TRUE(host_.runUntil([&] { return result->calls > 0; }));
        return *result;
    }

    // Resumes a data task of the session; the result lands in the returned record.
    std::shared_ptr<Result> start(const std::shared_ptr<URLSession>& session, URLRequest request) {
        auto result = std::make_shared<Result>();
        session->dataTaskWithRequest(std::move(request), [result](auto& data, auto& response, auto& error) {
            result->data = data, result->response = response, result->error = error;
            result->calls++;
        })->resume();
        return result;
    }

    qm::testkit::TestHost host_;
    std::unique_ptr<LocalService> service_;
};

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST_F(URLSessionTest, PostArrivesWithHeadersAndBodyOverVerifiedTLS) {
    URLRequest request = eventPost("bid=1001&event_name=add%20to%20cart");
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"}, {"X-Trace", "t-42"}};
    const Result result = fetch(mainSession(), request);
    ASSERT_FALSE(result.error) << result.error->description();
    EXPECT_EQ(result.calls, 1);
    EXPECT_TRUE(result.onMain);
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 200);
    EXPECT_EQ(result.response->url, kEventURL);
    EXPECT_EQ(result.response->valueForHTTPHeaderField("Content-Type").value_or("").rfind("application/json", 0), 0u);
    ASSERT_TRUE(result.data);
    EXPECT_EQ(json::parse(*result.data).value_or(Value())["Account"], Value("success")) << *result.data;

    const auto recorded = service_->requestsFor("event");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].host, "analytics.quelmar.io");
    EXPECT_EQ(recorded[0].path, "/mobile/api/event");
    EXPECT_EQ(recorded[0].body, "bid=1001&event_name=add%20to%20cart");
    EXPECT_EQ(recorded[0].headers.at("content-type"), "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(recorded[0].headers.at("x-trace"), "t-42");
    EXPECT_EQ(recorded[0].headers.at("content-length"), "35");

    // The certificate must match the host name and chain up to a trusted CA; a background
    // request refused for that is not kept for a retry.
    URLRequest otherHost = eventPost("a=1");
    otherHost.url = "https://analytics.example.org/mobile/api/event";
    const Result wrongName = fetch(mainSession(), otherHost);
    ASSERT_TRUE(wrongName.error);
    EXPECT_EQ(wrongName.error->code, -1202);
    URLSession::setCAFile(std::nullopt);
    const Result untrusted = fetch(mainSession(URLSessionConfiguration::backgroundSessionConfiguration("bg.tls")),
                                   eventPost("a=2"));
    ASSERT_TRUE(untrusted.error);
    EXPECT_EQ(untrusted.error->description(),
              "Error Domain=NSURLErrorDomain Code=-1202 \"The certificate for this server is invalid.\"");
    EXPECT_TRUE(URLSession::pendingBackgroundSessionIdentifiers().empty());
    EXPECT_EQ(service_->requestsFor("event").size(), 1u);  // only the first one got through
}

TEST_F(URLSessionTest, ServerErrorIsDeliveredAsDataOnTheSessionQueue) {
    service_->setFault("event", Fault{FaultKind::ServerError});
    // The shared session, and a session nobody holds on to while its task runs.
    std::shared_ptr<URLSession> sessions[] = {URLSession::sharedSession(), URLSession::sessionWithConfiguration({})};
    std::vector<std::shared_ptr<Result>> results;
    std::atomic<int> done{0};
    for (const auto& session : sessions) {
        auto result = std::make_shared<Result>();
        results.push_back(result);
        session->dataTaskWithRequest(eventPost("event_name=x"), [result, &done](auto& data, auto& response, auto& error) {
            result->data = data, result->response = response, result->error = error;
            result->onMain = RunLoop::main().isMainThread();
            done++;
        })->resume();
    }
    std::weak_ptr<URLSession> unheld = sessions[1];
    sessions[1].reset();
    ASSERT_TRUE(host_.runUntil([&] { return done == 2 && unheld.expired(); }));
    for (const auto& result : results) {
        EXPECT_FALSE(result->error);
        EXPECT_FALSE(result->onMain);
        ASSERT_TRUE(result->response);
        EXPECT_EQ(result->response->statusCode, 500);
        ASSERT_TRUE(result->data);
        EXPECT_EQ(json::parse(*result->data), (Value{{"error", "internal"}}));
    }
}

TEST_F(URLSessionTest, SilentServerTimesOutWhileTheMainLoopKeepsRunning) {
    service_->setFault("event", Fault{FaultKind::NoAnswer});
    auto configuration = URLSessionConfiguration::backgroundSessionConfiguration("bg.silent");
    configuration.timeoutIntervalForRequest = 1;
    auto session = mainSession(configuration);
    auto result = std::make_shared<Result>();
    const auto started = std::chrono::steady_clock::now();
    session->dataTaskWithRequest(eventPost("event_name=silent"), [result](auto&, auto&, auto& error) {
        result->error = error;
        result->calls++;
    })->resume();
    // The request was written down before it left.
    EXPECT_EQ(URLSession::pendingBackgroundSessionIdentifiers(), std::vector<std::string>{"bg.silent"});

    int ticks = 0;
    std::function<void()> tick = [&] {
        ++ticks;
        if (result->calls == 0) Queue::main().async(tick);
    };
    Queue::main().async(tick);
    ASSERT_TRUE(host_.runUntil([&] { return result->calls > 0; }, 30));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->description(), "Error Domain=NSURLErrorDomain Code=-1001 \"The request timed out.\"");
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 10);
    EXPECT_GT(ticks, 100);  // the main loop ran other blocks the whole time
    // A timed-out background request stays for a retry.
    EXPECT_EQ(URLSession::pendingBackgroundSessionIdentifiers(), std::vector<std::string>{"bg.silent"});
    host_.runUntilIdle();
}

TEST_F(URLSessionTest, InvalidURLsAndCancellationCompleteExactlyOnce) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = mainSession({}, delegate);
    for (const char* url : {"not a url", "ftp://analytics.quelmar.io/file", "https:///no-host", "mailto:x@y.z"}) {
        URLRequest request;
        request.url = url;
        const Result result = fetch(session, request);
        ASSERT_TRUE(result.error) << url;
        EXPECT_EQ(result.error->description(), "Error Domain=NSURLErrorDomain Code=-1002 \"unsupported URL\"");
    }

    // Cancelling a suspended task completes it; resuming it afterwards does nothing.
    auto calls = std::make_shared<std::vector<long>>();
    auto record = [calls](auto&, auto&, auto& error) { calls->push_back(error ? error->code : 0); };
    auto suspended = session->dataTaskWithRequest(eventPost("a=1"), record);
    suspended->cancel();
    suspended->resume();
    suspended->cancel();

    // A running task, once the server holds it.
    service_->setFault("event", Fault{FaultKind::NoAnswer});
    auto running = session->dataTaskWithRequest(eventPost("a=2"), record);
    running->resume();
    ASSERT_TRUE(service_->waitFor([](auto& requests) { return requests.size() == 1; }, 10));
    EXPECT_EQ(running->state(), URLSessionTask::State::Running);
    running->cancel();

    // invalidateAndCancel ends the rest; a task made afterwards fails when resumed.
    auto download = session->downloadTaskWithRequest(eventPost("a=3"));
    download->resume();
    ASSERT_TRUE(service_->waitFor([](auto& requests) { return requests.size() == 2; }, 10));
    session->invalidateAndCancel();
    session->dataTaskWithRequest(eventPost("a=4"), record)->resume();

    ASSERT_TRUE(host_.runUntil([&] { return delegate->completions == 4 + 4; }));
    host_.runUntilIdle();
    EXPECT_EQ(*calls, (std::vector<long>{-999, -999, -999}));
    EXPECT_EQ(download->state(), URLSessionTask::State::Completed);
    const std::vector<std::string> expected{"completed 1: -1002", "completed 2: -1002", "completed 3: -1002",
                                            "completed 4: -1002", "completed 5: -999",  "completed 6: -999",
                                            "completed 7: -999",  "completed 8: -999"};
    // Tasks 7 and 8 end on different threads; their order is not fixed.
    std::sort(delegate->events.begin(), delegate->events.end());
    EXPECT_EQ(delegate->events, expected);
    EXPECT_EQ(session->delegate(), nullptr);  // released once invalidated and idle
}

TEST_F(URLSessionTest, DownloadsLandInTmpUntilTheCallbackReturns) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = mainSession({}, delegate);
    std::string seenPath, seenContent;
    bool handled = false;
    session->downloadTaskWithRequest(eventPost("event_name=a"), [&](auto& path, auto& response, auto& error) {
        ASSERT_TRUE(path && response && !error);
        seenPath = *path;
        seenContent = Files::readFile(*path).value_or("");
        handled = true;
        delegate->events.push_back("handler");
    })->resume();
    ASSERT_TRUE(host_.runUntil([&] { return delegate->completions == 1; }));
    EXPECT_TRUE(handled);
    EXPECT_EQ(seenPath.rfind(Sandbox::temporaryDirectory() + "/", 0), 0u) << seenPath;
    EXPECT_EQ(json::parse(seenContent).value_or(Value())["Authentication"], Value("success")) << seenContent;
    EXPECT_FALSE(Files::fileExists(seenPath));

    // Without a handler the file goes to the delegate.
    service_->setAnswer("event", Value{{"Message", "delegated"}});
    session->downloadTaskWithRequest(eventPost("event_name=b"))->resume();
    ASSERT_TRUE(host_.runUntil([&] { return delegate->completions == 2; }));
    const std::vector<std::string> expected{"handler", "completed 1: ok", "finished 2", "completed 2: ok"};
    EXPECT_EQ(delegate->events, expected);
    EXPECT_EQ(delegate->contents, (std::vector<Value>{Value{{"Message", "delegated"}}}));
    ASSERT_EQ(delegate->paths.size(), 1u);
    EXPECT_FALSE(Files::fileExists(delegate->paths[0]));
}

TEST_F(URLSessionTest, SessionsShareConnections) {
    const std::size_t before = qm::testkit::libcurlConnectionsOpened();
    constexpr int kRequests = 8;
    for (int i = 0; i < kRequests; ++i) {
        const Result result = fetch(mainSession(), eventPost("n=" + std::to_string(i)));  // a new session each time
        ASSERT_FALSE(result.error) << result.error->description();
    }
    EXPECT_EQ(service_->requestsFor("event").size(), std::size_t(kRequests));
    const std::size_t opened = qm::testkit::libcurlConnectionsOpened() - before;
    EXPECT_GE(opened, 1u);
    EXPECT_LE(opened, 2u);
}

TEST_F(URLSessionTest, BackgroundRequestOutlivesItsProcess) {
    const std::string identifier = "com.example.testapp.background";
    // The sender cannot reach the service (nothing listens on port 1) and exits right away.
    const auto sent = qm::testkit::runProgram(QM_BINARY_DIR "/tests/qm_bg_sender",
                                              {host_.sandboxDir(), identifier, kEventURL, "event_name=launch&bid=7",
                                               "127.0.0.1:1", service_->caFile()});
    ASSERT_EQ(sent.exitCode, 0) << sent.output;
    EXPECT_EQ(URLSession::pendingBackgroundSessionIdentifiers(), std::vector<std::string>{identifier});
    const std::string file = host_.sandboxDir() + "/Library/BackgroundTransfers/" + identifier + "/1.plist";
    const auto record = plist::read(Files::readFile(file).value_or(""));
    ASSERT_TRUE(record) << file;
    EXPECT_EQ((*record)["url"], Value(kEventURL));
    EXPECT_EQ((*record)["httpMethod"], Value("POST"));
    EXPECT_EQ((*record)["sessionIdentifier"], Value(identifier));
    const std::string body = "event_name=launch&bid=7";
    EXPECT_EQ((*record)["body"], Value(qm::Bytes(body.begin(), body.end())));

    // The next launch re-creates the session; the request is sent again and reported.
    service_->setAnswer("event", Value{{"Message", "welcome back"}});
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = mainSession(URLSessionConfiguration::backgroundSessionConfiguration(identifier), delegate);
    ASSERT_TRUE(host_.runUntil([&] { return delegate->completions == 1; }));
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"finished 1", "completed 1: ok"}));
    EXPECT_EQ(delegate->contents, (std::vector<Value>{Value{{"Message", "welcome back"}}}));
    const auto recorded = service_->requestsFor("event");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].body, body);
    EXPECT_EQ(recorded[0].headers.at("x-sender"), "qm_bg_sender");
    EXPECT_FALSE(Files::fileExists(file));
    EXPECT_TRUE(URLSession::pendingBackgroundSessionIdentifiers().empty());
}

}  // namespace

namespace {

TEST_F(URLSessionTest, RedirectsStayOnHttpsAndTheBodyOnItsHost) {
    // The same host, by a relative Location: followed with method and body.
    service_->setFault("event", Fault{FaultKind::Redirect, 0, 1});
    const Result same = fetch(mainSession(), eventPost("event_name=moved"));
    ASSERT_FALSE(same.error) << same.error->description();
    EXPECT_EQ(same.response->statusCode, 200);
    EXPECT_EQ(json::parse(same.data.value_or("")).value_or(Value())["Message"], Value("Event moved recorded"));
    auto recorded = service_->requestsFor("event");
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1].method, "POST");
    EXPECT_EQ(recorded[1].body, "event_name=moved");

    // To plain http: refused before anything goes there, also for a background request, which
    // is not kept for a retry.
    service_->clearRequests();
    service_->setFault("event", Fault{FaultKind::RedirectHTTP});
    const Result plain = fetch(mainSession(), eventPost("bid_e=secret&deviceID=D1"));
    ASSERT_TRUE(plain.error);
    EXPECT_EQ(plain.error->code, -1022);
    const Result background =
        fetch(mainSession(URLSessionConfiguration::backgroundSessionConfiguration("bg.redirect")), eventPost("bid_e=secret"));
    ASSERT_TRUE(background.error);
    EXPECT_EQ(background.error->code, -1022);
    EXPECT_TRUE(URLSession::pendingBackgroundSessionIdentifiers().empty());
    EXPECT_EQ(service_->requestsFor("event").size(), 2u);
    EXPECT_TRUE(service_->plainContacts().empty());

    // To another host: a 307 would carry the body there and fails; a 303 becomes a GET without
    // body or body headers, which may go.
    service_->clearRequests();
    service_->setFault("event", Fault{FaultKind::RedirectHost, 0, 1});
    const Result elsewhere = fetch(mainSession(), eventPost("bid_e=secret"));
    ASSERT_TRUE(elsewhere.error);
    EXPECT_EQ(elsewhere.error->code, -1011);
    EXPECT_EQ(service_->requests().size(), 1u);  // only the first request
    service_->clearRequests();
    service_->setFault("event", Fault{FaultKind::RedirectHost, 0, 1, 303});
    URLRequest withCredentials = eventPost("bid_e=secret");
    withCredentials.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Authorization", "Bearer t"}};
    const Result seeOther = fetch(mainSession(), withCredentials);
    ASSERT_FALSE(seeOther.error) << seeOther.error->description();
    EXPECT_EQ(seeOther.response->url, "https://elsewhere.quelmar.io/mobile/api/event");
    recorded = service_->requests();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].host, "analytics.quelmar.io");
    EXPECT_EQ(recorded[1].host, "elsewhere.quelmar.io");
    EXPECT_EQ(recorded[1].method, "GET");
    EXPECT_EQ(recorded[1].body, "");
    for (const char* header : {"content-type", "content-length", "authorization"})
        EXPECT_EQ(recorded[1].headers.count(header), 0u) << header;

    // A loop ends.
    service_->clearRequests();
    service_->setFault("event", Fault{FaultKind::Redirect});
    const Result loop = fetch(mainSession(), eventPost("a=1"));
    ASSERT_TRUE(loop.error);
    EXPECT_EQ(loop.error->code, -1007);
    EXPECT_GT(service_->requests().size(), 2u);
    EXPECT_LE(service_->requests().size(), 21u);
}

TEST_F(URLSessionTest, RequestTimeoutCountsIdleTimeAndResourceTimeoutTheWhole) {
    // Three tasks at once: a server that pauses longer than the request time-out, one that
    // keeps sending (slowly) for longer than it, and the same under a shorter resource limit.
    const Value steady{{"Message", "slow but steady wins the race, eventually, one piece at a time"}};
    service_->setAnswer("event", steady);
    service_->setAnswer("user", steady);
    service_->setFault("event", Fault{FaultKind::Trickle, 3});
    service_->setFault("user", Fault{FaultKind::Trickle, 0.25});
    URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 1;
    URLSessionConfiguration shortResource = configuration;
    shortResource.timeoutIntervalForResource = 1.5;
    URLRequest user = eventPost("userID=ann");
    user.url = "https://analytics.quelmar.io/mobile/api/user";

    const auto started = Clock::now();
    auto stalled = start(mainSession(configuration), eventPost("event_name=stalled"));
    auto flowing = start(mainSession(configuration), user);
    auto capped = start(mainSession(shortResource), user);
    double stalledAt = 0, cappedAt = 0;
    ASSERT_TRUE(host_.runUntil([&] {
        if (stalled->calls && !stalledAt) stalledAt = secondsSince(started);
        if (capped->calls && !cappedAt) cappedAt = secondsSince(started);
        return stalled->calls && flowing->calls && capped->calls;
    }, 15));

    ASSERT_TRUE(stalled->error);
    EXPECT_EQ(stalled->error->code, -1001);
    EXPECT_GE(stalledAt, 0.95);
    EXPECT_LT(stalledAt, 2.0);  // a second after the last byte, not whenever an average drops

    ASSERT_FALSE(flowing->error) << flowing->error->description();
    EXPECT_EQ(json::parse(flowing->data.value_or("")), steady);
    EXPECT_GT(secondsSince(started), 1.5);  // it did take longer than the request time-out

    ASSERT_TRUE(capped->error);
    EXPECT_EQ(capped->error->code, -1001);
    EXPECT_GE(cappedAt, 1.45);
    EXPECT_LT(cappedAt, 2.5);
}

TEST_F(URLSessionTest, OversizedAnswersFailAndStopEarly) {
    // The cap is inclusive.
    URLSessionConfiguration small;
    small.maximumResponseBodySize = 100000;
    service_->setFault("event", Fault{FaultKind::Oversize, 0, 1, 0, 100000});
    const Result fits = fetch(mainSession(small), eventPost("a=1"));
    ASSERT_FALSE(fits.error) << fits.error->description();
    EXPECT_EQ(fits.data->size(), 100000u);
    service_->setFault("event", Fault{FaultKind::Oversize, 0, 1, 0, 100001});
    const Result over = fetch(mainSession(small), eventPost("a=1"));
    ASSERT_TRUE(over.error);
    EXPECT_EQ(over.error->description(), "Error Domain=NSURLErrorDomain Code=-1103 \"resource exceeds maximum size\"");

    // The default cap, for an answer announced as too long (download task) and for one that
    // only turns out too long (chunked data task). Either is cut off well before its end.
    constexpr std::size_t kMiB = 1024 * 1024;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = mainSession({}, delegate);
    service_->setFault("event", Fault{FaultKind::Oversize, 0, 1});
    std::size_t before = service_->streamedBytes();
    session->downloadTaskWithRequest(eventPost("a=2"))->resume();
    ASSERT_TRUE(host_.runUntil([&] { return delegate->completions == 1; }));
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"completed 1: -1103"}));
    EXPECT_LT(service_->streamedBytes() - before, 16 * kMiB);

    service_->setFault("event", Fault{FaultKind::Oversize, 0, 1, 0, 64 * kMiB, true});
    before = service_->streamedBytes();
    const Result chunked = fetch(session, eventPost("a=3"));
    ASSERT_TRUE(chunked.error);
    EXPECT_EQ(chunked.error->code, -1103);
    EXPECT_LT(service_->streamedBytes() - before, 40 * kMiB);
}

TEST_F(URLSessionTest, BackgroundServerErrorsAreRetriedLikeLostConnections) {
    const std::string identifier = "bg.busy";
    auto configuration = URLSessionConfiguration::backgroundSessionConfiguration(identifier);
    service_->setFault("event", Fault{FaultKind::ServerError, 0, 1, 503});
    auto first = std::make_shared<RecordingDelegate>();
    mainSession(configuration, first)->downloadTaskWithRequest(eventPost("event_name=busy"))->resume();
    ASSERT_TRUE(host_.runUntil([&] { return first->completions == 1; }));
    EXPECT_EQ(first->events, (std::vector<std::string>{"completed 1: -1011"}));  // no answer handed on
    EXPECT_EQ(URLSession::pendingBackgroundSessionIdentifiers(), std::vector<std::string>{identifier});

    // The next launch sends it again; the service has recovered.
    auto second = std::make_shared<RecordingDelegate>();
    auto session = mainSession(configuration, second);
    ASSERT_TRUE(host_.runUntil([&] { return second->completions == 1; }));
    EXPECT_EQ(second->events, (std::vector<std::string>{"finished 1", "completed 1: ok"}));
    EXPECT_EQ(second->contents[0]["Message"], Value("Event busy recorded"));
    EXPECT_TRUE(URLSession::pendingBackgroundSessionIdentifiers().empty());
    const auto recorded = service_->requestsFor("event");
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1].body, "event_name=busy");

    // A server that never recovers: every launch tries once more, up to the limit; the last
    // failure reaches the delegate and the request is gone.
    service_->clearRequests();
    service_->setFault("event", Fault{FaultKind::ServerError, 0, -1, 429});
    auto delegate = std::make_shared<RecordingDelegate>();
    mainSession(configuration, delegate)->downloadTaskWithRequest(eventPost("event_name=never"))->resume();
    ASSERT_TRUE(host_.runUntil([&] { return delegate->completions == 1; }));
    for (int launch = 2; launch <= URLSession::kMaxBackgroundAttempts; ++launch) {
        ASSERT_EQ(URLSession::pendingBackgroundSessionIdentifiers(), std::vector<std::string>{identifier}) << launch;
        delegate = std::make_shared<RecordingDelegate>();
        auto relaunched = mainSession(configuration, delegate);
        ASSERT_TRUE(host_.runUntil([&] { return delegate->completions == 1; })) << launch;
    }
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"completed 1: -1011"}));
    EXPECT_TRUE(URLSession::pendingBackgroundSessionIdentifiers().empty());
    EXPECT_EQ(service_->requestsFor("event").size(), std::size_t(URLSession::kMaxBackgroundAttempts));
    host_.runUntilIdle();
}

}  // namespace

// The platform's stop: a request the service holds is ended at the deadline as a lost
// connection, a background one stays recorded for the next process, and the transport
// starts again for the requests that follow.
TEST_F(URLSessionTest, ShutdownEndsHeldRequestsAtItsDeadlineAndTheTransportStartsAgain) {
    service_->setFault("event", Fault{FaultKind::NoAnswer});
    auto foreground = start(mainSession(), eventPost("held=1"));
    auto background = mainSession(URLSessionConfiguration::backgroundSessionConfiguration("qm.test.stop"),
                                  std::make_shared<RecordingDelegate>());
    background->downloadTaskWithRequest(eventPost("held=2"))->resume();
    ASSERT_TRUE(host_.runUntil([&] { return service_->requestsFor("event").size() == 2; }));

    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(qm::platform::shutdown(0.5));
    EXPECT_LT(secondsSince(started), 5);
    ASSERT_TRUE(host_.runUntil([&] { return foreground->calls == 1; }));
    ASSERT_TRUE(foreground->error);
    EXPECT_EQ(foreground->error->code, URLErrorCode::NetworkConnectionLost);
    EXPECT_EQ(URLSession::pendingBackgroundSessionIdentifiers(), std::vector<std::string>{"qm.test.stop"});

    service_->clearFaults();
    const Result after = fetch(mainSession(), eventPost("after=1"));
    EXPECT_FALSE(after.error);
    EXPECT_EQ(after.response->statusCode, 200);
    // Nothing in flight: the stop has nothing to cut short.
    EXPECT_TRUE(host_.runUntilIdle());
    EXPECT_TRUE(qm::platform::shutdown(5));
}
