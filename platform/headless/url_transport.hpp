// The shared transport behind every URL session: one libcurl multi handle driven by one I/O
// thread (internal to the platform layer).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "qmplatform/url_session.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform::detail {

// Process-wide transport settings, taken when a task is resumed.
struct TransportSettings {
    std::optional<std::string> connectTo;  // "HOST:PORT"
    std::optional<std::string> caFile;
};

class URLEngine {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    // Created on first use and never destroyed: the I/O thread may still be running at exit.
    static URLEngine& instance();

    // Hands a resumed task to the I/O thread. Its result goes to the task's session
    // (URLSession::deliver) exactly once.
    void start(std::shared_ptr<URLSessionTask> task);
    // Stops a running task; it completes with -999.
    void cancel(std::shared_ptr<URLSessionTask> task);
    // Lets running transfers finish until the deadline, ends the rest as lost connections
    // (background requests stay recorded) and joins the I/O thread, which the next task
    // starts again. True when nothing had to be ended.
    bool shutdown(std::chrono::steady_clock::time_point deadline);

    static TransportSettings settings();
    static void setConnectTo(std::optional<std::string> address);
    static void setCAFile(std::optional<std::string> path);
    std::size_t connectionsOpened() const;

    // Lets the transport deliver a result through the session's private path.
    static void deliver(const std::shared_ptr<URLSessionTask>& task, std::optional<std::string> body,
                        std::optional<std::string> filePath, std::optional<HTTPURLResponse> response,
                        std::optional<URLError> error);

    URLEngine(const URLEngine&) = delete;
    URLEngine& operator=(const URLEngine&) = delete;

    struct State;

private:
    URLEngine();
    ~URLEngine() = default;
    State* state_;
};

// Maps a libcurl result to the platform's URL error code (0 for success).
long urlErrorCodeForCurl(int curlCode);

}  // namespace qm::platform::detail
