// The information queries without a controller: the library's own identity texts, and the handle
// check that guards every query about a controller.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/log.h"
#include "kvarolib.h"
#include "support/guarded_text.h"
#include "support/temp_dir.h"

namespace {

constexpr std::size_t kBuffer = 40;

// A buffer that shows whether a query wrote to it.
struct Buffer {
    char bytes[kBuffer];
    Buffer() { std::memset(bytes, 'x', sizeof bytes); }
    bool untouched() const { return std::string(bytes, sizeof bytes) == std::string(sizeof bytes, 'x'); }
};

TEST(LibraryIdentity, VersionTextOnlyWhenItFitsWhole) {
    EXPECT_EQ(kvxGetLibVersion(), 0x00010506u);
    Buffer b;
    EXPECT_EQ(kvxGetLibVersionStr(b.bytes, 22), 0u);
    EXPECT_TRUE(b.untouched());
    EXPECT_EQ(kvxGetLibVersionStr(b.bytes, 0), 0u);
    EXPECT_EQ(kvxGetLibVersionStr(nullptr, 23), KVLIB_ERR_INVALID_PARAM);
    EXPECT_TRUE(b.untouched());
    EXPECT_EQ(kvxGetLibVersionStr(b.bytes, 23), 22u);
    EXPECT_STREQ(b.bytes, "01.05.06  (2010/09/22)");
}

TEST(LibraryIdentity, NamesNeedNoDevice) {
    Buffer b;
    EXPECT_EQ(kvxGetManufacturerStrg(0, b.bytes, 18), 0u);
    EXPECT_TRUE(b.untouched());
    EXPECT_EQ(kvxGetManufacturerStrg(0, b.bytes, 19), 18u);
    EXPECT_STREQ(b.bytes, "ARO Vertriebs GmbH");
    EXPECT_EQ(kvxGetShortNameStrg(12345, b.bytes, sizeof b.bytes), 18u);
    EXPECT_STREQ(b.bytes, "VORI KQ Controller");
    EXPECT_EQ(kvxGetLongNameStrg(0, b.bytes, sizeof b.bytes), 18u);
    EXPECT_STREQ(b.bytes, "VORI KQ Controller");
    EXPECT_EQ(kvxGetManufacturerStrg(0, nullptr, sizeof b.bytes), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(kvxGetShortNameStrg(0, nullptr, sizeof b.bytes), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(kvxGetLongNameStrg(0, nullptr, sizeof b.bytes), KVLIB_ERR_INVALID_PARAM);
    // While the names answer, a query about the controller has none to ask.
    Buffer fw;
    EXPECT_EQ(kvxGetFirmwareStrg(0, fw.bytes, sizeof fw.bytes), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_TRUE(fw.untouched());
}

TEST(ControllerQueries, WithoutAConnectionNothingIsTouched) {
    Buffer b;
    std::uint32_t out[3] = {7, 7, 7};
    BT_CHANNEL channels[8];
    std::memset(channels, 0x5A, sizeof channels);
    for (const std::uint32_t handle : {0u, 1u, 0xDEADu}) {
        EXPECT_EQ(kvxGetFirmwareStrg(handle, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(kvxGetSerialNrStrg(handle, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqSerialStr(handle, 1, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqDevName(handle, 0, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqBtAddr(handle, 0, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqFwStr(handle, 0, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqHwStr(handle, 0, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqDllStr(handle, 0, b.bytes, kBuffer), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqFwVal(handle, 0, &out[0]), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqMemLayout(handle, 0, &out[0], &out[1], &out[2]), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqSlaveAlive(handle, 9, &out[0]), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqSlaveState(handle, out), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqBtStatus(handle, channels), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqMasterState(handle), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetVoriKqInfo(handle, 0), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(SetVoriKqMessage(handle, 0, "TEXT"), KVLIB_ERR_DEVICE_NOT_OPEN);
    }
    EXPECT_TRUE(b.untouched());
    EXPECT_EQ(out[0] + out[1] + out[2], 21u);
    for (const BT_CHANNEL& ch : channels) {
        EXPECT_EQ(ch.ConnState, 0x5A5A);
    }
}

TEST(ControllerQueries, DeviceNameAttemptIsLoggedBeforeAnyCheck) {
    kv::InitLog();
    EXPECT_EQ(SetVoriKqDevName(0, 3, "BENCH-KQ"), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(SetVoriKqDevName(0, 12, ""), KVLIB_ERR_DEVICE_NOT_OPEN);
    const std::string log = kvtest::readText(kv::LogFilePath());
    EXPECT_NE(log.find(", [SetVoriKqDevName]  shmId= 3, hostname: [BENCH-KQ]\n"), std::string::npos);
    EXPECT_NE(log.find(", [SetVoriKqDevName]  shmId= 12, hostname: []\n"), std::string::npos);
}

// A name goes into the log before it is checked: it is read no further than one character past the
// longest name (the bytes below end where readable memory ends), and its control characters are
// escaped so that the call stays one line of the log.
TEST(ControllerQueries, DeviceNameInTheLogIsBoundedAndOnOneLine) {
    kv::InitLog();
    const kvtest::GuardedBytes unterminated(std::string(17, 'N'));
    EXPECT_EQ(SetVoriKqDevName(0, 1, unterminated.data()), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(SetVoriKqDevName(0, 2, "KQ\r\nINFO: forged\x7F\t"), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(SetVoriKqDevName(0, 3, nullptr), KVLIB_ERR_DEVICE_NOT_OPEN);
    const std::string log = kvtest::readText(kv::LogFilePath());
    EXPECT_NE(log.find(", [SetVoriKqDevName]  shmId= 1, hostname: [" + std::string(17, 'N') + "]\n"),
              std::string::npos);
    EXPECT_NE(log.find(", [SetVoriKqDevName]  shmId= 2, hostname: [KQ\\r\\nINFO: for"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("\nINFO: forged"), std::string::npos);
    EXPECT_NE(log.find(", [SetVoriKqDevName]  shmId= 3, hostname: [(null)]\n"), std::string::npos);
}

}  // namespace
