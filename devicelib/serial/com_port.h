// The library's one serial port and the device handle that names it to applications.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/platform.h"

namespace kv {

// The longest port name: a device path on POSIX must fit the 256-byte name field with its terminator.
inline constexpr std::size_t kMaxPortNameLength = 255;

class ComPort {
  public:
    // Opens and configures the port (38400 baud, 8N1 whatever `baudRate` says). Retries a failing
    // open up to 10 times, 1 s apart. Returns the handle, or kNoPort with `*result` set.
    platform::PortHandle OpenPort(const char* name, std::uint32_t baudRate, std::uint32_t* result);
    void ClosePort();
    void PurgePort();
    // Writes all bytes. On failure `*error` is the OS error, or a result code when the object is
    // closed; it is left untouched on success.
    bool SendData(const void* bytes, std::uint32_t count, std::uint32_t* error);
    bool ReadData(void* buffer, std::uint32_t count, std::uint32_t* bytesRead, std::uint32_t* error);
    std::uint32_t RxQueueCount();

    bool isOpen() const { return open_.load() != 0; }
    platform::PortHandle handle() const { return handle_.load(); }
    std::string name() const;

  private:
    // Writers and readers hold it shared; closing takes it exclusively, so a descriptor is never
    // closed (and perhaps reused) under a write from another thread.
    mutable std::shared_mutex useMutex_;
    std::atomic<std::int32_t> open_{0};
    std::atomic<platform::PortHandle> handle_{platform::kNoPort};
    mutable std::mutex nameMutex_;
    std::string name_;
};

// The library-wide port object, closed from program start until OpenPort succeeds.
ComPort& comPort();

// The device handle of the open connection, 0 when none.
std::atomic<std::uint32_t>& deviceHandle();

// 0 when `handle` is the open connection's, else KVLIB_ERR_DEVICE_NOT_OPEN or
// KVLIB_ERR_UNKNOWN_DEVICE_HANDLE.
std::uint32_t CheckDeviceHandle(std::uint32_t handle);

// How often and how far apart OpenPort tries. Only tests shorten it.
struct OpenRetryPolicy {
    int attempts = 10;
    std::uint32_t pauseMs = 1000;
};
void setOpenRetryPolicyForTesting(OpenRetryPolicy policy);

}  // namespace kv
