// File upload throughput against the simulated controller, beside lrzsz `sx -k` (an independent
// XMODEM-1K sender) feeding the same receiver over the same pty arrangement in the same run.
//
// Figures:
//   - no line-rate emulation: a file (default 1 MiB) uploaded to the RAM disk area, `repeats` times
//     by `sx -k` and `repeats` times by KvFileUpload, taking turns; median and best of each and
//     their ratio.
//     For sx the time runs from writing the xrecv line to sx's exit; for the library from the
//     KvFileUpload call to its DONE status, and also from its START status (sent right before it
//     writes the xrecv line, so that figure leaves out the 100 ms settle before it) to DONE.
//   - a 38400-baud line: the simulator paces its output (kqsim --line-rate 38400) and a relay in
//     this program paces the bytes sent to it (class PacedLine); a smaller file (default 64 KiB)
//     uploaded by both; throughput (file bytes / upload time) as a share of the 3840 bytes per
//     second the line carries.
// Every stored file is compared with its source.
//
// The library log, the sources, the simulator's store and sx's messages stay in a new directory
// under /tmp, named at the end.
//
//   upload_throughput [repeats] [file KiB] [paced repeats] [paced file KiB]   (defaults 5, 1024, 2, 64)
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kvarolib.h"
#include "simulator/launcher.h"
#include "work_dir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSx = "/usr/bin/sx";
constexpr double kLineBytesPerSecond = 3840.0;  // 38400 baud, 10 bits per byte

double ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::vector<char> readFile(const std::string& path) {
    std::vector<char> data;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            data.insert(data.end(), buf, buf + n);
        }
        std::fclose(f);
    }
    return data;
}

bool writeRandomFile(const std::string& path, std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<char> data(size);
    for (char& c : data) {
        c = static_cast<char>(gen() & 0xFFu);
    }
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool sameContent(const std::string& a, const std::string& b) {
    const std::vector<char> x = readFile(a);
    return !x.empty() && x == readFile(b);
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- The baseline: sx on the pty ------------------------------------------------------------------

int openRaw(const std::string& port) {
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B38400);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// Reads and drops what arrives until `quietMs` pass without a byte.
void drain(int fd, int quietMs) {
    char buf[4096];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, quietMs) <= 0 || ::read(fd, buf, sizeof buf) <= 0) {
            return;
        }
    }
}

// ---- A paced line ------------------------------------------------------------------------------
// kqsim --line-rate paces only what the simulator writes; the bytes sent to it arrive as fast as the
// pty carries them. To emulate both directions this relay sits between the sender and the
// simulator: the sender opens the slave of a new pty, and the relay hands every byte it writes to
// the simulator's pty no earlier than a 38400-baud line (10 bits per byte) would have delivered it,
// one byte after the other. What the simulator writes (already paced by --line-rate) is passed
// back at once.
class PacedLine {
  public:
    PacedLine(const std::string& simPort, double bytesPerSecond)
        : byteTime_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(1.0 / bytesPerSecond))) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            return;
        }
        const char* name = ::ptsname(master_);
        if (name == nullptr) {
            return;
        }
        // Kept open so that the master never sees the line hang up between senders; never read.
        hold_ = openRaw(name);
        sim_ = openRaw(simPort);
        if (hold_ < 0 || sim_ < 0) {
            return;
        }
        path_ = name;
        thread_ = std::thread([this] { run(); });
    }
    ~PacedLine() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (int fd : {sim_, hold_, master_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    PacedLine(const PacedLine&) = delete;
    PacedLine& operator=(const PacedLine&) = delete;

    const std::string& path() const { return path_; }

  private:
    void run() {
        std::vector<std::pair<Clock::time_point, char>> queue;  // bytes on the line, with their arrival
        std::size_t head = 0;
        Clock::time_point lineFree = Clock::now();
        char buf[4096];
        while (!stop_) {
            const auto now = Clock::now();
            // Deliver what has arrived.
            std::string due;
            while (head < queue.size() && queue[head].first <= now) {
                due.push_back(queue[head].second);
                ++head;
            }
            if (!due.empty()) {
                (void)::write(sim_, due.data(), due.size());
            }
            if (head == queue.size()) {
                queue.clear();
                head = 0;
            }
            timespec timeout{0, 20000000};  // 20 ms with nothing on the line
            if (head < queue.size()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(queue[head].first - now);
                timeout.tv_sec = 0;
                timeout.tv_nsec = static_cast<long>(std::max<std::int64_t>(0, left.count()));
            }
            pollfd fds[2] = {{master_, POLLIN, 0}, {sim_, POLLIN, 0}};
            if (::ppoll(fds, 2, &timeout, nullptr) <= 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = ::read(master_, buf, sizeof buf);
                const auto at = Clock::now();
                if (lineFree < at) {
                    lineFree = at;
                }
                for (ssize_t i = 0; i < n; ++i) {
                    lineFree += byteTime_;
                    queue.emplace_back(lineFree, buf[i]);
                }
            }
            if ((fds[1].revents & POLLIN) != 0) {
                const ssize_t n = ::read(sim_, buf, sizeof buf);
                if (n > 0) {
                    (void)::write(master_, buf, static_cast<std::size_t>(n));
                }
            }
        }
    }

    Clock::duration byteTime_;
    int master_ = -1;
    int hold_ = -1;
    int sim_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

struct SxRun {
    bool ok = false;
    double totalMs = 0;  // xrecv line written -> sx exited
    double sxMs = 0;     // sx spawned -> sx exited
};

// Writes the xrecv line, reads one byte at a time up to the prompt after the echo (so the receiver's
// first 'C' stays unread for sx), then runs sx with the pty as its standard input and output.
SxRun runSx(int fd, const std::string& source, const std::string& name, std::size_t size,
            const std::string& sxLog) {
    SxRun r;
    drain(fd, 50);
    ::tcflush(fd, TCIOFLUSH);
    const std::string command = "xrecv \"/ramdisk/" + name + "\" " + std::to_string(size);
    const std::string line = "\r" + command + "\r";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 0);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, sxLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string a0 = "sx";
    std::string a1 = "-k";
    std::string a2 = source;
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};

    const auto t0 = Clock::now();
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    std::string seen;
    bool prompt = false;
    const auto deadline = t0 + std::chrono::seconds(10);
    while (!prompt && Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        char c = 0;
        if (::read(fd, &c, 1) != 1) {
            break;
        }
        seen.push_back(c);
        const auto echo = seen.find(command);
        prompt = echo != std::string::npos && seen.find("USB>", echo + command.size()) != std::string::npos;
    }
    if (!prompt) {
        std::fprintf(stderr, "sx run: no prompt after the xrecv echo\n");
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    const auto tSpawn = Clock::now();
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, kSx, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "posix_spawn %s: %s\n", kSx, std::strerror(rc));
        return r;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const auto t1 = Clock::now();
    r.totalMs = ms(t0, t1);
    r.sxMs = ms(tSpawn, t1);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!r.ok) {
        std::fprintf(stderr, "sx ended with status 0x%X (messages in %s)\n", static_cast<unsigned>(status),
                     sxLog.c_str());
    }
    drain(fd, 100);
    return r;
}

// ---- The library ------------------------------------------------------------------------------

std::mutex gMutex;
std::condition_variable gCv;
std::optional<std::uint32_t> gFinal;
std::optional<Clock::time_point> gStartAt;
std::optional<Clock::time_point> gFinalAt;
std::atomic<unsigned> gAcks{0};
std::atomic<unsigned> gNaks{0};
std::vector<Clock::time_point> gAckAt;  // written on the upload thread only, read after the final status

void onStatus(std::uint32_t status) {
    const auto now = Clock::now();
    if (status == KVLIB_ERR_UPLOAD_ACK) {
        gAckAt.push_back(now);
        gAcks.fetch_add(1);
        return;
    }
    if (status == KVLIB_ERR_UPLOAD_NAK) {
        gNaks.fetch_add(1);
        return;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    if (status == KVLIB_ERR_UPLOAD_START) {
        gStartAt = now;
        return;
    }
    if (status == KVLIB_ERR_UPLOAD_CACHE_UPDATE) {
        return;
    }
    gFinal = status;
    gFinalAt = now;
    gCv.notify_all();
}

struct LibRun {
    bool ok = false;
    double totalMs = 0;           // KvFileUpload called -> DONE
    double fromStartMs = 0;       // START status -> DONE
    std::vector<double> blockUs;  // between consecutive ACK statuses
};

LibRun runLibrary(std::uint32_t handle, const std::string& path) {
    LibRun r;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gFinal.reset();
        gStartAt.reset();
        gFinalAt.reset();
    }
    gAcks = 0;
    gNaks = 0;
    gAckAt.clear();
    gAckAt.reserve(8192);
    const auto t0 = Clock::now();
    const std::uint32_t rc = KvFileUpload(handle, path.c_str(), UPLOAD_RAMDISK, onStatus);
    if (rc != 0) {
        std::fprintf(stderr, "KvFileUpload: 0x%08X\n", rc);
        return r;
    }
    std::unique_lock<std::mutex> lock(gMutex);
    if (!gCv.wait_for(lock, std::chrono::seconds(600), [] { return gFinal.has_value(); })) {
        std::fprintf(stderr, "KvFileUpload: no final status\n");
        return r;
    }
    r.ok = *gFinal == KVLIB_ERR_UPLOAD_DONE && gStartAt.has_value();
    if (!r.ok) {
        std::fprintf(stderr, "KvFileUpload ended with 0x%08X\n", *gFinal);
        return r;
    }
    r.totalMs = ms(t0, *gFinalAt);
    r.fromStartMs = ms(*gStartAt, *gFinalAt);
    for (std::size_t i = 1; i < gAckAt.size(); ++i) {
        r.blockUs.push_back(ms(gAckAt[i - 1], gAckAt[i]) * 1000.0);
    }
    if (gNaks.load() != 0) {
        std::fprintf(stderr, "  (library run: %u NAKs)\n", gNaks.load());
    }
    return r;
}

// ---- Figures -----------------------------------------------------------------------------------

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double best(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

void printRow(const char* label, const std::vector<double>& v) {
    std::printf("  %-52s median %9.1f ms   best %9.1f ms   (", label, median(v), best(v));
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::printf("%s%.1f", i == 0 ? "" : " ", v[i]);
    }
    std::printf(")\n");
}

struct Round {
    std::vector<double> sxTotal, sxOnly, libTotal, libFromStart;
    std::vector<double> libBlockUs;  // between consecutive ACK statuses of the library
    int mismatches = 0;
    bool failed = false;
};

// `repeats` sx uploads, then `repeats` library uploads, of `source` to one simulator.
Round measure(const std::vector<std::string>& simOptions, const std::string& store, const std::string& source,
              std::size_t size, int repeats, const std::string& tag, const std::string& sxLog, bool paced) {
    Round round;
    kqsim::Launcher sim(simOptions);
    if (!sim.started()) {
        std::fprintf(stderr, "cannot start the simulated controller\n");
        round.failed = true;
        return round;
    }
    std::optional<PacedLine> line;
    std::string port = sim.port();
    if (paced) {
        line.emplace(sim.port(), kLineBytesPerSecond);
        if (line->path().empty()) {
            std::fprintf(stderr, "cannot set up the paced line\n");
            round.failed = true;
            return round;
        }
        port = line->path();
    }
    // sx and the library take turns, so that a change in the machine's load meets both alike.
    for (int i = 0; i < repeats && !round.failed; ++i) {
        const int fd = openRaw(port);
        if (fd < 0) {
            std::fprintf(stderr, "cannot open %s\n", port.c_str());
            round.failed = true;
            break;
        }
        const std::string name = tag + "-sx-" + std::to_string(i) + ".bin";
        const SxRun sx = runSx(fd, source, name, size, sxLog);
        ::close(fd);
        if (!sx.ok) {
            round.failed = true;
            break;
        }
        round.sxTotal.push_back(sx.totalMs);
        round.sxOnly.push_back(sx.sxMs);
        if (!sameContent(source, store + "/ramdisk/" + name)) {
            ++round.mismatches;
            std::fprintf(stderr, "stored %s differs from the source\n", name.c_str());
        }

        std::uint32_t rc = 0;
        const std::uint32_t handle = kvxOpenComDevice(port.c_str(), 38400, &rc);
        if (rc != 0 || handle == 0) {
            std::fprintf(stderr, "cannot open %s: 0x%08X\n", port.c_str(), rc);
            round.failed = true;
            break;
        }
        // The library names the stored file after the source, so each run uploads its own copy.
        const std::string copy = source + "." + tag + "-lib-" + std::to_string(i) + ".bin";
        {
            const std::vector<char> data = readFile(source);
            std::ofstream out(copy, std::ios::binary);
            out.write(data.data(), static_cast<std::streamsize>(data.size()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // as the sx runs' drain
        const LibRun r = runLibrary(handle, copy);
        kvxCloseDevice(handle);
        if (!r.ok) {
            round.failed = true;
            break;
        }
        round.libTotal.push_back(r.totalMs);
        round.libFromStart.push_back(r.fromStartMs);
        round.libBlockUs.insert(round.libBlockUs.end(), r.blockUs.begin(), r.blockUs.end());
        if (!sameContent(source, store + "/ramdisk/" + baseName(copy))) {
            ++round.mismatches;
            std::fprintf(stderr, "stored %s differs from the source\n", baseName(copy).c_str());
        }
    }
    line.reset();
    sim.stop();
    return round;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const auto fileKiB = static_cast<std::size_t>(argc > 2 ? std::max(1, std::atoi(argv[2])) : 1024);
    const int pacedRepeats = argc > 3 ? std::max(0, std::atoi(argv[3])) : 2;
    const auto pacedKiB = static_cast<std::size_t>(argc > 4 ? std::max(1, std::atoi(argv[4])) : 64);

    if (::access(kSx, X_OK) != 0) {
        std::fprintf(stderr, "%s is missing (Debian package lrzsz): it is the baseline\n", kSx);
        return 1;
    }
    const std::string dir = kvbench::MakeWorkDir("kvarolib-upload");
    if (dir.empty()) {
        return 1;
    }
    const std::string sxLog = dir + "/sx.messages";
    const std::size_t size = fileKiB * 1024;
    const std::size_t pacedSize = pacedKiB * 1024;
    const std::string source = dir + "/upload-source.bin";
    const std::string pacedSource = dir + "/paced-source.bin";
    if (!writeRandomFile(source, size, 1) || !writeRandomFile(pacedSource, pacedSize, 2)) {
        std::fprintf(stderr, "cannot write the source files in %s\n", dir.c_str());
        return 1;
    }
    if (const std::uint32_t rc = kvxInitLib(); rc != 0) {
        std::fprintf(stderr, "kvxInitLib: 0x%08X\n", rc);
        return 1;
    }

    const std::string store = dir + "/store";
    const Round fast = measure({"--store", store}, store, source, size, repeats, "fast", sxLog, false);
    Round paced;
    const std::string pacedStore = dir + "/store-paced";
    if (!fast.failed && pacedRepeats > 0) {
        paced = measure({"--store", pacedStore, "--line-rate", "38400"}, pacedStore, pacedSource, pacedSize,
                        pacedRepeats, "paced", sxLog, true);
    }
    kvxCloseLib();
    if (fast.failed || paced.failed) {
        std::fprintf(stderr, "uploads failed; files in %s\n", dir.c_str());
        return 1;
    }

    std::printf(
        "upload of a %zu-byte file to the RAM disk area, kqsim without line-rate emulation, %d runs each\n",
        size, repeats);
    printRow("baseline: sx -k, xrecv line -> sx exit", fast.sxTotal);
    printRow("          (of which sx spawn -> exit)", fast.sxOnly);
    printRow("KvFileUpload call -> DONE (incl. 100 ms settle)", fast.libTotal);
    printRow("KvFileUpload START status -> DONE", fast.libFromStart);
    std::printf("  ratio library / sx, call -> DONE:    median %6.3f   best %6.3f   (target <= 1.0)\n",
                median(fast.libTotal) / median(fast.sxTotal), best(fast.libTotal) / best(fast.sxTotal));
    std::printf("  ratio library / sx, START -> DONE:   median %6.3f   best %6.3f\n",
                median(fast.libFromStart) / median(fast.sxTotal),
                best(fast.libFromStart) / best(fast.sxTotal));
    if (!fast.libBlockUs.empty()) {
        std::vector<double> sorted = fast.libBlockUs;
        std::sort(sorted.begin(), sorted.end());
        double sum = 0;
        for (double v : sorted) {
            sum += v;
        }
        std::printf(
            "  per 1 KiB block: library, between ACK statuses: median %.1f us  mean %.1f us  p99 %.1f us"
            "  max %.1f us  best %.1f us\n",
            median(sorted), sum / static_cast<double>(sorted.size()),
            sorted[static_cast<std::size_t>(0.99 * static_cast<double>(sorted.size() - 1))], sorted.back(),
            sorted.front());
        std::printf(
            "                   sx, its time / %zu blocks (no per-block times): median %.1f us  best %.1f "
            "us\n",
            (size + 1023) / 1024, median(fast.sxOnly) * 1000.0 / static_cast<double>((size + 1023) / 1024),
            best(fast.sxOnly) * 1000.0 / static_cast<double>((size + 1023) / 1024));
    }
    std::printf("  stored files differing from the source: %d of %d\n", fast.mismatches, 2 * repeats);

    if (pacedRepeats > 0) {
        const auto share = [&](double msTaken) {
            return static_cast<double>(pacedSize) / (msTaken / 1000.0) / kLineBytesPerSecond * 100.0;
        };
        std::printf(
            "\nupload of a %zu-byte file, kqsim --line-rate 38400 and the bench's\n"
            "  relay pacing the bytes sent to it alike (%.0f bytes/s both ways), %d runs each\n",
            pacedSize, kLineBytesPerSecond, pacedRepeats);
        printRow("baseline: sx -k, xrecv line -> sx exit", paced.sxTotal);
        printRow("KvFileUpload call -> DONE (incl. 100 ms settle)", paced.libTotal);
        printRow("KvFileUpload START status -> DONE", paced.libFromStart);
        std::printf(
            "  share of the line:  sx %6.2f %%   library call->DONE %6.2f %%   library START->DONE %6.2f %%"
            "   (medians; target >= 97 %%)\n",
            share(median(paced.sxTotal)), share(median(paced.libTotal)), share(median(paced.libFromStart)));
        std::printf("  stored files differing from the source: %d of %d\n", paced.mismatches,
                    2 * pacedRepeats);
    }
    std::printf("  (files, library log and sx messages in %s)\n", dir.c_str());
    return 0;
}
