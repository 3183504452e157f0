// Opening and closing the one controller connection.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kv {

// Opens the port named `name` under the single-master rule and starts the receive thread. Returns
// the device handle (0 on failure) and writes the result code to `*result` when it is not null.
std::uint32_t OpenComDevice(const char* name, std::uint32_t* result);

// Probes the controller on the open port, reads the master and its extensions and presets the
// output side of the transfer area. On a failed probe the port is closed again.
std::uint32_t ConnectController();

// Reads the information and state of the master and the information of every extension that the
// master reports present; 0 or KVLIB_ERR_TIMEOUT.
std::uint32_t ReadMasterSlaveState();

// Stops the receive thread, then purges and closes the port. Safe to call from any thread, any
// number of times: the port is closed once.
void CloseComDevice();

}  // namespace kv
