#include "bluetooth/relay.h"

#include <cstring>
#include <optional>
#include <shared_mutex>

#include "base/log.h"
#include "serial/com_port.h"
#include "serial/telegram.h"
#include "shell/service.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_state.h"

namespace kv {

BtRelayState& btRelay() {
    static BtRelayState state;
    return state;
}

std::uint32_t CheckBtChannel(std::uint32_t handle, std::uint32_t channel) {
    if (std::uint32_t rc = CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (channel < 1 || channel > kBtChannels) {
        return KVLIB_ERR_BT_INVALID_CHANNEL;
    }
    return 0;
}

void ClearBtCallbacks() {
    BtRelayState& r = btRelay();
    r.scanCallback.store(nullptr);
    for (auto& table : r.callbacks) {
        for (auto& callback : table) {
            callback.store(nullptr);
        }
    }
}

void CallBtCallback(int action, int channel, void* record) {
    BtRelayState& r = btRelay();
    if (action == BT_ACT_SCAN) {
        // Without a scan callback there is nobody to give the record to.
        if (BtScanCallback callback = r.scanCallback.load()) {
            callback(static_cast<BtScanEvent*>(record));
        } else {
            LogMsg(LOG_TIME, "Bluetooth: CALLBACK not defined ! action= %d", action);
        }
        return;
    }
    if (action < BT_ACT_CONNECT || action >= kBtChannelActions) {
        LogMsg(LOG_TIME, "Bluetooth: CALLBACK not defined ! action= %d", action);
        return;
    }
    BtEventCallback callback = nullptr;
    if (channel >= 0 && channel <= static_cast<int>(kBtChannels)) {
        callback = r.callbacks[static_cast<std::size_t>(action)][static_cast<std::size_t>(channel)].load();
    }
    if (callback != nullptr) {
        callback(static_cast<BtEvent*>(record));
    } else if (action == BT_ACT_READ) {
        LogMsg(LOG_TIME, "Bluetooth: CALLBACK not defined ! action= BT_ACT_READ, idx= %d", channel);
    } else {
        LogMsg(LOG_TIME, "Bluetooth: CALLBACK not defined ! action= %d, idx= %d", action, channel);
    }
}

SlotSender BtSenderFor(int slot) {
    switch (slot) {
        case SLOT_BT_SCAN:
            return SendBtScanRequest;
        case SLOT_BT_CONNECT:
            return SendBtConnectRequests;
        case SLOT_BT_DISCON:
            return SendBtDisconnectRequests;
        case SLOT_BT_WRITE:
            return SendBtWriteRequests;
        case SLOT_BT_READ:
            return SendBtReadRequests;
        case SLOT_BT_LISTEN:
            return SendBtListenRequests;
        default:
            return nullptr;
    }
}

void InstallBtSenders() {
    for (int slot = SLOT_BT_SCAN; slot <= SLOT_BT_LISTEN; ++slot) {
        requestTable().setSender(slot, BtSenderFor(slot));
    }
}

void ClearBtSenders() {
    for (int slot = SLOT_BT_SCAN; slot <= SLOT_BT_LISTEN; ++slot) {
        requestTable().setSender(slot, nullptr);
    }
}

namespace {

// One relay operation after its checks: stores what the request needs and marks it under the relay
// lock, then, when no transfer cycle runs to send it, sends it on the caller's thread.
//
// Without a running transfer the request is written at once, so a shell service that holds the port
// refuses it (nothing stored, nothing marked) rather than letting it land in the service's dialogue.
// With a running transfer it only waits in the slot, as every queued request does, also while a
// shell service has paused the transfer: the cycle sends it once the port is handed back.
template <typename Log, typename StoreAndMark>
std::uint32_t issue(int slot, Log&& log, StoreAndMark&& storeAndMark) {
    const bool direct = !TransferRunsOrPaused();
    std::optional<DirectTelegramScope> scope;
    if (direct) {
        scope.emplace();
        if (scope->refused()) {
            return KVLIB_ERR_THREAD_IS_RUNNING;
        }
    }
    log();
    BtRelayState& r = btRelay();
    {
        std::lock_guard lock(r.mutex);
        storeAndMark(r, requestTable().slot(slot));
    }
    if (direct) {
        // The outcome is not reported: a failed write shows as a missing reply (and a port error).
        RequestSlotCopy given = requestTable().copy(slot);
        BtSenderFor(slot)(given);
    }
    return 0;
}

void storeCallback(int action, std::uint32_t channel, BtEventCallback callback) {
    btRelay().callbacks[static_cast<std::size_t>(action)][channel].store(callback);
}

void storeAddress(BtChannelRequest& request, const std::uint8_t* address) {
    std::memcpy(request.address.data(), address, kBtAddressBytes);
}

// Connect, disconnect and write: select the channel.
void select(RequestSlot& slot, std::uint32_t channel) {
    slot.select[channel].store(1);
    slot.pending.store(1);
}

// Read and listen: bit 0 asks for on, bit 1 for off; a channel may hold both, in that order.
void orBits(RequestSlot& slot, std::uint32_t channel, std::uint8_t bits) {
    slot.select[channel].fetch_or(bits);
    slot.pending.fetch_or(bits);
}

// The operations that switch reading or listening on or off share their shape.
std::uint32_t switchChannel(std::uint32_t handle, std::uint32_t channel, BtEventCallback callback, int action,
                            int slot, std::uint8_t bits, const char* what, const std::uint8_t* address) {
    if (std::uint32_t rc = CheckBtChannel(handle, channel); rc != 0) {
        return rc;
    }
    // Listening is for one device: its address is part of the request.
    if (action == BT_ACT_LISTEN && address == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    return issue(
        slot,
        [&] {
            if (address != nullptr) {
                LogMsg(LOG_TIME, "BtApi, (chan= %d), %s, BtAddr: %s", static_cast<int>(channel), what,
                       BtAddrToStr(address).c_str());
            } else {
                LogMsg(LOG_TIME, "BtApi, (chan= %d), %s...", static_cast<int>(channel), what);
            }
        },
        [&](BtRelayState& r, RequestSlot& s) {
            storeCallback(action, channel, callback);
            BtChannelRequest& request = r.requests[channel];
            request.channel = static_cast<std::uint8_t>(channel);
            if (address != nullptr) {
                storeAddress(request, address);
            }
            orBits(s, channel, bits);
        });
}

}  // namespace

}  // namespace kv

extern "C" {

KVLIB_API std::uint32_t StartScanBtDevice(std::uint32_t handle, BtScanCallback callback) {
    if (std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    return kv::issue(
        kv::SLOT_BT_SCAN, [] { kv::LogMsg(kv::LOG_TIME, "BtApi, StartScanBtDevice ..."); },
        [&](kv::BtRelayState& r, kv::RequestSlot& s) {
            r.scanCallback.store(callback);
            s.code.store(kv::BT_SCAN_REQUEST);
            s.pending.store(1);
        });
}

KVLIB_API std::uint32_t CancelScanBtDevice(std::uint32_t handle) {
    if (kv::btRelay().scanRunning.load() == 0) {
        return 0;
    }
    if (std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    return kv::issue(
        kv::SLOT_BT_SCAN, [] { kv::LogMsg(kv::LOG_TIME, "BtApi, CancelScanBtDevice ..."); },
        [](kv::BtRelayState&, kv::RequestSlot& s) {
            s.code.store(kv::BT_NO_SCAN_REQUEST);
            s.pending.store(1);
        });
}

KVLIB_API std::uint32_t ConnectBtAddress(std::uint32_t handle, std::uint32_t channel,
                                         const std::uint8_t* address, BtEventCallback callback) {
    if (std::uint32_t rc = kv::CheckBtChannel(handle, channel); rc != 0) {
        return rc;
    }
    if (address == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    return kv::issue(
        kv::SLOT_BT_CONNECT,
        [&] {
            kv::LogMsg(kv::LOG_TIME, "BtApi, (chan= %d), connecting to [%s]", static_cast<int>(channel),
                       kv::BtAddrToStr(address).c_str());
        },
        [&](kv::BtRelayState& r, kv::RequestSlot& s) {
            kv::storeCallback(kv::BT_ACT_CONNECT, channel, callback);
            r.requests[channel].channel = static_cast<std::uint8_t>(channel);
            kv::storeAddress(r.requests[channel], address);
            kv::select(s, channel);
        });
}

KVLIB_API std::uint32_t DisconnectBt(std::uint32_t handle, std::uint32_t channel, BtEventCallback callback) {
    if (std::uint32_t rc = kv::CheckBtChannel(handle, channel); rc != 0) {
        return rc;
    }
    return kv::issue(
        kv::SLOT_BT_DISCON,
        [&] { kv::LogMsg(kv::LOG_TIME, "BtApi, (chan= %d), disconnecting...", static_cast<int>(channel)); },
        [&](kv::BtRelayState& r, kv::RequestSlot& s) {
            kv::storeCallback(kv::BT_ACT_DISCONNECT, channel, callback);
            r.requests[channel].channel = static_cast<std::uint8_t>(channel);
            kv::select(s, channel);
        });
}

KVLIB_API std::uint32_t SendBtMessage(std::uint32_t handle, std::uint32_t channel, std::uint32_t length,
                                      const std::uint8_t* message, BtEventCallback callback) {
    if (std::uint32_t rc = kv::CheckBtChannel(handle, channel); rc != 0) {
        return rc;
    }
    // The request carries at most one message field; a longer message would run past it.
    if (length > kv::kBtMessageBytes || (length > 0 && message == nullptr)) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    {
        // A channel that already holds as many unwritten messages as it can takes no more.
        kv::BtRelayState& r = kv::btRelay();
        std::lock_guard lock(r.mutex);
        if (r.messages[channel].size() >= kv::kBtQueuedMessages) {
            kv::LogMsg(kv::LOG_TIME, "BtApi, (chan= %d), SendBtMessage refused: %zu messages wait",
                       static_cast<int>(channel), r.messages[channel].size());
            return KVLIB_ERR_THREAD_IS_RUNNING;
        }
    }
    return kv::issue(
        kv::SLOT_BT_WRITE, [] {},
        [&](kv::BtRelayState& r, kv::RequestSlot& s) {
            kv::storeCallback(kv::BT_ACT_WRITE, channel, callback);
            r.requests[channel].channel = static_cast<std::uint8_t>(channel);
            kv::BtMessage queued;
            queued.length = static_cast<std::uint16_t>(length);
            if (length > 0) {
                std::memcpy(queued.bytes.data(), message, length);
            }
            r.messages[channel].push_back(queued);
            kv::select(s, channel);
        });
}

KVLIB_API std::uint32_t BtListenConOn(std::uint32_t handle, std::uint32_t channel,
                                      const std::uint8_t* address, BtEventCallback callback) {
    return kv::switchChannel(handle, channel, callback, kv::BT_ACT_LISTEN, kv::SLOT_BT_LISTEN, 1,
                             "BtListenConOn", address);
}

KVLIB_API std::uint32_t BtListenConOff(std::uint32_t handle, std::uint32_t channel,
                                       BtEventCallback callback) {
    return kv::switchChannel(handle, channel, callback, kv::BT_ACT_NO_LISTEN, kv::SLOT_BT_LISTEN, 2,
                             "BtListenConOff", nullptr);
}

KVLIB_API std::uint32_t BtReadMsgOn(std::uint32_t handle, std::uint32_t channel, BtEventCallback callback) {
    return kv::switchChannel(handle, channel, callback, kv::BT_ACT_READ, kv::SLOT_BT_READ, 1, "BtReadMsgOn",
                             nullptr);
}

KVLIB_API std::uint32_t BtReadMsgOff(std::uint32_t handle, std::uint32_t channel, BtEventCallback callback) {
    return kv::switchChannel(handle, channel, callback, kv::BT_ACT_NO_READ, kv::SLOT_BT_READ, 2,
                             "BtReadMsgOff", nullptr);
}

KVLIB_API std::uint32_t* StatusBtConnection(std::uint32_t channel, std::uint32_t* status) {
    if (status == nullptr) {
        return nullptr;
    }
    status[0] = 0;
    status[1] = 0;
    // The area may be released by kvxCloseLib on another thread; hold it while copying.
    const kv::TransferAreaReader use;
    KOLV_X1_TRANSFER* master = kv::record(0);
    if (master == nullptr || channel > kv::kBtChannels) {
        return status;
    }
    // Channel 0 is the slot of extension bytes right before the channel entries.
    const void* from = channel == 0 ? static_cast<const void*>(master->State.ExtState)
                                    : static_cast<const void*>(&master->State.BtChannel[channel - 1]);
    std::uint8_t bytes[8];
    kv::loadBytesRelaxed(bytes, from, sizeof bytes);
    std::memcpy(status, bytes, sizeof bytes);
    return status;
}

}  // extern "C"
