#include "platform/SerialQueue.h"
#include "platform/LabelledMutex.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <vector>

// Blocks run in order; stop lets the running block finish, and the queue takes nothing after it. Stopped from one
// of its blocks, it drops the blocks behind (their promises break) and its owner joins the thread.
TEST(SerialQueue, RunsBlocksInOrderAndStopDropsWhatHasNotStarted)
{
    SerialQueue queue("thread-safe-test");
    std::vector<int> order;
    std::promise<void> started, release;
    bool finished = false;
    for (int i = 0; i < 3; ++i)
        queue.async([&order, i] { order.push_back(i); });
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
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));

    auto pending = std::make_shared<std::promise<void>>();
    auto pendingDone = pending->get_future();
    {
        SerialQueue stopping("thread-safe-test");
        std::promise<bool> refusedInside;
        stopping.async([&] {
            stopping.stop();
            refusedInside.set_value(!stopping.async([] {}));
        });
        stopping.async([pending = std::move(pending)] { pending->set_value(); });
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

TEST(LabelledMutexDeathTest, LockedAgainByItsHolderAbortsNamingTheGuard)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    LabelledMutex guard("thread-safe-test");
    std::lock_guard held(guard);
    EXPECT_DEATH(guard.lock(), "thread-safe-test locked again by the thread that holds it");
}
