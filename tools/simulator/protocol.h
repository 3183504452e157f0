#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

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
        : responder_(settings, now), faults_(faults), out_(out), recorder_(recorder) {}

    // A frame whose framing and checksum are right.
    void receive(std::string_view frame, Clock::time_point now);

    Responder& responder() { return responder_; }
    // Puts the radio's replies that are due on the line; next_wake() says when the next one is.
    void poll(Clock::time_point now);
    std::optional<Clock::time_point> next_wake() { return responder_.radio().next_wake(); }
    // Sets a fault switch from here on (see set_fault).
    bool set_fault(std::string_view name, std::string_view value, std::string& error);

  private:
    void reply_to(const Telegram& request, Clock::time_point now);
    void send(std::string bytes, Clock::duration delay);

    Responder responder_;
    FaultSettings faults_;
    OutputQueue& out_;
    Recorder& recorder_;
    std::uint64_t replies_ = 0;
    std::uint64_t io_ = 0;
    std::uint32_t noise_ = 0x1234567;  // state of the line-noise generator
};

}  // namespace kqsim
