// One program per user session (the end-to-end test launches the real program over a dead one's lock, and again).
#include "app/SingleInstance.h"

#include <QLockFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(SingleInstance, AProgramThatHoldsTheLockButNeverAnswersIsNotWaitedForLong)
{
    QTemporaryDir folder;
    QLockFile held(folder.filePath("app.lock"));
    ASSERT_TRUE(held.tryLock(0));
    EXPECT_EQ(SingleInstance(folder.path(), "app", 50ms).claim(), SingleInstance::Role::unreachable);
}
