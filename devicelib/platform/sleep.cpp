// A sleep that ends on time, built from the platform's ordinary sleep and the steady clock.
#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace kv::platform {

void sleepPreciseMs(std::uint32_t ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    constexpr std::uint32_t kAwakeMs = 2;
    if (ms > kAwakeMs) {
        sleepMs(ms - kAwakeMs);
    }
    while (Clock::now() < deadline) {
        std::this_thread::yield();
    }
}

}  // namespace kv::platform
