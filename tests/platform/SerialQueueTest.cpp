#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
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

TEST(SerialQueue, StopDropsPendingAndRefusesNewWork)
{
    SerialQueue queue("thread-safe-test");
    std::atomic<int> ran{0};
    std::atomic<bool> release{false};
    queue.async([&] {
        while (!release)
            std::this_thread::yield();
        ++ran;
    });
    queue.async([&] { ++ran; });
    std::thread stopper([&] { queue.stop(); });
    release = true;
    stopper.join();
    EXPECT_LE(ran.load(), 2);
    EXPECT_FALSE(queue.async([] {}));
    EXPECT_FALSE(queue.sync([] {}));
}
