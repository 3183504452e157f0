// Starts the simulated controller as a child process on a fresh pseudo terminal.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kvtest {

class Simulator {
public:
    // Starts kqsim with `options` and waits (generously) for it to print its port's path.
    explicit Simulator(std::vector<std::string> options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& port() const { return port_; }
    // Makes the simulator hang up its line.
    void hangUp();
    // Stops the simulator and waits for it; true when it ended cleanly with exit code 0.
    bool stop();

private:
    pid_t pid_ = -1;
    std::string port_;
};

}  // namespace kvtest
