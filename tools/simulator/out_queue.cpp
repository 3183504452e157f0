#include "out_queue.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

namespace kqsim {
namespace {

using Nanos = std::chrono::duration<double, std::nano>;

// How far behind its schedule a run may fall before it restarts instead of catching up. poll()
// counts in whole milliseconds, so wake-ups come up to a millisecond late in normal operation;
// only a real stall (or a client that stopped reading) goes beyond this.
constexpr auto kMaxLag = std::chrono::milliseconds{5};

}  // namespace

void OutputQueue::enqueue(Entry e) {
    if (entries_.empty()) {
        head_ready_ = Clock::now() + e.delay;
        head_sent_ = 0;
    }
    entries_.push_back(std::move(e));
}

void OutputQueue::push(std::string bytes, Clock::duration delay) {
    enqueue(Entry{std::move(bytes), delay, false});
}

void OutputQueue::push_pause(std::string bytes, Clock::duration delay) {
    enqueue(Entry{std::move(bytes), delay, false, true});
}

void OutputQueue::push_unprompted(std::string bytes, Clock::time_point now) {
    if (!entries_.empty() && entries_.front().pause && head_sent_ == 0 && now < head_ready_) {
        // The paused entry keeps what is left of its wait, counted from when these bytes are out.
        entries_.front().delay = head_ready_ - now;
        entries_.push_front(Entry{std::move(bytes), Clock::duration::zero(), false});
        head_ready_ = now;
        return;
    }
    enqueue(Entry{std::move(bytes), Clock::duration::zero(), false});
}

void OutputQueue::push_hang_up(Clock::duration delay) {
    enqueue(Entry{{}, delay, true});
}

void OutputQueue::clear() {
    entries_.clear();
    head_sent_ = 0;
}

Clock::time_point OutputQueue::next_byte_slot() const {
    const double byte_ns = 1e10 / static_cast<double>(line_rate_);  // 10 bits per byte
    return run_start_ + std::chrono::ceil<Clock::duration>(Nanos{static_cast<double>(run_bytes_) * byte_ns});
}

std::size_t OutputQueue::paced_budget(Clock::time_point now) {
    if (line_rate_ == 0) {
        return std::numeric_limits<std::size_t>::max();
    }
    if (!run_open_ || next_byte_slot() + kMaxLag < now) {
        run_start_ = run_open_ ? now : std::max(now, next_byte_slot());
        run_bytes_ = 0;
        run_open_ = true;
    }
    const double byte_ns = 1e10 / static_cast<double>(line_rate_);
    const double elapsed = Nanos{now - run_start_}.count();
    if (elapsed < 0) {
        return 0;
    }
    // The byte whose slot is exactly now may go, hence the +1.
    const auto started = static_cast<std::uint64_t>(std::floor(elapsed / byte_ns)) + 1;
    return started > run_bytes_ ? static_cast<std::size_t>(started - run_bytes_) : 0;
}

OutputQueue::Result OutputQueue::pump(Clock::time_point now, const Writer& write) {
    while (!entries_.empty()) {
        if (now < head_ready_) {
            run_open_ = false;
            return Result::Idle;
        }
        const Entry& head = entries_.front();
        if (head.hang_up) {
            clear();
            return Result::HangUp;
        }
        while (head_sent_ < head.bytes.size()) {
            const std::size_t budget = paced_budget(now);
            if (budget == 0) {
                return Result::Idle;
            }
            const std::size_t want = std::min(budget, head.bytes.size() - head_sent_);
            const ssize_t n = write(std::string_view{head.bytes}.substr(head_sent_, want));
            if (n < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Result::Blocked
                                                                                 : Result::Failed;
            }
            head_sent_ += static_cast<std::size_t>(n);
            run_bytes_ += static_cast<std::uint64_t>(n);
            if (static_cast<std::size_t>(n) < want) {
                return Result::Blocked;
            }
        }
        entries_.pop_front();
        head_sent_ = 0;
        if (!entries_.empty()) {
            head_ready_ = now + entries_.front().delay;
        }
    }
    run_open_ = false;
    return Result::Idle;
}

std::optional<Clock::time_point> OutputQueue::next_wake() const {
    if (entries_.empty()) {
        return std::nullopt;
    }
    if (line_rate_ == 0 || entries_.front().hang_up) {
        return head_ready_;
    }
    return std::max(head_ready_, next_byte_slot());
}

}  // namespace kqsim
