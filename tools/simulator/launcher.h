// Starts kqsim as a child process and learns the path of its pseudo terminal. Used by the tests and
// the benchmarks, which talk to the simulated controller as a program would.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

namespace kqsim {

class Launcher {
  public:
    // Starts kqsim with `options` and waits (up to 30 s) for it to print its port's path.
    explicit Launcher(std::vector<std::string> options, std::string program = KQSIM_PATH);
    ~Launcher();
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    bool started() const { return !port_.empty(); }
    const std::string& port() const { return port_; }
    // Makes the simulator hang up its line (SIGUSR1).
    void hangUp();
    // Stops the simulator (SIGTERM, SIGKILL after 20 s) and reaps it; true when it ended with exit
    // code 0.
    bool stop();

  private:
    pid_t pid_ = -1;
    std::string port_;
};

}  // namespace kqsim
