#include "manual_clock.hpp"

#include "qmplatform/dispatch.hpp"

namespace qm::testkit {

using platform::RunLoop;
using platform::Scheduler;

Date ManualClock::now() const { return Date{now_.load()}; }

void ManualClock::raiseTo(double seconds) {
    double current = now_.load();
    while (current < seconds && !now_.compare_exchange_weak(current, seconds)) {
    }
}

void ManualClock::set(Date date) {
    if (date.seconds > now_.load()) {
        advanceTo(date);
    } else {
        now_.store(date.seconds);
    }
}

void ManualClock::advance(double seconds) { advanceTo(now().adding(seconds > 0 ? seconds : 0)); }

void ManualClock::advanceTo(Date target) {
    RunLoop& loop = RunLoop::main();
    const bool onMain = loop.isMainThread();
    auto drain = [&] {
        if (onMain) {
            while (loop.runOnce() > 0) {
            }
        }
    };
    // Only the current clock owns the deadlines; another one just moves its own "now".
    if (platform::Clock::current().get() == this) {
        // One deadline at a time, so that whatever a released block does (schedule more work,
        // invalidate a timer) is in place before the next deadline is looked at.
        while (auto next = Scheduler::earliestDeadline()) {
            if (*next > target) break;
            raiseTo(next->seconds);
            Scheduler::releaseDue(now());
            drain();
        }
    }
    raiseTo(target.seconds);
    drain();
}

}  // namespace qm::testkit
