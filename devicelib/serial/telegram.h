// Kolv.X1 telegrams: the frame around every request and reply, its checksum, the two header numbers
// that tie a reply to its request, and the one transmit buffer that every sender builds into.
//
// Frame (n = payload bytes; multi-byte fields little-endian except the length and the checksum):
//
//   0      STX 0x02           14..15 SessionId
//   1      SYNC 0x55          16..19 request code 1..18 / reply code 101..118
//   2..3   n + 20, big-endian 20..23 record count (below 65536 in requests)
//   4..7   header word A (2)  24..    payload
//   8..11  header word B (1)  24+n   checksum over offsets 2..23+n, big-endian
//   12..13 RequestCounter     26+n   ETX 0x03
//
// What the receive side hands on is the "ticket", the counted part from offset 4: every field sits
// 4 bytes earlier there (counter at 8, session id at 10, code at 12, record count at 16, payload at
// 20).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kv {

inline constexpr std::uint8_t kTelegramStx = 0x02;
inline constexpr std::uint8_t kTelegramSync = 0x55;
inline constexpr std::uint8_t kTelegramEtx = 0x03;

// Start and sync mark, length, header, checksum and end mark: a telegram is payload + 27 bytes.
inline constexpr std::uint32_t kTelegramOverhead = 27;
// The counted header (offsets 4..23); the length field is payload + this.
inline constexpr std::uint32_t kTicketHeaderBytes = 20;
inline constexpr std::uint32_t kTransmitBufferBytes = 1028;
// The largest payload that still fits the transmit buffer.
inline constexpr std::uint32_t kMaxRequestPayload = kTransmitBufferBytes - kTelegramOverhead;

// Offsets of the header fields within a ticket.
inline constexpr std::size_t kTicketCounterOffset = 8;
inline constexpr std::size_t kTicketSessionOffset = 10;
inline constexpr std::size_t kTicketCodeOffset = 12;
inline constexpr std::size_t kTicketCountOffset = 16;
inline constexpr std::size_t kTicketPayloadOffset = 20;

enum RequestCode : std::uint32_t {
    ECHO_REQUEST = 1,
    REM_IO_REQUEST = 2,
    REM_MONITOR_REQUEST = 3,
    REM_CONFIG_RD_REQUEST = 4,
    REM_CONFIG_WR_REQUEST = 5,
    INFO_RD_REQUEST = 6,
    STATE_RD_REQUEST = 7,
    MSG_WR_REQUEST = 8,
    INFO_WR_REQUEST = 9,
    BT_SCAN_REQUEST = 10,  // 10..18: Bluetooth requests, sent without a request counter
    BT_NO_SCAN_REQUEST = 11,
    BT_CONNECT_REQUEST = 12,
    BT_DISCON_REQUEST = 13,
    BT_WRITE_REQUEST = 14,
    BT_READ_REQUEST = 15,
    BT_NO_READ_REQUEST = 16,
    BT_LISTEN_REQUEST = 17,
    BT_NO_LISTEN_REQUEST = 18,
};

// Each reply code is its request code + 100.
enum ReplyCode : std::uint32_t {
    ECHO_REPLY = 101,
    REM_IO_REPLY = 102,
    REM_MONITOR_REPLY = 103,
    REM_CONFIG_RD_REPLY = 104,
    REM_CONFIG_WR_REPLY = 105,
    INFO_RD_REPLY = 106,
    STATE_RD_REPLY = 107,
    MSG_WR_REPLY = 108,
    INFO_WR_REPLY = 109,
    BT_SCAN_REPLY = 110,  // 110..118: Bluetooth replies
    BT_NO_SCAN_REPLY = 111,
    BT_CONNECT_REPLY = 112,
    BT_DISCON_REPLY = 113,
    BT_WRITE_REPLY = 114,
    BT_READ_REPLY = 115,
    BT_NO_READ_REPLY = 116,
    BT_LISTEN_REPLY = 117,
    BT_NO_LISTEN_REPLY = 118,
};

// Byte-order helpers: store or load the value's low bits at any byte address, no alignment needed.
void PutU16BE(void* at, std::uint16_t value);
void PutU16LE(void* at, std::uint16_t value);
void PutU32LE(void* at, std::uint32_t value);
std::uint16_t GetU16LE(const void* at);
std::uint32_t GetU32LE(const void* at);

// The two's complement of the 16-bit sum of `count` bytes; 0 for a sum of 0 (and for count <= 0).
std::uint16_t TelegramChecksum(const std::uint8_t* bytes, std::int32_t count);

// The running number of counted requests; wraps from 65535 to 0. Reset to 0 when a connection is
// opened and when a transfer starts, so the first request after a reset carries 1.
std::atomic<std::uint16_t>& requestCounter();
// The controller's session id as last seen in a non-Bluetooth reply (0 after a reset).
std::atomic<std::uint16_t>& sessionId();

// Frames a request into `buffer`, which must hold size + 27 bytes, and returns the telegram's length.
// Unless `noCounter` is set (Bluetooth requests), RequestCounter is advanced and the new value is
// carried; with `noCounter` the field is 0 and the counter stays. `payload` may be null when `size`
// is 0. A negative size, or a missing payload for a positive one, builds nothing and returns 0.
std::uint16_t BuildTelegram(std::uint8_t* buffer, std::uint32_t code, std::uint16_t count,
                            const void* payload, std::int16_t size, bool noCounter);

// The repeat of a request that went unanswered carries the counter of its first copy, whatever other
// requests numbered meanwhile. While a scope lives, the counted telegrams built on its thread carry
// `counter` and leave RequestCounter alone; other threads number theirs as usual.
class RepeatCounterScope {
  public:
    explicit RepeatCounterScope(std::uint16_t counter);
    ~RepeatCounterScope();
    RepeatCounterScope(const RepeatCounterScope&) = delete;
    RepeatCounterScope& operator=(const RepeatCounterScope&) = delete;
};

// Exclusive use of the library's one transmit buffer.
//
// Building a request and writing it to the port is one critical section: the single exchanges run
// on application threads while the request thread sends the transfer cycle's requests, and both
// build into the same buffer and advance the same RequestCounter. Every sender therefore builds and
// writes while it holds a TransmitLock:
//
//     TransmitLock tx;                                  // waits until no other sender holds it
//     tx.build(REM_IO_REQUEST, count, payload, size, false);
//     SendIFData(0, tx.data(), tx.length());            // write (and trace) under the lock
//
// Keep the lock only for building and writing; never wait for a reply while holding it (a waiting
// single exchange would stall the transfer cycle). SendAndWaitReply takes the lock over and
// releases it as soon as the telegram is written. Never take the lock on the receive thread.
class TransmitLock {
  public:
    TransmitLock();
    TransmitLock(TransmitLock&&) noexcept = default;
    TransmitLock& operator=(TransmitLock&&) noexcept = default;
    TransmitLock(const TransmitLock&) = delete;
    TransmitLock& operator=(const TransmitLock&) = delete;
    ~TransmitLock() = default;

    // BuildTelegram into the transmit buffer. Returns the length, or 0 (nothing built, counter
    // unchanged) when the payload is negative, missing or larger than kMaxRequestPayload.
    std::uint16_t build(std::uint32_t code, std::uint16_t count, const void* payload, std::int16_t size,
                        bool noCounter);
    // The buffer and the length of the last build under this lock (0 before one).
    const std::uint8_t* data() const;
    std::uint16_t length() const { return length_; }
    bool ownsLock() const { return lock_.owns_lock(); }
    // Gives the buffer up early; data() must not be used afterwards.
    void unlock();

  private:
    std::unique_lock<std::mutex> lock_;
    std::uint16_t length_ = 0;
};

}  // namespace kv
