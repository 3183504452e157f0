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

RequestTableSnapshot RequestTable::snapshot() const {
    RequestTableSnapshot copy{};
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        copy[i].code = slots_[i].code.load();
        copy[i].pending = slots_[i].pending.load();
        for (std::size_t k = 0; k < copy[i].select.size(); ++k) {
            copy[i].select[k] = slots_[i].select[k].load();
        }
    }
    return copy;
}

}  // namespace kv
