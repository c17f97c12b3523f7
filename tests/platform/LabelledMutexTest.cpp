#include "platform/LabelledMutex.h"

#include <gtest/gtest.h>

TEST(LabelledMutexDeathTest, LockedAgainByItsHolderAbortsNamingTheGuard)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    LabelledMutex guard("thread-safe-test");
    std::lock_guard held(guard);
    EXPECT_DEATH(guard.lock(), "thread-safe-test locked again by the thread that holds it");
}
