// One program per user session. A later launch blocks while the first answers from its event loop, so here it
// runs on a thread of its own, as it would in a process of its own.
#include "app/SingleInstance.h"
#include "viewmodel/ViewModelHarness.h"

#include <QLockFile>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
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

// What a program that died leaves: its lock, naming a process that is gone, and its socket, bound to nothing.
void leaveRemainsOfADeadProgram(const QTemporaryDir& folder)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    std::ofstream(folder.filePath("app.lock").toStdString())
        << child << "\nMarrowtillance\n" << QSysInfo::machineHostName().toStdString() << "\n";

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder.filePath("app.socket").toStdString();
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

} // namespace

TEST(SingleInstance, LaterLaunchesBringTheFirstForwardAndEnd)
{
    QTemporaryDir folder;
    leaveRemainsOfADeadProgram(folder);
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
