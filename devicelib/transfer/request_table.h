// The requests a transfer cycle sends: twelve slots in priority order, each a request code, a
// pending flag and nine controller-selection flags. Any thread may queue; the request thread sends.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kv {

inline constexpr int kControllerCount = 9;  // index 0 the master, 1 to 8 its extension controllers
inline constexpr int kRequestSlots = 12;

enum RequestSlotIndex : int {
    SLOT_INFO_WR = 0,
    SLOT_INFO_RD = 1,
    SLOT_STATE_RD = 2,
    SLOT_CONFIG_WR = 3,
    SLOT_MSG_WR = 4,
    SLOT_REM_IO = 5,
    SLOT_BT_SCAN = 6,
    SLOT_BT_CONNECT = 7,
    SLOT_BT_DISCON = 8,
    SLOT_BT_WRITE = 9,
    SLOT_BT_READ = 10,
    SLOT_BT_LISTEN = 11,
};

// The live slot: written by several threads, so every field is atomic.
struct RequestSlot {
    std::atomic<std::uint32_t> code{0};
    std::atomic<std::uint8_t> pending{0};
    std::array<std::atomic<std::uint8_t>, kControllerCount> select{};
    // How often each controller was queued, and that count as it stood when its record was last
    // packed: a reply settles a controller only if nothing was queued for it since.
    std::array<std::atomic<std::uint32_t>, kControllerCount> queued{};
    std::array<std::atomic<std::uint32_t>, kControllerCount> packed{};
};

// A cycle's private copy of a slot.
struct RequestSlotCopy {
    std::uint32_t code = 0;
    std::uint8_t pending = 0;
    std::array<std::uint8_t, kControllerCount> select{};
    int index = -1;  // the live slot it was copied from; -1 for one made by hand
};

using RequestTableSnapshot = std::array<RequestSlotCopy, kRequestSlots>;

// Sends what a slot asks for: 0 nothing sent, 1 sent, 2 a write failed.
using SlotSender = int (*)(RequestSlotCopy&);

class RequestTable {
  public:
    RequestSlot& slot(int index) { return slots_[static_cast<std::size_t>(index)]; }
    // Selects controller `shmId` in `slotIndex` and marks the slot pending.
    void queue(int slotIndex, int shmId);
    // Clears one selection flag.
    void unselect(int slotIndex, int shmId);
    void clearPending(int slotIndex);

    // For the writes whose content the application changes at any time (the display message, the
    // device name): a sender notes each controller just before it reads that controller's record,
    // and the reply then settles only what has not been queued again since. A change made while
    // the write is on its way (to the same controller or to another) is therefore sent next, not
    // lost with the reply that answers the older request.
    void notePacked(const RequestSlotCopy& copy, int shmId);
    // Unselects `shmId` unless it was queued after its record was packed.
    void settle(int slotIndex, int shmId);
    // Clears the pending flag unless a selected controller was queued after its last packing.
    void settlePending(int slotIndex);
    void clearAll();
    RequestTableSnapshot snapshot() const;
    RequestSlotCopy copy(int slotIndex) const;

    // The sender of a slot whose requests another layer builds (the Bluetooth relay's): registered
    // at kvxInitLib before the request thread starts, cleared at kvxCloseLib after it has stopped.
    // Null when none is registered; the cycle then sends nothing for the slot.
    void setSender(int slotIndex, SlotSender send);
    SlotSender sender(int slotIndex) const;

  private:
    std::array<RequestSlot, kRequestSlots> slots_{};
    std::array<std::atomic<SlotSender>, kRequestSlots> senders_{};
};

RequestTable& requestTable();

}  // namespace kv
