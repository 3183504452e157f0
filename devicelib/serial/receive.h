// The receive thread and the seam through which it hands received bytes to whoever owns the port:
// the telegram parser, the file upload or a shell exchange.
#pragma once

#include <cstdint>

namespace kv {

using RxHandler = void (*)(const std::uint8_t* bytes, std::int32_t count);

enum RxMode : int {
    RX_TELEGRAM = 0,  // also every value other than 1 and 2
    RX_UPLOAD = 1,
    RX_SHELL = 2,
};

// The largest chunk the receive thread hands to a handler at once.
inline constexpr std::uint32_t kRxChunkBytes = 2048;

std::uint32_t StartComReadThread();
// Asks the receive thread to stop, wakes it and returns once it has ended: no handler runs after.
std::uint32_t StopComReadThread();
bool ComReadThreadRunning();

// Installs the handler of `mode` and returns the mode.
int SetRxHandler(int mode);
// The handler that SetRxHandler installs for `mode` (null while that receiver is not part of the
// library, in which case received bytes are dropped).
RxHandler RxHandlerForMode(int mode);
RxHandler CurrentRxHandler();
// Installs any handler; for tests that need to see the raw chunks.
void SetRxHandlerForTesting(RxHandler handler);

// The connection's port failed or is being closed: marks the link down and wakes every exchange
// that waits for an answer (a shell command, a single telegram exchange, an upload), each of which
// then ends at once with a failure code instead of waiting out its time-out. Any thread may call it.
void FailExchangesInFlight();
// True from a port failure or close until the next connection is opened; an exchange that begins
// meanwhile fails at once.
bool PortLinkDown();
// A new connection: its exchanges may wait again.
void ClearPortLinkDown();

// Hands the port from the transfer cycle to a shell service and back.
void PauseTransferCycle();
void ResumeTransferCycle();

}  // namespace kv
