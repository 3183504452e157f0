// The periodic timer on Windows: the multimedia timer, which sets an event of its own at every
// expiry (TIME_CALLBACK_EVENT_SET: no callback of ours runs in the timer's context). That event is
// MmTimerEvent; being manual-reset, the waiting side resets it itself.
#include <windows.h>
#include <mmsystem.h>

#include <mutex>

#include "platform/platform.h"

namespace kv::platform {

static_assert(kWaitForever == INFINITE, "a wait without a limit is the system's own");

bool timerCapabilities(std::uint32_t& smallestMs, std::uint32_t& largestMs) {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) != MMSYSERR_NOERROR) {
        return false;
    }
    smallestMs = caps.wPeriodMin;
    largestMs = caps.wPeriodMax;
    return true;
}

struct PeriodicTimer::State {
    HANDLE expired = nullptr;  // MmTimerEvent, set by the system's timer
    HANDLE woken = nullptr;
    std::mutex mutex;  // guards starting and stopping
    UINT id = 0;
    UINT resolution = 0;
};

PeriodicTimer::PeriodicTimer() : state_(std::make_unique<State>()) {
    state_->expired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    state_->woken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

PeriodicTimer::~PeriodicTimer() {
    // A timer still running here belongs to a process that is ending without having closed the
    // library: killing it synchronously while the process detaches could wait for a timer thread that
    // is already gone, and closing its event under it could let it set a handle that is reused. The
    // system reclaims both with the process.
    if (state_->id != 0) {
        return;
    }
    for (HANDLE h : {state_->expired, state_->woken}) {
        if (h != nullptr) {
            CloseHandle(h);
        }
    }
}

std::uint32_t PeriodicTimer::start(std::uint32_t periodMs, std::uint32_t resolutionMs) {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.expired == nullptr) {
        return 0;
    }
    if (s.id != 0) {
        return s.id;
    }
    timeBeginPeriod(resolutionMs);
    // With TIME_CALLBACK_EVENT_SET the "callback" argument is the event to set.
    const UINT id = timeSetEvent(periodMs, resolutionMs, reinterpret_cast<LPTIMECALLBACK>(s.expired), 0,
                                 TIME_PERIODIC | TIME_CALLBACK_EVENT_SET | TIME_KILL_SYNCHRONOUS);
    if (id == 0) {
        timeEndPeriod(resolutionMs);
        return 0;
    }
    s.id = id;
    s.resolution = resolutionMs;
    return id;
}

void PeriodicTimer::stop() {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.id == 0) {
        return;
    }
    // Killed before the period is given back: the timer depends on it while it runs. With
    // TIME_KILL_SYNCHRONOUS no expiry is delivered after timeKillEvent returns.
    timeKillEvent(s.id);
    timeEndPeriod(s.resolution);
    s.id = 0;
    // An expiry from before the kill is no tick of a stopped timer.
    ResetEvent(s.expired);
}

void PeriodicTimer::wake() {
    if (state_->woken != nullptr) {
        SetEvent(state_->woken);
    }
}

TimerWait PeriodicTimer::wait(std::uint32_t ms) {
    State& s = *state_;
    if (s.expired == nullptr || s.woken == nullptr) {
        return TimerWait::failed;
    }
    // The wake-up first: a stop request is not to be starved by a timer that keeps expiring.
    const HANDLE events[2] = {s.woken, s.expired};
    switch (WaitForMultipleObjects(2, events, FALSE, ms)) {
        case WAIT_OBJECT_0:
            ResetEvent(s.woken);
            return TimerWait::woken;
        case WAIT_OBJECT_0 + 1:
            ResetEvent(s.expired);
            return TimerWait::expired;
        case WAIT_TIMEOUT:
            return TimerWait::timedOut;
        default:
            return TimerWait::failed;
    }
}

}  // namespace kv::platform
