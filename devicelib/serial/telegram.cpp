#include "serial/telegram.h"

#include <array>
#include <cstring>
#include <optional>

namespace kv {
namespace {

// Header words A and B: the controller expects these constants in every request.
constexpr std::uint32_t kHeaderWordA = 2;
constexpr std::uint32_t kHeaderWordB = 1;

struct ProtocolState {
    std::atomic<std::uint16_t> requestCounter{0};
    std::atomic<std::uint16_t> sessionId{0};

    std::mutex transmitMutex;  // guards transmitBuffer
    std::array<std::uint8_t, kTransmitBufferBytes> transmitBuffer{};
};

// The counter a repeat on this thread carries (see RepeatCounterScope).
thread_local std::optional<std::uint16_t> tRepeatCounter;

ProtocolState& protocolState() {
    static ProtocolState state;
    return state;
}

std::uint8_t* bytesAt(void* at) {
    return static_cast<std::uint8_t*>(at);
}
const std::uint8_t* bytesAt(const void* at) {
    return static_cast<const std::uint8_t*>(at);
}

}  // namespace

void PutU16BE(void* at, std::uint16_t value) {
    std::uint8_t* p = bytesAt(at);
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value & 0xFFu);
}

void PutU16LE(void* at, std::uint16_t value) {
    std::uint8_t* p = bytesAt(at);
    p[0] = static_cast<std::uint8_t>(value & 0xFFu);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32LE(void* at, std::uint32_t value) {
    std::uint8_t* p = bytesAt(at);
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
    }
}

std::uint16_t GetU16LE(const void* at) {
    const std::uint8_t* p = bytesAt(at);
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t GetU32LE(const void* at) {
    const std::uint8_t* p = bytesAt(at);
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t TelegramChecksum(const std::uint8_t* bytes, std::int32_t count) {
    std::uint16_t sum = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        sum = static_cast<std::uint16_t>(sum + bytes[i]);
    }
    return static_cast<std::uint16_t>(0x10000u - sum);
}

std::atomic<std::uint16_t>& requestCounter() {
    return protocolState().requestCounter;
}

std::atomic<std::uint16_t>& sessionId() {
    return protocolState().sessionId;
}

std::uint16_t BuildTelegram(std::uint8_t* buffer, std::uint32_t code, std::uint16_t count,
                            const void* payload, std::int16_t size, bool noCounter) {
    if (size < 0 || (size > 0 && payload == nullptr)) {
        return 0;
    }
    const auto n = static_cast<std::uint16_t>(size);
    buffer[0] = kTelegramStx;
    buffer[1] = kTelegramSync;
    PutU16BE(buffer + 2, static_cast<std::uint16_t>(n + kTicketHeaderBytes));
    PutU32LE(buffer + 4, kHeaderWordA);
    PutU32LE(buffer + 8, kHeaderWordB);
    // fetch_add on an unsigned atomic wraps, so two senders never carry the same number.
    std::uint16_t counter = 0;
    if (!noCounter) {
        counter = tRepeatCounter ? *tRepeatCounter : static_cast<std::uint16_t>(requestCounter().fetch_add(1) + 1);
    }
    PutU16LE(buffer + 12, counter);
    PutU16LE(buffer + 14, sessionId().load());
    PutU32LE(buffer + 16, code);
    PutU32LE(buffer + 20, count);
    if (n > 0) {
        std::memcpy(buffer + 24, payload, n);
    }
    PutU16BE(buffer + 24 + n, TelegramChecksum(buffer + 2, n + 22));
    buffer[26 + n] = kTelegramEtx;
    return static_cast<std::uint16_t>(n + kTelegramOverhead);
}

RepeatCounterScope::RepeatCounterScope(std::uint16_t counter) {
    tRepeatCounter = counter;
}

RepeatCounterScope::~RepeatCounterScope() {
    tRepeatCounter.reset();
}

TransmitLock::TransmitLock() : lock_(protocolState().transmitMutex) {}

std::uint16_t TransmitLock::build(std::uint32_t code, std::uint16_t count, const void* payload,
                                  std::int16_t size, bool noCounter) {
    length_ = 0;
    if (!lock_.owns_lock() || size < 0 || static_cast<std::uint32_t>(size) > kMaxRequestPayload) {
        return 0;
    }
    length_ = BuildTelegram(protocolState().transmitBuffer.data(), code, count, payload, size, noCounter);
    return length_;
}

const std::uint8_t* TransmitLock::data() const {
    return protocolState().transmitBuffer.data();
}

void TransmitLock::unlock() {
    if (lock_.owns_lock()) {
        lock_.unlock();
    }
    length_ = 0;
}

}  // namespace kv
