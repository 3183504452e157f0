#pragma once

// The master's Bluetooth radio as the relay requests (codes 10..18) drive it. It answers each
// request with the reply code plus 100, some at once and some later (a scan reports one device at
// a time, a connection takes a moment, an incoming connection comes when the remote device calls),
// and keeps per channel the state that the master's state record reports.
//
// Replies other than the scan reply carry the channel and a status (16 bits each, little-endian);
// a read reply adds the message length and the message. Status values: 0 done, 1 already
// connected, 3 failed (no such device, or not connected), 5 radio busy (scanning), 10 a message
// arrived, 11 an incoming connection. A scan reply is 30 bytes: the scan status (0 a device found,
// 5 the scan is over), the device's 6 address bytes and its name, NUL-padded.
//
// Neighbourhood: the devices in range, which a scan finds, a connect reaches and whose calls a
// listening channel accepts. A loopback pair of channels carries what one channel writes to the
// other, as two devices in range that talk to each other would.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "out_queue.h"
#include "telegram.h"

namespace kqsim {

inline constexpr unsigned kBtChannels = 8;
using BtAddress = std::array<std::uint8_t, 6>;

struct BtDevice {
    BtAddress address{};
    std::string name;
};

struct RadioSettings {
    std::vector<BtDevice> devices = default_devices();
    // Between two scan results, and from a connect or disconnect request to its answer.
    std::chrono::milliseconds step{20};
    // From listening being switched on to the remote device's call.
    std::chrono::milliseconds incoming_after{100};
    std::optional<std::pair<unsigned, unsigned>> loopback;

    static std::vector<BtDevice> default_devices();
};

// "00:1A:7D:DA:72:01" (either case) into bytes, first byte first.
std::optional<BtAddress> parse_bt_address(std::string_view text);
std::string bt_address_text(const BtAddress& a);

class Radio {
  public:
    explicit Radio(RadioSettings settings) : settings_(std::move(settings)) {}

    // Takes one Bluetooth request; what it answers comes out of due().
    void serve(const Telegram& request, Clock::time_point now);
    // The replies whose time has come, in the order they were scheduled.
    std::vector<Telegram> due(Clock::time_point now);
    std::optional<Clock::time_point> next_wake() const;

    // The channel's byte in the master's state record: connection state in bits 0-2 (2
    // connected), listening in bit 3, reading in bit 4. Channels 1..8.
    std::uint8_t status_byte(unsigned channel) const;

  private:
    struct Channel {
        bool connected = false;
        bool listening = false;
        bool reading = false;
        BtAddress peer{};
        BtAddress listen_for{};
        std::uint64_t listen_generation = 0;  // an incoming call belongs to one listen
    };
    enum class Kind { Reply, ScanResult, ScanEnd, Incoming };
    struct Scheduled {
        Clock::time_point at;
        std::uint64_t order;
        Kind kind;
        Telegram reply;
        unsigned channel = 0;
        std::uint64_t generation = 0;
    };

    void schedule(Clock::time_point at, Kind kind, Telegram reply, unsigned channel = 0,
                  std::uint64_t generation = 0);
    void reply(Clock::time_point at, std::uint32_t code, unsigned channel, std::uint16_t status,
               std::string extra = {});
    void start_scan(Clock::time_point now);
    void cancel_scan(Clock::time_point now);
    void deliver(unsigned from, std::string_view message, Clock::time_point now);
    const BtDevice* in_range(const BtAddress& a) const;

    RadioSettings settings_;
    std::array<Channel, kBtChannels + 1> channels_{};
    bool scanning_ = false;
    std::vector<Scheduled> queue_;
    std::uint64_t next_order_ = 0;
};

}  // namespace kqsim
