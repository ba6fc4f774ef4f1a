#include "qmplatform/clock.hpp"

#include <chrono>
#include <mutex>

#include "qmplatform/dispatch.hpp"
#include "qmbase/no_destructor.hpp"

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

}  // namespace qm::platform
