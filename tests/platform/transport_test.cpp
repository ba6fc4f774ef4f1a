// The transport seam: sessions carried by a configured transport (the recording transport of
// the testing library, or one written here), what a transport sees of a task, and delivery
// exactly once whatever a transport does. No socket is opened.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/transport.hpp"
#include "qmplatform/url_session.hpp"
#include "recording_transport.hpp"
#include "test_host.hpp"

using namespace qm::platform;
using qm::Value;
using qm::testkit::RecordingTransport;
using Answer = RecordingTransport::Answer;

namespace {

struct Result {
    std::optional<std::string> data;  // the body, or a download's file content
    std::optional<HTTPURLResponse> response;
    std::optional<URLError> error;
    std::string path;  // a download's file
    int calls = 0;
};

std::shared_ptr<URLSession> mainSession(URLSessionConfiguration configuration = {}) {
    return URLSession::sessionWithConfiguration(std::move(configuration), nullptr, &OperationQueue::main());
}

URLRequest get(std::string url) {
    URLRequest request;
    request.url = std::move(url);
    return request;
}

std::shared_ptr<Result> startData(const std::shared_ptr<URLSession>& session, URLRequest request) {
    auto result = std::make_shared<Result>();
    session->dataTaskWithRequest(std::move(request), [result](auto& data, auto& response, auto& error) {
        result->data = data, result->response = response, result->error = error;
        result->calls++;
    })->resume();
    return result;
}

class TransportTest : public ::testing::Test {
protected:
    TransportTest() : transport_(std::make_shared<RecordingTransport>()), host_(options(transport_)) {}

    static qm::testkit::TestHost::Options options(std::shared_ptr<Transport> transport) {
        qm::testkit::TestHost::Options options;
        options.transport = std::move(transport);
        return options;
    }

    bool finished(const std::vector<std::shared_ptr<Result>>& results) {
        return host_.runUntil([&] {
            for (const auto& r : results)
                if (r->calls == 0) return false;
            return true;
        });
    }

    std::shared_ptr<RecordingTransport> transport_;
    qm::testkit::TestHost host_;
};

}  // namespace

TEST_F(TransportTest, RequestsAreRecordedAndAnsweredFromTheScriptLater) {
    transport_->answer("/mobile/api/event", Answer::json(Value{{"Message", "ok"}}));
    transport_->answer("https://mobile.quelmar.io/mobile/api_v2/settings", Answer::text("busy", 503));
    transport_->answerNext(Answer::text("first"));
    transport_->answerNext(Answer::failure(URLErrorCode::TimedOut));

    URLRequest post = get("https://analytics.quelmar.io/mobile/api/event?x=1");
    post.httpMethod = "POST";
    post.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"X-Trace", "t-1"}};
    post.body = "bid=1&event_name=buy";
    auto session = mainSession();
    const auto event = startData(session, post);
    const auto settings = startData(session, get("https://mobile.quelmar.io/mobile/api_v2/settings"));
    const auto first = startData(session, get("https://push.quelmar.io/a"));
    const auto second = startData(session, get("https://push.quelmar.io/b"));
    const auto refused = startData(session, get("https://push.quelmar.io/c"));
    ASSERT_TRUE(finished({event, settings, first, second, refused}));

    ASSERT_TRUE(event->response);
    EXPECT_FALSE(event->error);
    EXPECT_EQ(event->response->statusCode, 200);
    EXPECT_EQ(event->response->url, post.url);
    EXPECT_EQ(event->response->valueForHTTPHeaderField("Content-Type"), "application/json");
    EXPECT_EQ(event->data, R"({"Message":"ok"})");
    EXPECT_EQ(settings->response->statusCode, 503);  // a status is no error for a plain session
    EXPECT_EQ(settings->data, "busy");
    EXPECT_EQ(first->data, "first");
    ASSERT_TRUE(second->error);
    EXPECT_EQ(second->error->code, URLErrorCode::TimedOut);
    EXPECT_FALSE(second->response);
    ASSERT_TRUE(refused->error);  // nothing left in the script: refused like the unrouted port
    EXPECT_EQ(refused->error->code, URLErrorCode::CannotConnectToHost);
    EXPECT_EQ(URLSession::activeTaskCount(), 0u);

    const auto requests = transport_->requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].url, post.url);
    EXPECT_EQ(requests[0].path(), "/mobile/api/event");
    EXPECT_EQ(requests[0].header("x-trace"), "t-1");
    EXPECT_EQ(requests[0].body, "bid=1&event_name=buy");
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(transport_->requestsFor("/b").size(), 1u);
    EXPECT_EQ(transport_->requestsFor("https://push.quelmar.io/c").size(), 1u);
}

TEST_F(TransportTest, DownloadsGetAFileThatIsGoneAfterTheirHandler) {
    transport_->answer("/file", Answer::text("file body"));
    transport_->answer("/missing", Answer::failure(URLErrorCode::CannotFindHost));
    auto session = mainSession();
    auto download = [&](const std::string& url) {
        auto result = std::make_shared<Result>();
        session->downloadTaskWithRequest(get(url), [result](auto& path, auto& response, auto& error) {
            if (path) result->path = *path, result->data = Files::readFile(*path);
            result->response = response, result->error = error;
            result->calls++;
        })->resume();
        return result;
    };
    const auto file = download("https://cdn.example.com/file");
    const auto missing = download("https://cdn.example.com/missing");
    ASSERT_TRUE(finished({file, missing}));

    EXPECT_EQ(file->data, "file body");
    EXPECT_EQ(file->path.rfind(Sandbox::temporaryDirectory() + "/", 0), 0u) << file->path;
    EXPECT_FALSE(Files::fileExists(file->path));
    ASSERT_TRUE(missing->error);
    EXPECT_EQ(missing->error->code, URLErrorCode::CannotFindHost);
    EXPECT_TRUE(missing->path.empty());
    EXPECT_TRUE(transport_->requests()[0].download);
}

TEST_F(TransportTest, RequestsFromManyThreadsAreAllRecorded) {
    transport_->setFallback(Answer::text("ok"));
    constexpr int kThreads = 4, kEach = 25;
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto session = URLSession::sessionWithConfiguration({});  // answers on its own serial queue
            for (int i = 0; i < kEach; ++i) {
                session->dataTaskWithRequest(get("https://h.example/" + std::to_string(t) + "/" + std::to_string(i)),
                                             [&](auto& data, auto&, auto&) { answered += data == "ok"; })
                    ->resume();
            }
        });
    }
    EXPECT_TRUE(transport_->waitForRequests(kThreads * kEach));
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(host_.runUntil([&] { return answered.load() == kThreads * kEach; }));
    EXPECT_EQ(transport_->requestCount(), std::size_t{kThreads * kEach});
    EXPECT_EQ(transport_->requestsFor("/3/24").size(), 1u);
}

// The session's own rules hold whatever carries the request: a background request answered
// with a server error fails and stays for a retry.
TEST_F(TransportTest, BackgroundRulesDoNotDependOnTheTransport) {
    transport_->answer("/mobile/api/event", Answer::text("down", 503));
    const std::string identifier = "com.example.testapp.bg";
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::backgroundSessionConfiguration(identifier),
                                                        nullptr, &OperationQueue::main());
    auto result = std::make_shared<Result>();
    URLRequest request = get("https://analytics.quelmar.io/mobile/api/event");
    request.httpMethod = "POST";
    request.body = "n=1";
    session->downloadTaskWithRequest(request, [result](auto& path, auto& response, auto& error) {
        result->data = path, result->response = response, result->error = error;
        result->calls++;
    })->resume();
    ASSERT_TRUE(finished({result}));
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->code, URLErrorCode::BadServerResponse);
    EXPECT_FALSE(result->data);
    EXPECT_EQ(URLSession::pendingBackgroundSessionIdentifiers(), std::vector<std::string>{identifier});
}

namespace {

// A transport that answers nothing by itself: the test ends each task through the delivery
// functions, as often and in whatever way it likes.
class ManualTransport final : public Transport {
public:
    void start(std::shared_ptr<URLSessionTask> task) override {
        std::lock_guard lock(mutex);
        configurationTimeout = configurationOf(*task).timeoutIntervalForRequest;
        userAgent = userAgentOf(*task);
        downloadDirectory = downloadDirectoryOf(*task);
        started.push_back(std::move(task));
    }
    void cancel(std::shared_ptr<URLSessionTask> task) override {
        std::lock_guard lock(mutex);
        cancelled.push_back(std::move(task));
    }
    std::shared_ptr<URLSessionTask> task(std::size_t i) {
        std::lock_guard lock(mutex);
        return started.at(i);
    }
    static void respond(const std::shared_ptr<URLSessionTask>& task, std::string body) {
        HTTPURLResponse response;
        response.statusCode = 200;
        deliverResponse(task, response, std::move(body));
    }
    static void respondWithFile(const std::shared_ptr<URLSessionTask>& task, const std::string& path) {
        deliverDownloadedFile(task, HTTPURLResponse{"", 200, {}}, path);
    }
    static void fail(const std::shared_ptr<URLSessionTask>& task, long code) {
        deliverError(task, URLError::withCode(code));
    }

    std::mutex mutex;
    std::vector<std::shared_ptr<URLSessionTask>> started, cancelled;
    double configurationTimeout = 0;
    std::string userAgent, downloadDirectory;
};

}  // namespace

TEST(TransportSeam, EveryTaskEndsOnceWhateverTheTransportDelivers) {
    auto transport = std::make_shared<ManualTransport>();
    qm::testkit::TestHost::Options options;
    options.transport = transport;
    qm::testkit::TestHost host(options);
    URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 7;
    auto session = mainSession(configuration);

    // What a transport sees of a task besides its request.
    const auto data = startData(session, get("https://a.example/data"));
    EXPECT_EQ(transport->configurationTimeout, 7);
    EXPECT_EQ(transport->userAgent, "TestApp/1.0 (" + qm::platform::Device::current().systemName() + ")");
    EXPECT_EQ(transport->downloadDirectory, "");  // only download tasks write files

    // A second answer, and a cancel after the answer, change nothing.
    ManualTransport::respond(transport->task(0), "one");
    ManualTransport::respond(transport->task(0), "two");
    ManualTransport::fail(transport->task(0), URLErrorCode::TimedOut);
    transport->task(0)->cancel();
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(data->calls, 1);
    EXPECT_EQ(data->data, "one");
    EXPECT_TRUE(transport->cancelled.empty());  // the task had completed

    // Cancelling a running task goes to the transport; its -999 wins over a later answer, and
    // the file of that answer is deleted rather than left behind.
    auto download = std::make_shared<Result>();
    session->downloadTaskWithRequest(get("https://a.example/file"), [download](auto& path, auto&, auto& error) {
        download->error = error;
        download->calls++;
        if (path) download->path = *path;
    })->resume();
    EXPECT_EQ(transport->downloadDirectory, Sandbox::temporaryDirectory());
    auto task = transport->task(1);
    task->cancel();
    ASSERT_EQ(transport->cancelled.size(), 1u);
    ManualTransport::fail(task, URLErrorCode::Cancelled);
    const std::string late = Sandbox::temporaryDirectory() + "/late-answer";
    ASSERT_TRUE(Files::writeFileAtomically(late, "late"));
    ManualTransport::respondWithFile(task, late);
    ASSERT_TRUE(host.runUntilIdle());
    EXPECT_EQ(download->calls, 1);
    ASSERT_TRUE(download->error);
    EXPECT_EQ(download->error->code, URLErrorCode::Cancelled);
    EXPECT_FALSE(Files::fileExists(late));

    // A body handed over for a download task arrives as a file; a file handed over for a data
    // task arrives as the body.
    auto written = std::make_shared<Result>();
    session->downloadTaskWithRequest(get("https://a.example/body"), [written](auto& path, auto&, auto&) {
        if (path) written->data = Files::readFile(*path), written->path = *path;
        written->calls++;
    })->resume();
    ManualTransport::respond(transport->task(2), "as a file");
    const auto read = startData(session, get("https://a.example/read"));
    const std::string file = Sandbox::temporaryDirectory() + "/answer";
    ASSERT_TRUE(Files::writeFileAtomically(file, "from a file"));
    ManualTransport::respondWithFile(transport->task(3), file);
    ASSERT_TRUE(host.runUntil([&] { return written->calls == 1 && read->calls == 1; }));
    EXPECT_EQ(written->data, "as a file");
    EXPECT_FALSE(Files::fileExists(written->path));
    EXPECT_EQ(read->data, "from a file");
    EXPECT_FALSE(Files::fileExists(file));
    EXPECT_EQ(URLSession::activeTaskCount(), 0u);
}

TEST(TransportSeam, TasksKeepTheTransportTheyWereMadeWith) {
    auto first = std::make_shared<RecordingTransport>();
    first->setFallback(Answer::text("first"));
    qm::testkit::TestHost::Options options;
    options.transport = first;
    qm::testkit::TestHost host(options);
    auto session = mainSession();
    auto made = session->dataTaskWithRequest(get("https://a.example/x"), [](auto&, auto&, auto&) {});

    auto second = std::make_shared<RecordingTransport>();
    Transport::setCurrent(second);
    EXPECT_EQ(Transport::current(), second);
    made->resume();
    const auto later = startData(session, get("https://a.example/y"));
    ASSERT_TRUE(host.runUntil([&] { return later->calls == 1; }));
    EXPECT_EQ(first->requestsFor("/x").size(), 1u);
    EXPECT_EQ(second->requestsFor("/y").size(), 1u);
    EXPECT_EQ(first->requestCount() + second->requestCount(), 2u);

    Transport::setCurrent(nullptr);  // back to libcurl, which is never a test double
    EXPECT_EQ(std::dynamic_pointer_cast<RecordingTransport>(Transport::current()), nullptr);
}

// A cancel that arrives while the transport is still in start() reaches the transport only
// after start() has returned, and the task ends once, with -999.
TEST(TransportSeam, ACancelDuringStartReachesTheTransportAfterIt) {
    class SlowStart final : public Transport {
    public:
        void start(std::shared_ptr<URLSessionTask>) override {
            std::unique_lock lock(mutex);
            events.push_back("start");
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
            events.push_back("started");
        }
        void cancel(std::shared_ptr<URLSessionTask> task) override {
            {
                std::lock_guard lock(mutex);
                events.push_back("cancel");
            }
            deliverError(task, URLError::withCode(URLErrorCode::Cancelled));
        }
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> events;
        bool released = false;
    };
    auto transport = std::make_shared<SlowStart>();
    qm::testkit::TestHost::Options options;
    options.transport = transport;
    qm::testkit::TestHost host(options);
    auto result = std::make_shared<Result>();
    auto task = mainSession()->dataTaskWithRequest(get("https://a.example/x"), [result](auto&, auto&, auto& error) {
        result->error = error;
        result->calls++;
    });

    std::thread resumer([task] { task->resume(); });
    {
        std::unique_lock lock(transport->mutex);
        ASSERT_TRUE(transport->changed.wait_for(lock, std::chrono::seconds(20), [&] { return !transport->events.empty(); }));
    }
    task->cancel();  // the transport is inside start()
    {
        std::lock_guard lock(transport->mutex);
        transport->released = true;
        transport->changed.notify_all();
    }
    resumer.join();
    ASSERT_TRUE(host.runUntil([&] { return result->calls == 1; }));
    EXPECT_EQ(transport->events, (std::vector<std::string>{"start", "started", "cancel"}));
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->code, URLErrorCode::Cancelled);
    EXPECT_TRUE(host.runUntilIdle());
    EXPECT_EQ(result->calls, 1);
}
