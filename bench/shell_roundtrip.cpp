// The shell round trip: KvRemoteCmd of a short command that the simulated controller answers at
// once, beside the floor measured in the same run — the same line written and read back until the
// prompt on the same pty with no library in between.
//
//   shell_roundtrip [exchanges]      (default 200)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "core/connection.h"
#include "kvarolib.h"
#include "simulator/launcher.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kCommand = "get_ser_num";

struct Figures {
    double median;
    double p99;
};

Figures summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))];
    };
    return {at(0.5), at(0.99)};
}

// One exchange straight on the pty: the command line out, then read until a prompt follows the echo.
bool rawExchange(int fd) {
    const std::string line = std::string("\r") + kCommand + "\r";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        return false;
    }
    std::string reply;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        reply.append(buf, static_cast<std::size_t>(n));
        const auto echo = reply.find(kCommand);
        if (echo != std::string::npos && reply.find("USB>", echo) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// `idleMs` > 0 pauses (untimed) before each exchange, as the library's settle does, so that the
// simulator and the kernel meet each line as cold as they meet the library's.
std::vector<double> measureFloor(const std::string& port, int count, int idleMs) {
    std::vector<double> times;
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return times;
    }
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B38400);
    ::tcsetattr(fd, TCSANOW, &tio);
    for (int i = 0; i < count; ++i) {
        if (idleMs > 0) {
            ::poll(nullptr, 0, idleMs);
        }
        const auto t0 = Clock::now();
        if (!rawExchange(fd)) {
            break;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    ::close(fd);
    return times;
}

std::vector<double> measureLibrary(const std::string& port, int count) {
    std::vector<double> times;
    std::uint32_t rc = 0;
    const std::uint32_t handle = kv::OpenComDevice(port.c_str(), &rc);
    if (rc != 0) {
        std::fprintf(stderr, "cannot open %s: 0x%08X\n", port.c_str(), rc);
        return times;
    }
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (KvRemoteCmd(handle, kCommand, nullptr) != 0) {
            break;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    kv::CloseComDevice();
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 200;
    if (std::getenv("KVLIB_LOG_DIR") == nullptr) {
        // Keep the benchmark's log out of the user's state directory.
        ::setenv("KVLIB_LOG_DIR", "/tmp/kvarolib-bench", 1);
    }
    kv::InitLog();

    kqsim::Launcher sim({});
    if (!sim.started()) {
        std::fprintf(stderr, "cannot start the simulated controller\n");
        return 1;
    }
    const std::vector<double> hotTimes = measureFloor(sim.port(), count, 0);
    const std::vector<double> idleTimes = measureFloor(sim.port(), count, 100);
    const std::vector<double> libTimes = measureLibrary(sim.port(), count);
    const auto n = static_cast<std::size_t>(count);
    if (hotTimes.size() != n || idleTimes.size() != n || libTimes.size() != n) {
        std::fprintf(stderr, "exchanges failed (floor %zu/%zu, library %zu of %d)\n", hotTimes.size(),
                     idleTimes.size(), libTimes.size(), count);
        return 1;
    }
    const Figures hot = summarise(hotTimes);
    const Figures idle = summarise(idleTimes);
    const Figures lib = summarise(libTimes);
    std::printf("shell round trip over %d exchanges of '%s'\n", count, kCommand);
    std::printf("  %-42s median %8.3f ms   p99 %8.3f ms\n", "KvRemoteCmd (incl. 100 ms settle)", lib.median,
                lib.p99);
    std::printf("  %-42s median %8.3f ms   p99 %8.3f ms\n", "floor: same pty, no library, back to back",
                hot.median, hot.p99);
    std::printf("  %-42s median %8.3f ms   p99 %8.3f ms\n", "floor: same pty, no library, 100 ms apart",
                idle.median, idle.p99);
    std::printf("  (round trip - 100 ms) / floor back to back:  median %6.2f   p99 %6.2f   (target <= 2)\n",
                (lib.median - 100.0) / hot.median, (lib.p99 - 100.0) / hot.p99);
    std::printf("  (round trip - 100 ms) / floor 100 ms apart:  median %6.2f   p99 %6.2f   (target <= 2)\n",
                (lib.median - 100.0) / idle.median, (lib.p99 - 100.0) / idle.p99);
    return 0;
}
