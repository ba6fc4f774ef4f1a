// The clock every part of the library reads "now" from. Production uses the system clock;
// tests install a ManualClock and drive time forward explicitly.
//
// Timers and delayed blocks (dispatch.hpp) are scheduled against the current clock. With the
// system clock a timer thread releases them when their deadline passes; with a ManualClock
// nothing is released until the test moves the clock past the deadline.
#pragma once

#include <atomic>
#include <memory>

#include "quelmar/value.hpp"

namespace qm::platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;

    // The process-wide clock (the system clock unless replaced). Safe from any thread.
    static std::shared_ptr<Clock> current();
    // Replaces the process-wide clock; a null clock restores the system clock. Pending timers
    // and delayed blocks keep their deadlines as absolute dates on the new clock.
    static void setCurrent(std::shared_ptr<Clock> clock);
    // Shorthand for current()->now().
    static Date currentDate();
};

class SystemClock final : public Clock {
public:
    Date now() const override;
};

// A clock that only moves when told to. While it is the current clock, moving it forward
// releases the timers and delayed blocks that fall due, one deadline at a time and in deadline
// order: at each deadline "now" is that deadline, the due blocks are put on their queues (a
// repeating timer is rescheduled one interval later), and, when the caller is the main
// thread, the main run loop is drained before the next deadline is looked at. So a tick that
// schedules more work, or invalidates its timer, takes effect before later deadlines.
// Work released onto global or serial queues runs there; wait for it with
// RunLoop::main().runUntil(...).
//
// A block that keeps re-posting itself to the main queue makes the drain never end; don't.
class ManualClock final : public Clock {
public:
    explicit ManualClock(Date start = Date{}) : now_(start.seconds) {}

    Date now() const override;
    // Moves the clock to `date`. Moving forward behaves like advance(); moving backward only
    // changes "now" (nothing is released).
    void set(Date date);
    // Moves the clock forward by `seconds` (zero or negative: only releases what is already
    // due).
    void advance(double seconds);

private:
    void advanceTo(Date target);
    void raiseTo(double seconds);

    std::atomic<double> now_;
};

}  // namespace qm::platform
