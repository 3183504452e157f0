#include <pthread.h>
#include <sched.h>

#include "platform/platform.h"

namespace kv::platform {

void setTimeCriticalPriority(std::thread& t) {
    // Real-time scheduling needs privileges that ordinary users rarely have; without it the
    // thread keeps the normal policy, which is good enough for a 38400 baud line.
    sched_param param{};
    // The middle of the range: above every normal thread, below the kernel's own real-time work,
    // so that a busy library thread can never lock up the machine.
    const int lo = sched_get_priority_min(SCHED_FIFO);
    const int hi = sched_get_priority_max(SCHED_FIFO);
    if (lo < 0 || hi < 0) {
        return;
    }
    param.sched_priority = lo + (hi - lo) / 2;
    (void)pthread_setschedparam(t.native_handle(), SCHED_FIFO, &param);
}

bool threadEndedBySystem(std::thread& /*t*/) {
    return false;
}

bool processEnding() {
    // Exit handlers run with every thread still alive; the library stops them itself.
    return false;
}

}  // namespace kv::platform
