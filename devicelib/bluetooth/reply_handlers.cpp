// The controller's Bluetooth answers, on the receive thread: each updates the channel's entry in the
// transfer area first and then tells the application, so that a callback that reads the entry sees
// the new state.
#include <algorithm>
#include <cstring>
#include <span>

#include "base/log.h"
#include "bluetooth/relay.h"
#include "serial/parser.h"
#include "serial/telegram.h"
#include "transfer/transfer_area.h"

namespace kv {
namespace {

constexpr std::int32_t kChannelReplyBytes = 4;  // 16-bit channel, 16-bit status
constexpr std::int32_t kReadHeaderBytes = 6;    // ... and the 16-bit message length
constexpr std::uint16_t kScanEnded = 5;

// The channel and status every reply but the scan reply begins with; false (logged) when the
// payload is too short to hold them.
bool channelAndStatus(const char* name, const std::uint8_t* payload, std::int32_t length, std::uint16_t& channel,
                      std::uint16_t& status) {
    if (payload == nullptr || length < kChannelReplyBytes) {
        LogMsg(LOG_TIME, "%s, reply of %d bytes ignored", name, static_cast<int>(length));
        return false;
    }
    channel = GetU16LE(payload);
    status = GetU16LE(payload + 2);
    return true;
}

// Applies the status event tabled for `status`, if any, to the channel's entry.
struct StatusEvent {
    std::uint16_t status;
    std::int32_t event;
};

void applyEvents(std::uint16_t channel, std::uint16_t status, std::span<const StatusEvent> events) {
    for (const StatusEvent& e : events) {
        if (e.status == status) {
            SetBtChannelStatus(channel, e.event);
            return;
        }
    }
}

// Hands the channel and status to the action's callback through the shared event record; the
// message fields keep what the last read left in them.
void report(int action, std::uint16_t channel, std::uint16_t status) {
    BtEvent& event = btRelay().event;
    event.Channel = channel;
    event.Status = status;
    CallBtCallback(action, channel, &event);
}

// The replies that carry only channel and status: the tabled status events, then the action's
// callback.
void channelReply(const char* name, int action, std::span<const StatusEvent> events, const std::uint8_t* payload,
                  std::int32_t length) {
    std::uint16_t channel = 0;
    std::uint16_t status = 0;
    if (!channelAndStatus(name, payload, length, channel, status)) {
        return;
    }
    applyEvents(channel, status, events);
    report(action, channel, status);
}

}  // namespace

void cbBtScanReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    if (payload == nullptr || length < 2) {
        LogMsg(LOG_TIME, "cbBtScanReply, reply of %d bytes ignored", static_cast<int>(length));
        return;
    }
    BtRelayState& r = btRelay();
    if (GetU16LE(payload) == kScanEnded) {
        r.scanRunning.store(0);
    }
    // A shorter record than the controller's usual is handed on with zeros after it.
    std::memset(r.scanEvent.Data, 0, sizeof r.scanEvent.Data);
    std::memcpy(r.scanEvent.Data, payload,
                std::min<std::size_t>(static_cast<std::size_t>(length), sizeof r.scanEvent.Data));
    CallBtCallback(BT_ACT_SCAN, 0, &r.scanEvent);
}

void cbBtNoScanReply(std::uint32_t, const std::uint8_t*, std::int32_t) {}

void cbBtConnectReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    static constexpr StatusEvent kEvents[] = {{0, 2}, {1, 2}, {3, 0}, {5, 0}, {12, 12}, {16, 12}};
    channelReply("cbBtConnectReply", BT_ACT_CONNECT, kEvents, payload, length);
}

void cbBtDisconReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    static constexpr StatusEvent kEvents[] = {{0, 248}};
    channelReply("cbBtDisconReply", BT_ACT_DISCONNECT, kEvents, payload, length);
}

void cbBtWriteReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    channelReply("cbBtWriteReply", BT_ACT_WRITE, {}, payload, length);
}

void cbBtReadReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    std::uint16_t channel = 0;
    std::uint16_t status = 0;
    if (!channelAndStatus("cbBtReadReply", payload, length, channel, status)) {
        return;
    }
    static constexpr StatusEvent kEvents[] = {{0, 16}, {10, 16}, {13, 16}};
    applyEvents(channel, status, kEvents);

    BtEvent& event = btRelay().event;
    event = BtEvent{};
    event.Channel = channel;
    event.Status = status;
    if (length >= kReadHeaderBytes) {
        // The announced length is believed only as far as the record and the payload hold bytes.
        const std::size_t announced = GetU16LE(payload + 4);
        const std::size_t present = static_cast<std::size_t>(length - kReadHeaderBytes);
        const std::size_t n = std::min({announced, present, sizeof event.Data});
        if (n < announced) {
            LogMsg(LOG_TIME, "cbBtReadReply, (chan= %d), message of %d bytes cut to %d", static_cast<int>(channel),
                   static_cast<int>(announced), static_cast<int>(n));
        }
        std::memcpy(event.Data, payload + kReadHeaderBytes, n);
        event.Length = static_cast<std::uint16_t>(n);
    }
    CallBtCallback(BT_ACT_READ, channel, &event);
}

void cbBtNoReadReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    static constexpr StatusEvent kEvents[] = {{0, -17}};
    channelReply("cbBtNoReadReply", BT_ACT_NO_READ, kEvents, payload, length);
}

void cbBtListenReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    static constexpr StatusEvent kEvents[] = {{0, 8}, {9, 8}, {3, 0}, {5, 0}, {11, 2}, {12, 248}};
    channelReply("cbBtListenReply", BT_ACT_LISTEN, kEvents, payload, length);
}

void cbBtNoListenReply(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    static constexpr StatusEvent kEvents[] = {{0, -9}};
    channelReply("cbBtNoListenReply", BT_ACT_NO_LISTEN, kEvents, payload, length);
}

void InstallBtReplyHandlers() {
    SetReplyHandler(BT_SCAN_REPLY, cbBtScanReply);
    SetReplyHandler(BT_NO_SCAN_REPLY, cbBtNoScanReply);
    SetReplyHandler(BT_CONNECT_REPLY, cbBtConnectReply);
    SetReplyHandler(BT_DISCON_REPLY, cbBtDisconReply);
    SetReplyHandler(BT_WRITE_REPLY, cbBtWriteReply);
    SetReplyHandler(BT_READ_REPLY, cbBtReadReply);
    SetReplyHandler(BT_NO_READ_REPLY, cbBtNoReadReply);
    SetReplyHandler(BT_LISTEN_REPLY, cbBtListenReply);
    SetReplyHandler(BT_NO_LISTEN_REPLY, cbBtNoListenReply);
}

}  // namespace kv
