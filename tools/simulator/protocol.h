#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "faults.h"
#include "out_queue.h"
#include "record.h"
#include "responder.h"

namespace kqsim {

// The telegram side of the line: takes each request frame, lets the controllers answer it, and
// puts the reply on the line as the fault switches say.
class Protocol {
  public:
    Protocol(const ResponderSettings& settings, const FaultSettings& faults, OutputQueue& out,
             Recorder& recorder, Clock::time_point now)
        : responder_(settings, now), faults_(faults), out_(out), recorder_(recorder), random_(faults.seed) {}

    // A frame whose framing and checksum are right.
    void receive(std::string_view frame, Clock::time_point now);

    Responder& responder() { return responder_; }
    // Puts the radio's replies that are due on the line; next_wake() says when the next one is.
    void poll(Clock::time_point now);
    std::optional<Clock::time_point> next_wake() { return responder_.radio().next_wake(); }
    // Sets a fault switch from here on (see set_fault). Setting "seed" restarts the random faults'
    // generator from that seed.
    bool set_fault(std::string_view name, std::string_view value, std::string& error);

    // What the random faults did so far.
    struct Tally {
        std::array<std::uint64_t, kRandomKinds> injected{};  // per kind; for lose, the bursts
        std::uint64_t lost_replies = 0;                      // I/O replies the bursts swallowed
        std::uint64_t late_beyond = 0;                       // late replies of 200 ms or more
        std::uint64_t& operator[](RandomKind k) { return injected[static_cast<std::size_t>(k)]; }
        std::uint64_t operator[](RandomKind k) const { return injected[static_cast<std::size_t>(k)]; }
    };
    const Tally& tally() const { return tally_; }
    const FaultSettings& faults() const { return faults_; }
    std::uint64_t replies() const { return replies_; }
    std::uint64_t io_exchanges() const { return io_; }
    // The longest time from a request that got no answer to the next answer going out.
    Clock::duration longest_silence() const { return longest_silence_; }

    // One line with the counts, as "lose=N lost-replies=N late=N late-beyond=N late-config=N
    // garbage=N split=N session=N".
    std::string describe_tally() const;
    // Writes the report lines to the record (see record.h).
    void report(Clock::time_point now);

  private:
    void reply_to(const Telegram& request, Clock::time_point now);
    // Writes `bytes` after `delay`; `cuts` are the offsets at which it is split into parts that
    // go `gap` apart.
    void send(std::string bytes, Clock::duration delay, const std::vector<std::size_t>& cuts = {},
              Clock::duration gap = {});
    std::string noise(std::size_t n, const std::function<std::uint8_t()>& byte);
    // The random faults' say on a reply (see RandomKind); false when it is lost.
    struct Strike {
        Clock::duration delay{};
        std::string noise;
        unsigned parts = 1;                        // a split reply: 2 or 3
        std::array<std::uint64_t, 2> cut_draws{};  // where the cuts fall, as drawn
        Clock::duration gap{};
    };
    bool strike(const Telegram& request, Telegram& reply, Strike& out, Clock::time_point now);
    void answered(Clock::time_point now, Clock::duration delay);
    void unanswered(Clock::time_point now);

    Responder responder_;
    FaultSettings faults_;
    OutputQueue& out_;
    Recorder& recorder_;
    std::uint64_t replies_ = 0;
    std::uint64_t io_ = 0;
    std::uint32_t noise_ = 0x1234567;  // state of the line-noise generator

    SeededRandom random_;
    Tally tally_;
    unsigned lose_left_ = 0;   // I/O replies the current burst still swallows
    bool lose_rested_ = true;  // false: the next I/O reply is answered, ending the burst's silence
    std::optional<Clock::time_point> silent_since_;
    Clock::duration longest_silence_{};
};

}  // namespace kqsim
