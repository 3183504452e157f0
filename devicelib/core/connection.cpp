#include "core/connection.h"

#include "core/log.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/receive.h"

namespace kv {

std::uint32_t OpenComDevice(const char* name, std::uint32_t* result) {
    std::uint32_t ignored = 0;
    std::uint32_t& rc = result != nullptr ? *result : ignored;
    LogMsg(LOG_RAW, "\n");
    LogMsg(LOG_TIME, "OpenComDevice(), comStr= %s", name != nullptr ? name : "(null)");

    ComPort& port = comPort();
    if (deviceHandle().load() != 0) {
        // One controller at a time: the same port again, or a second master elsewhere.
        rc = (name != nullptr && port.name() == name) ? KVLIB_ERR_DEVICE_IS_OPEN
                                                      : KVLIB_ERR_SOME_DEVICES_ARE_OPEN;
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
    if (StartComReadThread() != 0) {
        CloseComDevice();
        deviceHandle().store(0);
        rc = KVLIB_ERR_THREAD_NOT_STARTABLE;
        return 0;
    }
    rc = 0;
    return deviceHandle().load();
}

void CloseComDevice() {
    LogMsg(LOG_TIME, "CloseComDevice, kvHandle= %d", static_cast<int>(deviceHandle().load()));
    StopComReadThread();
    if (deviceHandle().load() != 0) {
        comPort().PurgePort();
        comPort().ClosePort();
        deviceHandle().store(0);
    }
}

}  // namespace kv
