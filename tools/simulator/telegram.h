#pragma once

// The controller's side of the Kolv.X1 framing: recognising request frames in the byte stream
// that also carries the text shell, checking them, and framing the replies. Written on its own,
// without the device library's code, so that the two sides of the link check each other.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "out_queue.h"

namespace kqsim {

inline constexpr std::uint8_t kStartMark = 0x02;
inline constexpr std::uint8_t kSyncMark = 0x55;
inline constexpr std::uint8_t kEndMark = 0x03;
// Length field, header and checksum framing: a telegram is payload + 27 bytes.
inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::size_t kFrameOverhead = 27;
// The counted part (header plus payload) we accept. The library's largest request counts 956
// bytes; a controller's receive buffer of 1 KiB bounds what it can take at all.
inline constexpr std::size_t kMaxCounted = 1020;

// Little-endian fields at any byte position of a record; the wire has no alignment.
std::uint16_t get_u16le(std::string_view bytes, std::size_t at);
std::uint32_t get_u32le(std::string_view bytes, std::size_t at);
void put_u16le(std::string& bytes, std::size_t at, std::uint16_t v);
void put_u32le(std::string& bytes, std::size_t at, std::uint32_t v);
void append_u32le(std::string& bytes, std::uint32_t v);

// Two's complement of the 16-bit sum of the bytes: the checksum over a telegram's length field
// and counted part.
std::uint16_t telegram_checksum(std::string_view bytes);

// The counted part of a telegram taken apart.
struct Telegram {
    std::uint32_t word_a = 2;
    std::uint32_t word_b = 1;
    std::uint16_t counter = 0;
    std::uint16_t session = 0;
    std::uint32_t code = 0;
    std::uint32_t count = 0;
    std::string payload;
};

// Frames a telegram: marks, big-endian length, header, payload, big-endian checksum, end mark.
std::string encode(const Telegram& t);

// Takes apart a whole frame as it arrived (start mark to end mark); nothing when the frame is
// malformed, with the reason in `why`.
std::optional<Telegram> decode(std::string_view frame, std::string* why = nullptr);

// Splits the bytes from the line into shell text and request frames. Outside a frame, 0x02
// followed by 0x55 starts one; any other byte, and a 0x02 not followed by the sync mark, belong
// to the shell. Inside a frame every byte is the frame's until its end mark position.
class StreamSplitter {
  public:
    class Sink {
      public:
        virtual void text(std::string_view bytes) = 0;
        // A frame whose length, checksum and end mark are right; `frame` is all of it.
        virtual void frame(std::string_view frame) = 0;
        virtual void bad_frame(std::string_view frame, std::string_view why) = 0;
        virtual ~Sink() = default;
    };

    // A frame whose bytes stop coming for this long is given up, so that a sender that died in
    // the middle of a telegram cannot swallow the shell lines that come after it.
    static constexpr auto kFrameGap = std::chrono::milliseconds{500};

    void feed(std::string_view bytes, Clock::time_point now, Sink& sink);

  private:
    enum class State { Idle, Sync, LengthHi, LengthLo, Counted, ChecksumHi, ChecksumLo, End };

    void reject(Sink& sink, std::string_view why);

    State state_ = State::Idle;
    std::string frame_;
    std::size_t length_ = 0;
    Clock::time_point last_byte_{};
};

}  // namespace kqsim
