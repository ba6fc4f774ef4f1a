#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "qmplatform/clock.hpp"
#include "qmplatform/dispatch.hpp"
#include "manual_clock.hpp"

using namespace qm::platform;
using qm::Date;
using qm::testkit::ManualClock;

namespace {

constexpr double kWait = 10;  // real-time bound for waits that should end far sooner

// Every test runs on a manual clock starting at 1000 s and leaves the queues idle.
class ManualTime : public ::testing::Test {
protected:
    void SetUp() override {
        clock = std::make_shared<ManualClock>(Date{1000});
        Clock::setCurrent(clock);
    }
    void TearDown() override {
        EXPECT_TRUE(RunLoop::main().runUntilIdle(kWait));
        Clock::setCurrent(nullptr);
    }
    std::shared_ptr<ManualClock> clock;
};

class ManualClockTest : public ManualTime {};
class RunLoopTest : public ManualTime {};
class DispatchTest : public ManualTime {};
class TimerTest : public ManualTime {};
class OperationQueueTest : public ManualTime {};

}  // namespace

TEST_F(ManualClockTest, DelayedBlocksRunInDeadlineOrderAtTheirDeadline) {
    std::vector<std::pair<int, double>> seen;  // (block, clock time it saw)
    auto record = [&](int id) { seen.emplace_back(id, Clock::currentDate().seconds); };
    Queue::main().asyncAfter(3, [&] { record(3); });
    Queue::main().asyncAfter(1, [&] {
        record(1);
        Queue::main().asyncAfter(1.5, [&] { record(25); });  // due at 1002.5, inside this advance
    });
    Queue::main().asyncAfter(2, [&] { record(2); });
    Queue::main().asyncAfter(10, [&] { record(10); });

    clock->advance(2.9);
    EXPECT_EQ(seen, (std::vector<std::pair<int, double>>{{1, 1001}, {2, 1002}, {25, 1002.5}}));
    EXPECT_DOUBLE_EQ(clock->now().seconds, 1002.9);

    clock->advance(0.1);  // exactly at the deadline counts
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.back(), std::make_pair(3, 1003.0));

    clock->set(Date{1009.5});
    EXPECT_EQ(seen.size(), 4u);
    RunLoop::main().runFor(0.5);  // a manual clock makes runFor advance it
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen.back(), std::make_pair(10, 1010.0));

    clock->set(Date{500});  // moving back only changes the time
    EXPECT_EQ(Clock::currentDate().seconds, 500);
}

TEST_F(ManualClockTest, DelayedGlobalWorkIsReleasedOnlyPastItsDeadline) {
    std::atomic<int> ran{0};
    Queue::global().asyncAfter(5, [&] { ran = 1; });
    clock->advance(4.99);
    EXPECT_TRUE(RunLoop::main().runUntilIdle(kWait));  // a future deadline is not pending work
    EXPECT_EQ(ran.load(), 0);
    clock->advance(0.01);
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return ran.load() == 1; }, kWait));
}

// The scheduler knows a test clock only through the Clock interface: a clock of any type that
// drives its timers is moved by runFor and releases deadlines through Scheduler::releaseDue.
TEST_F(ManualClockTest, AnyClockThatDrivesItsTimersIsHonoured) {
    class SteppingClock final : public Clock {
    public:
        Date now() const override { return Date{now_.load()}; }
        bool drivesTimers() const override { return true; }
        void advance(double seconds) override {
            now_.store(now_.load() + seconds);
            Scheduler::releaseDue(now());
            while (RunLoop::main().runOnce() > 0) {
            }
        }

    private:
        std::atomic<double> now_{2000};
    };
    auto stepping = std::make_shared<SteppingClock>();
    Clock::setCurrent(stepping);
    std::vector<double> seen;
    Queue::main().asyncAfter(1, [&] { seen.push_back(Clock::currentDate().seconds); });
    EXPECT_EQ(Scheduler::earliestDeadline(), std::optional<Date>(Date{2001}));
    RunLoop::main().runFor(0.5);
    EXPECT_TRUE(seen.empty());
    RunLoop::main().runFor(0.5);  // moves this clock, not real time
    EXPECT_EQ(seen, std::vector<double>{2001});
    EXPECT_FALSE(Scheduler::earliestDeadline());
}

TEST_F(RunLoopTest, MainQueueRunsInOrderAndOnlyWhatWasQueued) {
    std::vector<int> order;
    ASSERT_TRUE(RunLoop::main().isMainThread());
    for (int i = 1; i <= 3; ++i) {
        Queue::main().async([&order, i] {
            order.push_back(i);
            if (i == 2) Queue::main().async([&order] { order.push_back(4); });
        });
    }
    EXPECT_EQ(RunLoop::main().runOnce(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(RunLoop::main().pendingBlocks(), 1u);
    EXPECT_EQ(RunLoop::main().runOnce(), 1u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));

    bool inline_ = false;
    Queue::main().sync([&] { inline_ = true; });  // from the main thread: runs at once
    EXPECT_TRUE(inline_);
}

TEST_F(RunLoopTest, GlobalWorkComesBackToMain) {
    std::atomic<bool> workerWasMain{true};
    bool answerOnMain = false;
    int answer = 0;
    Queue::global(Priority::High).async([&] {
        workerWasMain = RunLoop::main().isMainThread();
        int sum = 0;
        for (int i = 1; i <= 100; ++i) sum += i;
        Queue::main().async([&, sum] {
            answerOnMain = RunLoop::main().isMainThread() && Queue::main().isCurrent();
            answer = sum;
        });
    });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return answer != 0; }, kWait));
    EXPECT_EQ(answer, 5050);
    EXPECT_TRUE(answerOnMain);
    EXPECT_FALSE(workerWasMain.load());

    // sync to main from a worker waits until the main thread has run it
    std::atomic<int> step{0};
    Queue::global().async([&] {
        Queue::main().sync([&] { step = 1; });
        step = step.load() * 10 + 2;
    });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return step.load() == 12; }, kWait));
}

TEST_F(RunLoopTest, RunUntilIdleWaitsForWorkInFlight) {
    // The global block cannot finish before a main block has run, so the run loop is empty
    // for a while with work still in flight.
    Semaphore mainRan;
    std::atomic<int> finished{0};
    Queue::global().async([&] {
        if (mainRan.wait(kWait)) Queue::serial("after").async([&] { finished = 1; });
    });
    Queue::main().async([&] { mainRan.signal(); });
    EXPECT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(finished.load(), 1);
}

TEST_F(DispatchTest, SerialQueueIsFifoAndExclusiveUnderConcurrency) {
    Queue serial = Queue::serial("fifo");
    constexpr int kProducers = 4, kEach = 250;
    std::mutex mutex;
    std::vector<std::vector<int>> seen(kProducers);
    std::atomic<int> active{0}, overlaps{0}, done{0};
    for (int p = 0; p < kProducers; ++p) {
        Queue::global().async([&, p] {
            for (int i = 0; i < kEach; ++i) {
                serial.async([&, p, i] {
                    if (active.fetch_add(1) != 0) overlaps.fetch_add(1);
                    EXPECT_TRUE(serial.isCurrent());
                    {
                        std::lock_guard lock(mutex);
                        seen[p].push_back(i);
                    }
                    active.fetch_sub(1);
                    done.fetch_add(1);
                });
            }
        });
    }
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return done.load() == kProducers * kEach; }, kWait));
    EXPECT_EQ(overlaps.load(), 0);
    std::lock_guard lock(mutex);
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), static_cast<std::size_t>(kEach));
        for (int i = 0; i < kEach; ++i) EXPECT_EQ(list[i], i);
    }
    int value = 0;
    serial.sync([&] { value = 7; });  // queued behind everything above, then waited for
    EXPECT_EQ(value, 7);
}

TEST_F(DispatchTest, GlobalPoolGrowsPastBlockedBlocks) {
    // Every block waits until all of them have started: a fixed pool smaller than this would
    // never let the last ones start.
    constexpr int kBlocks = 12;
    std::atomic<int> started{0}, released{0};
    Semaphore allStarted;
    for (int i = 0; i < kBlocks; ++i) {
        Queue::global(Priority::Low).async([&] {
            if (started.fetch_add(1) + 1 == kBlocks) {
                for (int j = 0; j < kBlocks; ++j) allStarted.signal();
            }
            if (allStarted.wait(kWait)) released.fetch_add(1);
        });
    }
    EXPECT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(released.load(), kBlocks);
}

TEST_F(DispatchTest, GroupNotifiesAfterEveryLeave) {
    Group group;
    std::atomic<int> work{0};
    bool notified = false;
    group.enter();  // held by the test
    for (int i = 0; i < 5; ++i) group.async(Queue::global(), [&] { work.fetch_add(1); });
    group.notify(Queue::main(), [&] { notified = work.load() == 5; });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return work.load() == 5; }, kWait));
    RunLoop::main().runUntilIdle(kWait);
    EXPECT_FALSE(notified);
    EXPECT_FALSE(group.wait(0));
    group.leave();
    group.leave();  // an extra leave is ignored
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return notified; }, kWait));
    EXPECT_TRUE(group.wait(0));

    bool late = false;  // notify on an empty group is queued at once
    group.notify(Queue::main(), [&] { late = true; });
    EXPECT_EQ(RunLoop::main().runOnce(), 1u);
    EXPECT_TRUE(late);
}

TEST_F(TimerTest, RepeatingTimerTicksEverySecondUntilItInvalidatesItself) {
    std::vector<double> ticks;
    std::weak_ptr<Timer> weak = Timer::scheduled(
        1.0, true,
        [&](Timer& timer) {
            ticks.push_back(Clock::currentDate().seconds);
            if (ticks.size() == 21) timer.invalidate();
        },
        qm::Value("counter"));
    ASSERT_FALSE(weak.expired());  // kept alive by the run loop, not by the caller
    EXPECT_EQ(weak.lock()->userInfo().string(), "counter");

    clock->advance(25);
    ASSERT_EQ(ticks.size(), 21u);
    for (std::size_t i = 0; i < ticks.size(); ++i) EXPECT_EQ(ticks[i], 1001.0 + static_cast<double>(i));
    EXPECT_TRUE(weak.expired());  // released once invalid
    EXPECT_EQ(clock->now().seconds, 1025);
}

TEST_F(TimerTest, FireRunsAtOnceAndOneShotTimersTickOnce) {
    int oneShot = 0, repeating = 0;
    auto once = Timer::scheduled(100, false, [&](Timer& t) { oneShot += t.isValid() ? 1 : 100; });
    auto every = Timer::scheduled(10, true, [&](Timer&) { ++repeating; });

    once->fire();
    EXPECT_EQ(oneShot, 1);
    EXPECT_FALSE(once->isValid());
    every->fire();
    EXPECT_EQ(repeating, 1);
    EXPECT_TRUE(every->isValid());  // firing keeps a repeating timer's schedule

    clock->advance(100);  // ticks at 1010 ... 1100; the fired one-shot never ticks again
    EXPECT_EQ(oneShot, 1);
    EXPECT_EQ(repeating, 11);

    every->invalidate();
    every->fire();
    clock->advance(50);
    EXPECT_EQ(repeating, 11);

    auto later = Timer::scheduled(5, false, [&](Timer&) { oneShot += 1000; });
    clock->advance(5);
    EXPECT_EQ(oneShot, 1001);
    EXPECT_FALSE(later->isValid());
}

TEST_F(OperationQueueTest, CancellationStopsPendingAndRunningOperations) {
    OperationQueue queue("work");
    queue.setMaxConcurrentOperationCount(1);
    Semaphore reachedChunk3, carryOn;
    std::atomic<int> chunksDone{0};

    auto first = std::make_shared<Operation>();
    first->setBlock([weak = std::weak_ptr<Operation>(first), &reachedChunk3, &carryOn, &chunksDone] {
        for (int chunk = 0; chunk < 100; ++chunk) {
            auto self = weak.lock();
            if (!self || self->isCancelled()) return;
            chunksDone.fetch_add(1);
            if (chunk == 3) {
                reachedChunk3.signal();
                carryOn.wait(kWait);
            }
        }
    });
    std::atomic<int> laterRan{0};
    ASSERT_TRUE(queue.addOperation(first));
    EXPECT_FALSE(queue.addOperation(first));  // an operation goes on one queue once
    auto second = queue.addOperation([&] { laterRan.fetch_add(1); });
    auto third = queue.addOperation([&] { laterRan.fetch_add(1); });

    ASSERT_TRUE(reachedChunk3.wait(kWait));
    EXPECT_TRUE(first->isExecuting());
    EXPECT_EQ(queue.operationCount(), 3u);
    queue.cancelAllOperations();
    EXPECT_TRUE(second->isFinished());  // waiting ones finish at once
    carryOn.signal();
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(kWait));

    EXPECT_EQ(chunksDone.load(), 4);  // chunks 0..3, then it saw the flag
    EXPECT_EQ(laterRan.load(), 0);
    for (const auto& op : {first, second, third}) {
        EXPECT_TRUE(op->isCancelled());
        EXPECT_TRUE(op->isFinished());
    }
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST_F(OperationQueueTest, MainQueueRunsOperationsOnTheMainThreadInOrder) {
    std::vector<int> order;
    auto skipped = std::make_shared<Operation>([&] { order.push_back(99); });
    skipped->cancel();  // cancelled before it starts: never runs
    OperationQueue::main().addOperation([&] { order.push_back(RunLoop::main().isMainThread() ? 1 : -1); });
    OperationQueue::main().addOperation(skipped);
    OperationQueue::main().addOperation([&] { order.push_back(2); });
    EXPECT_TRUE(OperationQueue::main().waitUntilAllOperationsAreFinished(kWait));  // pumps main
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(skipped->isFinished());
}

TEST_F(TimerTest, SystemClockDeadlinesAreReleasedByRealTime) {
    Clock::setCurrent(nullptr);
    const double start = Clock::currentDate().seconds;
    double delayedAt = 0;
    std::vector<double> ticks;
    Queue::main().asyncAfter(0.02, [&] { delayedAt = Clock::currentDate().seconds; });
    Timer::scheduled(0.01, true, [&](Timer& timer) {
        ticks.push_back(Clock::currentDate().seconds);
        if (ticks.size() == 3) timer.invalidate();
    });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return delayedAt != 0 && ticks.size() == 3; }, kWait));
    EXPECT_GE(delayedAt - start, 0.02 - 1e-6);
    EXPECT_GE(ticks.front() - start, 0.01 - 1e-6);
    EXPECT_TRUE(RunLoop::main().runUntilIdle(kWait));
    EXPECT_EQ(ticks.size(), 3u);
}
