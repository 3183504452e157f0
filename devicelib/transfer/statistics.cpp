#include "transfer/statistics.h"

#include <cstdio>

#include "base/log.h"

namespace kv {
namespace {

// The block has always reported a 10 s timer delay, whatever the timer's real period; log readers
// compare these lines across versions, so the figure stays.
constexpr unsigned kReportedTimerDelay = 10;

// The text snprintf produced, or nothing when it failed.
std::string formatted(const char* buffer, int length) {
    return length < 0 ? std::string() : std::string(buffer);
}

}  // namespace

TransferStatisticsSnapshot TransferStatistics::snapshot() const {
    TransferStatisticsSnapshot s;
    s.actTimerAtStart = actTimerAtStart.load();
    s.actTimerAtStop = actTimerAtStop.load();
    s.tickAtStart = tickAtStart.load();
    s.tickAtStop = tickAtStop.load();
    s.statStart = statStart.load();
    s.statStop = statStop.load();
    s.mmTimerCalls = mmTimerCalls.load();
    s.requestLoops = requestLoops.load();
    s.tcnt = tcnt.load();
    s.tmax = tmax.load();
    s.tavg = tavg.load();
    s.dynTimeOut = dynTimeOut.load();
    s.retries = retries.load();
    return s;
}

void TransferStatistics::reset() {
    for (std::atomic<std::uint32_t>* field :
         {&actTimerAtStart, &actTimerAtStop, &tickAtStart, &tickAtStop, &statStart, &statStop, &mmTimerCalls,
          &requestLoops, &tcnt, &tmax, &tavg, &dynTimeOut, &retries}) {
        field->store(0);
    }
}

TransferStatistics& transferStatistics() {
    static TransferStatistics statistics;
    return statistics;
}

std::array<std::string, 5> FormatStatistics(const TransferStatisticsSnapshot& s) {
    // Differences of wrapping 32-bit counters: unsigned subtraction gives the elapsed count even
    // across a wrap.
    const std::uint32_t timerDiff = s.actTimerAtStop - s.actTimerAtStart;
    const std::uint32_t tickDiff = s.tickAtStop - s.tickAtStart;
    const std::uint32_t running = s.statStop - s.statStart;

    // The figures are bounded (at most ten digits each), so these buffers always suffice.
    char taText[64];
    int n = std::snprintf(taText, sizeof taText, "%u min %02u sec %03u ms", running / 60000u,
                          (running % 60000u) / 1000u, running % 1000u);
    if (n < 0) {
        taText[0] = '\0';
    }

    std::array<std::string, 5> lines;
    char line[160];
    n = std::snprintf(line, sizeof line, "TimeDiff= %u from GetActTimerCount()", timerDiff);
    lines[0] = formatted(line, n);
    n = std::snprintf(line, sizeof line, "TimeDiff= %u from GetTickCount()", tickDiff);
    lines[1] = formatted(line, n);
    n = std::snprintf(line, sizeof line, "Statistic: Transfer Area running %u ms (TA: %s)", running, taText);
    lines[2] = formatted(line, n);
    n = std::snprintf(line, sizeof line,
                      "Statistic: MMTimer Delay= %us, CALL MMTimer = %u, CALL Request Loop = %u",
                      kReportedTimerDelay, s.mmTimerCalls, s.requestLoops);
    lines[3] = formatted(line, n);
    n = std::snprintf(line, sizeof line,
                      "Statistic: tcnt= %u, tmax= %u, tavg= %u, dynTimeOut= %u, retries= %u", s.tcnt, s.tmax,
                      s.tavg, s.dynTimeOut, s.retries);
    lines[4] = formatted(line, n);
    return lines;
}

void LogStatistics() {
    if (StatisticSetting() == 0) {
        return;
    }
    try {
        const std::array<std::string, 5> lines = FormatStatistics(transferStatistics().snapshot());
        LogTimeLines(lines);
    } catch (...) {
    }
}

}  // namespace kv
