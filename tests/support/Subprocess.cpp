#include "support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
{
    int in[2];
    int out[2];
    if (argv.empty() || ::pipe2(in, O_CLOEXEC) != 0)
        return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid_ < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    input_ = in[1];
    output_ = out[0];
}

ChildProcess::~ChildProcess() { finish(); }

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        using std::chrono::milliseconds;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{output_, POLLIN, 0};
        if (output_ < 0 || left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        char chunk[4096];
        const ssize_t n = ::read(output_, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void ChildProcess::closeInput()
{
    if (input_ >= 0)
        ::close(input_);
    input_ = -1;
}

int ChildProcess::finish(std::string* rest)
{
    closeInput();
    if (output_ >= 0) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(output_, chunk, sizeof chunk);
            if (n > 0)
                buffer_.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
        ::close(output_);
        output_ = -1;
    }
    if (rest)
        *rest = std::exchange(buffer_, {});
    if (pid_ > 0 && !exitCode_) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exitCode_.value_or(-1);
}

SubprocessResult runSubprocess(const std::vector<std::string>& argv)
{
    ChildProcess child(argv);
    SubprocessResult result;
    result.exitCode = child.finish(&result.output);
    return result;
}

std::vector<std::string> otherCardClient(const std::string& reader, const std::string& action)
{
    return {kDebianPython, OTHER_CARD_CLIENT, reader, action};
}
