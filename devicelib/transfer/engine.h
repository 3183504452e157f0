// The clockwork of the transfer: a 1 ms timer, the tick, beat and request threads, the library's
// own millisecond count, the request cycle and its reply-time statistics.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

// Kept by SendIFData for the request counter last written by the cycle; lowered by RecordReplyTime
// for replies to earlier copies of a repeated request.
struct RepeatAccounting {
    std::atomic<std::uint32_t> lastSentCounter{0};
    std::atomic<std::uint32_t> repeatCount{0};
    std::atomic<std::uint32_t> sendTime{0};
};
RepeatAccounting& repeatAccounting();

// Milliseconds counted by the tick thread since the last transfer start.
std::uint32_t GetActTimerCount();

// The timer's resolution from the system's smallest and largest period.
std::uint32_t TimerResolution(std::uint32_t smallestPeriod, std::uint32_t largestPeriod);

// Starts the periodic 1 ms timer; returns its id, 0 on failure.
std::uint32_t SetKvMmTimer();
void StopKvMmTimer();

// Starts WaitMmRpTmEvent, WaitMmEvent and KvRequestThread; 0 or KVLIB_ERR_THREAD_NOT_STARTABLE.
std::uint32_t StartWorkerThreads();
// Asks the worker threads to stop and joins them: afterwards none of them touches library state.
void StopWorkerThreads();
// True when the worker threads run no more although nobody stopped them: the system ended them
// because the process is ending (Windows does so before a DLL's exit handlers run).
bool WorkerThreadsEndedBySystem();

// Timing of the reply to the request with `counter`.
void ResetReplyTiming();
void RecordReplyTime(std::uint16_t counter);

// One request cycle; normally run by the request thread on every beat.
void SetKvRequest();
// Waits (at most `ms`) until no request cycle is in progress. False when one still is.
bool WaitForCycleEnd(std::uint32_t ms);
// The reply waiting time that ran out since the last answered request.
std::uint32_t AccumulatedTimeout();

// Clears the tick count, the accumulated time-out, the retries and the statistics (except the
// dynamic time-out) and disables reply timing: the state of a transfer that is about to start.
void ResetTransferClock();
// Sets the beat count and the request-loop count to 0.
void ResetBeatCounters();

// Clears the master's run-time counters (at a transfer start).
void ClearRunTimeCounters();

// One tick of the tick thread, and the run-time counter cascade it advances.
void TickOnce();
void AdvanceRunTimeCounters(std::uint16_t* counters);

}  // namespace kv
