#include "support/process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

extern char** environ;

namespace kvtest {

namespace {

// `envText` is the child's whole environment; `directory` its working directory ("" for ours).
ProcessResult spawnAndCollect(const std::string& program, const std::vector<std::string>& args,
                              std::vector<std::string> envText, const std::string& directory,
                              std::chrono::milliseconds deadline) {
    ProcessResult result;
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) {
        return result;
    }
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::vector<char*> envp;
    for (auto& e : envText) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    if (!directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return result;
    }

    const auto end = std::chrono::steady_clock::now() + deadline;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        if (::poll(fds, 2, 100) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                char buf[4096];
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<std::size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, std::chrono::milliseconds deadline) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        merged[entry.substr(0, entry.find('='))] = entry;
    }
    for (const auto& entry : env) {
        merged[entry.substr(0, entry.find('='))] = entry;
    }
    std::vector<std::string> envText;
    for (auto& [name, entry] : merged) {
        envText.push_back(entry);
    }
    return spawnAndCollect(program, args, std::move(envText), "", deadline);
}

ProcessResult runProgramInEnvironment(const std::string& program, const std::vector<std::string>& args,
                                      const std::vector<std::string>& env, const std::string& directory,
                                      std::chrono::milliseconds deadline) {
    return spawnAndCollect(program, args, env, directory, deadline);
}

ProcessResult runProgramUnprivileged(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& device, const std::string& dir) {
    namespace fs = std::filesystem;
    const fs::path copy = fs::path(dir) / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
    fs::permissions(dir, fs::perms::all);  // the log is written here by whoever runs the copy
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(device, fs::perms::none);
    const std::vector<std::string> env{"KVLIB_LOG_DIR=" + dir};
    if (::geteuid() != 0) {
        return runProgram(copy.string(), args, env);
    }
    std::vector<std::string> wrapped{"--reuid=nobody", "--regid=nogroup", "--clear-groups", copy.string()};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return runProgram("/usr/bin/setpriv", wrapped, env);
}

}  // namespace kvtest
