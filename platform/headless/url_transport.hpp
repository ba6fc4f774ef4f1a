// The platform's transport behind URL sessions unless another is configured: one libcurl
// multi handle driven by one I/O thread (internal to the platform layer).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "qmplatform/transport.hpp"
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

class URLEngine final : public Transport {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    // Created on first use and never destroyed: the I/O thread may still be running at exit.
    static URLEngine& instance();

    // Hands a resumed task to the I/O thread, which delivers its result.
    void start(std::shared_ptr<URLSessionTask> task) override;
    // Stops a running task; it completes with -999.
    void cancel(std::shared_ptr<URLSessionTask> task) override;
    // Lets running transfers finish until the deadline, ends the rest as lost connections
    // (background requests stay recorded) and joins the I/O thread, which the next task
    // starts again. True when nothing had to be ended.
    bool shutdown(double timeoutSeconds) override;

    static TransportSettings settings();
    static void setConnectTo(std::optional<std::string> address);
    static void setCAFile(std::optional<std::string> path);
    // New connections the engine has opened in this process.
    std::size_t connectionsOpened() const;

    URLEngine(const URLEngine&) = delete;
    URLEngine& operator=(const URLEngine&) = delete;

    struct State;

private:
    URLEngine();
    ~URLEngine() override = default;
    State* state_;
};

// Maps a libcurl result to the platform's URL error code (0 for success).
long urlErrorCodeForCurl(int curlCode);

}  // namespace qm::platform::detail
