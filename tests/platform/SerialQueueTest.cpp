#include "platform/SerialQueue.h"

#include "support/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <vector>

TEST(SerialQueue, RunsBlocksInOrderAndSyncWaits)
{
    SerialQueue queue("thread-safe-test");
    std::vector<int> order;
    for (int i = 0; i < 100; ++i)
        queue.async([&order, i] { order.push_back(i); });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(SerialQueue, SyncFromItsOwnThreadRunsInline)
{
    SerialQueue queue("thread-safe-test");
    bool inner = false;
    queue.sync([&] { queue.sync([&] { inner = queue.isCurrent(); }); });
    EXPECT_TRUE(inner);
}

TEST(SerialQueue, StopLetsTheRunningBlockEndAndDropsThePendingOnes)
{
    SerialQueue queue("thread-safe-test");
    std::promise<void> started;
    std::promise<void> release;
    std::atomic<int> ran{0};
    queue.async([&, released = release.get_future().share()] {
        started.set_value();
        released.wait();
        ++ran;
    });
    // Pending behind the running block: dropped with it unrun, which breaks its promise.
    auto pending = std::make_shared<std::promise<void>>();
    auto pendingDone = pending->get_future();
    queue.async([pending = std::move(pending)] { pending->set_value(); });
    started.get_future().wait();

    std::thread stopper([&] { queue.stop(); });
    // The running block ends only once the stop has begun, which is when new work is refused.
    ASSERT_TRUE(eventually([&] { return !queue.async([] {}); }));
    release.set_value();
    stopper.join();
    EXPECT_EQ(ran.load(), 1);
    ASSERT_EQ(pendingDone.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_THROW(pendingDone.get(), std::future_error);
    EXPECT_FALSE(queue.sync([] {}));
}

TEST(SerialQueue, StopFromItsOwnBlockEndsTheQueueAndTheOwnerJoinsIt)
{
    std::atomic<int> ran{0};
    std::promise<bool> refusedInside;
    {
        SerialQueue queue("thread-safe-test");
        queue.async([&] {
            queue.stop();
            refusedInside.set_value(!queue.async([&] { ++ran; }));
        });
        queue.async([&] { ++ran; }); // queued behind the stopping block, or refused
        EXPECT_TRUE(refusedInside.get_future().get());
        EXPECT_FALSE(queue.async([&] { ++ran; }));
        EXPECT_FALSE(queue.sync([&] { ++ran; }));
    } // the owner's destructor joins the thread the block could not join
    EXPECT_EQ(ran.load(), 0);
}

TEST(SerialQueue, DestroyedByItsOwnBlock)
{
    // The last owner of a queue can go inside one of its blocks, or with the block that holds it.
    for (const bool ownerInCapture : {false, true}) {
        SCOPED_TRACE(ownerInCapture ? "owner held by the block" : "owner released in the block");
        auto queue = std::make_shared<SerialQueue>("thread-safe-test");
        std::promise<void> release;
        auto released = release.get_future().share();
        // Queued behind the block that ends the queue: dropped with the queue, which breaks its promise.
        auto behind = std::make_shared<std::promise<void>>();
        auto behindDone = behind->get_future();
        if (ownerInCapture) {
            queue->async([owner = queue, released] { released.wait(); });
        } else {
            queue->async([&queue, released] {
                released.wait();
                queue.reset();
            });
        }
        queue->async([behind = std::move(behind)] { behind->set_value(); });
        if (ownerInCapture)
            queue.reset();
        release.set_value();
        ASSERT_EQ(behindDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_THROW(behindDone.get(), std::future_error);
    }
}
