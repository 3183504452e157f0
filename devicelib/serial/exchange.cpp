#include "serial/exchange.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "base/log.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/receive.h"

namespace kv {
namespace {

// One single exchange waiting for its reply. Several application threads may wait at once, and the
// transfer cycle reads state and information with the same codes: each waiter is woken only by the
// reply that carries its own code and request counter.
struct ReplyWaiter {
    std::uint32_t replyCode = 0;
    std::uint16_t counter = 0;
    bool failed = false;  // the port failed or was closed while it waited
    platform::ManualResetEvent answered;
};

struct WaiterList {
    std::mutex mutex;
    std::vector<ReplyWaiter*> waiting;
};

WaiterList& waiters() {
    static WaiterList list;
    return list;
}

// Registers `waiter` for the lifetime of the object; the receive thread finds it through the list.
class WaiterRegistration {
  public:
    explicit WaiterRegistration(ReplyWaiter& waiter) : waiter_(waiter) {
        WaiterList& list = waiters();
        std::lock_guard lock(list.mutex);
        list.waiting.push_back(&waiter_);
    }
    ~WaiterRegistration() {
        WaiterList& list = waiters();
        std::lock_guard lock(list.mutex);
        list.waiting.erase(std::remove(list.waiting.begin(), list.waiting.end(), &waiter_),
                           list.waiting.end());
    }
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;

    bool failed() const {
        std::lock_guard lock(waiters().mutex);
        return waiter_.failed;
    }

  private:
    ReplyWaiter& waiter_;
};

}  // namespace

std::uint32_t SendAndWaitReply(TransmitLock tx) {
    if (!tx.ownsLock() || tx.length() == 0) {
        return KVLIB_ERR_TIMEOUT;
    }
    ReplyWaiter waiter;
    waiter.replyCode = GetU32LE(tx.data() + 4 + kTicketCodeOffset) + 100;
    waiter.counter = GetU16LE(tx.data() + 4 + kTicketCounterOffset);
    // Registered before the request goes out: the reply may come before this thread waits.
    const WaiterRegistration registration(waiter);
    if (PortLinkDown()) {
        // The port failed (or was closed) before the request could be written.
        return KVLIB_ERR_DEVICE_NOT_OPEN;
    }
    std::uint32_t error = 0;
    (void)comPort().SendData(tx.data(), tx.length(), &error);
    tx.unlock();
    const platform::WaitResult result = waiter.answered.wait(kSingleExchangeTimeoutMs);
    if (registration.failed()) {
        LogMsg(LOG_TIME, "SendAndWaitReply, the port failed or was closed...");
        return KVLIB_ERR_DEVICE_NOT_OPEN;
    }
    return result == platform::WaitResult::signalled ? 0 : KVLIB_ERR_TIMEOUT;
}

void SingleExchangeReplyArrived(std::uint32_t replyCode, std::uint16_t counter) {
    WaiterList& list = waiters();
    std::lock_guard lock(list.mutex);
    for (ReplyWaiter* w : list.waiting) {
        if (w->replyCode == replyCode && w->counter == counter) {
            w->answered.set();
        }
    }
}

void FailSingleExchangesInFlight() {
    WaiterList& list = waiters();
    std::lock_guard lock(list.mutex);
    for (ReplyWaiter* w : list.waiting) {
        w->failed = true;
        w->answered.set();
    }
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
