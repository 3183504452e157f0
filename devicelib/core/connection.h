// Opening and closing the one controller connection.
#pragma once

#include <cstdint>

namespace kv {

// Opens the port named `name` under the single-master rule and starts the receive thread. Returns
// the device handle (0 on failure) and writes the result code to `*result` when it is not null.
std::uint32_t OpenComDevice(const char* name, std::uint32_t* result);

// Stops the receive thread, then purges and closes the port.
void CloseComDevice();

}  // namespace kv
