#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kqsim {

// How the controller misbehaves on the telegram side. Every switch composes with the others.
//
// Two running counts drive the switches that name "the N-th": the replies (every request the
// controller answers, of any code, including those a fault then swallows or spoils) and the I/O
// exchanges (every REM_IO_REQUEST received). Each switch counts from the moment it was set: on
// the command line from the start, through the control FIFO from that command on, so "1" always
// means the next one.
// The kinds of random fault, in the order they are drawn for a reply.
enum class RandomKind {
    Lose,        // I/O replies only: this one and up to two more I/O replies get none
    Late,        // any reply: late by up to 180 ms, one time in five by 200 to 400 ms
    LateConfig,  // configuration write replies: late by 50 to 400 ms
    Garbage,     // 1 to 32 noise bytes (never a start mark) before the reply
    Split,       // the reply reaches the line in two or three parts, 1 to 5 ms apart
    Session,     // the controller takes a new session id, which this reply already carries
};
inline constexpr std::size_t kRandomKinds = 6;
inline constexpr std::array<std::string_view, kRandomKinds> kRandomKindNames{
    "lose", "late", "late-config", "garbage", "split", "session"};

struct RandomRates {
    std::array<unsigned, kRandomKinds> per_mille{};  // 0..1000 each
    unsigned& operator[](RandomKind k) { return per_mille[static_cast<std::size_t>(k)]; }
    unsigned operator[](RandomKind k) const { return per_mille[static_cast<std::size_t>(k)]; }
    bool any() const {
        for (const unsigned r : per_mille) {
            if (r != 0) {
                return true;
            }
        }
        return false;
    }
};

// "RATE" (every kind alike) or "KIND=RATE[,KIND=RATE...]" (the kinds named; the others 0), RATE
// in thousandths, 0..1000; "off" is all 0. Nothing for a bad text.
std::optional<RandomRates> parse_random_rates(std::string_view text);
// "lose=10,late=20,..." with every kind, for reports.
std::string describe_rates(const RandomRates& rates);

// A small generator whose sequence its seed fixes on every platform and standard library (the
// standard distributions are not so fixed), so that a seed replays the same faults anywhere.
class SeededRandom {
  public:
    explicit SeededRandom(std::uint64_t seed = 1) : state_(seed) {}
    // SplitMix64
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // 0 .. n-1 (n > 0)
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    // lo .. hi
    std::uint64_t between(std::uint64_t lo, std::uint64_t hi) { return lo + below(hi - lo + 1); }
    bool chance(unsigned per_mille) { return per_mille != 0 && below(1000) < per_mille; }

  private:
    std::uint64_t state_;
};

struct FaultSettings {
    // Fires on one reply (or exchange), counted from when it was set, or on all of them.
    struct Nth {
        std::uint64_t n = 0;  // 0 and not always: off
        bool always = false;
        std::uint64_t base = 0;

        bool fires(std::uint64_t count) const { return always || (n != 0 && count - base == n); }
    };

    enum class NoReply { Off, Once, Always, FromIo };
    NoReply no_reply = NoReply::Off;
    std::uint64_t no_reply_from = 0;  // Once: the reply count it was set at; FromIo: I/O count to reach

    // The next `lose_io` I/O exchanges after `lose_io_base` get no reply: a burst of lost replies.
    std::uint64_t lose_io = 0;  // 0: off
    std::uint64_t lose_io_base = 0;
    bool loses_io(std::uint64_t io) const { return io > lose_io_base && io - lose_io_base <= lose_io; }

    std::chrono::milliseconds late_by{0};
    Nth late;  // always: every reply of any code; n: only the N-th I/O reply

    Nth bad_checksum;     // by reply
    Nth no_end_mark;      // by reply
    Nth unknown_code;     // by reply
    Nth short_io_reply;   // by I/O exchange
    Nth hangup_after_io;  // by I/O exchange: hang up once that exchange's reply is out

    unsigned long garbage = 0;  // bytes of line noise before every reply
    bool byte_at_a_time = false;
    bool silent_probe = false;
    bool silent_state = false;

    // Faults that strike at random, each kind with its own rate in thousandths of the replies it
    // can strike. The draws come from one generator seeded with `seed`, in a fixed order per reply,
    // so the same seed and the same requests give the same faults.
    RandomRates random;
    std::uint64_t seed = 1;
};

// Sets the switch `name` (an option name without its dashes, as in "bad-checksum") from `value`
// (empty for the plain switches, which also take "on" or "off" here). `replies` and `io` are the
// counts so far, from which the switch starts counting. "clear" resets every switch. False, with
// `error` set, for an unknown name or a bad value; the settings are then unchanged.
bool set_fault(FaultSettings& s, std::string_view name, std::string_view value, std::uint64_t replies,
               std::uint64_t io, std::string& error);

// Whether `name` is a switch that takes no value on the command line.
bool fault_is_flag(std::string_view name);
bool is_fault_name(std::string_view name);

// How the file receiver behind xrecv misbehaves. BLOCK counts the blocks of one transfer from 1
// in the order they are accepted, without the wrap of the frame's 8-bit block number. A transfer
// takes the switches as they are when its xrecv command arrives and keeps them to its end; each
// switch fires in every transfer until it is switched off.
struct XrecvFaults {
    std::uint64_t nak_block = 0;    // 0: off
    unsigned nak_times = 0;         // the first nak_times arrivals of nak_block are NAKed, good or not
    bool can_before_first = false;  // answer the start with CAN instead of asking for the first block
    std::uint64_t can_after = 0;    // take block can_after, then answer it with CAN
    std::uint64_t garbage = 0;      // take the block, but its ACK reaches the line as another byte
    // The block is lost on its way in: neither taken nor answered. A resend of it gets through.
    std::uint64_t no_answer = 0;
    // The first EOT is lost the same way; a repeated EOT is answered.
    bool no_eot_answer = false;
};

// As set_fault, for the receiver's switches ("xrecv-nak", "xrecv-can-before-first", ...).
// "clear" is left to set_fault's caller, which clears both kinds.
bool set_xrecv_fault(XrecvFaults& s, std::string_view name, std::string_view value, std::string& error);
bool xrecv_fault_is_flag(std::string_view name);
bool is_xrecv_fault_name(std::string_view name);

}  // namespace kqsim
