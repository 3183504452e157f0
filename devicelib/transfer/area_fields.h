// The few fields of the transfer area that the engine reads and writes by name, each through the
// relaxed helpers; every one is a no-op (or 0) while no area is allocated.
#pragma once

#include <cstdint>

#include "transfer/transfer_area.h"

namespace kv {

inline std::uint8_t RecordConfigId(int shmId) {
    const KOLV_X1_TRANSFER* rec = record(shmId);
    return rec != nullptr ? loadRelaxed(rec->State.ConfigId) : std::uint8_t{0};
}

inline std::uint8_t MasterTransferState() {
    const KOLV_X1_TRANSFER* rec = record(0);
    return rec != nullptr ? loadRelaxed(rec->TransferStatus.TransferState) : std::uint8_t{0};
}

inline void SetMasterComError(std::uint16_t error) {
    if (KOLV_X1_TRANSFER* rec = record(0)) {
        storeRelaxed(rec->TransferStatus.ComError, error);
    }
}

// The master's extension byte of extension index 0..7 (extension 1..8).
inline std::uint8_t MasterExtState(int index) {
    const KOLV_X1_TRANSFER* rec = record(0);
    if (rec == nullptr || index < 0 || index >= 8) {
        return 0;
    }
    return loadRelaxed(rec->State.ExtState[static_cast<std::size_t>(index)]);
}

}  // namespace kv
