// Runs the qm-webkit helper over a socketpair for a test, and waits on the socket (never a
// sleep) for its answers and events, each wait with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol.hpp"

namespace qm::webkit::testing {

using Milliseconds = std::chrono::milliseconds;

class HelperProcess {
public:
    HelperProcess() = default;
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;
    // Ends the helper if the test did not: end of file, then SIGKILL past a deadline.
    ~HelperProcess();

    // The built helper, or empty when the build has none.
    static std::string program();

    // Starts the helper; false (and *why) when it cannot run here.
    bool start(std::vector<std::string> extraArguments = {}, std::string* why = nullptr);
    // Waits for the first event: ready, or fatal (false, *why holds its message).
    bool waitReady(Milliseconds timeout, std::string* why);

    pid_t pid() const { return pid_; }
    const Event& ready() const { return ready_; }

    // Sends a request (its id is assigned here) and returns that id.
    std::int64_t send(Request request);
    void sendRaw(const std::string& bytes);
    // The answer to request `id`; events that arrive meanwhile are kept for waitEvent().
    std::optional<Response> waitAnswer(std::int64_t id, Milliseconds timeout = Milliseconds(20000));
    // send() and waitAnswer() in one.
    std::optional<Response> call(Request request, Milliseconds timeout = Milliseconds(20000));
    // The first event (kept or new) that matches; it and the events before it are consumed.
    std::optional<Event> waitEvent(const std::function<bool(const Event&)>& match,
                                   Milliseconds timeout = Milliseconds(20000));
    // Events received and not consumed.
    const std::deque<Event>& events() const { return events_; }

    // Closes the library's writing side: the helper sees end of file.
    void closeInput();
    // Waits for the helper to close its side and exit; its exit status, or nothing.
    std::optional<int> waitExit(Milliseconds timeout);

    // Lines that were not valid answers or events.
    const std::vector<std::string>& badLines() const { return badLines_; }

private:
    // Reads what arrived within the deadline into answers_/events_; false on end of file or
    // when the deadline passed with nothing new.
    bool pump(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int socket_ = -1;
    int pidfd_ = -1;
    bool eof_ = false;
    std::int64_t nextId_ = 1;
    LineSplitter lines_;
    std::deque<Event> events_;
    std::deque<Response> answers_;
    std::vector<std::string> badLines_;
    Event ready_;
};

}  // namespace qm::webkit::testing
