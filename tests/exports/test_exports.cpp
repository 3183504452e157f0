// libkvarolib.so exports its C interface by name and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> exportedNames() {
    std::set<std::string> names;
    const std::string command = std::string("nm -D --defined-only ") + KVLIB_SHARED_PATH;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return names;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        const auto lastBlank = text.rfind(' ');
        names.insert(lastBlank == std::string::npos ? text : text.substr(lastBlank + 1));
    }
    ::pclose(pipe);
    return names;
}

TEST(SharedLibrary, ExportsExactlyTheCInterface) {
    const std::set<std::string> expected{
        "EnumComPorts",
        "GetAvailableComPorts",
        "GetComStatus",
        "GetIF08TransferAddress",
        "GetKvX1TransferStatusAddr",
        "GetVoriKqBtAddr",
        "GetVoriKqBtStatus",
        "GetVoriKqDevName",
        "GetVoriKqDllStr",
        "GetVoriKqFwStr",
        "GetVoriKqFwVal",
        "GetVoriKqHwStr",
        "GetVoriKqInfo",
        "GetVoriKqMasterState",
        "GetVoriKqMemLayout",
        "GetVoriKqSerialStr",
        "GetVoriKqSlaveAlive",
        "GetVoriKqSlaveState",
        "KvFileUpload",
        "KvRamFileUpload",
        "KvRemoteCmd",
        "SetCBCounterResetted",
        "SetCBMotorExReached",
        "SetCBVoriExtState",
        "SetVoriKqDevName",
        "SetVoriKqMessage",
        "VKqCleanDisk",
        "kvxCloseAllDevices",
        "kvxCloseDevice",
        "kvxCloseLib",
        "kvxGetFirmwareStrg",
        "kvxGetLibVersion",
        "kvxGetLibVersionStr",
        "kvxGetLongNameStrg",
        "kvxGetManufacturerStrg",
        "kvxGetSerialNrStrg",
        "kvxGetShortNameStrg",
        "kvxInitLib",
        "kvxIsHandleValid",
        "kvxIsLibInit",
        "kvxIsTransferActiv",
        "kvxOpenComDevice",
        "kvxOpenComDeviceNr",
        "kvxStartTransferArea",
        "kvxStopTransferArea",
    };
    EXPECT_EQ(exportedNames(), expected);
}

}  // namespace
