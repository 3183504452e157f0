// The Bluetooth relay: the application's requests to the controller's radio go out as Bluetooth
// request telegrams (codes 10 to 18), and the controller's answers (110 to 118) come back at any
// later time, update the channel's entry in the transfer area and reach the application's callbacks.
//
// Three threads share the relay: the application's (which marks requests and, without a running
// transfer, sends them), the request thread (which sends what a running transfer has marked) and the
// receive thread (which runs the reply handlers and the callbacks). The request records and the
// marking of the request slots are guarded by one lock that the senders hold too, so that a mark made
// while a sender runs is never lost; the callback slots are atomics; the event records belong to the
// receive thread alone.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "kvarolib.h"
#include "transfer/request_table.h"

namespace kv {

inline constexpr std::uint32_t kBtChannels = 8;  // relay channels 1 to 8; index 0 is never used
inline constexpr std::size_t kBtAddressBytes = 6;
inline constexpr std::size_t kBtMessageBytes = BT_MESSAGE_SIZE;
inline constexpr std::size_t kBtScanRecordBytes = BT_SCAN_RECORD_SIZE;

// The actions whose callbacks the application sets; the numbers appear in log lines.
enum BtAction : int {
    BT_ACT_SCAN = 0,
    BT_ACT_CONNECT = 1,
    BT_ACT_DISCONNECT = 2,
    BT_ACT_WRITE = 3,
    BT_ACT_READ = 4,
    BT_ACT_LISTEN = 5,
    BT_ACT_NO_LISTEN = 6,
    BT_ACT_NO_READ = 7,
};
inline constexpr int kBtChannelActions = 8;  // 1 to 7 have per-channel tables

// What the application asked of one channel, kept until the request goes out.
struct BtChannelRequest {
    std::uint8_t channel = 0;
    std::array<std::uint8_t, kBtAddressBytes> address{};
};

// One message for the radio to write.
struct BtMessage {
    std::uint16_t length = 0;
    std::array<std::uint8_t, kBtMessageBytes> bytes{};
};

// How many messages a channel holds that have not been written yet. Messages wait for the next cycle
// (10 ms), or while a shell service has paused the transfer (at most its 45 s); beyond this many a
// write is refused.
inline constexpr std::size_t kBtQueuedMessages = 1024;

struct BtRelayState {
    // Guards `requests` and the marking of slots 6 to 11; every sender holds it while it works.
    std::mutex mutex;
    std::array<BtChannelRequest, kBtChannels + 1> requests{};
    // Per channel, the messages not yet written, oldest first: a message given while an earlier one
    // still waits (a shell service has paused the transfer) goes out after it, never in its place.
    std::array<std::deque<BtMessage>, kBtChannels + 1> messages{};

    std::atomic<BtScanCallback> scanCallback{nullptr};
    std::array<std::array<std::atomic<BtEventCallback>, kBtChannels + 1>, kBtChannelActions> callbacks{};

    // Set when a scan or a cancel request is sent, cleared by the scan reply that ends the scan.
    std::atomic<std::uint8_t> scanRunning{0};

    // The records handed to the callbacks: written and read on the receive thread only.
    BtEvent event{};
    BtScanEvent scanEvent{};
};

BtRelayState& btRelay();

// The device-handle check's code, else KVLIB_ERR_BT_INVALID_CHANNEL outside 1 to 8, else 0.
std::uint32_t CheckBtChannel(std::uint32_t handle, std::uint32_t channel);

// Clears the scan callback and the seven per-channel tables (the library start does this).
void ClearBtCallbacks();

// Calls the application's callback for `action` and `channel` with `record`, or logs its absence.
void CallBtCallback(int action, int channel, void* record);

// The senders of slots 6 to 11. Each takes the relay lock and works from the live slot (`given` only
// says that the slot was pending when the cycle looked), so a channel marked after the cycle's
// snapshot goes out now as well. 1: every request built was written (or there was none); 2: a write
// failed, and the channels not yet sent stay selected for the next request of their kind.
int SendBtScanRequest(RequestSlotCopy& given);
int SendBtConnectRequests(RequestSlotCopy& given);
int SendBtDisconnectRequests(RequestSlotCopy& given);
int SendBtWriteRequests(RequestSlotCopy& given);
int SendBtReadRequests(RequestSlotCopy& given);
int SendBtListenRequests(RequestSlotCopy& given);

// The reply handlers of 110 to 118, run by the reply dispatch on the receive thread.
void cbBtScanReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtNoScanReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtConnectReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtDisconReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtWriteReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtReadReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtNoReadReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtListenReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbBtNoListenReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);

// The sender of slot 6 to 11; null for any other slot.
SlotSender BtSenderFor(int slot);
// Registers the six senders in the request table, for the transfer cycle to send what it finds
// marked (kvxInitLib, before the request thread starts), and takes them out again (kvxCloseLib,
// after it has stopped).
void InstallBtSenders();
void ClearBtSenders();

// Puts the nine handlers into the reply table.
void InstallBtReplyHandlers();

}  // namespace kv
