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

// Runs `program` in `directory` with exactly the environment `env` and nothing inherited, as cron,
// service managers and CI runners start programs.
ProcessResult runProgramInEnvironment(const std::string& program, const std::vector<std::string>& args,
                                      const std::vector<std::string>& env, const std::string& directory,
                                      std::chrono::milliseconds deadline = std::chrono::seconds(120));

// Runs `program` without the rights the test has over `device`: the program is copied into `dir`
// (so that its own directory is reachable for anyone), `device` is made inaccessible (mode 0), and
// when the test runs as root, who opens everything regardless, the copy runs as the user "nobody"
// through setpriv. `dir` becomes world-readable and holds the program's log (KVLIB_LOG_DIR).
ProcessResult runProgramUnprivileged(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& device, const std::string& dir);

}  // namespace kvtest
