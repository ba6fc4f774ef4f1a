#include "qmplatform/clock.hpp"

#include <chrono>
#include <mutex>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/no_destructor.hpp"

namespace qm::platform {

namespace {

// The process-wide clock. Intentionally leaked so that threads still running at exit never
// see a destroyed mutex.
struct ClockState {
    std::mutex mutex;
    std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    std::mutex setMutex;  // orders concurrent setCurrent() calls, held while telling the scheduler
};

ClockState& clockState() {
    static NoDestructor<ClockState> state;
    return *state;
}

}  // namespace

std::shared_ptr<Clock> Clock::current() {
    ClockState& state = clockState();
    std::lock_guard lock(state.mutex);
    return state.clock;
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
    if (!clock) clock = std::make_shared<SystemClock>();
    ClockState& state = clockState();
    std::lock_guard order(state.setMutex);
    {
        std::lock_guard lock(state.mutex);
        state.clock = clock;
    }
    detail::clockChanged(std::move(clock));
}

Date Clock::currentDate() { return current()->now(); }

Date SystemClock::now() const {
    using namespace std::chrono;
    const auto since = system_clock::now().time_since_epoch();
    return Date::fromUnix(duration<double>(since).count());
}

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

void ManualClock::advance(double seconds) {
    advanceTo(now().adding(seconds > 0 ? seconds : 0));
}

void ManualClock::advanceTo(Date target) {
    RunLoop& loop = RunLoop::main();
    const bool onMain = loop.isMainThread();
    auto drain = [&] {
        if (onMain) {
            while (loop.runOnce() > 0) {
            }
        }
    };
    if (Clock::current().get() == this) {
        // One deadline at a time, so that whatever a released block does (schedule more work,
        // invalidate a timer) is in place before the next deadline is looked at.
        while (auto next = detail::earliestDeadline()) {
            if (*next > target) break;
            raiseTo(next->seconds);
            detail::releaseDue(now());
            drain();
        }
    }
    raiseTo(target.seconds);
    drain();
}

}  // namespace qm::platform
