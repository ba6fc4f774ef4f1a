// The clock every part of the library reads "now" from. Production uses the system clock;
// tests install a manual clock (platform/testing) and drive time forward explicitly.
//
// Timers and delayed blocks (dispatch.hpp) are scheduled against the current clock. With the
// system clock a timer thread releases them when their deadline passes; with a clock that
// drives its timers nothing is released until that clock moves past the deadline.
#pragma once

#include <memory>

#include "quelmar/value.hpp"

namespace qm::platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;

    // False for a clock that moves by itself: the platform's timer thread releases timers and
    // delayed blocks as their deadlines pass. True for a clock that moves only when told to:
    // the timer thread leaves its deadlines alone, the clock releases them itself through
    // Scheduler::releaseDue as it moves, and RunLoop::runFor moves it with advance() instead
    // of waiting in real time.
    virtual bool drivesTimers() const { return false; }
    // Moves a clock that drives its timers forward by `seconds`, releasing what falls due on
    // the way. A clock that moves by itself ignores it.
    virtual void advance(double seconds) { (void)seconds; }

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

}  // namespace qm::platform
