#pragma once

// The controllers behind the line and how they answer requests: the master (index 0) and up to
// eight extension controllers (1 to 8) that can come and go. Answers depend on time only through
// the `now` handed in, so the same requests at the same times give the same bytes.
//
// What the inputs do, counted from a controller's power-up: analog inputs run a triangle between
// 0 and 5000 that steps every 100 ms, slower for higher inputs and shifted per controller, so no
// two read alike; an input configured digital (bit 7 of its mode byte) flips between 0 and 1.
// Counter i sees a pulse every 50 ms * (i + 1) and counts it; its counter input shows the pulse
// level. The supply voltage (aux 0, mV) ripples, the temperature (aux 1, 0.1 degrees) warms up.

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>

#include "out_queue.h"
#include "radio.h"
#include "telegram.h"

namespace kqsim {

inline constexpr unsigned kControllers = 9;  // the master and eight extensions

// Request codes the controller serves; a reply carries the request code plus 100.
enum RequestCode : std::uint32_t {
    kEcho = 1,
    kRemIo = 2,
    kRemMonitor = 3,
    kRemConfigRd = 4,
    kRemConfigWr = 5,
    kInfoRd = 6,
    kStateRd = 7,
    kMsgWr = 8,
    kInfoWr = 9,
    kFirstBluetooth = 10,
    kLastBluetooth = 18,
};
inline constexpr std::uint32_t kReplyOffset = 100;

// Sizes of the per-controller records, each including its 4-byte index.
inline constexpr std::size_t kIndexRecord = 4;
inline constexpr std::size_t kIoRequestRecord = 48;
inline constexpr std::size_t kIoReplyRecord = 52;
inline constexpr std::size_t kConfigRecord = 52;
inline constexpr std::size_t kInfoReplyRecord = 68;
inline constexpr std::size_t kStateReplyRecord = 28;
inline constexpr std::size_t kMsgRecord = 104;
inline constexpr std::size_t kInfoWrRecord = 24;

struct ResponderSettings {
    std::uint16_t session = 7;
    unsigned long session_change_after = 0;  // replies; 0: keep the id
    std::bitset<kControllers> extensions;    // bit k: extension k present at start (bit 0 unused)
    std::string master_hostname = "VORI-KQ-M";
    std::uint8_t fw_major = 1;
    std::uint8_t fw_minor = 5;
    std::chrono::milliseconds cmd_delay{30};
    RadioSettings radio;
};

class Responder {
  public:
    Responder(const ResponderSettings& settings, Clock::time_point now);

    // The reply to a request, or nothing when the controller does not answer it (an unknown
    // code, a malformed payload). Counts as a reply for a session change when it answers.
    std::optional<Telegram> answer(const Telegram& request, Clock::time_point now);

    // False when k is not an extension index or already in that state.
    bool add_extension(unsigned k, Clock::time_point now);
    bool remove_extension(unsigned k);
    bool present(unsigned k) const { return k < kControllers && units_[k].present; }

    std::uint16_t session() const { return session_; }
    void set_session(std::uint16_t id) { session_ = id; }
    const std::string& hostname(unsigned k) const { return units_.at(k).hostname; }
    Radio& radio() { return radio_; }

    // What controller k holds from its client: the configuration last written (48 bytes; empty
    // when none came yet), the display record last written (100 bytes; empty when none came), and
    // the counter-reset and motor command ids it has carried out.
    struct Held {
        std::string config;
        std::string display;
        std::array<std::uint16_t, 4> counter_resets{};
        std::array<std::uint16_t, 4> motors{};
    };
    Held held(unsigned k) const;

  private:
    // An id the client puts into its outputs to order a command; the controller reports it back
    // once it has carried the command out, `delay` after it first saw it. A newer id seen
    // meanwhile replaces the order.
    struct Command {
        std::uint16_t done = 0;
        std::uint16_t wanted = 0;
        Clock::time_point due{};

        void see(std::uint16_t id, Clock::time_point now, Clock::duration delay);
        // True when the wanted id got carried out by `now`; it happened at `due`.
        bool settle(Clock::time_point now);
    };

    struct Unit {
        bool present = false;
        std::string hostname;
        Clock::time_point powered{};  // start of its input patterns and counters
        std::string config;           // the 48-byte configuration last written; empty: none yet
        std::string display;          // the 100-byte display record last written
        std::array<Command, 4> counter_reset{};
        std::array<Command, 4> motor{};
        std::array<Clock::time_point, 4> counter_zero{};
    };

    void power_up(unsigned k, Clock::time_point now);
    std::string info_record(unsigned k) const;
    std::string state_record(unsigned k) const;
    std::string input_record(unsigned k, Clock::time_point now) const;
    void take_outputs(unsigned k, std::string_view outputs, Clock::time_point now);
    bool digital_input(unsigned k, unsigned i) const;

    ResponderSettings settings_;
    std::uint16_t session_;
    unsigned long answered_ = 0;
    std::array<Unit, kControllers> units_{};
    // The master's radio; its channels show in the master's state record.
    Radio radio_;
};

}  // namespace kqsim
