// `ostsend get_ser_num PORT` from process start to exit against the simulated controller, beside
// its floor: the two 100 ms settles it cannot avoid (the serial-number read at open and the command
// itself), and the cost of starting and reaping a process that does nothing (/bin/true), measured in
// the same run.
//
// Each run's output must hold the simulator's serial number and the program must end with exit
// code 0; runs that don't are counted and left out of the figures.
//
//   ostsend_startup [runs]     (default 30, at least 20)
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "simulator/launcher.h"
#include "work_dir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSerial = "KQ10042317";
constexpr double kSettleFloorMs = 200.0;

struct Run {
    bool ok = false;
    double ms = 0;
};

// Spawns `argv` with its standard output and error in `outPath`, and times spawn -> reaped.
Run timeProcess(const std::vector<std::string>& args, const std::string& outPath) {
    Run r;
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const auto t0 = Clock::now();
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "posix_spawn %s: %s\n", argv[0], std::strerror(rc));
        return r;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

std::string readText(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            text.append(buf, n);
        }
        std::fclose(f);
    }
    return text;
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

void printRow(const char* label, const std::vector<double>& v) {
    std::printf("  %-44s median %8.2f ms   p90 %8.2f ms   min %8.2f ms   max %8.2f ms\n", label, median(v),
                quantile(v, 0.9), *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(20, std::atoi(argv[1])) : 30;

    const std::string dir = kvbench::MakeWorkDir("kvarolib-ostsend");
    if (dir.empty()) {
        return 1;
    }
    const std::string program = OSTSEND_PATH;
    if (::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%s is missing: build the target ostsend first\n", program.c_str());
        return 1;
    }

    kqsim::Launcher sim({});
    if (!sim.started()) {
        std::fprintf(stderr, "cannot start the simulated controller\n");
        return 1;
    }
    const std::string out = dir + "/ostsend.out";
    std::vector<double> times;
    std::vector<double> nothing;
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        const Run idle = timeProcess({"/bin/true"}, dir + "/true.out");
        if (idle.ok) {
            nothing.push_back(idle.ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Run r = timeProcess({program, "get_ser_num", sim.port()}, out);
        const std::string text = readText(out);
        if (!r.ok || text.find(kSerial) == std::string::npos) {
            ++failures;
            std::fprintf(stderr, "run %d failed (%.1f ms): %s\n", i + 1, r.ms, text.c_str());
            continue;
        }
        times.push_back(r.ms);
    }
    sim.stop();
    if (times.empty() || nothing.empty()) {
        std::fprintf(stderr, "no successful runs; files in %s\n", dir.c_str());
        return 1;
    }
    std::printf("ostsend get_ser_num against kqsim, process start -> exit, %zu good runs of %d\n",
                times.size(), runs);
    printRow("ostsend get_ser_num", times);
    printRow("baseline: /bin/true, spawn -> exit", nothing);
    std::printf("  floor: the two 100 ms settles                %8.2f ms\n", kSettleFloorMs);
    std::printf("  median - floor: %.2f ms   median - floor - /bin/true median: %.2f ms\n",
                median(times) - kSettleFloorMs, median(times) - kSettleFloorMs - median(nothing));
    std::printf("  median: %.2f ms (target <= 240 ms); failed runs: %d\n", median(times), failures);
    std::printf("  (library logs in %s)\n", dir.c_str());
    return 0;
}
