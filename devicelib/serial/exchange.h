// The single request/reply exchanges that open a Kolv.X1 connection and read a controller's
// information and state outside the transfer cycle. Each writes one request and waits up to 3000 ms
// for the reply that carries its own reply code and request counter: the parser reports every
// ECHO_REPLY, INFO_RD_REPLY and STATE_RD_REPLY once its handler has stored it. A reply the transfer
// cycle asked for, with the same code, wakes no single exchange.
#pragma once

#include <cstdint>

#include "serial/telegram.h"

namespace kv {

// How long a single exchange waits for its reply.
inline constexpr std::uint32_t kSingleExchangeTimeoutMs = 3000;

// Writes the telegram built under `tx` and waits for its reply. The transmit buffer is released as
// soon as the telegram is written, so the transfer cycle can send while this thread waits. A failed
// write is not examined: it shows as a time-out. Returns 0, KVLIB_ERR_TIMEOUT (also when nothing
// was built under `tx`) or KVLIB_ERR_DEVICE_NOT_OPEN when the port failed or was closed before the
// reply came (the wait ends at once then).
std::uint32_t SendAndWaitReply(TransmitLock tx);

// Called on the receive thread after the handler of a reply has run: wakes the single exchange
// waiting for exactly this reply, if any.
void SingleExchangeReplyArrived(std::uint32_t replyCode, std::uint16_t counter);
// Wakes every single exchange waiting for a reply; each returns KVLIB_ERR_DEVICE_NOT_OPEN.
void FailSingleExchangesInFlight();

// Resets SessionId and RequestCounter and exchanges ECHO_REQUEST (carrying counter 1).
std::uint32_t OpenKolvX1Connection();
// Reads the information record of controller `index` (0 the master, 1..8 its extensions).
std::uint32_t ReadVoriKqInfo(std::uint32_t index);
// Reads the master's state record.
std::uint32_t ReadVoriKqState();

}  // namespace kv
