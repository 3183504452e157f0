#include "transfer/transfer_state.h"

namespace kv {

TransferFlags& transferFlags() {
    static TransferFlags flags;
    return flags;
}

}  // namespace kv
