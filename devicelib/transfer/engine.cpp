#include "transfer/engine.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "base/events.h"
#include "base/log.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/parser.h"
#include "serial/telegram.h"
#include "transfer/area_fields.h"
#include "transfer/request_table.h"
#include "transfer/statistics.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_cycle.h"
#include "transfer/transfer_state.h"

namespace kv {
namespace {

constexpr std::uint32_t kReplyWaitMs = 200;
constexpr std::uint32_t kGiveUpMs = 5000;
constexpr std::uint32_t kTickMs = 1;
// The workers wait for their events without a limit: a stop sets every event they wait for, and an
// idle library must not wake the machine to look.
constexpr std::uint32_t kWorkerWait = platform::kWaitForever;

struct EngineState {
    std::atomic<std::uint32_t> tickCount{0};
    std::atomic<std::uint32_t> timerId{0};
    std::atomic<std::uint32_t> resolution{0};
    std::atomic<std::uint32_t> kvTimeOut{0};
    std::atomic<std::uint32_t> ticksSinceBeat{0};

    // Reply timing; RecordReplyTime (receive thread) is the only writer while a transfer runs.
    std::atomic<std::uint8_t> timingEnabled{0};
    std::atomic<std::uint32_t> lastTime{0};
    std::atomic<std::uint32_t> total{0};
    std::atomic<std::uint32_t> dynBase{0};
    std::atomic<std::uint32_t> lastAdjust{0};

    // The 1 ms timer whose expiries wake the tick thread (its event is MmTimerEvent). kvxInitLib
    // sets it up; it runs only while a transfer does, so that an idle library costs nothing.
    platform::PeriodicTimer timer;
    // Guards the timer's arming and disarming and the reading of the count while it is disarmed.
    std::mutex clockMutex;
    bool clockPrepared = false;  // SetKvMmTimer succeeded and StopKvMmTimer has not run since
    // The timer runs: the tick count is the library's clock. Otherwise, once prepared, the clock goes
    // on from the frozen count with the system's monotonic milliseconds since `idleSinceMs`.
    std::atomic<bool> ticking{false};
    std::uint32_t idleSinceMs = 0;  // guarded by clockMutex

    std::mutex cycleMutex;
    std::condition_variable cycleCv;
    bool cycleActive = false;

    // The tick thread advances the run-time counters by reading and writing them back; a transfer
    // start clears them. One lock keeps a clear from landing between the two.
    std::mutex runTimeMutex;

    std::mutex threadMutex;
    std::thread tickThread;
    std::thread beatThread;
    std::thread requestThread;
    std::atomic<bool> stopRequested{false};

    // What the beat does with the connection after a port failure (SetPortFailureHook).
    std::atomic<PortFailureHook> portFailureHook{nullptr};
};

// Never destroyed: the thread objects of a library that the application did not close must not be
// destroyed while their threads run (that would end the process with std::terminate). The stop at
// process exit (kvxInitLib arranges it) ends them first wherever it can.
EngineState& engine() {
    static EngineState* const state = new EngineState();
    return *state;
}

bool stopRequested() {
    return engine().stopRequested.load();
}

void WaitMmRpTmEvent() {
    EngineState& e = engine();
    while (!stopRequested()) {
        if (e.timer.wait(kWorkerWait) == platform::TimerWait::expired && !stopRequested()) {
            TickOnce();
        }
    }
}

// The beat itself runs on the tick thread (TickOnce): handing it to this thread cost a wake-up per
// beat for a few instructions. This thread closes the connection after a port failure, which may
// block on the receive thread and so must never hold up the ticks.
void WaitMmEvent() {
    EngineState& e = engine();
    LibraryEvents& ev = libraryEvents();
    TransferFlags& flags = transferFlags();
    while (!stopRequested()) {
        if (ev.mmWait.wait(kWorkerWait) != platform::WaitResult::signalled || stopRequested()) {
            continue;
        }
        ev.mmWait.reset();
        if (flags.threadWriteFlag.load() != 0) {
            continue;
        }
        if (const std::uint16_t err = flags.portError.load(); err != 0) {
            LogMsg(LOG_TIME, "Closing COM Connection because of COM error= %u", static_cast<unsigned>(err));
            flags.portError.store(0);
            if (const PortFailureHook hook = e.portFailureHook.load(); hook != nullptr) {
                hook();
            }
        }
    }
}

void KvRequestThread() {
    LibraryEvents& ev = libraryEvents();
    while (!stopRequested()) {
        if (ev.request.wait(kWorkerWait) != platform::WaitResult::signalled || stopRequested()) {
            continue;
        }
        ev.request.reset();
        transferStatistics().requestLoops.fetch_add(1);
        SetKvRequest();
        // A beat that fell into the cycle is dropped, not queued.
        ev.request.reset();
    }
}

struct CycleMark {
    CycleMark() {
        std::lock_guard lock(engine().cycleMutex);
        engine().cycleActive = true;
    }
    ~CycleMark() {
        {
            std::lock_guard lock(engine().cycleMutex);
            engine().cycleActive = false;
        }
        engine().cycleCv.notify_all();
    }
};

// Starts one worker thread with its log lines: `name` as in "Starting thread [...]", `shown` and
// `handleName` as in its "started" line, `starter` as in its failure line.
template <typename Fn>
std::uint32_t startThread(std::thread& slot, const char* name, const char* shown, const char* handleName,
                          const char* starter, Fn fn) {
    LogMsg(LOG_TIME, "Starting thread [%s]...", name);
    try {
        slot = std::thread(fn);
    } catch (const std::system_error& err) {
        LogMsg(LOG_ERROR, "%s, CreateThread() failed with error %d", starter, err.code().value());
        return KVLIB_ERR_THREAD_NOT_STARTABLE;
    }
    LogMsg(LOG_TIME, "  [%s] started, %s= %d", shown, handleName,
           static_cast<int>(std::hash<std::thread::id>{}(slot.get_id()) & 0x7FFFFFFF));
    platform::setTimeCriticalPriority(slot);
    return 0;
}

}  // namespace

RepeatAccounting& repeatAccounting() {
    static RepeatAccounting accounting;
    return accounting;
}

std::uint32_t GetActTimerCount() {
    EngineState& e = engine();
    if (e.ticking.load()) {
        return e.tickCount.load();
    }
    std::lock_guard lock(e.clockMutex);
    if (!e.clockPrepared || e.ticking.load()) {
        return e.tickCount.load();
    }
    return e.tickCount.load() + (platform::tickCountMs() - e.idleSinceMs);
}

namespace {
// Sets the library's clock to `ms`, whether the timer runs or not.
void setActTimerCount(std::uint32_t ms) {
    EngineState& e = engine();
    std::lock_guard lock(e.clockMutex);
    e.tickCount.store(ms);
    e.idleSinceMs = platform::tickCountMs();
}
}  // namespace

bool ArmTransferClock() {
    EngineState& e = engine();
    std::lock_guard lock(e.clockMutex);
    if (!e.clockPrepared || e.ticking.load()) {
        return true;
    }
    // The ticks go on from where the idle clock stands.
    const std::uint32_t now = platform::tickCountMs();
    e.tickCount.store(e.tickCount.load() + (now - e.idleSinceMs));
    e.idleSinceMs = now;
    if (e.timer.start(kTickMs, e.resolution.load()) == 0) {
        LogMsg(LOG_TIME, "SetKvMmTimer: Error by timeSetEvent(), mmRpTimerId = NULL");
        return false;
    }
    e.ticking.store(true);
    return true;
}

void DisarmTransferClock() {
    EngineState& e = engine();
    std::lock_guard lock(e.clockMutex);
    if (!e.clockPrepared || !e.ticking.load()) {
        return;
    }
    e.timer.stop();
    e.idleSinceMs = platform::tickCountMs();
    e.ticking.store(false);
}

std::uint32_t AccumulatedTimeout() {
    return engine().kvTimeOut.load();
}

std::uint32_t TimerResolution(std::uint32_t smallestPeriod, std::uint32_t largestPeriod) {
    return std::min(std::max(smallestPeriod, 1u), largestPeriod);
}

std::uint32_t SetKvMmTimer() {
    EngineState& e = engine();
    ResetBeatCounters();
    std::uint32_t smallest = 0;
    std::uint32_t largest = 0;
    bool capable = platform::timerCapabilities(smallest, largest);
#ifdef KVLIB_TEST_SEAMS
    // Test builds only: lets a test see what the programs do when the library cannot start.
    if (const char* fail = std::getenv("KVLIB_TEST_FAIL_TIMER"); fail != nullptr && fail[0] == '1') {
        capable = false;
    }
#endif
    if (!capable) {
        LogMsg(LOG_TIME, "SetKvMmTimer, Error by timeGetDevCaps()...");
        return 0;
    }
    const std::uint32_t resolution = TimerResolution(smallest, largest);
    e.resolution.store(resolution);
    std::lock_guard lock(e.clockMutex);
    // Started once to know that the system gives this timer at all, then disarmed until a transfer
    // starts: the library's clock meanwhile follows the monotonic clock.
    const std::uint32_t id = e.timer.start(kTickMs, resolution);
    if (id == 0) {
        LogMsg(LOG_TIME, "SetKvMmTimer: Error by timeSetEvent(), mmRpTimerId = NULL");
        return 0;
    }
    e.timer.stop();
    e.ticking.store(false);
    e.idleSinceMs = platform::tickCountMs();
    e.clockPrepared = true;
    e.timerId.store(id);
    LogMsg(LOG_TIME, "Starting MMTimer... (mmRpTimerId= %u)", id);
    return id;
}

void StopKvMmTimer() {
    EngineState& e = engine();
    {
        std::lock_guard lock(e.clockMutex);
        e.timer.stop();
        e.ticking.store(false);
        e.clockPrepared = false;
    }
    LogMsg(LOG_TIME, "Stopped MmTimer (mmRpTimerId= %u)...", e.timerId.load());
    e.timerId.store(0);
}

std::uint32_t StartWorkerThreads() {
    EngineState& e = engine();
    std::lock_guard lock(e.threadMutex);
    e.stopRequested.store(false);
    if (std::uint32_t rc = startThread(e.tickThread, "WaitMmRpTmEvent", "WaitMmRpTmEvent", "hRpTmThrWait",
                                       "StartMmRpTmEventThread", WaitMmRpTmEvent);
        rc != 0) {
        return rc;
    }
    if (std::uint32_t rc = startThread(e.beatThread, "WaitMmEvent", "WaitMmEventThread", "hThrWait",
                                       "StartWaitMmEventThread", WaitMmEvent);
        rc != 0) {
        return rc;
    }
    return startThread(e.requestThread, "KvRequestThread", "KvRequestThread", "hThrRequest",
                       "StartKvRequestThread", KvRequestThread);
}

void StopWorkerThreads() {
    EngineState& e = engine();
    std::lock_guard lock(e.threadMutex);
    e.stopRequested.store(true);
    // A wake-up given before the tick thread waits is kept for that wait, so none is lost.
    e.timer.wake();
    LibraryEvents& ev = libraryEvents();
    ev.mmWait.set();
    ev.request.set();
    ev.transferReply.set();
    for (std::thread* t : {&e.tickThread, &e.beatThread, &e.requestThread}) {
        if (t->joinable()) {
            t->join();
        }
    }
    LogMsg(LOG_TIME, "Threads terminated...");
}

void SetPortFailureHook(PortFailureHook hook) {
    engine().portFailureHook.store(hook);
}

bool WorkerThreadsEndedBySystem() {
    EngineState& e = engine();
    std::lock_guard lock(e.threadMutex);
    return e.tickThread.joinable() && platform::threadEndedBySystem(e.tickThread);
}

void AdvanceRunTimeCounters(std::uint16_t* c) {
    c[0] = static_cast<std::uint16_t>(c[0] + 1);
    for (int i = 1; i <= 4; ++i) {
        if (c[i - 1] % 10 != 0) {
            return;
        }
        c[i] = static_cast<std::uint16_t>(c[i] + 1);
    }
    if (c[4] % 6 == 0) {
        c[5] = static_cast<std::uint16_t>(c[5] + 1);
    }
}

void TickOnce() {
    EngineState& e = engine();
    e.tickCount.fetch_add(1);
    if (KOLV_X1_TRANSFER* master = record(0)) {
        std::lock_guard lock(e.runTimeMutex);
        std::array<std::uint16_t, 6> counters = LoadRunTimeCounters(master->RpTimer);
        AdvanceRunTimeCounters(counters.data());
        StoreRunTimeCounters(master->RpTimer, counters);
    }
    if (e.ticksSinceBeat.fetch_add(1) + 1 >= 10) {
        e.ticksSinceBeat.store(0);
        // The 10 ms beat: while the transfer sends, the once-a-second state read is counted and the
        // request thread is woken for its cycle.
        transferStatistics().mmTimerCalls.fetch_add(1);
        if (transferFlags().threadWriteFlag.load() != 0) {
            OneSecondTimerBeat();
            libraryEvents().request.set();
        }
    }
}

void ClearRunTimeCounters() {
    if (KOLV_X1_TRANSFER* master = record(0)) {
        std::lock_guard lock(engine().runTimeMutex);
        StoreRunTimeCounters(master->RpTimer, {});
    }
}

void ResetBeatCounters() {
    transferStatistics().mmTimerCalls.store(0);
    transferStatistics().requestLoops.store(0);
}

void ResetTransferClock() {
    EngineState& e = engine();
    RepeatAccounting& r = repeatAccounting();
    r.sendTime.store(0);
    r.lastSentCounter.store(0);
    r.repeatCount.store(0);
    r.answered.store(false);
    TransferStatistics& s = transferStatistics();
    s.statStart.store(0);
    s.statStop.store(0);
    s.tcnt.store(0);
    s.tmax.store(0);
    s.tavg.store(0);
    s.retries.store(0);
    e.lastTime.store(0);
    e.total.store(0);
    // The estimate starts afresh with each transfer; its last adjustment was a time of the old tick
    // count, which starts from 0 again here.
    e.dynBase.store(0);
    e.lastAdjust.store(0);
    e.timingEnabled.store(0);
    setActTimerCount(0);
    e.kvTimeOut.store(0);
}

void ResetReplyTiming() {
    EngineState& e = engine();
    TransferStatistics& s = transferStatistics();
    s.statStart.store(GetActTimerCount());
    s.tmax.store(0);
    e.total.store(0);
    s.tcnt.store(0);
    e.timingEnabled.store(1);
}

void NoteRequestSent(std::uint16_t counter) {
    RepeatAccounting& r = repeatAccounting();
    if (counter == r.lastSentCounter.load() && !r.answered.load()) {
        r.repeatCount.fetch_add(1);
        return;
    }
    // A new request. The counter is published last: a reply that finds it finds the rest as well.
    r.answered.store(false);
    r.repeatCount.store(1);
    r.sendTime.store(GetActTimerCount());
    r.lastSentCounter.store(counter);
}

namespace {

// A controller with a new session has lost its configuration: the master's is written again.
void queueConfigWriteForNewSession() {
    requestTable().queue(SLOT_CONFIG_WR, 0);
}

}  // namespace

void InstallCycleReplyHooks() {
    SetCycleReplyHooks(RecordReplyTime, queueConfigWriteForNewSession);
}

void ClearCycleReplyHooks() {
    SetCycleReplyHooks(nullptr, nullptr);
}

bool RecordReplyTime(std::uint16_t counter) {
    EngineState& e = engine();
    RepeatAccounting& r = repeatAccounting();
    TransferStatistics& s = transferStatistics();
    if (counter != r.lastSentCounter.load()) {
        return false;
    }
    bool answeredBefore = false;
    if (!r.answered.compare_exchange_strong(answeredBefore, true)) {
        return false;
    }
    if (e.timingEnabled.load() == 0 || r.repeatCount.load() != 1) {
        return true;
    }
    const std::uint32_t now = GetActTimerCount();
    const std::uint32_t tcnt = s.tcnt.load() + 1;
    const std::uint32_t last = now - r.sendTime.load();
    const std::uint32_t total = e.total.load() + last;
    s.tcnt.store(tcnt);
    e.lastTime.store(last);
    e.total.store(total);
    s.tavg.store(total / tcnt);
    if (tcnt == 1) {
        return true;
    }
    s.tmax.store(std::max(s.tmax.load(), last));

    std::uint32_t base = e.dynBase.load();
    if (base < 10) {
        base = 10;
        e.lastAdjust.store(now);
    } else if (last > base) {
        base = last;
        e.lastAdjust.store(now);
    } else if (now - e.lastAdjust.load() > 5000) {
        const std::uint32_t drop = std::max<std::uint32_t>((base - last) * 20 / 100, 1);
        base = base > drop ? base - drop : 0;
        if (base < 10) {
            base = 10;
        }
        e.lastAdjust.store(now);
    }
    e.dynBase.store(base);
    s.dynTimeOut.store(base * 15 / 10);
    return true;
}

bool WaitForCycleEnd(std::uint32_t ms) {
    EngineState& e = engine();
    std::unique_lock lock(e.cycleMutex);
    return e.cycleCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !e.cycleActive; });
}

void SetKvRequest() {
    CycleMark mark;
    EngineState& e = engine();
    LibraryEvents& ev = libraryEvents();
    TransferFlags& flags = transferFlags();

    ChangeCheck();
    RequestTableSnapshot snapshot = requestTable().snapshot();
    ev.transferReply.set();

    // The flag is read again before every send, repeats included: a shell service that took the
    // port in the meantime must never see a telegram in its answer.
    // Set while the request now outstanding went unanswered: the counter its first copy carried.
    bool repeat = false;
    std::uint16_t repeatOf = 0;
    while (flags.threadWriteFlag.load() != 0 && !stopRequested()) {
        int outcome = 0;
        int slot = -1;
        {
            std::optional<RepeatCounterScope> sameCounter;
            if (repeat) {
                sameCounter.emplace(repeatOf);
            }
            slot = PickNextRequest(snapshot, outcome);
        }
        repeat = false;
        if (outcome == 2 || (outcome == 0 && slot < 0)) {
            return;
        }
        RequestSlotCopy& s = snapshot[static_cast<std::size_t>(slot)];
        if (outcome == 0) {
            s.pending = 0;
            continue;
        }
        if (flags.threadWriteFlag.load() == 0) {
            return;
        }
        switch (ev.transferReply.wait(kReplyWaitMs)) {
            case platform::WaitResult::signalled:
                e.kvTimeOut.store(0);
                s.pending = 0;
                s.select.fill(0);
                break;
            case platform::WaitResult::timedOut: {
                const std::uint32_t waited = e.kvTimeOut.fetch_add(kReplyWaitMs) + kReplyWaitMs;
                if (waited > kGiveUpMs) {
                    EndTransferWrites([waited] {
                        LogMsg(
                            LOG_TIME,
                            "INFO: SetKvRequest, TransferArea stopped while Timeout is occurred...kvTimeOut= %u",
                            waited);
                    });
                    return;
                }
                // The same slot goes out again, built anew, with the counter of its first copy: a
                // single exchange on another thread may have taken the next number meanwhile.
                repeat = true;
                repeatOf = static_cast<std::uint16_t>(repeatAccounting().lastSentCounter.load());
                transferStatistics().retries.fetch_add(1);
                break;
            }
            case platform::WaitResult::failed:
                LogMsg(LOG_TIME, "INFO: SetKvRequest, WaitForSingleObject() failed with error= %d", 0);
                return;
        }
    }
}

}  // namespace kv
