#include "support/simulator.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

extern char** environ;

namespace kvtest {

Simulator::Simulator(std::vector<std::string> options) {
    int out[2];
    if (::pipe(out) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args{KQSIM_PATH};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int rc = ::posix_spawn(&pid_, KQSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        throw std::runtime_error("cannot start the simulator");
    }

    // The first line of its output is the path of the port.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string line;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{out[0], POLLIN, 0};
        if (::poll(&pfd, 1, 200) <= 0) {
            continue;
        }
        char c = 0;
        if (::read(out[0], &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            port_ = line;
            break;
        }
        line += c;
    }
    ::close(out[0]);
    if (port_.empty()) {
        stop();
        throw std::runtime_error("the simulator did not report its port");
    }
}

Simulator::~Simulator() { stop(); }

void Simulator::hangUp() {
    if (pid_ > 0) {
        ::kill(pid_, SIGUSR1);
    }
}

bool Simulator::stop() {
    if (pid_ <= 0) {
        return false;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    // A simulator that does not end on SIGTERM is a fault of its own; do not let it hang the test.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        ::poll(nullptr, 0, 10);
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status = -1;
    }
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kvtest
