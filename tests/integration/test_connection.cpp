// Opening by number, the handle check under both its names, closing and the failed-open report,
// against the simulated controller over a real pty.
#include <termios.h>

#include <cstdio>
#include <string>

#include "kvarolib.h"
#include "serial/com_port.h"
#include "support/controller.h"
#include "support/lib_fixture.h"

namespace {

using kvtest::countOf;
using kvtest::logText;

class ConnectionTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(kvxInitLib(), 0u);
        kv::setOpenRetryPolicyForTesting({2, 10});
    }
    void TearDown() override {
        kvxCloseAllDevices();
        kvxCloseLib();
        kv::setOpenRetryPolicyForTesting({});
    }

    std::uint32_t open(const kvtest::Controller& c, std::uint32_t baud = 38400) {
        std::uint32_t rc = 0xFFFFFFFF;
        const std::uint32_t h = kvxOpenComDevice(c.port().c_str(), baud, &rc);
        EXPECT_EQ(rc, 0u);
        return h;
    }
};

std::string openErrorLine(std::uint32_t code) {
    char line[96];
    std::snprintf(line, sizeof line, "Error: kvxOpenComDevice(), error= %d (%0x)\n", static_cast<int>(code),
                  code);
    return line;
}

TEST_F(ConnectionTest, OpenByNumberNamesTheComPort) {
    kvtest::Controller c;
    const std::uint32_t h = open(c);
    // The open connection makes the single-master rule answer before any port of this machine is
    // touched, so the name each number makes shows in the open step's log line and nothing else.
    std::uint32_t rc = 0;
    EXPECT_EQ(kvxOpenComDeviceNr(7, 38400, &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_SOME_DEVICES_ARE_OPEN);
    EXPECT_EQ(kvxOpenComDeviceNr(99999999, 38400, &rc), 0u);  // the longest name, 11 characters
    EXPECT_EQ(rc, KVLIB_ERR_SOME_DEVICES_ARE_OPEN);
    // Longer names would be cut to another port's name: refused without an open step.
    for (const std::int32_t n : {100000000, -10000000, INT32_MIN}) {
        rc = 0;
        EXPECT_EQ(kvxOpenComDeviceNr(n, 38400, &rc), 0u);
        EXPECT_EQ(rc, KVLIB_ERR_INVALID_PARAM) << n;
    }
    EXPECT_EQ(kvxOpenComDeviceNr(INT32_MAX, 38400, nullptr), 0u);
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "OpenComDevice(), comStr= COM7\n"), 1);
    EXPECT_EQ(countOf(log, "OpenComDevice(), comStr= COM99999999\n"), 1);
    EXPECT_EQ(countOf(log, "OpenComDevice(), comStr= "), 3);
    EXPECT_EQ(kvxIsHandleValid(h), 0u);
}

TEST_F(ConnectionTest, BaudRateArgumentChangesNothing) {
    kvtest::Controller c;
    const std::uint32_t h = open(c, 9600);
    ASSERT_NE(h, 0u);
    termios settings{};
    ASSERT_EQ(::tcgetattr(static_cast<int>(h), &settings), 0);
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B38400));
    EXPECT_EQ(::cfgetispeed(&settings), static_cast<speed_t>(B38400));
    EXPECT_EQ(GetVoriKqMasterState(h), 0u);
}

TEST_F(ConnectionTest, HandleCheckUnderBothNamesAndClosing) {
    for (const std::uint32_t any : {0u, 1u, 12345u}) {
        EXPECT_EQ(kvxIsHandleValid(any), KVLIB_ERR_DEVICE_NOT_OPEN);
        EXPECT_EQ(GetComStatus(any), KVLIB_ERR_DEVICE_NOT_OPEN);
    }
    EXPECT_EQ(kvxCloseAllDevices(), 0u);  // nothing to close
    EXPECT_EQ(countOf(logText(), "CloseComDevice, kvHandle="), 0);

    kvtest::Controller c({"--extensions", "1"});
    const std::uint32_t h = open(c);
    EXPECT_EQ(countOf(logText(), "Info Master/Slave alive:  M  S1  0  0  0  0  0  0  0\n"), 1);
    EXPECT_EQ(kvxIsHandleValid(h), 0u);
    EXPECT_EQ(GetComStatus(h), 0u);
    EXPECT_EQ(kvxIsHandleValid(0), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(GetComStatus(0), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(kvxIsHandleValid(h + 1), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(GetComStatus(h + 1), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);

    // A wrong handle closes nothing; the connection still answers.
    EXPECT_EQ(kvxCloseDevice(h + 1), 0u);
    EXPECT_EQ(countOf(logText(), "kvxCloseDevice, errCode= E0001283"), 1);
    EXPECT_EQ(GetVoriKqMasterState(h), 0u);

    EXPECT_EQ(kvxCloseAllDevices(), 0u);
    EXPECT_EQ(kvxIsHandleValid(h), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(kvxCloseAllDevices(), 0u);
    EXPECT_EQ(countOf(logText(), "CloseComDevice, kvHandle="), 1);
    // The port is free again.
    EXPECT_NE(open(c), 0u);
}

TEST_F(ConnectionTest, EveryFailedOpenIsReported) {
    kvtest::Controller first;
    kvtest::Controller other;
    kvtest::Controller silentState({"--silent-state"});
    std::uint32_t rc = 0;

    ASSERT_EQ(kvxCloseLib(), 0u);  // the log stays open
    kvxOpenComDevice(first.port().c_str(), 38400, &rc);
    EXPECT_EQ(countOf(logText(), openErrorLine(KVLIB_ERR_LIB_IS_NOT_INITIALIZED)), 1);
    ASSERT_EQ(kvxInitLib(), 0u);  // starts a fresh log

    kvxOpenComDevice("/dev/kvtest-no-such-port", 38400, &rc);
    EXPECT_EQ(rc, KVLIB_ERR_OPEN_COM);
    kvxOpenComDeviceNr(-10000000, 38400, &rc);
    EXPECT_EQ(rc, KVLIB_ERR_INVALID_PARAM);
    const std::uint32_t h = kvxOpenComDevice(silentState.port().c_str(), 38400, &rc);
    EXPECT_EQ(rc, KVLIB_ERR_TIMEOUT);
    kvxCloseDevice(h);
    open(first);
    kvxOpenComDevice(first.port().c_str(), 38400, &rc);
    EXPECT_EQ(rc, KVLIB_ERR_DEVICE_IS_OPEN);
    kvxOpenComDevice(other.port().c_str(), 38400, &rc);
    EXPECT_EQ(rc, KVLIB_ERR_SOME_DEVICES_ARE_OPEN);

    const std::string log = logText();
    for (const std::uint32_t code : {KVLIB_ERR_OPEN_COM, KVLIB_ERR_INVALID_PARAM, KVLIB_ERR_TIMEOUT,
                                     KVLIB_ERR_DEVICE_IS_OPEN, KVLIB_ERR_SOME_DEVICES_ARE_OPEN}) {
        EXPECT_EQ(countOf(log, openErrorLine(code)), 1) << openErrorLine(code);
    }
    // One line per failure, none for the open that succeeded.
    EXPECT_EQ(countOf(log, "Error: kvxOpenComDevice(), error= "), 5);
}

}  // namespace
