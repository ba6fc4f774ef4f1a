// A transport for tests: it records every request and answers it from a script, without
// ever opening a socket.
//
//     auto transport = std::make_shared<RecordingTransport>();
//     transport->answer("/mobile/api/event", RecordingTransport::Answer::json(Value{{"ok", true}}));
//     TestHost::Options options;
//     options.transport = transport;
//     TestHost host(options);
//     ... code that sends requests ...
//     ASSERT_TRUE(transport->waitForRequests(1));
//     EXPECT_EQ(transport->requests()[0].method, "POST");
//
// Each request is answered when it starts, from the first of: the first rule whose match
// fits the URL, the next queued answer, the fallback (a refused connection unless set).
// Answers arrive like a real transport's: later, from a global queue, never inside resume().
// Recording and the script are safe from any thread.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qmplatform/transport.hpp"
#include "quelmar/value.hpp"

namespace qm::testkit {

class RecordingTransport final : public platform::Transport {
public:
    // A request as the task gave it (headers the transport would add, such as User-Agent, are
    // not part of it).
    struct Request {
        std::string method;
        std::string url;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        bool download = false;

        // The URL's path, percent-decoded ("/mobile/api/event").
        std::string path() const;
        // The first header of that name, compared without case.
        std::optional<std::string> header(std::string_view name) const;
    };

    struct Answer {
        long status = 200;
        std::map<std::string, std::string> headers;  // names are lower-cased on delivery
        std::string body;
        // Not zero: the request fails with this URL error code instead (URLErrorCode).
        long errorCode = 0;

        // The value as JSON text, with a JSON content type.
        static Answer json(const Value& value, long status = 200);
        static Answer text(std::string body, long status = 200);
        static Answer failure(long errorCode);
    };

    // Answers every request whose URL is `match`, or whose path is `match` when it starts
    // with "/". Rules are tried in the order they were added.
    void answer(std::string match, Answer answer);
    // Answers the next request no rule fits; queued answers are used once each, in order.
    void answerNext(Answer answer);
    // What a request gets when no rule fits and no queued answer is left.
    void setFallback(Answer answer);

    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    // The requests whose URL or path (see answer()) is `match`, in order.
    std::vector<Request> requestsFor(std::string_view match) const;
    // Pumps the main run loop (from the main thread) until at least `count` requests have been
    // recorded; false if that takes more than realTimeoutSeconds.
    bool waitForRequests(std::size_t count, double realTimeoutSeconds = 20);

    void start(std::shared_ptr<platform::URLSessionTask> task) override;
    void cancel(std::shared_ptr<platform::URLSessionTask> task) override;

private:
    static bool matches(const std::string& match, const Request& request);

    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::vector<std::pair<std::string, Answer>> rules_;
    std::deque<Answer> queued_;
    std::optional<Answer> fallback_;
};

}  // namespace qm::testkit
