// Run loops, queues, timers, groups and operation queues on plain threads.
//
// Every process-wide object here (main run loop, worker pool, deadline scheduler, global queue
// objects) is allocated once and never freed: without an orderly shutdown, worker threads
// may still be waiting on these objects' mutexes when the process exits.
#include "qmplatform/dispatch.hpp"
#include "qmbase/no_destructor.hpp"

#include "lifetime.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace qm::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kMaxWaitSeconds = 1e8;  // keeps real-time deadlines far from overflow
constexpr double kMinTimerInterval = 1e-4;
constexpr int kMaxWorkerThreads = 64;
constexpr auto kWorkerIdleExit = std::chrono::seconds(5);
// runUntil also re-checks its condition this often, for conditions changed outside queues.
constexpr auto kRunUntilRecheck = std::chrono::milliseconds(50);

SteadyClock::duration realDuration(double seconds) {
    seconds = std::clamp(std::isnan(seconds) ? 0.0 : seconds, 0.0, kMaxWaitSeconds);
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

void runBlock(const Block& block) {
    if (!block) return;
    try {
        block();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quelmar: a queued block threw: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "quelmar: a queued block threw\n");
    }
}

// Blocks queued or running on global and serial queues, and operations not yet finished.
std::atomic<long> gInFlight{0};
std::atomic<long> gPendingOperations{0};

bool isInitialThread() {
    thread_local const bool initial = ::syscall(SYS_gettid) == ::getpid();
    return initial;
}

// ---------------------------------------------------------------------------------------------
struct MainLoopState {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Block> blocks;
    std::uint64_t generation = 0;  // bumped on every enqueue and every finished background block
    std::atomic<std::thread::id> mainThread{};

    // The waiter is woken after the lock is released, so that it does not wake only to wait
    // for the lock (the state is never destroyed, so notifying outside the lock is safe).
    void enqueue(Block block) {
        {
            std::lock_guard lock(mutex);
            blocks.push_back(std::move(block));
            ++generation;
        }
        changed.notify_all();
    }
    void wake() {
        {
            std::lock_guard lock(mutex);
            ++generation;
        }
        changed.notify_all();
    }
    std::optional<Block> pop() {
        std::lock_guard lock(mutex);
        if (blocks.empty()) return std::nullopt;
        Block block = std::move(blocks.front());
        blocks.pop_front();
        return block;
    }
};

MainLoopState& mainLoop() {
    static NoDestructor<MainLoopState> state;
    return *state;
}

void finishBackgroundBlock() {
    gInFlight.fetch_sub(1);
    mainLoop().wake();
}

// ---------------------------------------------------------------------------------------------
// The elastic worker pool behind the global and serial queues. Workers end after a while
// without work; the shutdown lets them run what is queued and joins them.
class WorkerPool {
public:
    static WorkerPool& instance() {
        static NoDestructor<WorkerPool> pool;
        return *pool;
    }

    void submit(Priority priority, Block task) {
        std::vector<std::thread> ended;  // joined after the lock is released
        {
            std::lock_guard lock(mutex_);
            queues_[static_cast<std::size_t>(priority)].push_back(std::move(task));
            ++queued_;
            ended = takeEnded();
            // Every queued task should have a thread free to take it; otherwise start one.
            if (queued_ > idle_ && threads_ < kMaxWorkerThreads) {
                try {
                    std::thread worker([this] { work(); });
                    workers_.emplace(worker.get_id(), std::move(worker));
                    ++threads_;
                } catch (...) {
                    // No thread now: a running worker or the next submit takes the task.
                }
            }
            if (idle_ > 0) available_.notify_one();
        }
        for (auto& thread : ended) thread.join();
    }

    // Lets the workers run what is queued, then joins them. Workers still busy at the
    // deadline are left running (detached). Called on a worker it cannot wait for itself.
    bool shutdown(SteadyClock::time_point deadline, bool onWorker) {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        available_.notify_all();
        const int self = onWorker ? 1 : 0;
        const bool ended = changed_.wait_until(lock, deadline, [&] { return threads_ <= self; });
        std::vector<std::thread> joinable = takeEnded();
        std::vector<std::thread> busy;
        if (!ended) {
            for (auto& [id, thread] : workers_) {
                if (id != std::this_thread::get_id()) busy.push_back(std::move(thread));
            }
            std::erase_if(workers_, [](const auto& entry) { return !entry.second.joinable(); });
        }
        stopping_ = false;
        lock.unlock();
        for (auto& thread : joinable) thread.join();
        for (auto& thread : busy) thread.detach();
        return ended;
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (queued_ > 0) {
                Block task;
                for (auto& queue : queues_) {
                    if (!queue.empty()) {
                        task = std::move(queue.front());
                        queue.pop_front();
                        break;
                    }
                }
                --queued_;
                lock.unlock();
                runBlock(task);
                task = nullptr;
                lock.lock();
                continue;
            }
            if (stopping_) break;
            ++idle_;
            const bool gotWork = available_.wait_for(lock, kWorkerIdleExit, [&] { return queued_ > 0 || stopping_; });
            --idle_;
            if (!gotWork) break;
        }
        // Joined by the next submit or the shutdown; nothing of this thread runs after this.
        --threads_;
        ended_.push_back(std::this_thread::get_id());
        changed_.notify_all();
    }

    // Handles of workers that have left work(); the caller joins them.
    std::vector<std::thread> takeEnded() {
        std::vector<std::thread> ended;
        for (const auto id : ended_) {
            auto it = workers_.find(id);
            if (it == workers_.end()) continue;
            ended.push_back(std::move(it->second));
            workers_.erase(it);
        }
        ended_.clear();
        return ended;
    }

    std::mutex mutex_;
    std::condition_variable available_;
    std::condition_variable changed_;  // a worker ended
    std::array<std::deque<Block>, 4> queues_;  // by Priority, highest first
    std::size_t queued_ = 0;
    int threads_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    std::map<std::thread::id, std::thread> workers_;
    std::vector<std::thread::id> ended_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
namespace detail {

struct QueueImpl {
    enum class Kind { Main, Global, Serial };
    Kind kind;
    Priority priority = Priority::Default;
    std::string label;

    // Serial queues only.
    std::mutex mutex;
    std::deque<Block> blocks;
    bool draining = false;

    QueueImpl(Kind k, Priority p, std::string l) : kind(k), priority(p), label(std::move(l)) {}
};

}  // namespace detail

namespace {

using detail::QueueImpl;

thread_local QueueImpl* tCurrentQueue = nullptr;

struct CurrentQueueScope {
    QueueImpl* previous;
    explicit CurrentQueueScope(QueueImpl* queue) : previous(tCurrentQueue) { tCurrentQueue = queue; }
    ~CurrentQueueScope() { tCurrentQueue = previous; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
};

void drainSerial(const std::shared_ptr<QueueImpl>& queue) {
    for (;;) {
        Block block;
        {
            std::lock_guard lock(queue->mutex);
            if (queue->blocks.empty()) {
                queue->draining = false;
                return;
            }
            block = std::move(queue->blocks.front());
            queue->blocks.pop_front();
        }
        {
            CurrentQueueScope scope(queue.get());
            runBlock(block);
            block = nullptr;
        }
        finishBackgroundBlock();
    }
}

void enqueue(const std::shared_ptr<QueueImpl>& queue, Block block) {
    switch (queue->kind) {
    case QueueImpl::Kind::Main:
        mainLoop().enqueue(std::move(block));
        return;
    case QueueImpl::Kind::Global:
        gInFlight.fetch_add(1);
        WorkerPool::instance().submit(queue->priority, [queue, block = std::move(block)]() mutable {
            {
                CurrentQueueScope scope(queue.get());
                runBlock(block);
                block = nullptr;
            }
            finishBackgroundBlock();
        });
        return;
    case QueueImpl::Kind::Serial: {
        gInFlight.fetch_add(1);
        bool start = false;
        {
            std::lock_guard lock(queue->mutex);
            queue->blocks.push_back(std::move(block));
            start = !queue->draining;
            queue->draining = true;
        }
        if (start) WorkerPool::instance().submit(Priority::Default, [queue] { drainSerial(queue); });
        return;
    }
    }
}

// A one-shot flag a thread can wait for.
struct Completion {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    void signal() {
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done; });
    }
};

// ---------------------------------------------------------------------------------------------
}  // namespace

struct TimerAccess {
    static void tick(Timer& timer) { timer.runTick(); }
};

namespace {

// Timers and delayed blocks waiting for their deadline on the current clock.
class DeadlineScheduler {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static DeadlineScheduler& instance() {
        static NoDestructor<DeadlineScheduler> scheduler;
        return *scheduler;
    }

    void scheduleBlock(double seconds, std::shared_ptr<QueueImpl> queue, Block block) {
        std::lock_guard lock(mutex_);
        const double deadline = clock_->now().seconds + seconds;
        entries_.emplace(Key{deadline, nextSequence_++}, Entry{std::move(queue), std::move(block), nullptr});
        startThreadLocked();
        changed_.notify_all();
    }

    void scheduleTimer(std::shared_ptr<Timer> timer) {
        std::lock_guard lock(mutex_);
        const double deadline = clock_->now().seconds + timer->interval();
        entries_.emplace(Key{deadline, nextSequence_++}, Entry{nullptr, nullptr, std::move(timer)});
        startThreadLocked();
        changed_.notify_all();
    }

    void removeTimer(const Timer* timer) {
        std::vector<Entry> removed;  // destroyed after the lock is released
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (it->second.timer.get() == timer) {
                removed.push_back(std::move(it->second));
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::optional<Date> earliest() {
        std::lock_guard lock(mutex_);
        if (entries_.empty()) return std::nullopt;
        return Date{entries_.begin()->first.first};
    }

    bool hasDue() {
        std::lock_guard lock(mutex_);
        return !entries_.empty() && entries_.begin()->first.first <= clock_->now().seconds;
    }

    void releaseDue(double now) {
        std::vector<Entry> due;
        {
            std::lock_guard lock(mutex_);
            while (!entries_.empty() && entries_.begin()->first.first <= now) {
                auto node = entries_.extract(entries_.begin());
                const double deadline = node.key().first;
                Entry& entry = node.mapped();
                if (entry.timer && entry.timer->repeats() && entry.timer->isValid()) {
                    const double interval = entry.timer->interval();
                    double next = deadline + interval;
                    if (next <= now) next = deadline + interval * (std::floor((now - deadline) / interval) + 1);
                    if (next <= now) next = std::nextafter(now, HUGE_VAL);
                    entries_.emplace(Key{next, nextSequence_++}, Entry{nullptr, nullptr, entry.timer});
                }
                due.push_back(std::move(entry));
            }
        }
        for (Entry& entry : due) {
            if (entry.timer) {
                mainLoop().enqueue([timer = std::move(entry.timer)] { TimerAccess::tick(*timer); });
            } else {
                enqueue(entry.queue, std::move(entry.block));
            }
        }
    }

    // Ends the deadline thread; what is scheduled stays and is released once the scheduler is
    // used again. The thread only waits and moves due blocks to their queues, so it ends at once.
    bool shutdown() {
        std::thread thread;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            thread = std::move(thread_);
            changed_.notify_all();
        }
        if (thread.joinable()) thread.join();
        std::lock_guard lock(mutex_);
        stopping_ = false;
        if (!entries_.empty()) startThreadLocked();
        return true;
    }

    void setClock(std::shared_ptr<Clock> clock) {
        std::lock_guard lock(mutex_);
        driven_ = clock->drivesTimers();
        clock_ = std::move(clock);
        changed_.notify_all();
    }

private:
    using Key = std::pair<double, std::uint64_t>;  // deadline, then order of scheduling
    struct Entry {
        std::shared_ptr<QueueImpl> queue;
        Block block;
        std::shared_ptr<Timer> timer;
    };

    DeadlineScheduler() : clock_(Clock::current()) { driven_ = clock_->drivesTimers(); }

    // The deadline thread starts with the first deadline (again after a shutdown).
    void startThreadLocked() {
        if (thread_.joinable() || stopping_) return;
        try {
            thread_ = std::thread([this] { waitForDeadlines(); });
        } catch (...) {
            // No thread: deadlines of a real clock wait for the next schedule to try again.
        }
    }

    // Releases deadlines of a clock that moves by itself as they pass. A clock that drives its
    // timers releases them itself (Scheduler::releaseDue).
    void waitForDeadlines() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (driven_ || entries_.empty()) {
                changed_.wait(lock);
                continue;
            }
            const double now = clock_->now().seconds;
            const double first = entries_.begin()->first.first;
            if (first <= now) {
                lock.unlock();
                releaseDue(now);
                lock.lock();
                continue;
            }
            changed_.wait_for(lock, realDuration(first - now));
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<Key, Entry> entries_;
    std::uint64_t nextSequence_ = 0;
    std::shared_ptr<Clock> clock_;
    bool driven_ = false;  // the clock releases its deadlines itself
    bool stopping_ = false;
    std::thread thread_;
};

bool isIdle() {
    {
        MainLoopState& loop = mainLoop();
        std::lock_guard lock(loop.mutex);
        if (!loop.blocks.empty()) return false;
    }
    return gInFlight.load() == 0 && gPendingOperations.load() == 0 && !DeadlineScheduler::instance().hasDue();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
std::optional<Date> Scheduler::earliestDeadline() { return DeadlineScheduler::instance().earliest(); }

void Scheduler::releaseDue(Date now) { DeadlineScheduler::instance().releaseDue(now.seconds); }

void detail::clockChanged(std::shared_ptr<Clock> clock) { DeadlineScheduler::instance().setClock(std::move(clock)); }

bool detail::stopQueues(const Deadline& deadline) {
    const bool onWorker = tCurrentQueue != nullptr && tCurrentQueue->kind != QueueImpl::Kind::Main;
    bool finished = WorkerPool::instance().shutdown(deadline.at(), onWorker);
    finished = DeadlineScheduler::instance().shutdown() && finished;
    return finished;
}

// ---------------------------------------------------------------------------------------------
RunLoop& RunLoop::main() {
    static NoDestructor<RunLoop> loop;
    return *loop;
}

void RunLoop::setMainThread() { mainLoop().mainThread.store(std::this_thread::get_id()); }

bool RunLoop::isMainThread() const {
    const std::thread::id declared = mainLoop().mainThread.load();
    if (declared != std::thread::id()) return declared == std::this_thread::get_id();
    return isInitialThread();
}

std::size_t RunLoop::runOnce() {
    if (!isMainThread()) return 0;
    MainLoopState& loop = mainLoop();
    std::size_t queued;
    {
        std::lock_guard lock(loop.mutex);
        queued = loop.blocks.size();
    }
    std::size_t ran = 0;
    while (ran < queued) {
        std::optional<Block> block = loop.pop();
        if (!block) break;
        runBlock(*block);
        ++ran;
    }
    return ran;
}

bool RunLoop::runUntil(const std::function<bool()>& done, double realTimeoutSeconds) {
    if (!isMainThread()) return done();
    MainLoopState& loop = mainLoop();
    const auto deadline = SteadyClock::now() + realDuration(realTimeoutSeconds);
    for (;;) {
        std::uint64_t generation;
        {
            std::lock_guard lock(loop.mutex);
            generation = loop.generation;
        }
        if (done()) return true;
        Block block;
        {
            std::unique_lock lock(loop.mutex);
            if (loop.blocks.empty()) {
                const auto now = SteadyClock::now();
                if (now >= deadline) break;
                loop.changed.wait_until(lock, std::min(deadline, now + kRunUntilRecheck),
                                        [&] { return !loop.blocks.empty() || loop.generation != generation; });
                continue;
            }
            block = std::move(loop.blocks.front());
            loop.blocks.pop_front();
        }
        runBlock(block);
    }
    return done();
}

void RunLoop::runFor(double seconds) {
    if (!isMainThread()) return;
    std::shared_ptr<Clock> clock = Clock::current();
    if (clock->drivesTimers()) {
        clock->advance(seconds);  // a manual clock drains the main queue after every deadline
        return;
    }
    runUntil([] { return false; }, seconds);
}

bool RunLoop::runUntilIdle(double realTimeoutSeconds) {
    if (!isMainThread()) return false;
    return runUntil(isIdle, realTimeoutSeconds);
}

std::size_t RunLoop::pendingBlocks() const {
    MainLoopState& loop = mainLoop();
    std::lock_guard lock(loop.mutex);
    return loop.blocks.size();
}

// ---------------------------------------------------------------------------------------------
Queue Queue::main() {
    static auto* impl = new std::shared_ptr<QueueImpl>(
        std::make_shared<QueueImpl>(QueueImpl::Kind::Main, Priority::Default, "main"));
    return Queue(*impl);
}

Queue Queue::global(Priority priority) {
    static auto* impls = new std::array<std::shared_ptr<QueueImpl>, 4>{
        std::make_shared<QueueImpl>(QueueImpl::Kind::Global, Priority::High, "global.high"),
        std::make_shared<QueueImpl>(QueueImpl::Kind::Global, Priority::Default, "global.default"),
        std::make_shared<QueueImpl>(QueueImpl::Kind::Global, Priority::Low, "global.low"),
        std::make_shared<QueueImpl>(QueueImpl::Kind::Global, Priority::Background, "global.background"),
    };
    const auto index = static_cast<std::size_t>(priority);
    return Queue((*impls)[index < impls->size() ? index : 1]);
}

Queue Queue::serial(std::string label) {
    return Queue(std::make_shared<QueueImpl>(QueueImpl::Kind::Serial, Priority::Default, std::move(label)));
}

void Queue::async(Block block) const { enqueue(impl_, std::move(block)); }

void Queue::asyncAfter(double seconds, Block block) const {
    if (!(seconds > 0)) {
        enqueue(impl_, std::move(block));
        return;
    }
    DeadlineScheduler::instance().scheduleBlock(seconds, impl_, std::move(block));
}

void Queue::sync(const Block& block) const {
    switch (impl_->kind) {
    case QueueImpl::Kind::Main:
        if (RunLoop::main().isMainThread()) {
            runBlock(block);
            return;
        }
        break;
    case QueueImpl::Kind::Global: {
        gInFlight.fetch_add(1);
        {
            CurrentQueueScope scope(impl_.get());
            runBlock(block);
        }
        finishBackgroundBlock();
        return;
    }
    case QueueImpl::Kind::Serial:
        if (tCurrentQueue == impl_.get()) {
            runBlock(block);
            return;
        }
        break;
    }
    auto completion = std::make_shared<Completion>();
    enqueue(impl_, [&block, completion] {
        runBlock(block);
        completion->signal();
    });
    completion->wait();
}

bool Queue::isMain() const { return impl_->kind == QueueImpl::Kind::Main; }

bool Queue::isCurrent() const {
    if (isMain()) return RunLoop::main().isMainThread();
    return tCurrentQueue == impl_.get();
}

const std::string& Queue::label() const { return impl_->label; }

// ---------------------------------------------------------------------------------------------
struct Timer::Impl {
    double interval;
    bool repeats;
    Tick tick;
    Value userInfo;
    std::atomic<bool> valid{true};
};

Timer::Timer(double interval, bool repeats, Tick tick, Value userInfo)
    : impl_(new Impl{std::isnan(interval) ? kMinTimerInterval : std::max(interval, kMinTimerInterval), repeats,
                     std::move(tick), std::move(userInfo)}) {}

Timer::~Timer() = default;

const Value& Timer::userInfo() const { return impl_->userInfo; }
double Timer::interval() const { return impl_->interval; }
bool Timer::repeats() const { return impl_->repeats; }

std::shared_ptr<Timer> Timer::scheduled(double interval, bool repeats, Tick tick, Value userInfo) {
    auto timer = std::make_shared<Timer>(interval, repeats, std::move(tick), std::move(userInfo));
    DeadlineScheduler::instance().scheduleTimer(timer);
    return timer;
}

void Timer::runTick() {
    if (!impl_->valid.load()) return;
    if (impl_->tick) {
        try {
            impl_->tick(*this);
        } catch (...) {
            std::fprintf(stderr, "quelmar: a timer tick threw\n");
        }
    }
    if (!impl_->repeats) invalidate();
}

void Timer::fire() { runTick(); }

void Timer::invalidate() {
    if (impl_->valid.exchange(false)) DeadlineScheduler::instance().removeTimer(this);
}

bool Timer::isValid() const { return impl_->valid.load(); }

// ---------------------------------------------------------------------------------------------
struct Group::State {
    std::mutex mutex;
    std::condition_variable empty;
    long count = 0;
    std::vector<std::pair<Queue, Block>> notifications;

    static void leave(const std::shared_ptr<State>& state) {
        std::vector<std::pair<Queue, Block>> ready;
        {
            std::lock_guard lock(state->mutex);
            if (state->count == 0) return;
            if (--state->count > 0) return;
            ready.swap(state->notifications);
            state->empty.notify_all();
        }
        for (auto& [queue, block] : ready) queue.async(std::move(block));
    }
};

Group::Group() : state_(std::make_shared<State>()) {}

void Group::enter() {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void Group::leave() { State::leave(state_); }

void Group::async(const Queue& queue, Block block) {
    enter();
    queue.async([state = state_, block = std::move(block)] {
        runBlock(block);
        State::leave(state);
    });
}

void Group::notify(const Queue& queue, Block block) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifications.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue.async(std::move(block));
}

bool Group::wait(double realTimeoutSeconds) {
    std::unique_lock lock(state_->mutex);
    return state_->empty.wait_for(lock, realDuration(realTimeoutSeconds), [&] { return state_->count == 0; });
}

// ---------------------------------------------------------------------------------------------
struct Semaphore::State {
    std::mutex mutex;
    std::condition_variable available;
    long count = 0;
};

Semaphore::Semaphore(long initial) : state_(std::make_shared<State>()) { state_->count = initial; }

void Semaphore::signal() {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
    state_->available.notify_one();
}

bool Semaphore::wait(double realTimeoutSeconds) {
    std::unique_lock lock(state_->mutex);
    if (!state_->available.wait_for(lock, realDuration(realTimeoutSeconds), [&] { return state_->count > 0; }))
        return false;
    --state_->count;
    return true;
}

// ---------------------------------------------------------------------------------------------
struct Operation::Impl {
    Block block;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> added{false};
    std::atomic<int> state{kReady};
};

Operation::Operation() : impl_(std::make_unique<Impl>()) {}
Operation::Operation(Block block) : Operation() { impl_->block = std::move(block); }
Operation::~Operation() = default;

void Operation::setBlock(Block block) {
    if (!impl_->added.load()) impl_->block = std::move(block);
}

void Operation::cancel() { impl_->cancelled.store(true); }
bool Operation::isCancelled() const { return impl_->cancelled.load(); }
bool Operation::isExecuting() const { return impl_->state.load() == kExecuting; }
bool Operation::isFinished() const { return impl_->state.load() == kFinished; }

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
    mutable std::mutex mutex;
    std::condition_variable finished;
    std::string name;
    bool onMain = false;
    int maxConcurrent = -1;
    std::deque<std::shared_ptr<Operation>> waiting;
    std::vector<std::shared_ptr<Operation>> running;

    static void finish(Operation& operation) {
        operation.impl_->block = nullptr;  // drops whatever the block holds
        operation.impl_->state.store(Operation::kFinished);
        gPendingOperations.fetch_sub(1);
    }

    // Moves waiting operations to running while the limit allows; returns those to start.
    // Cancelled ones finish on the way without running. Called with the mutex held.
    std::vector<std::shared_ptr<Operation>> takeStartable() {
        std::vector<std::shared_ptr<Operation>> start;
        while (!waiting.empty() && (maxConcurrent <= 0 || running.size() < static_cast<std::size_t>(maxConcurrent))) {
            std::shared_ptr<Operation> operation = std::move(waiting.front());
            waiting.pop_front();
            if (operation->isCancelled()) {
                finish(*operation);
                continue;
            }
            running.push_back(operation);
            start.push_back(std::move(operation));
        }
        if (waiting.empty() && running.empty()) finished.notify_all();
        return start;
    }

    void start(std::vector<std::shared_ptr<Operation>> operations) {
        const Queue target = onMain ? Queue::main() : Queue::global(Priority::Default);
        for (auto& operation : operations) {
            target.async([self = shared_from_this(), operation = std::move(operation)] { self->run(operation); });
        }
    }

    void run(const std::shared_ptr<Operation>& operation) {
        if (!operation->isCancelled()) {
            operation->impl_->state.store(Operation::kExecuting);
            runBlock(operation->impl_->block);
        }
        std::vector<std::shared_ptr<Operation>> next;
        {
            std::lock_guard lock(mutex);
            running.erase(std::remove(running.begin(), running.end(), operation), running.end());
            finish(*operation);
            next = takeStartable();
        }
        start(std::move(next));
    }
};

OperationQueue::OperationQueue(std::string name) : state_(std::make_shared<State>()) {
    state_->name = std::move(name);
}

OperationQueue& OperationQueue::main() {
    static OperationQueue* queue = [] {
        auto* q = new OperationQueue("main");
        q->state_->onMain = true;
        q->state_->maxConcurrent = 1;
        return q;
    }();
    return *queue;
}

const std::string& OperationQueue::name() const { return state_->name; }

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    std::vector<std::shared_ptr<Operation>> start;
    {
        std::lock_guard lock(state_->mutex);
        state_->maxConcurrent = count;
        start = state_->takeStartable();
    }
    state_->start(std::move(start));
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->maxConcurrent;
}

bool OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    if (!operation || operation->impl_->added.exchange(true)) return false;
    gPendingOperations.fetch_add(1);
    std::vector<std::shared_ptr<Operation>> start;
    {
        std::lock_guard lock(state_->mutex);
        state_->waiting.push_back(std::move(operation));
        start = state_->takeStartable();
    }
    state_->start(std::move(start));
    return true;
}

std::shared_ptr<Operation> OperationQueue::addOperation(Block block) {
    auto operation = std::make_shared<Operation>(std::move(block));
    addOperation(operation);
    return operation;
}

void OperationQueue::cancelAllOperations() {
    std::vector<std::shared_ptr<Operation>> dropped;  // released after the lock
    {
        std::lock_guard lock(state_->mutex);
        for (auto& operation : state_->waiting) {
            operation->cancel();
            dropped.push_back(operation);
            State::finish(*operation);
        }
        state_->waiting.clear();
        for (auto& operation : state_->running) operation->cancel();
        if (state_->running.empty()) state_->finished.notify_all();
    }
    mainLoop().wake();
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->waiting.size() + state_->running.size();
}

void OperationQueue::waitUntilAllOperationsAreFinished() { waitUntilAllOperationsAreFinished(kMaxWaitSeconds); }

bool OperationQueue::waitUntilAllOperationsAreFinished(double realTimeoutSeconds) {
    if (state_->onMain && RunLoop::main().isMainThread()) {
        return RunLoop::main().runUntil([this] { return operationCount() == 0; }, realTimeoutSeconds);
    }
    std::unique_lock lock(state_->mutex);
    return state_->finished.wait_for(lock, realDuration(realTimeoutSeconds),
                                     [&] { return state_->waiting.empty() && state_->running.empty(); });
}

}  // namespace qm::platform
