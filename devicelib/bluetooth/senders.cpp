// The senders of the relay's request slots. They run on the application's thread (no transfer
// running) or on the request thread, always under the relay lock, and write without a request
// counter and without the cycle's repeat accounting: the controller answers Bluetooth requests
// whenever it can, and nobody waits for those answers.
#include <array>
#include <cstdint>

#include "bluetooth/relay.h"
#include "serial/telegram.h"
#include "transfer/transfer_cycle.h"

namespace kv {
namespace {

constexpr std::uint8_t kOn = 1;
constexpr std::uint8_t kOff = 2;

bool send(std::uint32_t code, std::uint16_t records, const std::uint8_t* payload, std::size_t size) {
    TransmitLock tx;
    tx.build(code, records, payload, static_cast<std::int16_t>(size), true);
    return SendIFData(true, tx.data(), tx.length());
}

// Channel, the 6 address bytes, a zero byte: connect and listen.
bool sendWithAddress(std::uint32_t code, const BtChannelRequest& request) {
    std::array<std::uint8_t, 8> payload{};
    payload[0] = request.channel;
    for (std::size_t i = 0; i < kBtAddressBytes; ++i) {
        payload[1 + i] = request.address[i];
    }
    return send(code, 1, payload.data(), payload.size());
}

// Channel and three zero bytes: disconnect, read on and off, listen off.
bool sendChannelOnly(std::uint32_t code, std::uint8_t channel) {
    const std::array<std::uint8_t, 4> payload{channel, 0, 0, 0};
    return send(code, 1, payload.data(), payload.size());
}

// Channel, a zero byte, the 16-bit length, the message and two zero bytes.
bool sendMessage(std::uint8_t channel, const BtMessage& message) {
    std::array<std::uint8_t, kBtMessageBytes + 6> payload{};
    const std::size_t n = message.length <= kBtMessageBytes ? message.length : kBtMessageBytes;
    payload[0] = channel;
    PutU16LE(&payload[2], static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        payload[4 + i] = message.bytes[i];
    }
    return send(BT_WRITE_REQUEST, 1, payload.data(), n + 6);
}

// How many messages of one channel a pass writes; the rest wait for the next cycle, so that a long
// queue does not hold the port (and the relay lock) for long.
constexpr std::size_t kMessagesPerPass = 8;

// Connect, disconnect and write: every selected channel in ascending order, until a write fails.
template <typename SendOne>
int sendSelected(int slotIndex, SendOne&& sendOne) {
    BtRelayState& r = btRelay();
    std::lock_guard lock(r.mutex);
    RequestSlot& slot = requestTable().slot(slotIndex);
    int outcome = 1;
    for (std::uint32_t ch = 1; ch <= kBtChannels && outcome == 1; ++ch) {
        if (slot.select[ch].load() == 0) {
            continue;
        }
        if (!sendOne(r.requests[ch])) {
            outcome = 2;
            break;
        }
        slot.select[ch].store(0);
    }
    slot.pending.store(0);
    return outcome;
}

// Read and listen: per channel the request that switches on, then the one that switches off.
int sendSwitches(int slotIndex, std::uint32_t onCode, std::uint32_t offCode, bool onWithAddress) {
    BtRelayState& r = btRelay();
    std::lock_guard lock(r.mutex);
    RequestSlot& slot = requestTable().slot(slotIndex);
    int outcome = 1;
    for (std::uint32_t ch = 1; ch <= kBtChannels && outcome == 1; ++ch) {
        std::uint8_t bits = slot.select[ch].load();
        while ((bits & (kOn | kOff)) != 0) {
            const BtChannelRequest& request = r.requests[ch];
            const std::uint8_t which = (bits & kOn) != 0 ? kOn : kOff;
            const bool written = which == kOn ? (onWithAddress ? sendWithAddress(onCode, request)
                                                               : sendChannelOnly(onCode, request.channel))
                                              : sendChannelOnly(offCode, request.channel);
            if (!written) {
                outcome = 2;
                break;
            }
            bits = static_cast<std::uint8_t>(bits & ~which);
        }
        // Marking takes the relay lock too, so what is left here is exactly what was not written.
        slot.select[ch].store(bits);
    }
    slot.pending.store(0);
    return outcome;
}

}  // namespace

int SendBtScanRequest(RequestSlotCopy&) {
    BtRelayState& r = btRelay();
    std::lock_guard lock(r.mutex);
    RequestSlot& slot = requestTable().slot(SLOT_BT_SCAN);
    r.scanRunning.store(1);
    const std::uint32_t code = slot.code.load() == BT_NO_SCAN_REQUEST ? BT_NO_SCAN_REQUEST : BT_SCAN_REQUEST;
    const bool written = send(code, 0, nullptr, 0);
    slot.pending.store(0);
    return written ? 1 : 2;
}

int SendBtConnectRequests(RequestSlotCopy&) {
    return sendSelected(SLOT_BT_CONNECT,
                        [](const BtChannelRequest& request) { return sendWithAddress(BT_CONNECT_REQUEST, request); });
}

int SendBtDisconnectRequests(RequestSlotCopy&) {
    return sendSelected(SLOT_BT_DISCON, [](const BtChannelRequest& request) {
        return sendChannelOnly(BT_DISCON_REQUEST, request.channel);
    });
}

int SendBtWriteRequests(RequestSlotCopy&) {
    // Per selected channel its messages, oldest first; a channel with more left stays selected and
    // the slot pending, as does one whose write failed.
    BtRelayState& r = btRelay();
    std::lock_guard lock(r.mutex);
    RequestSlot& slot = requestTable().slot(SLOT_BT_WRITE);
    int outcome = 1;
    bool more = false;
    for (std::uint32_t ch = 1; ch <= kBtChannels && outcome == 1; ++ch) {
        if (slot.select[ch].load() == 0) {
            continue;
        }
        std::deque<BtMessage>& queue = r.messages[ch];
        for (std::size_t n = 0; n < kMessagesPerPass && !queue.empty(); ++n) {
            if (!sendMessage(static_cast<std::uint8_t>(ch), queue.front())) {
                outcome = 2;
                break;
            }
            queue.pop_front();
        }
        if (queue.empty()) {
            slot.select[ch].store(0);
        } else {
            more = true;
        }
    }
    slot.pending.store(more ? 1 : 0);
    return outcome;
}

int SendBtReadRequests(RequestSlotCopy&) {
    return sendSwitches(SLOT_BT_READ, BT_READ_REQUEST, BT_NO_READ_REQUEST, false);
}

int SendBtListenRequests(RequestSlotCopy&) {
    return sendSwitches(SLOT_BT_LISTEN, BT_LISTEN_REQUEST, BT_NO_LISTEN_REQUEST, true);
}

}  // namespace kv
