#include "xmodem.h"

#include <algorithm>
#include <utility>

#include "log.h"

namespace kqsim {
namespace {

using std::chrono::milliseconds;

constexpr auto kAskEvery = milliseconds{1000};
constexpr auto kFrameGap = milliseconds{1000};  // a frame whose bytes pause this long has been cut
constexpr auto kDrainQuiet = milliseconds{1000};
constexpr auto kDrainAtMost = milliseconds{3000};
constexpr unsigned kMaxErrors = 10;

constexpr std::size_t kShortBlock = 128;
constexpr std::size_t kLongBlock = 1024;

std::uint8_t byte_at(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint8_t>(bytes[at]);
}

}  // namespace

std::uint16_t crc16(std::string_view bytes) {
    unsigned crc = 0;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned>(static_cast<unsigned char>(c)) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
    }
    return static_cast<std::uint16_t>(crc & 0xffffU);
}

std::uint8_t sum8(std::string_view bytes) {
    unsigned sum = 0;
    for (const char c : bytes) {
        sum += static_cast<unsigned char>(c);
    }
    return static_cast<std::uint8_t>(sum & 0xffU);
}

XmodemReceiver::XmodemReceiver(const ReceiverSettings& settings, OutputQueue& out, Recorder& recorder,
                               Clock::time_point now)
    : settings_(settings), out_(out), recorder_(recorder), started_(now), last_heard_(now) {
    if (settings_.faults.can_before_first) {
        log("xrecv: canceling before the first block");
        cancel(now, "transfer canceled", true);
        return;
    }
    ask(now);
}

std::size_t XmodemReceiver::frame_length() const {
    const std::size_t data = byte_at(frame_, 0) == kStx ? kLongBlock : kShortBlock;
    return 3 + data + (settings_.crc ? 2 : 1);
}

void XmodemReceiver::answer(std::uint8_t byte, Clock::duration delay) {
    out_.push(std::string(1, static_cast<char>(byte)), delay);
}

void XmodemReceiver::ask(Clock::time_point now) {
    answer(settings_.crc ? kAskCrc : kNak);
    next_ask_ = now + kAskEvery;
}

std::size_t XmodemReceiver::feed(std::string_view bytes, Clock::time_point now) {
    std::string skipped;
    const auto flush_skipped = [&]() {
        if (!skipped.empty()) {
            recorder_.xskip(now, skipped);
            skipped.clear();
        }
    };
    std::size_t i = 0;
    for (; i < bytes.size() && state_ != State::Over; ++i) {
        const char c = bytes[i];
        const auto b = static_cast<std::uint8_t>(c);
        switch (state_) {
            case State::Draining:
            case State::Over:
                break;
            case State::InFrame:
                frame_ += c;
                if (frame_.size() == frame_length()) {
                    judge(now);
                }
                break;
            case State::Asking:
            case State::Waiting:
                if (b == kSoh || b == kStx) {
                    flush_skipped();
                    cans_ = 0;
                    frame_.assign(1, c);
                    state_ = State::InFrame;
                } else if (b == kEot) {
                    flush_skipped();
                    cans_ = 0;
                    end_of_transfer(now);
                } else if (b == kCan && ++cans_ == 2) {
                    skipped += c;
                    flush_skipped();
                    log("xrecv: the sender canceled");
                    cancel(now, "canceled by the sender", false);
                } else {
                    if (b != kCan) {
                        cans_ = 0;
                    }
                    skipped += c;
                }
                break;
        }
    }
    flush_skipped();
    if (i > 0) {
        last_heard_ = now;
    }
    return i;
}

void XmodemReceiver::judge(Clock::time_point now) {
    state_ = State::Waiting;
    const std::size_t n = frame_length() - 3 - (settings_.crc ? 2 : 1);
    const std::string_view data = std::string_view(frame_).substr(3, n);
    const std::uint8_t number = byte_at(frame_, 1);
    if ((number ^ byte_at(frame_, 2)) != 0xff) {
        return reject(now, "complement");
    }
    const bool check_ok =
        settings_.crc
            ? crc16(data) == static_cast<std::uint16_t>(byte_at(frame_, 3 + n) << 8 | byte_at(frame_, 4 + n))
            : sum8(data) == byte_at(frame_, 3 + n);
    if (!check_ok) {
        return reject(now, "checksum");
    }
    if (number == static_cast<std::uint8_t>(accepted_ + 1)) {
        return take(now);
    }
    if (accepted_ > 0 && number == static_cast<std::uint8_t>(accepted_)) {
        // Our ACK got lost and the sender sent the block again; it is ours already.
        errors_ = 0;
        record(now, "dup", "ack");
        answer(kAck);
        return;
    }
    record(now, "bad", "can", "sequence");
    cancel(now, "block out of sequence", true);
}

void XmodemReceiver::reject(Clock::time_point now, std::string_view why) {
    if (++errors_ >= kMaxErrors) {
        record(now, "bad", "can", why);
        cancel(now, "too many errors", true);
        return;
    }
    record(now, "bad", "nak", why);
    answer(kNak);
}

void XmodemReceiver::take(Clock::time_point now) {
    const XrecvFaults& f = settings_.faults;
    const std::uint64_t block = accepted_ + 1;
    const std::string_view data =
        std::string_view(frame_).substr(3, frame_length() - 3 - (settings_.crc ? 2 : 1));

    if (f.no_answer == block && !block_lost_) {
        block_lost_ = true;
        record(now, "ok", "none", "lost");
        return;
    }
    if (f.nak_block == block && naks_given_ < f.nak_times) {
        ++naks_given_;
        if (++errors_ >= kMaxErrors) {
            record(now, "ok", "can", "refused");
            cancel(now, "too many errors", true);
            return;
        }
        record(now, "ok", "nak", "refused");
        answer(kNak);
        return;
    }
    if (!settings_.size && received_ + data.size() > settings_.capacity) {
        record(now, "ok", "can", "full");
        cancel(now, "no space left in the storage area", true);
        return;
    }

    ++accepted_;
    received_ += data.size();
    errors_ = 0;
    const std::uint64_t keep = settings_.size.value_or(settings_.capacity);
    if (data_.size() < keep) {
        data_.append(data.substr(
            0, static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), keep - data_.size()))));
    }

    if (f.can_after == block) {
        record(now, "ok", "can");
        cancel(now, "transfer canceled", true);
        return;
    }
    if (f.garbage == block && !ack_garbled_) {
        ack_garbled_ = true;
        record(now, "ok", "garbage");
        answer(kGarbledAck);
        return;
    }
    record(now, "ok", "ack");
    answer(kAck);
}

void XmodemReceiver::end_of_transfer(Clock::time_point now) {
    if (settings_.faults.no_eot_answer && !eot_lost_) {
        eot_lost_ = true;
        recorder_.xeot(now, "none");
        return;
    }
    recorder_.xeot(now, "ack");
    answer(kAck, settings_.eot_delay);
    outcome_ = Outcome::Received;
    state_ = State::Over;
}

void XmodemReceiver::record(Clock::time_point now, std::string_view verdict, std::string_view answer,
                            std::string_view why) {
    std::optional<unsigned> number;
    if (frame_.size() > 1) {
        number = byte_at(frame_, 1);
    }
    const std::size_t data = byte_at(frame_, 0) == kStx ? kLongBlock : kShortBlock;
    recorder_.xblock(now, number, data, verdict, answer, frame_, why);
    log("xrecv: block " + (number ? std::to_string(*number) : std::string("?")) + " of " +
        std::to_string(data) + " bytes " + std::string(verdict) + ", answered " + std::string(answer) +
        (why.empty() ? "" : " (" + std::string(why) + ")"));
    frame_.clear();
}

void XmodemReceiver::cancel(Clock::time_point now, std::string reason, bool send_can) {
    if (send_can) {
        out_.push(std::string(2, static_cast<char>(kCan)));
    }
    outcome_ = Outcome::Canceled;
    reason_ = std::move(reason);
    state_ = State::Draining;
    last_heard_ = now;
    drain_until_ = now + kDrainAtMost;
}

void XmodemReceiver::time_out(std::string reason) {
    log("xrecv: " + reason);
    outcome_ = Outcome::TimedOut;
    reason_ = std::move(reason);
    state_ = State::Over;
}

void XmodemReceiver::poll(Clock::time_point now) {
    switch (state_) {
        case State::Asking:
            if (now < next_ask_) {
                return;
            }
            if (now - started_ >= settings_.timeout) {
                time_out("timed out: no block from the sender");
            } else {
                ask(now);
            }
            return;
        case State::Waiting:
            if (now - last_heard_ >= settings_.timeout) {
                time_out("timed out: the sender fell silent");
            }
            return;
        case State::InFrame:
            if (now - last_heard_ >= kFrameGap) {
                state_ = State::Waiting;
                reject(now, "incomplete");
                last_heard_ = now;
            }
            return;
        case State::Draining:
            if (now - last_heard_ >= kDrainQuiet || now >= drain_until_) {
                state_ = State::Over;
            }
            return;
        case State::Over:
            return;
    }
}

std::optional<Clock::time_point> XmodemReceiver::next_wake() const {
    switch (state_) {
        case State::Asking:
            return next_ask_;
        case State::Waiting:
            return last_heard_ + settings_.timeout;
        case State::InFrame:
            return last_heard_ + kFrameGap;
        case State::Draining:
            return std::min(last_heard_ + kDrainQuiet, drain_until_);
        case State::Over:
            break;
    }
    return std::nullopt;
}

}  // namespace kqsim
