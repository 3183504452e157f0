// The Windows build of the library against the simulated controller. The simulator is a Linux program:
// run_wine_suite.py starts it for each scenario, links Wine's COM port to its pseudo terminal and names
// the port here through KVTEST_COM_PORT, the simulator's directory (its file store and its record of
// what it received) through KVTEST_SIM_DIR, and the checksum mode its file receiver asks for through
// KVTEST_XRECV_MODE. Every Win32 call of the platform layer is on the road of these tests: the port
// calls, the threads and events, the multimedia timer and the setup library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "shell/upload.h"
#include "support/lib_fixture.h"
#include "transfer/area_fields.h"
#include "transfer/engine.h"
#include "transfer/statistics.h"
#include "transfer/transfer_state.h"

namespace {

namespace fs = std::filesystem;
using kvtest::logText;
using kvtest::waitFor;

constexpr const char* kSerial = "KQ10042317";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// ---- What the library hands to callbacks ------------------------------------------------------

std::mutex gMutex;
std::string gReply;
std::vector<std::uint32_t> gStatuses;

void recordReply(const char* reply, std::uint32_t length) {
    std::lock_guard lock(gMutex);
    gReply.assign(reply, length);
}

void recordStatus(std::uint32_t status) {
    std::lock_guard lock(gMutex);
    gStatuses.push_back(status);
}

std::string takeReply() {
    std::lock_guard lock(gMutex);
    return std::exchange(gReply, {});
}

std::vector<std::uint32_t> takeStatuses() {
    std::lock_guard lock(gMutex);
    return std::exchange(gStatuses, {});
}

// The simulator's record: one line per received telegram ("<ms> <code> ...") and per file transfer
// event ("<ms> xstart <path> <size> crc|sum", ...).
std::vector<std::string> recordLines(const std::string& kind) {
    std::vector<std::string> lines;
    std::ifstream in(fs::path(environment("KVTEST_SIM_DIR")) / "record");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string ms, word;
        if ((fields >> ms >> word) && word == kind) {
            std::getline(fields >> std::ws, word);
            lines.push_back(word);
        }
    }
    return lines;
}

std::vector<unsigned char> fileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class WinePort : public testing::Test {
  protected:
    void SetUp() override {
        port = environment("KVTEST_COM_PORT");
        ASSERT_FALSE(port.empty()) << "KVTEST_COM_PORT names the simulator's port; run_wine_suite.py sets it";
        takeReply();
        takeStatuses();
        ASSERT_EQ(kvxInitLib(), 0u);
    }
    void TearDown() override {
        kvxStopTransferArea();
        kvxCloseDevice(handle);
        kvxCloseLib();
    }

    void open() {
        std::uint32_t rc = 0xFFFFFFFF;
        handle = kvxOpenComDevice(port.c_str(), 38400, &rc);
        ASSERT_EQ(rc, 0u);
        ASSERT_NE(handle, 0u);
    }

    void startTransfer() {
        ASSERT_EQ(kvxStartTransferArea(handle), 0u);
        ASSERT_EQ(kv::transferFlags().threadWriteFlag.load(), 1);
    }

    std::string serialNumber() {
        char buffer[32] = {};
        kvxGetSerialNrStrg(handle, buffer, sizeof buffer);
        return buffer;
    }

    std::string port;
    std::uint32_t handle = 0;
};

TEST_F(WinePort, OpensByComNameAndGivesThePortBackAtClose) {
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(kv::comPort().name(), port);
    // The probe, the master's information and the serial number came through ReadFile.
    EXPECT_EQ(serialNumber(), kSerial);
    EXPECT_STREQ(GetIF08TransferAddress(handle)->Record[0].ShmIfInfo.Hostname, "VORI-KQ-M");

    // The port is opened unshared, but Wine does not refuse a second open of a COM device (a
    // Windows serial driver does, with "access denied"), so that refusal cannot be shown here.

    ASSERT_EQ(KvRemoteCmd(handle, "get_ser_num", recordReply), 0u);
    EXPECT_NE(takeReply().find(kSerial), std::string::npos);

    // Closed means closed: the port can be had again, by anyone and by the library.
    ASSERT_EQ(kvxCloseDevice(handle), 0u);
    handle = 0;
    const kv::platform::PortOpenResult again = kv::platform::serialOpen(port);
    ASSERT_NE(again.handle, kv::platform::kNoPort) << "error " << again.osError;
    kv::platform::serialClose(again.handle);
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(serialNumber(), kSerial);
}

TEST_F(WinePort, MissingPortFailsAsAnOpenFailure) {
    kv::setOpenRetryPolicyForTesting({2, 10});
    std::uint32_t rc = 0;
    EXPECT_EQ(kvxOpenComDevice("COM77", 38400, &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_OPEN_COM);
    kv::setOpenRetryPolicyForTesting({});
}

TEST_F(WinePort, TransferRunsAtTheBeatOfTheMultimediaTimer) {
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_NE(logText().find("Starting MMTimer... (mmRpTimerId= "), std::string::npos);
    EXPECT_EQ(logText().find("Error by timeSetEvent()"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(startTransfer());

    // The beat follows the ticks of the timer: one beat per ten ticks, one request cycle per beat.
    kv::TransferStatistics& stats = kv::transferStatistics();
    const std::uint32_t loops0 = stats.requestLoops.load();
    const std::uint32_t ticks0 = kv::GetActTimerCount();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return kv::GetActTimerCount() - ticks0 >= 1000; }, std::chrono::seconds(30)));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::uint32_t ticks = kv::GetActTimerCount() - ticks0;
    const std::uint32_t loops = stats.requestLoops.load() - loops0;
    // A thousand ticks within ten seconds: a timer at the millisecond, not at the 15.6 ms of the
    // system's tick (that would take 15 s). Generous, so that a loaded machine never fails it.
    EXPECT_LT(elapsed, std::chrono::seconds(10)) << ticks << " ticks";
    EXPECT_GE(loops, ticks / 10 / 2) << ticks << " ticks, " << loops << " request cycles";
    EXPECT_LE(loops, ticks / 10 + 2) << ticks << " ticks, " << loops << " request cycles";
    EXPECT_EQ(kv::AccumulatedTimeout(), 0u) << "every request was answered";

    // The cycles reached the controller: its record holds the cyclic I/O requests (code 2).
    EXPECT_TRUE(waitFor([] { return recordLines("2").size() >= 50; }));

    // The master's run-time counters, advanced by the tick thread, count seconds too.
    const RP_TIMER& timer = GetIF08TransferAddress(handle)->Record[0].RpTimer;
    EXPECT_TRUE(waitFor([&] { return kv::loadRelaxed(timer.Seconds) >= 1; }));

    // The timer (and the resolution it holds) is given back with the stop: the beat stands still,
    // while the library's millisecond count goes on from the system's clock.
    kvxStopTransferArea();
    const std::uint32_t beatsStopped = stats.mmTimerCalls.load();
    const std::uint32_t clockStopped = kv::GetActTimerCount();
    waitFor([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_LE(stats.mmTimerCalls.load() - beatsStopped, 1u);
    EXPECT_GE(kv::GetActTimerCount() - clockStopped, 250u);
}

TEST_F(WinePort, ShellCommandDuringARunningTransfer) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(startTransfer());
    kv::TransferStatistics& stats = kv::transferStatistics();
    ASSERT_TRUE(waitFor([&] { return stats.requestLoops.load() >= 20; }));

    ASSERT_EQ(KvRemoteCmd(handle, "get_ser_num", recordReply), 0u);
    EXPECT_NE(takeReply().find(kSerial), std::string::npos);

    // The transfer goes on where it was paused, and its requests are answered again.
    EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), 1);
    const std::size_t before = recordLines("2").size();
    EXPECT_TRUE(waitFor([&] { return recordLines("2").size() >= before + 20; }));
    EXPECT_EQ(kv::transferFlags().portError.load(), 0);
}

TEST_F(WinePort, UploadsMemoryAndAFileInTheReceiversChecksumMode) {
    const std::string mode = environment("KVTEST_XRECV_MODE");
    ASSERT_TRUE(mode == "crc" || mode == "sum") << "KVTEST_XRECV_MODE is crc or sum";
    ASSERT_NO_FATAL_FAILURE(open());

    std::vector<unsigned char> block(5000);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 7 + i / 256);
    }
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, block.data(), static_cast<std::uint32_t>(block.size()),
                              "memory.bin", recordStatus),
              0u);
    ASSERT_TRUE(waitFor([] { return !kv::UploadThreadRunning(); }, std::chrono::seconds(120)));
    std::vector<std::uint32_t> statuses = takeStatuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), KVLIB_ERR_UPLOAD_DONE);

    // From a file, named by a Windows path: the controller sees what follows the last backslash.
    fs::create_directories("sub");
    {
        std::ofstream out("sub\\file.bin", std::ios::binary);
        for (int i = 0; i < 1500; ++i) {
            out.put(static_cast<char>(255 - i % 251));
        }
    }
    const std::string path = (fs::current_path() / "sub" / "file.bin").string();
    ASSERT_EQ(KvFileUpload(handle, path.c_str(), UPLOAD_RAMDISK, recordStatus), 0u);
    ASSERT_TRUE(waitFor([] { return !kv::UploadThreadRunning(); }, std::chrono::seconds(120)));
    statuses = takeStatuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), KVLIB_ERR_UPLOAD_DONE);

    const fs::path store = fs::path(environment("KVTEST_SIM_DIR")) / "store" / "ramdisk";
    EXPECT_EQ(fileBytes(store / "memory.bin"), block);
    EXPECT_EQ(fileBytes(store / "file.bin"), fileBytes("sub\\file.bin"));
    const std::vector<std::string> starts = recordLines("xstart");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0], "'/ramdisk/memory.bin' 5000 " + mode);
    EXPECT_EQ(starts[1], "'/ramdisk/file.bin' 1500 " + mode);
}

TEST_F(WinePort, DiscoveryListsWhatTheSystemHasAndTheNamedPortStillWorks) {
    // Wine keeps no devices of the class "Ports" for its COM links: the list may well be empty, but
    // the setup library was loaded, asked and released without a failure.
    const std::int32_t count = GetAvailableComPorts(0);
    ASSERT_GE(count, 0);
    char entry[80];
    for (std::int32_t i = 0; i < count; ++i) {
        ASSERT_EQ(EnumComPorts(static_cast<std::uint32_t>(i), entry, sizeof entry), static_cast<std::uint32_t>(i));
        EXPECT_EQ(std::string(entry).rfind("COM", 0), 0u) << entry;
    }
    EXPECT_EQ(EnumComPorts(static_cast<std::uint32_t>(count), entry, sizeof entry), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(GetAvailableComPorts(7), 0);
    EXPECT_EQ(logText().find("Function is not supported on this system."), std::string::npos);
    std::cout << "[ discovery ] " << count << " port(s) listed" << std::endl;

    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(serialNumber(), kSerial);
}


// ---- The Bluetooth relay through Wine's COM port ---------------------------------------------------

struct BtSeen {
    int action;
    std::uint16_t channel;
    std::uint16_t status;
    std::string message;
};
std::vector<BtSeen> gBtSeen;

template <int Action>
void onBt(BtEvent* e) {
    std::lock_guard lock(gMutex);
    gBtSeen.push_back({Action, e->Channel, e->Status,
                       Action == 4 ? std::string(reinterpret_cast<const char*>(e->Data), e->Length) : ""});
}

bool btSeen(int action, std::uint16_t channel, std::uint16_t status, const std::string& message = "") {
    return waitFor([&] {
        std::lock_guard lock(gMutex);
        for (const BtSeen& s : gBtSeen) {
            if (s.action == action && s.channel == channel && s.status == status && s.message == message) {
                return true;
            }
        }
        return false;
    });
}

using WineBluetooth = WinePort;

// The simulator runs with channels 2 and 5 as a loopback pair (run_wine_suite.py): the requests go
// out on the calling thread first, then, with a transfer running, through the cycle.
TEST_F(WineBluetooth, MessagesBothWaysWithoutAndWithATransfer) {
    ASSERT_NO_FATAL_FAILURE(open());
    const std::uint8_t phone[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01};
    const std::uint8_t remote[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x02};
    ASSERT_EQ(ConnectBtAddress(handle, 2, phone, onBt<1>), 0u);
    ASSERT_EQ(BtListenConOn(handle, 5, remote, onBt<5>), 0u);
    EXPECT_TRUE(btSeen(1, 2, 0));
    EXPECT_TRUE(btSeen(5, 5, 11));  // the remote device called
    ASSERT_EQ(BtReadMsgOn(handle, 5, onBt<4>), 0u);
    EXPECT_TRUE(btSeen(4, 5, 0));
    ASSERT_EQ(SendBtMessage(handle, 2, 5, reinterpret_cast<const std::uint8_t*>("hello"), onBt<3>), 0u);
    EXPECT_TRUE(btSeen(4, 5, 10, "hello"));

    ASSERT_NO_FATAL_FAILURE(startTransfer());
    ASSERT_EQ(BtReadMsgOn(handle, 2, onBt<4>), 0u);
    EXPECT_TRUE(btSeen(4, 2, 0));
    ASSERT_EQ(SendBtMessage(handle, 5, 4, reinterpret_cast<const std::uint8_t*>("back"), onBt<3>), 0u);
    EXPECT_TRUE(btSeen(4, 2, 10, "back"));
    std::uint32_t status[2];
    StatusBtConnection(2, status);
    EXPECT_EQ(status[0] & 0xFFFF, 2u);  // connected
    EXPECT_EQ(status[1] & 0xFFFF, 1u);  // reading
    kvxStopTransferArea();
    StatusBtConnection(2, status);
    EXPECT_EQ(status[0], 0u);  // a stop clears the entries
}

}  // namespace
