#include "transfer/transfer_state.h"

namespace kv {

TransferFlags& transferFlags() {
    static TransferFlags flags;
    return flags;
}

void StopKolvX1Transfer() {
    // Without a running request cycle, stopping means no further telegram is sent.
    transferFlags().threadWriteFlag.store(0);
}

}  // namespace kv
