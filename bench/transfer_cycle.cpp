// The transfer cycle against the simulated controller: what the library costs while it idles with a
// controller open, and how steadily it exchanges the I/O image while a transfer runs, beside the
// floor measured in the same run — a bare thread that sleeps to absolute 1 ms deadlines, which is the
// least any 1 ms clock can cost.
//
// Figures:
//   - idle: process CPU and wake-ups per wall second with the library initialised, first with no
//     controller open and then with one open, no transfer; beside them the wake-ups of a process that
//     never loaded the library (a `sleep`) over the same time;
//   - running: I/O exchanges per second (from the simulator's record of the REM_IO_REQUESTs it
//     received, and from the library's own count of timed replies), the interval between
//     consecutive REM_IO_REQUESTs as the simulator received them, process CPU per wall second;
//   - floor: the bare 1 ms thread's lateness and its CPU per wall second, measured before the library
//     starts and again after it has closed.
// Where the CPU goes is shown per thread (CPU per wall second and context switches per second).
//
// The library log and the simulator's record stay in a new directory under /tmp, named at the end.
//
//   transfer_cycle [run seconds] [idle seconds] [floor seconds]     (defaults 20, 5, 5)
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kvarolib.h"
#include "simulator/launcher.h"
#include "transfer/statistics.h"
#include "work_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kPeriodNs = 1000000;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double processCpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    const auto tv = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return tv(ru.ru_utime) + tv(ru.ru_stime);
}

std::int64_t nowNs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// ---- Per-thread accounting -------------------------------------------------------------------

std::set<pid_t> threadIds() {
    std::set<pid_t> ids;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] != '.') {
                ids.insert(static_cast<pid_t>(std::atoi(e->d_name)));
            }
        }
        ::closedir(dir);
    }
    return ids;
}

struct ThreadSample {
    double cpu = 0;                // seconds
    long voluntarySwitches = 0;    // the thread blocked (slept, waited)
    long involuntarySwitches = 0;  // the thread was preempted
};

// The CPU clock of another thread of this process, as the kernel numbers it (what
// pthread_getcpuclockid builds for a pthread_t): (~tid << 3) | CPUCLOCK_PERTHREAD | CPUCLOCK_SCHED.
clockid_t threadCpuClock(pid_t tid) {
    return static_cast<clockid_t>((~tid) * 8 | 6);
}

ThreadSample sampleThread(pid_t tid) {
    ThreadSample s;
    timespec ts{};
    if (::clock_gettime(threadCpuClock(tid), &ts) == 0) {
        s.cpu = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    }
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            s.voluntarySwitches = std::atol(line.c_str() + std::strlen("voluntary_ctxt_switches:"));
        } else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
            s.involuntarySwitches = std::atol(line.c_str() + std::strlen("nonvoluntary_ctxt_switches:"));
        }
    }
    return s;
}

struct Snapshot {
    Clock::time_point at;
    double processCpu = 0;
    std::map<pid_t, ThreadSample> threads;
};

// Wake-ups per wall second of the threads present at both snapshots: a thread that blocks and is
// woken switches once per wake-up, one that is preempted once per preemption.
double wakeupsPerSecond(const Snapshot& a, const Snapshot& b) {
    long switches = 0;
    for (const auto& [tid, end] : b.threads) {
        if (const auto start = a.threads.find(tid); start != a.threads.end()) {
            switches += (end.voluntarySwitches - start->second.voluntarySwitches) +
                        (end.involuntarySwitches - start->second.involuntarySwitches);
        }
    }
    return static_cast<double>(switches) / seconds(a.at, b.at);
}

long switchesOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    long n = 0;
    while (std::getline(status, line)) {
        for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            if (line.rfind(key, 0) == 0) {
                n += std::atol(line.c_str() + std::strlen(key));
            }
        }
    }
    return n;
}

// The wake-ups per wall second of a process that never loaded the library: a `sleep`, watched for
// `wallSeconds` once it has started. Negative when it cannot be started.
double wakeupsWithoutTheLibrary(double wallSeconds) {
    const std::string length = std::to_string(static_cast<int>(wallSeconds) + 10);
    char* const args[] = {const_cast<char*>("sleep"), const_cast<char*>(length.c_str()), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "sleep", nullptr, nullptr, args, environ) != 0) {
        return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = Clock::now();
    const long s0 = switchesOf(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(wallSeconds));
    const long s1 = switchesOf(pid);
    const auto t1 = Clock::now();
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return static_cast<double>(s1 - s0) / seconds(t0, t1);
}

Snapshot snapshot() {
    Snapshot s;
    s.at = Clock::now();
    s.processCpu = processCpuSeconds();
    for (pid_t tid : threadIds()) {
        s.threads[tid] = sampleThread(tid);
    }
    return s;
}

void printThreads(const Snapshot& a, const Snapshot& b, const std::map<pid_t, std::string>& names) {
    const double wall = seconds(a.at, b.at);
    for (const auto& [tid, end] : b.threads) {
        const auto start = a.threads.find(tid);
        if (start == a.threads.end()) {
            continue;
        }
        const auto name = names.find(tid);
        const std::string label = name != names.end() ? name->second : "thread " + std::to_string(tid);
        std::printf("      %-28s cpu %6.2f ms/s   switches/s: %7.1f voluntary %6.1f preempted\n",
                    label.c_str(), (end.cpu - start->second.cpu) * 1000.0 / wall,
                    static_cast<double>(end.voluntarySwitches - start->second.voluntarySwitches) / wall,
                    static_cast<double>(end.involuntarySwitches - start->second.involuntarySwitches) / wall);
    }
}

// ---- The floor: a bare 1 ms clock --------------------------------------------------------------

struct Floor {
    double cpuPerWall = 0;  // seconds of the thread's CPU per wall second
    double lateP50Us = 0;
    double lateP99Us = 0;
    double lateMaxUs = 0;
    bool fifo = false;  // whether the thread ran with real-time scheduling
};

double percentile(std::vector<double> v, double q) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// A thread that sleeps to absolute 1 ms deadlines of CLOCK_MONOTONIC for `wallSeconds`, with the
// scheduling the library asks for its own threads when `fifo` is set.
Floor measureFloor(double wallSeconds, bool fifo) {
    Floor f;
    std::vector<double> lateUs;
    lateUs.reserve(static_cast<std::size_t>(wallSeconds * 1000.0) + 16);
    std::thread t([&] {
        const std::int64_t cpu0 = nowNs(CLOCK_THREAD_CPUTIME_ID);
        const std::int64_t start = nowNs(CLOCK_MONOTONIC);
        const auto ticks = static_cast<std::int64_t>(wallSeconds * 1000.0);
        std::int64_t next = start + kPeriodNs;
        for (std::int64_t i = 0; i < ticks; ++i) {
            timespec deadline{};
            deadline.tv_sec = static_cast<time_t>(next / 1000000000LL);
            deadline.tv_nsec = static_cast<long>(next % 1000000000LL);
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
            }
            lateUs.push_back(static_cast<double>(nowNs(CLOCK_MONOTONIC) - next) / 1000.0);
            next += kPeriodNs;
        }
        const std::int64_t end = nowNs(CLOCK_MONOTONIC);
        f.cpuPerWall =
            static_cast<double>(nowNs(CLOCK_THREAD_CPUTIME_ID) - cpu0) / static_cast<double>(end - start);
    });
    if (fifo) {
        sched_param param{};
        const int lo = ::sched_get_priority_min(SCHED_FIFO);
        const int hi = ::sched_get_priority_max(SCHED_FIFO);
        param.sched_priority = lo + (hi - lo) / 2;
        f.fifo = ::pthread_setschedparam(t.native_handle(), SCHED_FIFO, &param) == 0;
    }
    t.join();
    f.lateP50Us = percentile(lateUs, 0.5);
    f.lateP99Us = percentile(lateUs, 0.99);
    f.lateMaxUs = lateUs.empty() ? 0 : *std::max_element(lateUs.begin(), lateUs.end());
    return f;
}

void printFloor(const char* label, const Floor& f) {
    std::printf("  %-46s cpu %6.3f ms/s   lateness p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", label,
                f.cpuPerWall * 1000.0, f.lateP50Us, f.lateP99Us, f.lateMaxUs);
}

// ---- The simulator's record ----------------------------------------------------------------------

struct Requests {
    std::vector<double> ioMs;         // arrival of each REM_IO_REQUEST, ms since the simulator started
    std::vector<unsigned> ioCounter;  // its request counter
    std::map<std::string, int> otherCodes;
};

Requests readRecord(const std::string& path) {
    Requests r;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double ms = 0;
        std::string code;
        unsigned counter = 0;
        if (!(fields >> ms >> code)) {
            continue;
        }
        if (code == "2" && (fields >> counter)) {
            r.ioMs.push_back(ms);
            r.ioCounter.push_back(counter);
        } else {
            ++r.otherCodes[code];
        }
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const double runSeconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 20.0;
    const double idleSeconds = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 5.0;
    const double floorSeconds = argc > 3 ? std::max(1.0, std::atof(argv[3])) : 5.0;

    const std::string dir = kvbench::MakeWorkDir("kvarolib-bench");
    if (dir.empty()) {
        return 1;
    }
    const std::string recordPath = dir + "/kqsim.record";

    kqsim::Launcher sim({"--record", recordPath});
    if (!sim.started()) {
        std::fprintf(stderr, "cannot start the simulated controller\n");
        return 1;
    }

    // The floor, before any library thread exists.
    const Floor floorBefore = measureFloor(floorSeconds, false);
    const Floor floorFifo = measureFloor(floorSeconds, true);
    const double baselineWakeups = wakeupsWithoutTheLibrary(idleSeconds);

    std::map<pid_t, std::string> names;
    const std::set<pid_t> beforeInit = threadIds();
    for (pid_t tid : beforeInit) {
        names[tid] = "main (bench, sleeping)";
    }
    if (const std::uint32_t rc = kvxInitLib(); rc != 0) {
        std::fprintf(stderr, "kvxInitLib: 0x%08X\n", rc);
        return 1;
    }
    std::vector<pid_t> workers;
    const std::set<pid_t> afterInit = threadIds();
    std::set_difference(afterInit.begin(), afterInit.end(), beforeInit.begin(), beforeInit.end(),
                        std::back_inserter(workers));
    if (workers.size() == 3) {
        // Started one after another in this order, so their ids rise in it.
        names[workers[0]] = "WaitMmRpTmEvent (1 ms tick)";
        names[workers[1]] = "WaitMmEvent (10 ms beat)";
        names[workers[2]] = "KvRequestThread";
    }

    // (a) Idle: initialised, no controller open.
    const Snapshot init0 = snapshot();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const Snapshot init1 = snapshot();

    std::uint32_t rc = 0;
    const std::uint32_t handle = kvxOpenComDevice(sim.port().c_str(), 38400, &rc);
    if (rc != 0 || handle == 0) {
        std::fprintf(stderr, "cannot open %s: 0x%08X\n", sim.port().c_str(), rc);
        kvxCloseLib();
        return 1;
    }
    std::vector<pid_t> opened;
    const std::set<pid_t> afterOpen = threadIds();
    std::set_difference(afterOpen.begin(), afterOpen.end(), afterInit.begin(), afterInit.end(),
                        std::back_inserter(opened));
    if (opened.size() == 1) {
        names[opened[0]] = "ReadComThread";
    }

    // (b) Idle: initialised, controller open, no transfer.
    const Snapshot idle0 = snapshot();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const Snapshot idle1 = snapshot();

    // (c) Running.
    const auto startCall = Clock::now();
    if (const std::uint32_t s = kvxStartTransferArea(handle); s != 0) {
        std::fprintf(stderr, "kvxStartTransferArea: 0x%08X\n", s);
        kvxCloseDevice(handle);
        kvxCloseLib();
        return 1;
    }
    const double startMs = seconds(startCall, Clock::now()) * 1000.0;
    const kv::TransferStatisticsSnapshot stats0 = kv::transferStatistics().snapshot();
    const Snapshot run0 = snapshot();
    std::this_thread::sleep_for(std::chrono::duration<double>(runSeconds));
    const Snapshot run1 = snapshot();
    const kv::TransferStatisticsSnapshot stats1 = kv::transferStatistics().snapshot();
    const std::uint32_t activeAtEnd = kvxIsTransferActiv(handle);
    kvxStopTransferArea();
    kvxCloseDevice(handle);
    kvxCloseLib();

    // The floor again, with the library gone.
    const Floor floorAfter = measureFloor(floorSeconds, false);
    sim.stop();

    const Requests req = readRecord(recordPath);
    if (req.ioMs.size() < 3) {
        std::fprintf(stderr, "the simulator recorded only %zu REM_IO_REQUESTs (%s)\n", req.ioMs.size(),
                     recordPath.c_str());
        return 1;
    }
    std::vector<double> intervals;
    std::size_t repeats = 0;
    for (std::size_t i = 1; i < req.ioMs.size(); ++i) {
        intervals.push_back(req.ioMs[i] - req.ioMs[i - 1]);
        if (req.ioCounter[i] == req.ioCounter[i - 1]) {
            ++repeats;
        }
    }
    const auto outside = [&](double lo, double hi) {
        return std::count_if(intervals.begin(), intervals.end(), [&](double v) { return v < lo || v > hi; });
    };
    const double spanMs = req.ioMs.back() - req.ioMs.front();
    // A repeat goes out because the previous copy was not answered in time: it is no new exchange.
    const double recordRate = static_cast<double>(req.ioMs.size() - 1 - repeats) * 1000.0 / spanMs;
    const double runWall = seconds(run0.at, run1.at);
    const double timedRate = static_cast<double>(stats1.tcnt - stats0.tcnt) / runWall;

    const double floorCpu = (floorBefore.cpuPerWall + floorAfter.cpuPerWall) / 2.0;
    const double idleCpu = (idle1.processCpu - idle0.processCpu) / seconds(idle0.at, idle1.at);
    const double initCpu = (init1.processCpu - init0.processCpu) / seconds(init0.at, init1.at);
    const double initWakeups = wakeupsPerSecond(init0, init1);
    const double idleWakeups = wakeupsPerSecond(idle0, idle1);
    const double runCpu = (run1.processCpu - run0.processCpu) / runWall;

    std::printf("transfer cycle against kqsim (no line-rate emulation), %u CPUs\n",
                std::thread::hardware_concurrency());
    std::printf(
        "  floor: a bare thread sleeping to absolute 1 ms deadlines (CLOCK_MONOTONIC, TIMER_ABSTIME)\n");
    printFloor("floor, normal scheduling, before the library", floorBefore);
    printFloor("floor, normal scheduling, after the library", floorAfter);
    printFloor(floorFifo.fifo ? "floor, SCHED_FIFO (as the library's threads)" : "floor, SCHED_FIFO refused",
               floorFifo);
    std::printf("  idle, initialised, no controller open (%.1f s):  process cpu %6.3f ms/s, wake-ups %.1f /s\n",
                seconds(init0.at, init1.at), initCpu * 1000.0, initWakeups);
    printThreads(init0, init1, names);
    std::printf("  idle, controller open, no transfer (%.1f s):  process cpu %6.3f ms/s, wake-ups %.1f /s\n",
                seconds(idle0.at, idle1.at), idleCpu * 1000.0, idleWakeups);
    printThreads(idle0, idle1, names);
    std::printf("  a process without the library (sleep, %.1f s): wake-ups %.1f /s\n", idleSeconds,
                baselineWakeups);
    std::printf("  transfer running (%.1f s, start took %.1f ms, at the end %s):  process cpu %6.3f ms/s\n",
                runWall, startMs,
                activeAtEnd == KVLIB_ERR_THREAD_IS_RUNNING ? "still running" : "NOT running",
                runCpu * 1000.0);
    printThreads(run0, run1, names);
    std::printf(
        "  I/O exchanges per second: %.3f (simulator's record, %zu REM_IO_REQUESTs over %.1f s, %zu "
        "repeats)\n",
        recordRate, req.ioMs.size(), spanMs / 1000.0, repeats);
    std::printf(
        "                            %.3f (library's timed replies, I/O and the once-a-second state read: "
        "tcnt %u -> %u; retries %u)\n",
        timedRate, stats0.tcnt, stats1.tcnt, stats1.retries);
    std::printf("  other requests received:");
    for (const auto& [code, n] : req.otherCodes) {
        std::printf(" code %s x%d", code.c_str(), n);
    }
    std::printf("\n");
    std::printf(
        "  REM_IO_REQUEST interval (ms): p50 %.3f  p99 %.3f  p99.9 %.3f  max %.3f  min %.3f;"
        " outside 9..11 ms: %ld of %zu\n",
        percentile(intervals, 0.5), percentile(intervals, 0.99), percentile(intervals, 0.999),
        *std::max_element(intervals.begin(), intervals.end()),
        *std::min_element(intervals.begin(), intervals.end()), static_cast<long>(outside(9.0, 11.0)),
        intervals.size());
    std::printf("  idle wake-ups above a process without the library: %6.1f /s initialised, %6.1f /s open"
                "   (target <= 5)\n",
                initWakeups - baselineWakeups, idleWakeups - baselineWakeups);
    std::printf("  running / floor cpu:  %6.2f   (target <= 2)\n", runCpu / floorCpu);
    std::printf("  exchanges per second: %7.3f  (target >= 99)\n", recordRate);
    std::printf("  p99 interval:         %6.3f ms (target 10 +- 1 ms)\n", percentile(intervals, 0.99));
    std::printf(
        "  (floor cpu for the ratios: mean of the two normal-scheduling runs, %.3f ms/s; record %s)\n",
        floorCpu * 1000.0, recordPath.c_str());
    return 0;
}
