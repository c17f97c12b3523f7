#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <vector>

TEST(SerialQueue, RunsBlocksInOrderAndStopWaitsForTheRunningOne)
{
    SerialQueue queue("thread-safe-test");
    std::vector<int> order;
    for (int i = 0; i < 100; ++i)
        queue.async([&order, i] { order.push_back(i); });
    std::promise<void> started;
    std::promise<void> release;
    std::atomic<bool> finished{false};
    queue.async([&, released = release.get_future().share()] {
        started.set_value();
        released.wait();
        finished = true;
    });
    started.get_future().wait();
    std::thread stopper([&] {
        queue.stop();
        EXPECT_TRUE(finished);
    });
    release.set_value();
    stopper.join();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(queue.async([] {}));
}

TEST(SerialQueue, StopFromItsOwnBlockDropsThePendingBlocksAndTheOwnerJoins)
{
    // Queued behind the stopping block, or refused: either way dropped unrun, which breaks its promise.
    auto pending = std::make_shared<std::promise<void>>();
    auto pendingDone = pending->get_future();
    {
        SerialQueue queue("thread-safe-test");
        std::promise<bool> refusedInside;
        queue.async([&] {
            queue.stop();
            refusedInside.set_value(!queue.async([] {}));
        });
        queue.async([pending = std::move(pending)] { pending->set_value(); });
        EXPECT_TRUE(refusedInside.get_future().get());
    }
    EXPECT_THROW(pendingDone.get(), std::future_error);
}

TEST(SerialQueueDeathTest, DestroyedByItsOwnBlockAbortsNamingTheQueue)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* owner = new std::shared_ptr<SerialQueue>(std::make_shared<SerialQueue>("thread-safe-test"));
            (*owner)->async([owner] { owner->reset(); });
            std::promise<void>().get_future().wait(); // the abort ends the process
        },
        "SerialQueue thread-safe-test destroyed by one of its own blocks");
}
