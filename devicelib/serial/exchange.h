// The single request/reply exchanges that open a Kolv.X1 connection and read a controller's
// information and state outside the transfer cycle. Each writes one request and waits up to 3000 ms
// for ReplyEvent, which the handlers of ECHO_REPLY, INFO_RD_REPLY and STATE_RD_REPLY signal.
#pragma once

#include <cstdint>

#include "serial/telegram.h"

namespace kv {

// How long a single exchange waits for its reply.
inline constexpr std::uint32_t kSingleExchangeTimeoutMs = 3000;

// Writes the telegram built under `tx` and waits for ReplyEvent. The transmit buffer is released as
// soon as the telegram is written, so the transfer cycle can send while this thread waits. A failed
// write is not examined: it shows as a time-out. Returns 0 or KVLIB_ERR_TIMEOUT (also when nothing
// was built under `tx`).
std::uint32_t SendAndWaitReply(TransmitLock tx);

// Resets SessionId and RequestCounter and exchanges ECHO_REQUEST (carrying counter 1).
std::uint32_t OpenKolvX1Connection();
// Reads the information record of controller `index` (0 the master, 1..8 its extensions).
std::uint32_t ReadVoriKqInfo(std::uint32_t index);
// Reads the master's state record.
std::uint32_t ReadVoriKqState();

}  // namespace kv
