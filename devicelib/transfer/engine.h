// The clockwork of the transfer: a 1 ms timer, the tick, beat and request threads, the library's
// own millisecond count, the request cycle and its reply-time statistics.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

// The request the cycle has outstanding, kept by SendIFData: its counter, how often it went out
// (1 after the first write; a repeat goes out with the same counter) and when it first went out.
// The first reply that carries the counter answers it, whichever copy it answers; later ones are
// duplicates. A new request starts the count afresh.
struct RepeatAccounting {
    std::atomic<std::uint32_t> lastSentCounter{0};
    std::atomic<std::uint32_t> repeatCount{0};
    std::atomic<std::uint32_t> sendTime{0};
    std::atomic<bool> answered{false};
};
RepeatAccounting& repeatAccounting();

// Milliseconds since the last transfer start: counted by the tick thread while a transfer runs, and
// by the system's monotonic clock from where the count stopped while none does.
std::uint32_t GetActTimerCount();

// The timer's resolution from the system's smallest and largest period.
std::uint32_t TimerResolution(std::uint32_t smallestPeriod, std::uint32_t largestPeriod);

// Sets up the periodic 1 ms timer (it is started once to see that the system gives it, and then
// waits, disarmed, for a transfer); returns its id, 0 on failure. StopKvMmTimer undoes it.
std::uint32_t SetKvMmTimer();
void StopKvMmTimer();
// The timer runs only while a transfer does: armed when the transfer starts sending, disarmed when it
// ends. Both do nothing before SetKvMmTimer. Arming is false when the system refused the timer.
bool ArmTransferClock();
void DisarmTransferClock();

// Starts WaitMmRpTmEvent, WaitMmEvent and KvRequestThread; 0 or KVLIB_ERR_THREAD_NOT_STARTABLE.
std::uint32_t StartWorkerThreads();
// Asks the worker threads to stop and joins them: afterwards none of them touches library state.
void StopWorkerThreads();
// What the beat thread calls once it has logged a port failure that ended the transfer: the
// connection code sets it (closing the connection) at kvxInitLib before the worker threads start,
// and clears it at kvxCloseLib after they have stopped, so the beat never finds it empty.
using PortFailureHook = void (*)();
void SetPortFailureHook(PortFailureHook hook);
// True when the worker threads run no more although nobody stopped them: the system ended them
// because the process is ending (Windows does so before a DLL's exit handlers run).
bool WorkerThreadsEndedBySystem();

// Timing of the reply to the request with `counter`. RecordReplyTime says whether the reply answers
// the cycle's outstanding request (the first reply with its counter); it times it only when that
// request went out once, since for a repeated one nobody knows which copy the reply answers.
void ResetReplyTiming();
bool RecordReplyTime(std::uint16_t counter);
// Gives the parser what the engine does around each reply (RecordReplyTime before the handler, the
// master's configuration write after a new session id), at kvxInitLib; and takes it back at
// kvxCloseLib.
void InstallCycleReplyHooks();
void ClearCycleReplyHooks();
// Keeps the repeat accounting for a cycle request about to be written with `counter`.
void NoteRequestSent(std::uint16_t counter);

// One request cycle; normally run by the request thread on every beat.
void SetKvRequest();
// Waits (at most `ms`) until no request cycle is in progress. False when one still is.
bool WaitForCycleEnd(std::uint32_t ms);
// The reply waiting time that ran out since the last answered request.
std::uint32_t AccumulatedTimeout();

// Clears the tick count, the accumulated time-out, the retries, the statistics (except the dynamic
// time-out, which keeps its last value until the new measurements give one) and the dynamic base
// with its last adjustment, and disables reply timing: the state of a transfer that is about to
// start.
void ResetTransferClock();
// Sets the beat count and the request-loop count to 0.
void ResetBeatCounters();

// Clears the master's run-time counters (at a transfer start).
void ClearRunTimeCounters();

// One tick of the tick thread, and the run-time counter cascade it advances. Every tenth tick is the
// beat, which wakes the request thread while the transfer sends.
void TickOnce();
void AdvanceRunTimeCounters(std::uint16_t* counters);

}  // namespace kv
