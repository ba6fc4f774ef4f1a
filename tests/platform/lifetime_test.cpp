// The platform's stop on its queues: what is queued runs before the stop returns, a block
// still busy at the deadline makes it report so, and the queues work again afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "qmplatform/configuration.hpp"
#include "qmplatform/dispatch.hpp"
#include "test_host.hpp"

using namespace qm::platform;

TEST(PlatformShutdown, QueuedBlocksRunFirstAndQueuesWorkAgainAfterwards) {
    qm::testkit::TestHost host;
    std::atomic<int> ran{0};
    const Queue serial = Queue::serial("qm.test.shutdown");
    for (int i = 0; i < 50; ++i) {
        Queue::global().async([&ran] { ran++; });
        serial.async([&ran, serial] {
            // A block that queues more work: that work runs too.
            serial.async([&ran] { ran++; });
        });
    }
    EXPECT_TRUE(shutdown(10));
    EXPECT_EQ(ran.load(), 100);

    Queue::global().async([&ran] { ran++; });
    Queue::main().asyncAfter(1, [&ran] { ran += 10; });
    EXPECT_TRUE(host.runUntil([&] { return ran.load() == 101; }));
    host.advance(1);  // the timer thread of the scheduler was ended and its deadlines kept
    EXPECT_EQ(ran.load(), 111);
}

TEST(PlatformShutdown, ABlockBusyAtTheDeadlineIsReported) {
    qm::testkit::TestHost host;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
    Queue::global().async([released, &finished] {
        released.wait();
        finished = true;
    });
    EXPECT_FALSE(shutdown(0.2));
    release.set_value();
    EXPECT_TRUE(host.runUntil([&] { return finished.load(); }));
    EXPECT_TRUE(host.runUntilIdle());
}
