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
    const auto k = static_cast<std::size_t>(shmId);
    // Counted before the flags are set: a reply handler that clears them and then finds the count
    // unchanged has run before this queue, whose flags then land after its clearing.
    s.queued[k].fetch_add(1);
    s.select[k].store(1);
    s.pending.store(1);
}

void RequestTable::notePacked(const RequestSlotCopy& copy, int shmId) {
    if (copy.index < 0 || copy.index >= kRequestSlots || shmId < 0 || shmId >= kControllerCount) {
        return;
    }
    RequestSlot& s = slot(copy.index);
    const auto k = static_cast<std::size_t>(shmId);
    s.packed[k].store(s.queued[k].load());
}

namespace {

bool queuedSincePacked(const RequestSlot& s, std::size_t k) {
    return s.queued[k].load() != s.packed[k].load();
}

}  // namespace

void RequestTable::settle(int slotIndex, int shmId) {
    if (shmId < 0 || shmId >= kControllerCount) {
        return;
    }
    RequestSlot& s = slot(slotIndex);
    const auto k = static_cast<std::size_t>(shmId);
    s.select[k].store(0);
    if (queuedSincePacked(s, k)) {
        s.select[k].store(1);
    }
}

void RequestTable::settlePending(int slotIndex) {
    RequestSlot& s = slot(slotIndex);
    s.pending.store(0);
    for (std::size_t k = 0; k < s.select.size(); ++k) {
        if (s.select[k].load() != 0 && queuedSincePacked(s, k)) {
            s.pending.store(1);
            return;
        }
    }
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
        for (std::size_t k = 0; k < s.queued.size(); ++k) {
            s.packed[k].store(s.queued[k].load());
        }
    }
}

RequestSlotCopy RequestTable::copy(int slotIndex) const {
    const RequestSlot& s = slots_[static_cast<std::size_t>(slotIndex)];
    RequestSlotCopy c;
    c.index = slotIndex;
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
