// Runs a program as a child process and collects its standard output, standard error and exit code.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kvtest {

struct ProcessResult {
    int exitCode = -1;  // -1 when the program did not end by itself in time (it is killed then)
    std::string out;
    std::string err;
};

// `env` entries ("NAME=value") are added to (or replace those of) the current environment.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {},
                         std::chrono::milliseconds deadline = std::chrono::seconds(120));

}  // namespace kvtest
