#include <time.h>

#include <cerrno>

#include "platform/platform.h"

namespace kv::platform {

std::int64_t monotonicNowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void sleepUntilNs(std::int64_t deadlineNs) {
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1000000000LL);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

bool timerCapabilities(std::uint32_t& smallestMs, std::uint32_t& largestMs) {
    timespec res{};
    if (clock_getres(CLOCK_MONOTONIC, &res) != 0) {
        return false;
    }
    // A high-resolution clock keeps periods down to a millisecond; a coarse one its own step.
    const std::int64_t resNs = static_cast<std::int64_t>(res.tv_sec) * 1000000000LL + res.tv_nsec;
    smallestMs = static_cast<std::uint32_t>(resNs <= 1000000 ? 1 : (resNs + 999999) / 1000000);
    largestMs = 1000000;
    return true;
}

}  // namespace kv::platform
