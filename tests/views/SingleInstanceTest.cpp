// One program per user session. A later launch blocks while the first answers from its event loop, so here it
// runs on a thread of its own, as it would in a process of its own.
#include "app/SingleInstance.h"
#include "viewmodel/ViewModelHarness.h"

#include <QLockFile>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

SingleInstance::Role launchLater(const QString& folder)
{
    std::atomic<bool> done{false};
    SingleInstance::Role role{};
    std::thread later([&] {
        role = SingleInstance(folder, "app").claim();
        done = true;
    });
    pumpUntil([&] { return done.load(); });
    later.join();
    return role;
}

// The lock of a program that died: it names a process that is gone.
void leaveTheLockOfADeadProgram(const QTemporaryDir& folder)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    std::ofstream(folder.filePath("app.lock").toStdString())
        << child << "\nMarrowtillance\n" << QSysInfo::machineHostName().toStdString() << "\n";
}

} // namespace

TEST(SingleInstance, LaterLaunchesBringTheFirstForwardAndEnd)
{
    QTemporaryDir folder;
    leaveTheLockOfADeadProgram(folder);
    SingleInstance first(folder.path(), "app");
    ASSERT_EQ(first.claim(), SingleInstance::Role::first);
    int raised = 0;
    QObject::connect(&first, &SingleInstance::raiseRequested, [&] { ++raised; });
    for (int launch = 1; launch <= 2; ++launch) {
        EXPECT_EQ(launchLater(folder.path()), SingleInstance::Role::forwarded);
        EXPECT_EQ(raised, launch);
    }
}

TEST(SingleInstance, AProgramThatHoldsTheLockButNeverAnswersIsNotWaitedForLong)
{
    QTemporaryDir folder;
    QLockFile held(folder.filePath("app.lock"));
    ASSERT_TRUE(held.tryLock(0));
    EXPECT_EQ(SingleInstance(folder.path(), "app", 50ms).claim(), SingleInstance::Role::unreachable);
}
