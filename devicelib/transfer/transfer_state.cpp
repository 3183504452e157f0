#include "transfer/transfer_state.h"

#include "transfer/area_fields.h"
#include "transfer/engine.h"
#include "transfer/transfer_area.h"

namespace kv {

TransferFlags& transferFlags() {
    static TransferFlags flags;
    return flags;
}

bool BeginTransferWrites() {
    TransferFlags& f = transferFlags();
    std::lock_guard lock(f.control);
    // The clock is armed and disarmed under the same lock as the flag, so that a stop racing with a
    // start never leaves a transfer running without its timer (or the timer without a transfer).
    if (!ArmTransferClock()) {
        return false;
    }
    f.threadWriteFlag.store(1);
    return true;
}

namespace detail {
bool runningLocked(const TransferFlags& f) {
    return f.threadWriteFlag.load() != 0 || (f.paused && f.savedWriteFlag != 0);
}

void endTransferWritesLocked(TransferFlags& f) {
    SetKolvX1TransferStatus(0);
    f.threadWriteFlag.store(0);
    f.savedWriteFlag = 0;
    DisarmTransferClock();
}
}  // namespace detail

bool EndTransferWrites() {
    return EndTransferWrites([] {});
}

bool ConfirmTransferRunning() {
    TransferFlags& f = transferFlags();
    std::lock_guard lock(f.control);
    if (!detail::runningLocked(f)) {
        return false;
    }
    SetKolvX1TransferStatus(1);
    return true;
}

bool CompleteTransferHandshake() {
    // Every I/O reply asks; only one during a start takes the lock.
    if (MasterTransferState() != 2) {
        return false;
    }
    TransferFlags& f = transferFlags();
    std::lock_guard lock(f.control);
    if (MasterTransferState() != 2) {
        return false;
    }
    SetKolvX1TransferStatus(1);
    return true;
}

bool TransferRunsOrPaused() {
    TransferFlags& f = transferFlags();
    std::lock_guard lock(f.control);
    return detail::runningLocked(f);
}

void PauseTransferWrites() {
    TransferFlags& f = transferFlags();
    std::lock_guard lock(f.control);
    if (!f.paused) {
        f.savedWriteFlag = f.threadWriteFlag.load();
        f.paused = true;
    }
    f.threadWriteFlag.store(0);
}

void ResumeTransferWrites() {
    TransferFlags& f = transferFlags();
    std::lock_guard lock(f.control);
    if (!f.paused) {
        return;
    }
    f.threadWriteFlag.store(f.savedWriteFlag);
    f.savedWriteFlag = 0;
    f.paused = false;
}

}  // namespace kv
