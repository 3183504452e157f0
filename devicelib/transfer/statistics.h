// Reply-time statistics of the transfer cycle. The timer and transfer code fill the library-wide
// record while the transfer runs; LogStatistics writes it to the log when the transfer stops.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace kv {

// A plain copy of the record, taken at one moment.
struct TransferStatisticsSnapshot {
    std::uint32_t actTimerAtStart = 0;  // the library's own millisecond timer count at start ...
    std::uint32_t actTimerAtStop = 0;   // ... and at stop
    std::uint32_t tickAtStart = 0;      // the system tick count at start ...
    std::uint32_t tickAtStop = 0;       // ... and at stop
    std::uint32_t statStart = 0;        // tick when the statistics started ...
    std::uint32_t statStop = 0;         // ... and when they stopped
    std::uint32_t mmTimerCalls = 0;     // periodic timer expiries
    std::uint32_t requestLoops = 0;     // passes of the request loop
    std::uint32_t tcnt = 0;             // replies measured
    std::uint32_t tmax = 0;             // longest reply time (ms)
    std::uint32_t tavg = 0;             // average reply time (ms)
    std::uint32_t dynTimeOut = 0;       // the reply time-out derived from the measurements (ms)
    std::uint32_t retries = 0;          // requests sent again
};

inline constexpr std::uint32_t kInitialDynTimeOut = 1000;

// Written by the timer and transfer threads, read by whoever logs; each field on its own.
struct TransferStatistics {
    std::atomic<std::uint32_t> actTimerAtStart{0};
    std::atomic<std::uint32_t> actTimerAtStop{0};
    std::atomic<std::uint32_t> tickAtStart{0};
    std::atomic<std::uint32_t> tickAtStop{0};
    std::atomic<std::uint32_t> statStart{0};
    std::atomic<std::uint32_t> statStop{0};
    std::atomic<std::uint32_t> mmTimerCalls{0};
    std::atomic<std::uint32_t> requestLoops{0};
    std::atomic<std::uint32_t> tcnt{0};
    std::atomic<std::uint32_t> tmax{0};
    std::atomic<std::uint32_t> tavg{0};
    // Until the measurements give one, the reply time-out is a generous second; a transfer start
    // keeps the last one.
    std::atomic<std::uint32_t> dynTimeOut{kInitialDynTimeOut};
    std::atomic<std::uint32_t> retries{0};

    TransferStatisticsSnapshot snapshot() const;
    // Sets every field to 0 (at the start of a transfer).
    void reset();
};

// The library-wide record.
TransferStatistics& transferStatistics();

// The five lines of the statistics block, without time stamps and line ends.
std::array<std::string, 5> FormatStatistics(const TransferStatisticsSnapshot& s);

// Writes the statistics block of a stopped transfer to the log when the Statistic setting is on.
void LogStatistics();

}  // namespace kv
