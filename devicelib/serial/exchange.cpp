#include "serial/exchange.h"

#include <utility>

#include "core/events.h"
#include "core/log.h"
#include "kvarolib.h"
#include "serial/com_port.h"

namespace kv {

std::uint32_t SendAndWaitReply(TransmitLock tx) {
    if (!tx.ownsLock() || tx.length() == 0) {
        return KVLIB_ERR_TIMEOUT;
    }
    platform::ManualResetEvent& reply = libraryEvents().reply;
    reply.reset();
    std::uint32_t error = 0;
    (void)comPort().SendData(tx.data(), tx.length(), &error);
    tx.unlock();
    const platform::WaitResult result = reply.wait(kSingleExchangeTimeoutMs);
    reply.reset();
    return result == platform::WaitResult::signalled ? 0 : KVLIB_ERR_TIMEOUT;
}

std::uint32_t OpenKolvX1Connection() {
    LogMsg(LOG_TIME, "Open Kolv.X1 connection...");
    TransmitLock tx;
    // Reset under the lock, so that no other request can take counter 1 from the echo.
    sessionId().store(0);
    requestCounter().store(0);
    tx.build(ECHO_REQUEST, 0, nullptr, 0, false);
    return SendAndWaitReply(std::move(tx));
}

std::uint32_t ReadVoriKqInfo(std::uint32_t index) {
    std::uint8_t payload[4];
    PutU32LE(payload, index);
    TransmitLock tx;
    tx.build(INFO_RD_REQUEST, 1, payload, sizeof payload, false);
    LogLevelMsg(1, "ReadVoriKqInfo:");
    return SendAndWaitReply(std::move(tx));
}

std::uint32_t ReadVoriKqState() {
    std::uint8_t payload[4];
    PutU32LE(payload, 0);
    TransmitLock tx;
    tx.build(STATE_RD_REQUEST, 1, payload, sizeof payload, false);
    LogLevelMsg(1, "ReadVoriKqState:");
    return SendAndWaitReply(std::move(tx));
}

}  // namespace kv
