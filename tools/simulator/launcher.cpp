#include "launcher.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace kqsim {

Launcher::Launcher(std::vector<std::string> options, std::string program) {
    int out[2];
    if (::pipe(out) != 0) {
        return;
    }
    std::vector<std::string> args{program};
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
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(out[0]);
        return;
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
    }
}

Launcher::~Launcher() {
    stop();
}

void Launcher::hangUp() {
    if (pid_ > 0) {
        ::kill(pid_, SIGUSR1);
    }
}

bool Launcher::stop() {
    if (pid_ <= 0) {
        return false;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    // A simulator that does not end on SIGTERM is a fault of its own; it must not hang its caller.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        ::poll(nullptr, 0, 10);
    }
    bool clean = done == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        clean = false;
    }
    pid_ = -1;
    port_.clear();
    return clean;
}

}  // namespace kqsim
