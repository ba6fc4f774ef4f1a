// The steps of the platform's orderly shutdown (internal to the platform layer).
#pragma once

#include <algorithm>
#include <chrono>

namespace qm::platform::detail {

// A point in real time that a shutdown must not pass.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    explicit Deadline(double seconds)
        : at_(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, seconds)))) {}
    Clock::time_point at() const { return at_; }
    double remaining() const { return std::max(0.0, std::chrono::duration<double>(at_ - Clock::now()).count()); }
    bool passed() const { return Clock::now() >= at_; }

private:
    Clock::time_point at_;
};

// Lets running URL tasks finish until the deadline, cancels the rest (background tasks stay
// recorded) and joins the transport's thread. True when no task had to be cancelled.
bool stopTransport(const Deadline& deadline);
// Lets queued blocks of global and serial queues run, then joins the worker threads and the
// timer thread (timers stay scheduled for when the queues are used again). True when every
// thread ended before the deadline.
bool stopQueues(const Deadline& deadline);

}  // namespace qm::platform::detail
