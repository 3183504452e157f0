// The periodic timer on POSIX: the waiting thread sleeps to absolute deadlines of the monotonic
// clock (clock_nanosleep with TIMER_ABSTIME), so the period never drifts with the time the waiter's
// own work takes.
#include <time.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace kv::platform {
namespace {

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

}  // namespace

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

struct PeriodicTimer::State {
    std::mutex mutex;
    std::condition_variable cv;
    bool running = false;
    bool woken = false;
    std::uint32_t lastId = 0;
    std::int64_t periodNs = 1000000;
    std::int64_t nextNs = 0;  // the next deadline; only the waiting thread moves it while running
};

PeriodicTimer::PeriodicTimer() : state_(std::make_unique<State>()) {}
PeriodicTimer::~PeriodicTimer() = default;

std::uint32_t PeriodicTimer::start(std::uint32_t periodMs, std::uint32_t /*resolutionMs*/) {
    State& s = *state_;
    std::uint32_t id = 0;
    {
        std::lock_guard lock(s.mutex);
        s.periodNs = static_cast<std::int64_t>(periodMs == 0 ? 1 : periodMs) * 1000000LL;
        s.nextNs = monotonicNowNs() + s.periodNs;
        s.running = true;
        if (++s.lastId == 0) {
            ++s.lastId;
        }
        id = s.lastId;
    }
    s.cv.notify_all();
    return id;
}

void PeriodicTimer::stop() {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.running = false;
    }
    s.cv.notify_all();
}

void PeriodicTimer::wake() {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.woken = true;
    }
    s.cv.notify_all();
}

TimerWait PeriodicTimer::wait(std::uint32_t ms) {
    State& s = *state_;
    std::int64_t deadline = 0;
    {
        std::unique_lock lock(s.mutex);
        if (!s.running && !s.woken) {
            const auto ready = [&] { return s.running || s.woken; };
            if (ms == kWaitForever) {
                s.cv.wait(lock, ready);
            } else {
                s.cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
            }
        }
        if (s.woken) {
            s.woken = false;
            return TimerWait::woken;
        }
        if (!s.running) {
            return TimerWait::timedOut;
        }
        deadline = s.nextNs;
    }
    // A period is at most `ms` long in every use; a wake-up is seen after the deadline at the latest.
    sleepUntilNs(deadline);
    std::lock_guard lock(s.mutex);
    if (!s.running) {
        return TimerWait::timedOut;
    }
    s.nextNs += s.periodNs;
    // After a long stall (a suspended machine) the timer goes on from now rather than firing a burst
    // of late expiries.
    const std::int64_t now = monotonicNowNs();
    if (now - s.nextNs > 100 * s.periodNs) {
        s.nextNs = now + s.periodNs;
    }
    return TimerWait::expired;
}

}  // namespace kv::platform
