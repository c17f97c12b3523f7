// One program per user session. A later launch blocks while the first answers from its event loop, so here it
// runs on a thread of its own, as it would in a process of its own. The end-to-end test launches the real program
// over a dead one's lock, and again.
#include "app/SingleInstance.h"
#include "viewmodel/ViewModelHarness.h"

#include <QDateTime>
#include <QFile>
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
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }));
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

// A program killed between creating its lock and writing it leaves a lock that names nobody. Once it is older than
// a launch takes to write its lock, it is taken over; a younger one may be a launch under way, and is waited for.
TEST(SingleInstance, ALockThatNamesNobodyIsTakenOverOnceItIsOld)
{
    struct Case {
        const char* what;
        QByteArray content;
        std::chrono::seconds age;
        SingleInstance::Role role;
    };
    const Case cases[] = {
        {"empty, old", {}, 60s, SingleInstance::Role::first},
        {"unreadable, old", "not a lock\n", 60s, SingleInstance::Role::first},
        {"empty, made a moment ago", {}, 0s, SingleInstance::Role::unreachable},
        {"unreadable, made a moment ago", "not a lock\n", 0s, SingleInstance::Role::unreachable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        QFile lock(folder.filePath("app.lock"));
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
        lock.write(c.content);
        lock.close();
        ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
        ASSERT_TRUE(lock.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-c.age.count()),
                                     QFileDevice::FileModificationTime));
        lock.close();
        SingleInstance launch(folder.path(), "app", 50ms);
        EXPECT_EQ(launch.claim(), c.role);
        if (c.role == SingleInstance::Role::first) {
            // The lock is this program's now: the next launch finds it held.
            QLockFile next(folder.filePath("app.lock"));
            next.setStaleLockTime(0);
            EXPECT_FALSE(next.tryLock(0));
        }
    }
}
