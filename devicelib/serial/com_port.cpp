#include "serial/com_port.h"

#include "base/log.h"
#include "base/text.h"
#include "kvarolib.h"

namespace kv {
namespace {

std::atomic<int> gOpenAttempts{10};
std::atomic<std::uint32_t> gOpenPauseMs{1000};

constexpr std::uint32_t kQueueBytes = 2048;
constexpr std::uint32_t kReadTotalTimeoutMs = 2000;
constexpr std::uint32_t kWriteTotalTimeoutMs = 2000;

}  // namespace

void setOpenRetryPolicyForTesting(OpenRetryPolicy policy) {
    gOpenAttempts.store(policy.attempts);
    gOpenPauseMs.store(policy.pauseMs);
}

ComPort& comPort() {
    static ComPort port;
    return port;
}

std::atomic<std::uint32_t>& deviceHandle() {
    static std::atomic<std::uint32_t> handle{0};
    return handle;
}

std::string ComPort::name() const {
    std::lock_guard lock(nameMutex_);
    return name_;
}

platform::PortHandle ComPort::OpenPort(const char* name, std::uint32_t /*baudRate*/, std::uint32_t* result) {
    std::uint32_t ignored = 0;
    std::uint32_t& rc = result != nullptr ? *result : ignored;
    rc = 0;
    // The name has to fit the port-name field; a longer one cannot name a port we could record.
    if (name == nullptr || name[0] == '\0' ||
        BoundedLength(name, kMaxPortNameLength + 1) > kMaxPortNameLength) {
        rc = KVLIB_ERR_INVALID_PARAM;
        return platform::kNoPort;
    }

    platform::PortOpenResult opened;
    const int attempts = gOpenAttempts.load();
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        opened = platform::serialOpen(name);
        if (opened.handle != platform::kNoPort) {
            break;
        }
        if (attempt < attempts) {
            platform::sleepMs(gOpenPauseMs.load());
        }
    }
    if (opened.handle == platform::kNoPort) {
        rc = opened.accessDenied ? KVLIB_ERR_ACCESS_DENIED : KVLIB_ERR_OPEN_COM;
        return platform::kNoPort;
    }

    const platform::PortHandle h = opened.handle;
    int osError = 0;
    if (!platform::serialConfigure(h, osError) ||
        !platform::serialSetQueues(h, kQueueBytes, kQueueBytes, osError)) {
        platform::serialClose(h);
        rc = KVLIB_ERR_INIT_COM;
        return platform::kNoPort;
    }
    if (!platform::serialSetTimeouts(h, kReadTotalTimeoutMs, kWriteTotalTimeoutMs, osError)) {
        platform::serialClose(h);
        rc = KVLIB_ERR_INIT_COM_TIMEOUT;
        return platform::kNoPort;
    }
    platform::serialPurge(h);
    platform::serialClearBreak(h);
    {
        std::lock_guard lock(nameMutex_);
        name_ = name;
    }
    std::unique_lock use(useMutex_);
    handle_.store(h);
    open_.store(1);
    return h;
}

void ComPort::ClosePort() {
    std::unique_lock use(useMutex_);
    const platform::PortHandle h = handle_.load();
    if (open_.load() == 0 || h == platform::kNoPort) {
        return;
    }
    open_.store(0);
    handle_.store(platform::kNoPort);
    platform::serialClose(h);
    std::lock_guard lock(nameMutex_);
    name_.clear();
}

void ComPort::PurgePort() {
    std::shared_lock use(useMutex_);
    const platform::PortHandle h = handle_.load();
    if (h != platform::kNoPort) {
        platform::serialPurge(h);
    }
}

bool ComPort::SendData(const void* bytes, std::uint32_t count, std::uint32_t* error) {
    std::uint32_t ignored = 0;
    std::uint32_t& err = error != nullptr ? *error : ignored;
    if (open_.load() == 0) {
        err = KVLIB_ERR_DEVICE_NOT_OPEN;
        return false;
    }
    std::shared_lock use(useMutex_);
    const platform::PortHandle h = handle_.load();
    if (open_.load() == 0) {
        err = KVLIB_ERR_DEVICE_NOT_OPEN;
        return false;
    }
    if (h == platform::kNoPort) {
        err = KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE;
        return false;
    }
    int osError = 0;
    if (!platform::serialWrite(h, bytes, count, osError)) {
        err = static_cast<std::uint32_t>(osError);
        return false;
    }
    return true;
}

bool ComPort::ReadData(void* buffer, std::uint32_t count, std::uint32_t* bytesRead, std::uint32_t* error) {
    std::uint32_t got = 0;
    int osError = 0;
    std::shared_lock use(useMutex_);
    const bool ok = platform::serialRead(handle_.load(), buffer, count, got, osError);
    if (bytesRead != nullptr) {
        *bytesRead = got;
    }
    if (!ok && error != nullptr) {
        *error = static_cast<std::uint32_t>(osError);
    }
    return ok;
}

std::uint32_t ComPort::RxQueueCount() {
    std::uint32_t count = 0;
    int osError = 0;
    std::shared_lock use(useMutex_);
    if (!platform::serialRxQueueCount(handle_.load(), count, osError)) {
        return 0;
    }
    return count;
}

std::uint32_t CheckDeviceHandle(std::uint32_t handle) {
    ComPort& port = comPort();
    if (port.handle() == platform::kNoPort) {
        return KVLIB_ERR_DEVICE_NOT_OPEN;
    }
    if (!port.isOpen() || handle == 0) {
        return KVLIB_ERR_DEVICE_NOT_OPEN;
    }
    if (handle != deviceHandle().load()) {
        return KVLIB_ERR_UNKNOWN_DEVICE_HANDLE;
    }
    return 0;
}

}  // namespace kv
