#pragma once

// The controller's XMODEM receiver, which the shell command xrecv starts. It takes 128-byte (SOH)
// and 1024-byte (STX) blocks with either an 8-bit sum or a CRC-16, answers each one, and collects
// the data for the shell to store once the sender's EOT has been answered. Written on its own,
// without the device library's code, so that the two sides of an upload check each other.
//
// The dialogue, from the receiver's side:
//   - it asks for the first block with 'C' (CRC-16 frames) or NAK (summed frames), and asks again
//     every second until a block starts or the time-out has passed;
//   - a frame is SOH or STX, the block number, its one's complement, the data, then the sum or
//     the CRC (high byte first). The expected block, or a repeat of the one before, is ACKed (a
//     repeat is not taken twice); a frame with a wrong complement or check value, or one whose
//     bytes stop coming for a second, is NAKed; any other block number means the two sides have
//     lost each other, and the receiver cancels (two CANs);
//   - ten errors in a row on one block cancel the transfer as well;
//   - EOT is ACKed (after the area's write delay) and ends the transfer; two CANs from the
//     sender end it too; other bytes between frames are line noise and are skipped;
//   - silence as long as the time-out ends the transfer;
//   - after a cancel the receiver swallows what the sender still had under way until the line
//     has been quiet for a second (three seconds at most), so none of it reaches the shell.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "faults.h"
#include "out_queue.h"
#include "record.h"

namespace kqsim {

inline constexpr std::uint8_t kSoh = 0x01;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kCan = 0x18;
inline constexpr std::uint8_t kAskCrc = 'C';
// What the garbage fault puts on the line instead of an ACK: the ACK with its top bit flipped.
inline constexpr std::uint8_t kGarbledAck = 0x86;

// CRC-16 with polynomial 0x1021, initial value 0 and no reflection: the XMODEM CRC.
std::uint16_t crc16(std::string_view bytes);
// The sum of the bytes modulo 256.
std::uint8_t sum8(std::string_view bytes);

struct ReceiverSettings {
    bool crc = true;  // ask with 'C' for CRC-16 frames; otherwise with NAK for summed frames
    std::chrono::milliseconds timeout{10000};      // silence that ends the transfer
    std::chrono::milliseconds eot_delay{0};        // the time the EOT's ACK waits (writing flash)
    std::optional<std::uint64_t> size;             // announced: data beyond it is padding
    std::uint64_t capacity = 64ULL * 1024 * 1024;  // without a size, more data than this is refused
    XrecvFaults faults;
};

class XmodemReceiver {
  public:
    enum class Outcome { Running, Received, Canceled, TimedOut };

    // Starts at once: the first request (or the cancel a fault asks for) goes to `out`.
    XmodemReceiver(const ReceiverSettings& settings, OutputQueue& out, Recorder& recorder,
                   Clock::time_point now);

    // Takes bytes from the line and returns how many the transfer took. Once it has ended, the
    // bytes after its last one are not taken: they are the shell's again.
    std::size_t feed(std::string_view bytes, Clock::time_point now);
    // Runs the timers: repeated requests, frames that stopped, silence, the drain after a cancel.
    void poll(Clock::time_point now);
    std::optional<Clock::time_point> next_wake() const;

    bool over() const { return state_ == State::Over; }
    Outcome outcome() const { return over() ? outcome_ : Outcome::Running; }
    // Why a transfer was canceled or timed out, in the words of the shell's message.
    const std::string& reason() const { return reason_; }
    // The data taken, cut to the announced size.
    const std::string& data() const { return data_; }
    // Data bytes in the blocks taken, padding included.
    std::uint64_t received() const { return received_; }

  private:
    enum class State { Asking, Waiting, InFrame, Draining, Over };

    std::size_t frame_length() const;
    void ask(Clock::time_point now);
    void judge(Clock::time_point now);
    void reject(Clock::time_point now, std::string_view why);
    void take(Clock::time_point now);
    void end_of_transfer(Clock::time_point now);
    void answer(std::uint8_t byte, Clock::duration delay = Clock::duration::zero());
    void record(Clock::time_point now, std::string_view verdict, std::string_view answer,
                std::string_view why = {});
    void cancel(Clock::time_point now, std::string reason, bool send_can);
    void time_out(std::string reason);

    ReceiverSettings settings_;
    OutputQueue& out_;
    Recorder& recorder_;

    State state_ = State::Asking;
    Outcome outcome_ = Outcome::Running;
    std::string reason_;

    Clock::time_point started_;
    Clock::time_point next_ask_{};
    Clock::time_point last_heard_{};
    Clock::time_point drain_until_{};

    std::string frame_;
    unsigned cans_ = 0;    // CANs in a row between frames
    unsigned errors_ = 0;  // errors in a row on the current block

    std::uint64_t accepted_ = 0;  // blocks taken so far
    std::uint64_t received_ = 0;
    std::string data_;

    // What the fault switches have done in this transfer.
    unsigned naks_given_ = 0;
    bool block_lost_ = false;
    bool ack_garbled_ = false;
    bool eot_lost_ = false;
};

}  // namespace kqsim
