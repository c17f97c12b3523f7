#pragma once

#include <string>
#include <vector>

// Runs a program (no shell), feeding it nothing on standard input, and collects its standard output.
struct SubprocessResult {
    int exitCode = -1; // -1 when it did not start or did not exit normally
    std::string output;
};
SubprocessResult runSubprocess(const std::vector<std::string>& argv);

// Debian's own interpreter, the one that sees Debian's python3-fido2 and pyscard.
inline const char* kDebianPython = "/usr/bin/python3";
