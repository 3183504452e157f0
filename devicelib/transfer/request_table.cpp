#include "transfer/request_table.h"

namespace kv {

RequestTable& requestTable() {
    static RequestTable table;
    return table;
}

void RequestTable::queue(int slotIndex, int shmId) {
    if (shmId < 0 || shmId >= kControllerCount) {
        return;
    }
    RequestSlot& s = slot(slotIndex);
    s.select[static_cast<std::size_t>(shmId)].store(1);
    s.pending.store(1);
}

void RequestTable::unselect(int slotIndex, int shmId) {
    if (shmId < 0 || shmId >= kControllerCount) {
        return;
    }
    slot(slotIndex).select[static_cast<std::size_t>(shmId)].store(0);
}

void RequestTable::clearPending(int slotIndex) {
    slot(slotIndex).pending.store(0);
}

void RequestTable::clearAll() {
    for (RequestSlot& s : slots_) {
        s.pending.store(0);
        for (auto& f : s.select) {
            f.store(0);
        }
    }
}

RequestSlotCopy RequestTable::copy(int slotIndex) const {
    const RequestSlot& s = slots_[static_cast<std::size_t>(slotIndex)];
    RequestSlotCopy c;
    c.code = s.code.load();
    c.pending = s.pending.load();
    for (std::size_t k = 0; k < c.select.size(); ++k) {
        c.select[k] = s.select[k].load();
    }
    return c;
}

void RequestTable::setSender(int slotIndex, SlotSender send) {
    if (slotIndex < 0 || slotIndex >= kRequestSlots) {
        return;
    }
    senders_[static_cast<std::size_t>(slotIndex)].store(send);
}

SlotSender RequestTable::sender(int slotIndex) const {
    if (slotIndex < 0 || slotIndex >= kRequestSlots) {
        return nullptr;
    }
    return senders_[static_cast<std::size_t>(slotIndex)].load();
}

RequestTableSnapshot RequestTable::snapshot() const {
    RequestTableSnapshot all{};
    for (int i = 0; i < kRequestSlots; ++i) {
        all[static_cast<std::size_t>(i)] = copy(i);
    }
    return all;
}

}  // namespace kv
