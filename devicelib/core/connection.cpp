#include "core/connection.h"

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "base/log.h"
#include "base/text.h"
#include "core/lifecycle.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/exchange.h"
#include "serial/receive.h"
#include "shell/remote_cmd.h"
#include "shell/service.h"
#include "shell/upload.h"
#include "transfer/area_fields.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_cycle.h"

namespace kv {
namespace {

// The beat thread may close the connection after a port error while the application closes it too.
std::mutex& closeMutex() {
    static std::mutex m;
    return m;
}

// What the layers above the serial one have the receive thread do. Set before the thread starts and
// cleared once it has ended (the connection, not the library, is what the thread lives with: it may
// outlast kvxCloseLib), so the thread never finds a slot empty or calls one that is stale.
void connectReceiveThread() {
    InstallShellReceivers();
    InstallTransferReceiveHooks();
}

void disconnectReceiveThread() {
    ClearShellReceivers();
    ClearTransferReceiveHooks();
}

}  // namespace

std::uint32_t OpenComDevice(const char* name, std::uint32_t* result) {
    std::uint32_t ignored = 0;
    std::uint32_t& rc = result != nullptr ? *result : ignored;
    LogMsg(LOG_RAW, "\n");
    LogMsg(LOG_TIME, "OpenComDevice(), comStr= %s", LogText(name, kMaxPortNameLength + 1).c_str());

    ComPort& port = comPort();
    if (deviceHandle().load() != 0) {
        // One controller at a time: the same port again, or a second master elsewhere.
        const bool samePort =
            name != nullptr &&
            port.name() == std::string_view(name, BoundedLength(name, kMaxPortNameLength + 1));
        rc = samePort ? KVLIB_ERR_DEVICE_IS_OPEN : KVLIB_ERR_SOME_DEVICES_ARE_OPEN;
        return 0;
    }
    port.ClosePort();
    const platform::PortHandle h = port.OpenPort(name, 38400, &rc);
    if (h == platform::kNoPort) {
        return 0;
    }
    deviceHandle().store(static_cast<std::uint32_t>(h));
    LogMsg(LOG_TIME, "kvxOpenComDevice(), kvHandle= %d", static_cast<int>(h));

    port.PurgePort();
    // A new connection starts on the telegram side, whatever an exchange of the last one left
    // installed, and its exchanges may wait for answers again.
    SetRxHandler(RX_TELEGRAM);
    ClearPortLinkDown();
    connectReceiveThread();
    if (StartComReadThread() != 0) {
        CloseComDevice();
        deviceHandle().store(0);
        rc = KVLIB_ERR_THREAD_NOT_STARTABLE;
        return 0;
    }
    rc = 0;
    return deviceHandle().load();
}

std::uint32_t ConnectController() {
    if (OpenKolvX1Connection() != 0) {
        CloseComDevice();
        return KVLIB_ERR_TIMEOUT;
    }
    for (int i = 0; i < kControllerCount; ++i) {
        masterSlaveAlive(i).store(i == 0 ? 1 : 0);
    }
    if (std::uint32_t rc = ReadMasterSlaveState(); rc != 0) {
        return rc;
    }
    InitTransferValues();
    return 0;
}

std::uint32_t ReadMasterSlaveState() {
    if (ReadVoriKqInfo(0) != 0 || ReadVoriKqState() != 0) {
        return KVLIB_ERR_TIMEOUT;
    }
    for (int i = 0; i < 8; ++i) {
        if (MasterExtState(i) != 0) {
            masterSlaveAlive(i + 1).store(ReadVoriKqInfo(static_cast<std::uint32_t>(i + 1)) == 0 ? 1 : 0);
        }
    }
    std::string alive = "M";
    for (int k = 1; k < kControllerCount; ++k) {
        alive += masterSlaveAlive(k).load() != 0 ? "  S" + std::to_string(k) : std::string("  0");
    }
    LogMsg(LOG_TIME, "Info Master/Slave alive:  %s", alive.c_str());
    return 0;
}

void CloseComDevice() {
    std::unique_lock lock(closeMutex(), std::defer_lock);
    if (OnReceiveThread()) {
        // A callback that closes the device. Another thread may be closing it at the same moment and
        // be about to wait for this thread to end: once it has asked this thread to stop, the close
        // is its business, and waiting for its lock would wait for ever.
        while (!lock.try_lock()) {
            if (ReceiveThreadStopping()) {
                return;
            }
            platform::sleepMs(1);
        }
    } else {
        lock.lock();
    }
    LogMsg(LOG_TIME, "CloseComDevice, kvHandle= %d", static_cast<int>(deviceHandle().load()));
    // An exchange waiting for an answer on this port would wait out its time-out (and keep the
    // receive handler): it ends now, with a failure.
    FailExchangesInFlight();
    StopComReadThread();
    if (deviceHandle().load() != 0) {
        comPort().PurgePort();
        comPort().ClosePort();
        // Before the handle is free for a new connection: an upload still running (its port lost
        // under it) must not write to a descriptor that the new connection may reuse.
        UploadReleasePort();
        deviceHandle().store(0);
    }
    // Called from a receive handler, the thread ends once the handler returns and dispatches and
    // reads nothing more: the hooks are no longer its to call either.
    disconnectReceiveThread();
}

}  // namespace kv

extern "C" {

KVLIB_API std::uint32_t kvxOpenComDevice(const char* name, std::uint32_t /*baudRate*/,
                                         std::uint32_t* result) {
    std::uint32_t rc = 0;
    std::uint32_t handle = 0;
    if (kv::RefusedOnReceiveThread("kvxOpenComDevice")) {
        // The probe's reply would have to come through the thread that is waiting for it.
        rc = KVLIB_ERR_THREAD_IS_RUNNING;
    } else if (!kv::LibraryInitialised()) {
        // The events and threads a connection relies on exist only after kvxInitLib.
        rc = KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
    } else {
        handle = kv::OpenComDevice(name, &rc);
        if (rc == 0) {
            rc = kv::ConnectController();
        }
        if (rc == 0) {
            // The serial number is a courtesy: the connection stands without it.
            (void)kv::ReadSerialNumber(handle);
        }
    }
    if (rc != 0) {
        kv::LogMsg(kv::LOG_TIME, "Error: kvxOpenComDevice(), error= %d (%0x)", static_cast<int>(rc), rc);
    }
    if (result != nullptr) {
        *result = rc;
    }
    return handle;
}

KVLIB_API std::uint32_t kvxOpenComDeviceNr(std::int32_t portNumber, std::uint32_t baudRate,
                                           std::uint32_t* result) {
    // "COM" and up to eight digits (or a sign and seven) fill the 12-byte name. A number that does not
    // fit is refused rather than cut short: a shortened name would open some other port.
    char name[12];
    const int length = std::snprintf(name, sizeof name, "COM%d", static_cast<int>(portNumber));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof name) {
        kv::LogMsg(kv::LOG_TIME, "Error: kvxOpenComDevice(), error= %d (%0x)",
                   static_cast<int>(KVLIB_ERR_INVALID_PARAM), KVLIB_ERR_INVALID_PARAM);
        if (result != nullptr) {
            *result = KVLIB_ERR_INVALID_PARAM;
        }
        return 0;
    }
    return kvxOpenComDevice(name, baudRate, result);
}

KVLIB_API std::uint32_t kvxCloseDevice(std::uint32_t handle) {
    if (std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        kv::LogMsg(kv::LOG_TIME, "kvxCloseDevice, errCode= %8X", rc);
        return 0;
    }
    // An upload writes through the port until it ends, which it does by itself within its time-outs.
    // A callback on the receive thread cannot wait for that: the upload waits for replies that only
    // this thread delivers. The close withdraws the port from the upload instead.
    if (!kv::OnReceiveThread()) {
        kv::WaitForUploadEnd();
    }
    kv::CloseComDevice();
    return 0;
}

KVLIB_API std::uint32_t kvxCloseAllDevices(void) {
    // There is at most one connection.
    if (const std::uint32_t handle = kv::deviceHandle().load(); handle != 0) {
        (void)kvxCloseDevice(handle);
    }
    return 0;
}

KVLIB_API std::uint32_t kvxIsHandleValid(std::uint32_t handle) {
    return kv::CheckDeviceHandle(handle);
}

// The same query under the name older applications use.
KVLIB_API std::uint32_t GetComStatus(std::uint32_t handle) {
    return kvxIsHandleValid(handle);
}

}  // extern "C"
