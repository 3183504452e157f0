#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kqsim {

using Clock = std::chrono::steady_clock;

// Everything the controller sends goes through this queue, so delayed answers, split prompts
// and line-rate pacing are all timers of the poll loop rather than sleeps.
//
// Entries leave in order. An entry's delay counts from the moment it reaches the head (the previous
// entry fully written, or the push into an empty queue), so output queued behind a slow answer
// simply waits for it. The one exception is a pause in the shell's own output (push_pause): what
// the controller sends unprompted (push_unprompted, the radio's telegrams) goes out during it, as
// the controller would send it while the shell waits.
class OutputQueue {
  public:
    // Takes bytes for the line; returns how many it accepted, or -1 with errno set.
    using Writer = std::function<ssize_t(std::string_view)>;
    enum class Result {
        Idle,     // nothing more can go before next_wake()
        Blocked,  // the pty is full; wait for it to become writable
        HangUp,   // a queued hang-up is due
        Failed,   // the writer reported an error other than a full pty
    };

    explicit OutputQueue(unsigned long line_rate) : line_rate_(line_rate) {}

    void push(std::string bytes, Clock::duration delay = Clock::duration::zero());
    // Bytes that follow a pause of `delay` in which unprompted output may go out.
    void push_pause(std::string bytes, Clock::duration delay);
    // Bytes the controller sends on its own: at once when the head is waiting out a pause that
    // lets them pass (its remaining wait then starts after them), else in order.
    void push_unprompted(std::string bytes, Clock::time_point now);
    void push_hang_up(Clock::duration delay = Clock::duration::zero());
    bool empty() const { return entries_.empty(); }
    void clear();

    Result pump(Clock::time_point now, const Writer& write);
    std::optional<Clock::time_point> next_wake() const;

  private:
    struct Entry {
        std::string bytes;
        Clock::duration delay;
        bool hang_up;
        bool pause = false;  // unprompted output may go out during the delay
    };

    void enqueue(Entry e);
    std::size_t paced_budget(Clock::time_point now);
    Clock::time_point next_byte_slot() const;

    std::deque<Entry> entries_;
    Clock::time_point head_ready_{};
    std::size_t head_sent_ = 0;

    // Pacing: byte k of a run may start at run_start_ + k byte times. A run ends whenever the
    // queue has nothing ready to send, and the next one starts when the line is free again, so
    // idle time never earns credit for a burst.
    unsigned long line_rate_;
    Clock::time_point run_start_{};
    std::uint64_t run_bytes_ = 0;
    bool run_open_ = false;
};

}  // namespace kqsim
