// A clock that only moves when told to, for tests.
//
// While it is the current clock (Clock::setCurrent, or the test host's configuration), moving
// it forward releases the timers and delayed blocks that fall due, one deadline at a time and
// in deadline order: at each deadline "now" is that deadline, the due blocks are put on their
// queues (a repeating timer is rescheduled one interval later), and, when the caller is the
// main thread, the main run loop is drained before the next deadline is looked at. So a tick
// that schedules more work, or invalidates its timer, takes effect before later deadlines.
// Work released onto global or serial queues runs there; wait for it with
// RunLoop::main().runUntil(...). RunLoop::main().runFor(seconds) advances it as well.
//
// A block that keeps re-posting itself to the main queue makes the drain never end; don't.
#pragma once

#include <atomic>

#include "qmplatform/clock.hpp"
#include "quelmar/value.hpp"

namespace qm::testkit {

class ManualClock final : public platform::Clock {
public:
    explicit ManualClock(Date start = Date{}) : now_(start.seconds) {}

    Date now() const override;
    bool drivesTimers() const override { return true; }
    // Moves the clock forward by `seconds` (zero or negative: only releases what is already
    // due).
    void advance(double seconds) override;
    // Moves the clock to `date`. Moving forward behaves like advance(); moving backward only
    // changes "now" (nothing is released).
    void set(Date date);

private:
    void advanceTo(Date target);
    void raiseTo(double seconds);

    std::atomic<double> now_;
};

}  // namespace qm::testkit
