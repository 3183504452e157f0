// The flags that the transfer cycle shares with the serial channel and the shell services.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

struct TransferFlags {
    // Request cycles send telegrams only while this is set; a shell service clears it while it
    // holds the port.
    std::atomic<std::uint8_t> threadWriteFlag{0};
    // The low 16 bits of the last OS error of a failed port read or write; 0 when none.
    std::atomic<std::uint16_t> portError{0};
};

TransferFlags& transferFlags();

// Stops a running transfer cycle. Called when the port fails under it.
void StopKolvX1Transfer();

}  // namespace kv
