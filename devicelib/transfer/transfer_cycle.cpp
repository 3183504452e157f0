#include "transfer/transfer_cycle.h"

#include <atomic>

#include "base/events.h"
#include "base/log.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "serial/telegram.h"
#include "shell/service.h"
#include "transfer/area_fields.h"
#include "transfer/engine.h"
#include "transfer/replies.h"
#include "transfer/statistics.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_state.h"

namespace kv {
namespace {

constexpr std::uint32_t kStartHandshakeMs = 5000;
constexpr std::uint32_t kBeatsPerSecond = 100;

struct CycleState {
    // The once-a-second state read: running flag and the beats since its last read.
    std::atomic<bool> oneSecondTimer{false};
    std::atomic<std::uint32_t> beatsSinceStateRead{0};
    // The handshake event of a start in progress; set by the first answered I/O exchange.
    platform::ManualResetEvent startEvent;
    std::atomic<bool> startWaiting{false};
};

CycleState& cycle() {
    static CycleState state;
    return state;
}

SlotSender senderFor(int slot) {
    switch (slot) {
        case SLOT_INFO_WR:
            return SendInfoWrRequest;
        case SLOT_INFO_RD:
            return SendInfoRdRequest;
        case SLOT_STATE_RD:
            return SendStateRdRequest;
        case SLOT_CONFIG_WR:
            return SendConfigWrRequest;
        case SLOT_MSG_WR:
            return SendMsgWrRequest;
        case SLOT_REM_IO:
            return SendRemIoRequest;
        default:
            // The Bluetooth slots: their senders are the relay's, registered in the table.
            return requestTable().sender(slot);
    }
}

}  // namespace

void SignalTransferStarted() {
    if (cycle().startWaiting.load()) {
        cycle().startEvent.set();
    }
}

void StartOneSecondTimer() {
    cycle().beatsSinceStateRead.store(0);
    cycle().oneSecondTimer.store(true);
}

void StopOneSecondTimer() {
    cycle().oneSecondTimer.store(false);
}

void OneSecondTimerBeat() {
    CycleState& c = cycle();
    if (!c.oneSecondTimer.load()) {
        return;
    }
    if (c.beatsSinceStateRead.fetch_add(1) + 1 >= kBeatsPerSecond) {
        c.beatsSinceStateRead.store(0);
        requestTable().queue(SLOT_STATE_RD, 0);
    }
}

std::uint32_t StartKolvX1Transfer() {
    CycleState& c = cycle();
    TransferFlags& flags = transferFlags();
    LogMsg(LOG_TIME, "Starting Kolv.X1 transfer...");
    // A start while a transfer runs restarts the handshake; the one-second timer is stopped first so
    // that at most one ever runs.
    StopOneSecondTimer();
    // The handshake is armed before the state says a start waits: when a transfer already runs, its
    // cycle answers I/O exchanges all along, and one answered in between would complete the start
    // (state 2 to 1) with no one yet listening, leaving this start to time out.
    c.startEvent.open();
    c.startEvent.reset();
    c.startWaiting.store(true);
    SetKolvX1TransferStatus(2);
    requestCounter().store(0);
    sessionId().store(0);
    ResetTransferClock();
    ForgetSentConfigIds();
    for (int i = 0; i < kControllerCount; ++i) {
        if (masterSlaveAlive(i).load() != 0) {
            requestTable().queue(SLOT_CONFIG_WR, i);
            requestTable().queue(SLOT_REM_IO, i);
        }
    }
    ClearRunTimeCounters();
    TransferStatistics& stats = transferStatistics();
    stats.actTimerAtStart.store(GetActTimerCount());
    stats.tickAtStart.store(platform::tickCountMs());

    if (!BeginTransferWrites()) {
        c.startWaiting.store(false);
        SetKolvX1TransferStatus(0);
        return KVLIB_ERR_CREATE_MM_TIMER;
    }
    const platform::WaitResult w = c.startEvent.wait(kStartHandshakeMs);
    c.startWaiting.store(false);

    if (w != platform::WaitResult::signalled) {
        LogMsg(LOG_TIME, "Timeout by starting TransferArea ..., ThreadWriteFlag= %d",
               flags.threadWriteFlag.load());
        LogMsg(LOG_TIME, "StartKolvX1Transfer, IFStatus.status = %d", MasterTransferState());
        StopKolvX1Transfer();
        return KVLIB_ERR_TIMEOUT_TA;
    }
    // A stop, or a failed write, may have ended the transfer since its handshake: then it is not
    // reported as running.
    if (!ConfirmTransferRunning()) {
        LogMsg(LOG_TIME, "StartKolvX1Transfer, transfer ended before it ran, IFStatus.status = %d",
               MasterTransferState());
        return KVLIB_ERR_THREAD_NOT_RUNNING;
    }
    StartOneSecondTimer();
    ResetReplyTiming();
    ResetBeatCounters();
    LogMsg(LOG_TIME, "Kolv.X1 transfer running...");
    return 0;
}

void StopKolvX1Transfer() {
    // Exactly one caller finds the transfer running and runs the stop; a second stop does nothing.
    // A stop while a shell service holds the port stops the paused transfer: the service's resume
    // does not start it again.
    if (!EndTransferWrites([] { LogMsg(LOG_TIME, "Stopping Kolv.X1 transfer..."); })) {
        return;
    }
    ClearBtChannels();
    StopOneSecondTimer();
    TransferStatistics& stats = transferStatistics();
    stats.actTimerAtStop.store(GetActTimerCount());
    stats.tickAtStop.store(platform::tickCountMs());
    stats.statStop.store(GetActTimerCount());
    LogStatistics();
    LogMsg(LOG_TIME, "Kolv.X1 transfer stopped ...");
}

void StopTransferOnPortError(std::uint32_t error) {
    StopKolvX1Transfer();
    const auto low = static_cast<std::uint16_t>(error & 0xFFFFu);
    transferFlags().portError.store(low);
    SetMasterComError(low);
    // The beat closes the connection; with no transfer running its timer is disarmed, so it is
    // woken here rather than left to the next tick.
    libraryEvents().mmWait.set();
}

bool SendIFData(bool noAccounting, const std::uint8_t* telegram, std::uint32_t length) {
    libraryEvents().transferReply.reset();
    if (!noAccounting) {
        // Noted before the write: the reply may come before the write call has even returned.
        NoteRequestSent(GetU16LE(telegram + 12));
    }
    std::uint32_t error = 0;
    const bool written = comPort().SendData(telegram, length, &error);
    TraceRequest(1, telegram);
    if (!written) {
        if (error == KVLIB_ERR_DEVICE_NOT_OPEN || error == KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE) {
            return false;
        }
        LogMsg(LOG_TIME, "SendIFData, SendData= FALSE, errCode= %d", static_cast<int>(error));
        StopTransferOnPortError(error);
    }
    return written;
}

int PickNextRequest(RequestTableSnapshot& snapshot, int& outcome) {
    outcome = 0;
    for (int slot = 0; slot < kRequestSlots; ++slot) {
        RequestSlotCopy& s = snapshot[static_cast<std::size_t>(slot)];
        if (s.pending == 0) {
            continue;
        }
        SlotSender send = senderFor(slot);
        outcome = send != nullptr ? send(s) : 0;
        if (slot >= SLOT_BT_SCAN) {
            // Bluetooth replies are handled whenever they come; the cycle does not wait for them.
            libraryEvents().transferReply.set();
        }
        return slot;
    }
    return -1;
}

void ChangeCheck() {
    for (int i = 0; i < kControllerCount; ++i) {
        if (masterSlaveAlive(i).load() != 0 && RecordConfigId(i) != ackConfigId(i).load()) {
            requestTable().queue(SLOT_CONFIG_WR, i);
        }
    }
}

namespace {

// Every chunk is handled with the transfer area held: the reply handlers write into it, and the
// library's close must not free it under them.
void dispatchHoldingArea(RxHandler handler, const std::uint8_t* bytes, std::int32_t count) {
    const TransferAreaReader areaInUse;
    handler(bytes, count);
}

}  // namespace

void InstallTransferReceiveHooks() {
    SetRxDispatch(dispatchHoldingArea);
    SetReadFailureHook(StopTransferOnPortError);
}

void ClearTransferReceiveHooks() {
    SetRxDispatch(nullptr);
    SetReadFailureHook(nullptr);
}

void PauseTransferCycle() {
    // The flag and its saved copy change in one step, so that a stop cannot fall in between.
    PauseTransferWrites();
    // A request cycle in progress may still be waiting for a reply and would repeat its request
    // into the shell's answer; it ends after its current wait, so let it end first (bounded: a
    // cycle waits at most 200 ms per request once the flag is clear).
    WaitForCycleEnd(1000);
    // Lets a request already on its way be answered before the port carries text.
    platform::sleepPreciseMs(100);
}

void ResumeTransferCycle() {
    SetRxHandler(RX_TELEGRAM);
    // A transfer stopped during the service stays stopped.
    ResumeTransferWrites();
}

}  // namespace kv

extern "C" {

KVLIB_API std::uint32_t kvxStartTransferArea(std::uint32_t handle) {
    // The handshake's reply is handled on the receive thread.
    if (kv::RefusedOnReceiveThread("kvxStartTransferArea")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    if (std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    // The start writes its first requests at once; while a shell service has the port they would
    // land in its dialogue.
    const kv::DirectTelegramScope direct;
    if (direct.refused()) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    return kv::StartKolvX1Transfer();
}

KVLIB_API std::uint32_t kvxStopTransferArea(void) {
    kv::StopKolvX1Transfer();
    return 0;
}

KVLIB_API std::uint32_t kvxIsTransferActiv(std::uint32_t handle) {
    if (std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (kv::transferArea() == nullptr) {
        return KVLIB_ERR_THREAD_NOT_RUNNING;
    }
    switch (kv::MasterTransferState()) {
        case 1:
            return KVLIB_ERR_THREAD_IS_RUNNING;
        case 2:
            return KVLIB_ERR_THREAD_SYNCHRONIZED;
        default:
            return KVLIB_ERR_THREAD_NOT_RUNNING;
    }
}

KVLIB_API IF08_TRANSFER* GetIF08TransferAddress(std::uint32_t handle) {
    kv::LogMsg(kv::LOG_TIME, "GetIF08TransferAddress, kvhdl= %d", static_cast<int>(handle));
    if (kv::CheckDeviceHandle(handle) != 0) {
        return nullptr;
    }
    return kv::transferArea();
}

KVLIB_API TRANSFER_STATUS* GetKvX1TransferStatusAddr(std::uint32_t handle, std::int32_t index) {
    if (kv::CheckDeviceHandle(handle) != 0) {
        return nullptr;
    }
    // An index outside the nine records would give an address outside the area; none is handed out.
    KOLV_X1_TRANSFER* rec = kv::record(index);
    return rec != nullptr ? &rec->TransferStatus : nullptr;
}

}  // extern "C"
