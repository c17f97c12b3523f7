#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// A program running beside the test (no shell). Its standard input is a pipe: closing it tells the program to
// end. Its standard output is read line by line.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    // Closes the input and waits for the program.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line without its end; nothing at the end of the output or when none comes within limit.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void closeInput();
    // Closes the input, reads the rest of the output and waits; the exit code (-1 when it did not exit).
    int finish(std::string* rest = nullptr);

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
    std::optional<int> exitCode_;
};

// Runs a program, feeding it nothing on standard input, and collects its standard output.
struct SubprocessResult {
    int exitCode = -1; // -1 when it did not start or did not exit normally
    std::string output;
};
SubprocessResult runSubprocess(const std::vector<std::string>& argv);

// Debian's own interpreter, the one that sees Debian's python3-fido2 and pyscard.
inline const char* kDebianPython = "/usr/bin/python3";

// Another PC/SC client of the card on reader (tests/support/other_card_client.py; see there for the actions).
std::vector<std::string> otherCardClient(const std::string& reader, const std::string& action);
