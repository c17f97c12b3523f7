#include "support/Subprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

SubprocessResult runSubprocess(const std::vector<std::string>& argv)
{
    SubprocessResult result;
    int out[2];
    if (argv.empty() || ::pipe2(out, O_CLOEXEC) != 0)
        return result;
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const bool started = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char buf[4096];
    ssize_t n = 0;
    while (started && ((n = ::read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
        result.output.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    ::close(out[0]);
    int status = 0;
    while (started && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (started && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}
