// Run loops, queues, timers, groups and operation queues.
//
// The host calls the library on its main thread and pumps the main run loop (RunLoop::main())
// from there: a game loop, a UI toolkit's idle hook, or runUntil/runFor in a command-line
// host. Work the library defers goes to global queues (an elastic worker pool) or to serial
// queues (FIFO, one block at a time, on the same pool); answers come back to the main queue.
// Timers and delayed blocks follow the current clock (clock.hpp).
//
// Blocks must not throw; an exception escaping a block is caught and reported on stderr.
//
// Deadlock rules for the blocking calls (sync, Group::wait, Semaphore::wait,
// OperationQueue::waitUntilAllOperationsAreFinished):
//  - Queue::main().sync from a background thread waits for the main thread to pump the run
//    loop. If the main thread is itself blocked waiting for that background thread, both wait
//    forever (or until a timeout, for the calls that have one).
//  - sync onto the queue the caller is already running on (the main queue from the main
//    thread, a serial queue from one of its own blocks) runs the block inline instead of
//    deadlocking.
//  - Blocking the main thread never pumps the main run loop, except
//    OperationQueue::main().waitUntilAllOperationsAreFinished(), which pumps it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "qmplatform/clock.hpp"
#include "quelmar/value.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

using Block = std::function<void()>;

// ---------------------------------------------------------------------------------------------
// The main run loop: a serial queue of blocks run only by the main thread when it pumps.
class RunLoop {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static RunLoop& main();

    // The main thread is the process's initial thread unless a host that pumps the run loop
    // from another thread declares that thread with setMainThread().
    void setMainThread();
    bool isMainThread() const;

    // Pumping is for the main thread only; from another thread these calls run nothing and
    // return at once (runOnce: 0, runUntil: done(), runUntilIdle: false).

    // Runs the blocks queued at the moment of the call (not those they queue); returns how
    // many ran.
    std::size_t runOnce();
    // Runs blocks as they arrive until done() is true or realTimeoutSeconds of real time have
    // passed. Returns done().
    bool runUntil(const std::function<bool()>& done, double realTimeoutSeconds);
    // With the system clock: runs blocks for `seconds` of real time. With a clock that drives
    // its timers (a test's manual clock): advances that clock by `seconds` (releasing timers
    // and delayed blocks on the way) and drains the queue.
    void runFor(double seconds);
    // Runs until the main queue is empty, no block is queued or running on a global or serial
    // queue, and no operation queue has unfinished operations. Timers and delayed blocks
    // waiting for a future deadline are not pending work. Returns false on timeout.
    bool runUntilIdle(double realTimeoutSeconds);
    // The number of blocks waiting in the main queue.
    std::size_t pendingBlocks() const;

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

private:
    RunLoop() = default;
    ~RunLoop() = default;
};

// ---------------------------------------------------------------------------------------------
enum class Priority { High, Default, Low, Background };

namespace detail {
struct QueueImpl;
}

// A handle to a queue; copies refer to the same queue.
class Queue {
public:
    static Queue main();
    // The concurrent queue of a priority. Blocks of higher priority are taken first; the pool
    // starts a thread whenever every thread is busy (up to 64) so a blocked block never holds
    // up others, and lets idle threads end after a few seconds.
    static Queue global(Priority priority = Priority::Default);
    // A new serial queue: its blocks run one at a time, in the order they were added, on the
    // worker pool.
    static Queue serial(std::string label);

    void async(Block block) const;
    // Adds the block once `seconds` have passed on the current clock (at once if seconds <= 0).
    void asyncAfter(double seconds, Block block) const;
    // Runs the block on the queue and returns when it has finished. On a global queue the
    // block runs on the calling thread. See the deadlock rules above.
    void sync(const Block& block) const;

    bool isMain() const;
    // True when the calling thread is running a block of this queue (for the main queue: is
    // the main thread).
    bool isCurrent() const;
    const std::string& label() const;

    friend bool operator==(const Queue& a, const Queue& b) { return a.impl_ == b.impl_; }

private:
    explicit Queue(std::shared_ptr<detail::QueueImpl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<detail::QueueImpl> impl_;
};

// ---------------------------------------------------------------------------------------------
// A timer on the main run loop. Its ticks run on the main thread. The run loop keeps a valid
// timer alive; the caller need not hold it.
class Timer {
public:
    using Tick = std::function<void(Timer&)>;

    // Schedules a timer whose first tick is `interval` seconds from now on the current clock
    // (intervals below 0.1 ms count as 0.1 ms). A repeating timer ticks every interval until
    // invalidated (ticks it missed while late are skipped); a non-repeating one ticks once and
    // is then invalid.
    static std::shared_ptr<Timer> scheduled(double interval, bool repeats, Tick tick,
                                            Value userInfo = {});

    // Runs the tick now, on the calling thread. A non-repeating timer is invalidated after it;
    // a repeating timer keeps its schedule. Does nothing on an invalid timer.
    void fire();
    // Stops the timer for good; a tick already queued does not run. Safe from any thread.
    void invalidate();
    bool isValid() const;
    const Value& userInfo() const;
    double interval() const;
    bool repeats() const;

    Timer(double interval, bool repeats, Tick tick, Value userInfo);  // use scheduled()
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    friend struct TimerAccess;
    void runTick();

    struct Impl;
    const std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// A dispatch group: tracks work entered and left, and notifies once all of it has left.
// Copies share the same group.
class Group {
public:
    Group();

    void enter();
    // Leaving more often than entering is ignored.
    void leave();
    // enter(), run the block on the queue, leave().
    void async(const Queue& queue, Block block);
    // Adds the block to the queue once nothing is entered (at once if nothing is).
    void notify(const Queue& queue, Block block);
    // Waits up to realTimeoutSeconds of real time for everything to leave; true if it did.
    bool wait(double realTimeoutSeconds);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------
// A counting semaphore.
class Semaphore {
public:
    explicit Semaphore(long initial = 0);
    void signal();
    // Takes one count, waiting up to realTimeoutSeconds of real time for it; false on timeout.
    bool wait(double realTimeoutSeconds);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------
// An operation that runs a block once on an operation queue. The block receives nothing; one
// that wants to honour cancellation captures a std::weak_ptr to its operation and checks
// isCancelled() as it goes:
//     auto op = std::make_shared<Operation>();
//     op->setBlock([weak = std::weak_ptr<Operation>(op)] { ... if (auto o = weak.lock();
//         o && o->isCancelled()) return; ... });
class Operation {
public:
    Operation();
    explicit Operation(Block block);
    virtual ~Operation();

    // Sets the block; ignored once the operation has been added to a queue.
    void setBlock(Block block);

    // Marks the operation cancelled. One that has not started never runs its block; a running
    // one goes on until its block returns.
    void cancel();
    bool isCancelled() const;
    bool isExecuting() const;
    bool isFinished() const;

    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

private:
    friend class OperationQueue;
    static constexpr int kReady = 0, kExecuting = 1, kFinished = 2;

    struct Impl;
    const std::unique_ptr<Impl> impl_;
};

class OperationQueue {
public:
    // A queue whose operations run on the global queue (default priority).
    explicit OperationQueue(std::string name = {});
    // Operations on it run one at a time on the main run loop.
    static OperationQueue& main();

    const std::string& name() const;
    // How many operations may run at once; zero or negative means no limit of its own.
    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;

    // Adds an operation; false (and nothing added) for a null operation or one already added
    // to a queue.
    bool addOperation(std::shared_ptr<Operation> operation);
    std::shared_ptr<Operation> addOperation(Block block);
    // Cancels every operation waiting or running. Waiting ones finish at once without running.
    void cancelAllOperations();
    // Operations waiting or running.
    std::size_t operationCount() const;
    void waitUntilAllOperationsAreFinished();
    // As above with a real-time limit; false on timeout.
    bool waitUntilAllOperationsAreFinished(double realTimeoutSeconds);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------
// The deadlines of timers and delayed blocks. A clock that drives its timers
// (Clock::drivesTimers) releases them through these as it moves; the system clock's are
// released by the platform's timer thread.
class Scheduler {
public:
    // The earliest deadline among timers and delayed blocks, if any.
    static std::optional<Date> earliestDeadline();
    // Puts everything due at `now` on its queue (timer ticks on the main queue); repeating
    // timers are rescheduled one interval later (intervals missed are skipped). Any thread.
    static void releaseDue(Date now);

    Scheduler() = delete;
};

namespace detail {
// Tells the deadline scheduler which clock is now current (Clock::setCurrent).
void clockChanged(std::shared_ptr<Clock> clock);
}  // namespace detail

}  // namespace qm::platform
