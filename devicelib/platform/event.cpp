// The manual-reset event needs nothing of the operating system beyond what the standard library's
// mutex and condition variable already give on every platform.
#include "platform/platform.h"

namespace kv::platform {

void ManualResetEvent::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool ManualResetEvent::isSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

WaitResult ManualResetEvent::wait(std::uint32_t ms) {
    std::unique_lock lock(mutex_);
    const auto ready = [this] { return signalled_ || closed_; };
    bool done = true;
    if (ms == kWaitForever) {
        cv_.wait(lock, ready);
    } else {
        done = cv_.wait_for(lock, std::chrono::milliseconds(ms), ready);
    }
    if (closed_) {
        return WaitResult::failed;
    }
    return done ? WaitResult::signalled : WaitResult::timedOut;
}

void ManualResetEvent::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

void ManualResetEvent::open() {
    std::lock_guard lock(mutex_);
    closed_ = false;
    signalled_ = false;
}

}  // namespace kv::platform
