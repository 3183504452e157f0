// Texts a caller hands to the library through the C interface, against the simulated controller: each
// is read no further than one character past the longest text the call takes, then refused. The texts
// below have no terminator and end where readable memory ends, so a read past the limit faults.
#include <cstdint>
#include <string>

#include "kvarolib.h"
#include "serial/com_port.h"
#include "shell/remote_cmd.h"
#include "shell/upload.h"
#include "support/guarded_text.h"
#include "support/lib_fixture.h"
#include "support/simulator.h"

namespace {

using kvtest::GuardedBytes;

class CallerTextTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(kvxInitLib(), 0u); }
    void TearDown() override {
        kvxCloseAllDevices();
        kvxCloseLib();
    }

    std::uint32_t open(const kvtest::Simulator& sim) {
        std::uint32_t rc = 0xFFFFFFFF;
        const std::uint32_t h = kvxOpenComDevice(sim.port().c_str(), 38400, &rc);
        EXPECT_EQ(rc, 0u);
        return h;
    }
};

void noReply(const char*, std::uint32_t) {}
void noStatus(std::uint32_t) {}

TEST_F(CallerTextTest, UnterminatedTextsAreReadOnlyOnePastTheirLimit) {
    kvtest::Simulator sim;
    const std::uint32_t h = open(sim);
    ASSERT_NE(h, 0u);

    const GuardedBytes command(std::string(kv::kMaxShellCommandLength + 1, 'c'));
    EXPECT_EQ(KvRemoteCmd(h, command.data(), noReply), KVLIB_ERR_INVALID_PARAM);

    const GuardedBytes deviceName(std::string(17, 'n'));
    EXPECT_EQ(SetVoriKqDevName(h, 0, deviceName.data()), KVLIB_ERR_WRONG_HOSTNAME_LEN);

    const std::uint8_t data[4] = {1, 2, 3, 4};
    const GuardedBytes uploadName(std::string(kv::kMaxUploadNameLength + 1, 'u'));
    EXPECT_EQ(KvRamFileUpload(h, 0, data, sizeof data, uploadName.data(), noStatus), KVLIB_ERR_INVALID_PARAM);

    // Another open while this one stands compares the name with the open port's.
    const GuardedBytes portName("/dev/" + std::string(kv::kMaxPortNameLength + 1 - 5, 'p'));
    std::uint32_t rc = 0;
    EXPECT_EQ(kvxOpenComDevice(portName.data(), 38400, &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_SOME_DEVICES_ARE_OPEN);
    kvxCloseDevice(h);
    EXPECT_EQ(kvxOpenComDevice(portName.data(), 38400, &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_INVALID_PARAM);

    // The log shows what was read of each, and no more.
    const std::string log = kvtest::logText();
    EXPECT_EQ(kvtest::countOf(log, "hostname: [" + std::string(17, 'n') + "]\n"), 1);
    EXPECT_EQ(
        kvtest::countOf(log, "ProgName= " + std::string(kv::kMaxUploadNameLength + 1, 'u') + ", size= 4\n"),
        1);
}

// The buffer of every text query is checked like any other output pointer.
TEST_F(CallerTextTest, TextQueriesRefuseANullBuffer) {
    kvtest::Simulator sim;
    const std::uint32_t h = open(sim);
    using RecordText = std::uint32_t (*)(std::uint32_t, std::int32_t, char*, std::uint32_t);
    for (const RecordText query : {GetVoriKqDevName, GetVoriKqBtAddr, GetVoriKqFwStr, GetVoriKqHwStr,
                                   GetVoriKqDllStr, GetVoriKqSerialStr}) {
        EXPECT_EQ(query(h, 0, nullptr, 64), KVLIB_ERR_INVALID_PARAM);
    }
    using DeviceText = std::uint32_t (*)(std::uint32_t, char*, std::uint32_t);
    for (const DeviceText query : {kvxGetFirmwareStrg, kvxGetSerialNrStrg, kvxGetManufacturerStrg,
                                   kvxGetShortNameStrg, kvxGetLongNameStrg}) {
        EXPECT_EQ(query(h, nullptr, 64), KVLIB_ERR_INVALID_PARAM);
    }
    EXPECT_EQ(kvxGetLibVersionStr(nullptr, 64), KVLIB_ERR_INVALID_PARAM);
    // The handle is still checked first.
    EXPECT_EQ(GetVoriKqDevName(h + 1, 0, nullptr, 64), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
}

}  // namespace
