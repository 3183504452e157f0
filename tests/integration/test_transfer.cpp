// The library's lifecycle, the controller connection and the transfer cycle against the simulated
// controller over a real pty.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/parser.h"
#include "serial/telegram.h"
#include "shell/service.h"
#include "support/controller.h"
#include "support/lib_fixture.h"
#include "transfer/area_fields.h"
#include "transfer/engine.h"
#include "transfer/request_table.h"
#include "transfer/statistics.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_state.h"

namespace {

using kvtest::countOf;
using kvtest::logText;
using kvtest::waitFor;

constexpr std::uint32_t kRemIo = 2;
constexpr std::uint32_t kConfigWr = 5;
constexpr std::uint8_t kNowhere[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x7F, 0x7F};

void writeSettings(const std::string& text) {
    std::ofstream("kvLib.ini") << text;
}

// Hands the parser an echo whose session id differs from the one held, as a controller that has
// restarted sends it during a connection, and says whether that queued the master's configuration.
bool newSessionQueuesAConfigurationWrite() {
    kv::requestTable().clearAll();
    kv::requestCounter().store(5);
    kv::sessionId().store(7);
    std::array<std::uint8_t, kv::kTicketHeaderBytes> ticket{};
    ticket[kv::kTicketSessionOffset] = 8;
    ticket[kv::kTicketCodeOffset] = 101;
    kv::AnalyseIFTicket(ticket.data(), static_cast<std::int32_t>(ticket.size()));
    const bool queued = kv::requestTable().slot(kv::SLOT_CONFIG_WR).pending.load() != 0;
    kv::requestTable().clearAll();
    kv::requestCounter().store(0);
    kv::sessionId().store(0);
    return queued;
}

TEST(Lifecycle, InitCloseAndInitAgain) {
    EXPECT_EQ(kvxIsLibInit(), KVLIB_ERR_LIB_IS_NOT_INITIALIZED);
    EXPECT_EQ(kvxCloseLib(), 0u);
    std::uint32_t rc = 0;
    // Without the library's threads and events a connection cannot work.
    EXPECT_EQ(kvxOpenComDevice("/dev/null", 38400, &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_LIB_IS_NOT_INITIALIZED);

    ASSERT_EQ(kvxInitLib(), 0u);
    EXPECT_EQ(kvxIsLibInit(), KVLIB_ERR_LIB_IS_INITIALIZED);
    EXPECT_EQ(kvxInitLib(), KVLIB_ERR_LIB_IS_INITIALIZED);
    const std::string first = logText();
    EXPECT_NE(first.find("Initialization of Library 'kvAroLib.dll' ..."), std::string::npos);
    EXPECT_NE(first.find("  size KOLV_X1_TRANSFER = 1024"), std::string::npos);
    EXPECT_NE(first.find("Starting thread [KvRequestThread]..."), std::string::npos);
    EXPECT_NE(first.find("kvAroLib is initialized ..."), std::string::npos);
    // What the upper layers register for the cycle lives exactly as long as the library: a closed
    // library leaves no slot that a later cycle could call.
    for (int slot = kv::SLOT_BT_SCAN; slot <= kv::SLOT_BT_LISTEN; ++slot) {
        EXPECT_NE(kv::requestTable().sender(slot), nullptr) << slot;
    }
    EXPECT_TRUE(newSessionQueuesAConfigurationWrite());
    EXPECT_EQ(kvxCloseLib(), 0u);
    EXPECT_EQ(kvxIsLibInit(), KVLIB_ERR_LIB_IS_NOT_INITIALIZED);
    for (int slot = 0; slot < kv::kRequestSlots; ++slot) {
        EXPECT_EQ(kv::requestTable().sender(slot), nullptr) << slot;
    }
    EXPECT_FALSE(newSessionQueuesAConfigurationWrite());
    EXPECT_NE(logText().find("kvAroLib closed."), std::string::npos);
    EXPECT_EQ(kv::transferArea(), nullptr);

    const std::string bak = kv::LogFilePath().substr(0, kv::LogFilePath().size() - 3) + "bak";
    ASSERT_EQ(kvxInitLib(), 0u);
    const std::string previous = kvtest::readFile(bak);
    EXPECT_NE(previous.find("kvAroLib closed."), std::string::npos);
    EXPECT_EQ(logText().find("kvAroLib closed."), std::string::npos);
    EXPECT_EQ(kvxCloseLib(), 0u);
}

class TransferTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(kvxInitLib(), 0u); }
    void TearDown() override {
        kvxStopTransferArea();
        kvxCloseDevice(handle);
        kvxCloseLib();
    }

    std::uint32_t open(const kvtest::Controller& c) {
        std::uint32_t rc = 0xFFFFFFFF;
        handle = kvxOpenComDevice(c.port().c_str(), 115200, &rc);
        EXPECT_EQ(rc, 0u);
        return rc;
    }

    KOLV_X1_TRANSFER& rec(int k) { return GetIF08TransferAddress(handle)->Record[k]; }
    std::uint8_t state() { return kv::loadRelaxed(rec(0).TransferStatus.TransferState); }

    std::uint32_t handle = 0;
};

TEST_F(TransferTest, OpenReadsMasterExtensionsAndSerialNumber) {
    // Session id 0 makes the requests after the probe those of the worked examples.
    kvtest::Controller c({"--extensions", "2", "--hostname", "LAB-KQ", "--serial", "KQ77777777", "--session", "0"});
    ASSERT_EQ(open(c), 0u);
    EXPECT_EQ(kv::CheckDeviceHandle(handle), 0u);
    KOLV_X1_TRANSFER& master = rec(0);
    EXPECT_STREQ(master.ShmIfInfo.Hostname, "LAB-KQ");
    EXPECT_EQ(kv::FirmwareText(master.ShmIfInfo), "1.05");
    EXPECT_EQ(master.State.ExtState[1], 1);
    EXPECT_STREQ(rec(2).ShmIfInfo.Hostname, "VORI-KQ-S2");
    EXPECT_EQ(kv::masterSlaveAlive(2).load(), 1);
    EXPECT_EQ(kv::masterSlaveAlive(1).load(), 0);
    // The input and counter settings are preset for every record.
    EXPECT_EQ(rec(5).Config.InputSetting[7].Mode, 1);
    EXPECT_EQ(rec(5).Config.InputSetting[7].Digital, 1);
    EXPECT_EQ(rec(5).Config.CounterSetting[3].Mode, 1);
    const std::string log = logText();
    EXPECT_NE(log.find("Info Master/Slave alive:  M  0  S2  0  0  0  0  0  0"), std::string::npos);
    EXPECT_NE(log.find("  Hostname          : LAB-KQ"), std::string::npos);
    EXPECT_NE(log.find("serial_number= [KQ77777777]"), std::string::npos);
    // The probe is the worked example: counter 1, session 0.
    const auto echo = c.received(1);
    ASSERT_FALSE(echo.empty());
    const std::vector<std::uint8_t> expected{0x02, 0x55, 0x00, 0x14, 0x02, 0x00, 0x00, 0x00, 0x01,
                                             0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xE7, 0x03};
    EXPECT_EQ(echo.front().bytes, expected);
    // The information read of the master follows with counter 2.
    const auto info = c.received(6);
    ASSERT_FALSE(info.empty());
    const std::vector<std::uint8_t> expectedInfo{0x02, 0x55, 0x00, 0x18, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                                                 0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xDC, 0x03};
    EXPECT_EQ(info.front().bytes, expectedInfo);
}

TEST_F(TransferTest, SilentControllerFailsTheOpenAndClosesThePort) {
    kvtest::Controller c({"--silent-probe"});
    std::uint32_t rc = 0;
    handle = kvxOpenComDevice(c.port().c_str(), 38400, &rc);
    EXPECT_EQ(rc, KVLIB_ERR_TIMEOUT);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(kv::CheckDeviceHandle(handle), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(countOf(logText(), "Error: kvxOpenComDevice(), error= "), 1);
}

TEST_F(TransferTest, UnansweredStateReadFailsTheOpenButKeepsThePort) {
    kvtest::Controller c({"--silent-state"});
    std::uint32_t rc = 0;
    handle = kvxOpenComDevice(c.port().c_str(), 38400, &rc);
    EXPECT_EQ(rc, KVLIB_ERR_TIMEOUT);
    EXPECT_EQ(kv::CheckDeviceHandle(handle), 0u);
}

TEST_F(TransferTest, OneMasterAtATime) {
    kvtest::Controller first;
    kvtest::Controller second;
    ASSERT_EQ(open(first), 0u);
    std::uint32_t rc = 0;
    EXPECT_EQ(kvxOpenComDevice(first.port().c_str(), 38400, &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_DEVICE_IS_OPEN);
    EXPECT_EQ(kvxOpenComDevice(second.port().c_str(), 38400, &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_SOME_DEVICES_ARE_OPEN);
    // The first connection still answers.
    EXPECT_EQ(kvxStartTransferArea(handle), 0u);
    // A wrong handle closes nothing.
    EXPECT_EQ(kvxCloseDevice(handle + 1), 0u);
    EXPECT_EQ(kv::CheckDeviceHandle(handle), 0u);
}

TEST_F(TransferTest, StartRunsAndReportsItsState) {
    kvtest::Controller c({"--extensions", "2"});
    ASSERT_EQ(open(c), 0u);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_NOT_RUNNING);
    EXPECT_EQ(kvxStopTransferArea(), 0u);
    EXPECT_EQ(countOf(logText(), "Stopping Kolv.X1 transfer..."), 0);

    std::atomic<bool> sawSynchronized{false};
    std::thread watcher([&] {
        waitFor([&] {
            if (kvxIsTransferActiv(handle) == KVLIB_ERR_THREAD_SYNCHRONIZED) {
                sawSynchronized = true;
            }
            return sawSynchronized.load() || kvxIsTransferActiv(handle) == KVLIB_ERR_THREAD_IS_RUNNING;
        });
    });
    EXPECT_EQ(kvxStartTransferArea(handle), 0u);
    watcher.join();
    EXPECT_TRUE(sawSynchronized.load());
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(state(), 1);
    EXPECT_EQ(rec(0).TransferStatus.ComError, 0);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(GetKvX1TransferStatusAddr(handle, 0)),
              reinterpret_cast<std::uint8_t*>(GetIF08TransferAddress(handle)) + 472);
    EXPECT_EQ(GetKvX1TransferStatusAddr(handle, 9), nullptr);

    // The configuration write and the I/O exchange carry the master and extension 2 only.
    ASSERT_TRUE(waitFor([&] { return c.received(kRemIo).size() >= 20; }));
    const auto config = c.received(kConfigWr);
    ASSERT_FALSE(config.empty());
    EXPECT_EQ(config.front().recordCount(), 2u);
    EXPECT_EQ(c.received(kRemIo).back().recordCount(), 2u);
    // The inputs move and the run-time counters run.
    ASSERT_TRUE(waitFor([&] { return kv::loadRelaxed(rec(0).Input.Counter[0]) != 0; }));
    ASSERT_TRUE(waitFor([&] { return kv::loadRelaxed(rec(0).RpTimer.Seconds) >= 1; }));

    EXPECT_EQ(kvxStopTransferArea(), 0u);
    EXPECT_EQ(state(), 0);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_NOT_RUNNING);
}

TEST_F(TransferTest, StartWithoutIoAnswerTimesOut) {
    kvtest::Controller c({"--no-reply", "from-io", "1"});
    ASSERT_EQ(open(c), 0u);
    EXPECT_EQ(kvxStartTransferArea(handle), KVLIB_ERR_TIMEOUT_TA);
    EXPECT_EQ(state(), 0);
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "Timeout by starting TransferArea ..., ThreadWriteFlag= 1"), 1);
    EXPECT_EQ(countOf(log, "StartKolvX1Transfer, IFStatus.status = 2"), 1);
    EXPECT_EQ(countOf(log, "Stopping Kolv.X1 transfer..."), 1);
    EXPECT_EQ(countOf(log, "SetKolvX1TransferStatus, set status = 0"), 1);
}

TEST_F(TransferTest, SilenceWhileRunningGivesUpAfterTwentySixSends) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    c.control("fault no-reply always");
    // The cycle gives up by setting the state to 0 and then clearing the flag: wait for both.
    ASSERT_TRUE(waitFor([&] { return state() == 0 && kv::transferFlags().threadWriteFlag.load() == 0; },
                        std::chrono::seconds(30)));
    EXPECT_EQ(countOf(logText(), "kvTimeOut= 5200"), 1);
    EXPECT_EQ(kv::transferStatistics().retries.load(), 25u);
    // The last request went out 26 times with one request counter.
    const auto io = c.received(kRemIo);
    ASSERT_GE(io.size(), 26u);
    const std::uint32_t last = io.back().counter;
    int copies = 0;
    for (auto it = io.rbegin(); it != io.rend() && it->counter == last; ++it) {
        ++copies;
    }
    EXPECT_EQ(copies, 26);
}

TEST_F(TransferTest, DroppedReplyIsRepeatedWithTheSameCounter) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    c.control("fault no-reply once");
    const std::uint32_t retriesBefore = kv::transferStatistics().retries.load();
    ASSERT_TRUE(waitFor([&] { return kv::transferStatistics().retries.load() > retriesBefore; }));
    const std::size_t seen = c.received(kRemIo).size();
    ASSERT_TRUE(waitFor([&] { return c.received(kRemIo).size() > seen + 10; }));
    EXPECT_EQ(state(), 1);
    const auto io = c.received(kRemIo);
    int repeats = 0;
    for (std::size_t i = 1; i < io.size(); ++i) {
        repeats += io[i].counter == io[i - 1].counter ? 1 : 0;
    }
    EXPECT_EQ(repeats, 1);
}

// The longest run of I/O requests that went out with one request counter.
int longestRepeatRun(const std::vector<kvtest::ReceivedTelegram>& io) {
    int longest = io.empty() ? 0 : 1;
    int run = 1;
    for (std::size_t i = 1; i < io.size(); ++i) {
        run = io[i].counter == io[i - 1].counter ? run + 1 : 1;
        longest = std::max(longest, run);
    }
    return longest;
}

// Exchanges are timed only once the cycle completes requests again; waits for plenty of them, or
// for the transfer to end.
bool exchangesGoOn(const std::function<std::uint8_t()>& state) {
    const std::uint32_t timed = kv::transferStatistics().tcnt.load();
    return waitFor([&] { return state() == 0 || kv::transferStatistics().tcnt.load() > timed + 50; },
                   std::chrono::seconds(30)) &&
           state() == 1;
}

TEST_F(TransferTest, LostRepliesInARowDoNotStopTheTransfer) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    const std::uint32_t retries = kv::transferStatistics().retries.load();
    c.control("fault lose-io 2");
    ASSERT_TRUE(waitFor([&] { return kv::transferStatistics().retries.load() >= retries + 2; }));
    // The third copy of the request is answered, and that answer completes it. (A loaded machine
    // may make some reply late enough for a repeat of its own; the request is never sent on until
    // the give-up.)
    EXPECT_TRUE(exchangesGoOn([&] { return state(); }));
    EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), 1);
    const int run = longestRepeatRun(c.received(kRemIo));
    EXPECT_GE(run, 3);
    EXPECT_LT(run, 10);
    EXPECT_EQ(countOf(logText(), "TransferArea stopped while Timeout is occurred"), 0);
}

TEST_F(TransferTest, LostFirstReplyOfTheHandshakeDoesNotStopTheTransfer) {
    kvtest::Controller c({"--lose-io", "1"});
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    EXPECT_TRUE(exchangesGoOn([&] { return state(); }));
    const int run = longestRepeatRun(c.received(kRemIo));
    EXPECT_GE(run, 2);
    EXPECT_LT(run, 10);
    EXPECT_EQ(countOf(logText(), "TransferArea stopped while Timeout is occurred"), 0);
}

TEST_F(TransferTest, ConfigIdChangeIsSentUntilAcknowledged) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    const std::size_t before = c.received(kConfigWr).size();
    kv::storeRelaxed(rec(0).Config.InputSetting[0].Mode, std::uint8_t{3});
    kv::storeRelaxed(rec(0).State.ConfigId, static_cast<std::uint8_t>(rec(0).State.ConfigId + 1));
    ASSERT_TRUE(waitFor([&] { return c.received(kConfigWr).size() > before; }));
    ASSERT_TRUE(waitFor([&] { return kv::ackConfigId(0).load() == kv::RecordConfigId(0); }));
    // The new configuration went out before the next I/O exchange, packed with the digital flag.
    const auto all = c.received();
    std::size_t at = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].code == kConfigWr) {
            at = i;
        }
    }
    ASSERT_GT(at, 0u);
    EXPECT_EQ(all[at].bytes[24 + 4 + 4], 0x83);
}

TEST_F(TransferTest, ConfigurationChangedWhileItsWriteIsOutReachesTheController) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    // Every reply comes late, within the cycle's wait: the window in which a write is out.
    c.control("fault late-reply 150");
    // Input 0's mode byte in the master's record of a configuration write (digital flag set).
    const auto lastMode = [&] {
        const auto writes = c.received(kConfigWr);
        return writes.empty() ? 0 : writes.back().bytes[24 + 4 + 4];
    };
    const auto change = [&](std::uint8_t mode) {
        kv::storeRelaxed(rec(0).Config.InputSetting[0].Mode, mode);
        kv::storeRelaxed(rec(0).State.ConfigId, static_cast<std::uint8_t>(rec(0).State.ConfigId + 1));
    };
    change(3);
    ASSERT_TRUE(waitFor([&] { return lastMode() == 0x83; }));
    // The first write is on its way; the application changes its mind.
    change(2);
    ASSERT_TRUE(waitFor([&] { return lastMode() == 0x82; }));
    ASSERT_TRUE(waitFor([&] { return kv::ackConfigId(0).load() == kv::RecordConfigId(0); }));
    EXPECT_EQ(state(), 1);
}

TEST_F(TransferTest, HangUpWhileRunningClosesThePortOnce) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    c.control("hangup");
    ASSERT_TRUE(waitFor([&] { return kv::CheckDeviceHandle(handle) != 0; }));
    EXPECT_EQ(kv::MasterTransferState(), 0);
    EXPECT_EQ(kv::loadRelaxed(kv::record(0)->TransferStatus.ComError), 5);
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "Closing COM Connection because of COM error= 5"), 1);
    EXPECT_EQ(countOf(log, "CloseComDevice, kvHandle="), 1);
}

TEST_F(TransferTest, HangUpWithNoTransferRunningClosesThePortOnce) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    c.control("hangup");
    ASSERT_TRUE(waitFor([&] { return kv::CheckDeviceHandle(handle) != 0; }));
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "Closing COM Connection because of COM error= 5"), 1);
    EXPECT_EQ(countOf(log, "CloseComDevice, kvHandle="), 1);
}

// The 1 ms timer runs only while a transfer does; the library's millisecond count goes on without it.
TEST_F(TransferTest, TheTimerRunsOnlyWhileATransferRuns) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    const auto beats = [] { return kv::transferStatistics().mmTimerCalls.load(); };
    const auto waitAWhile = [] { waitFor([] { return false; }, std::chrono::milliseconds(300)); };

    const std::uint32_t beatsIdle = beats();
    const std::uint32_t clockIdle = kv::GetActTimerCount();
    waitAWhile();
    EXPECT_EQ(beats(), beatsIdle) << "the timer beats with no transfer running";
    EXPECT_GE(kv::GetActTimerCount() - clockIdle, 250u) << "the idle clock stands still";

    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    ASSERT_TRUE(waitFor([&] { return beats() > 20; }));
    const std::uint32_t clockRunning = kv::GetActTimerCount();
    ASSERT_TRUE(waitFor([&] { return kv::GetActTimerCount() - clockRunning >= 100; }));

    ASSERT_EQ(kvxStopTransferArea(), 0u);
    const std::uint32_t beatsStopped = beats();
    const std::uint32_t clockStopped = kv::GetActTimerCount();
    waitAWhile();
    // One beat may have been on its way when the timer stopped.
    EXPECT_LE(beats() - beatsStopped, 1u) << "the timer beats on after the stop";
    // The count neither jumps back nor stands still when the ticks stop.
    const std::uint32_t clockAfter = kv::GetActTimerCount();
    EXPECT_GE(clockAfter - clockStopped, 250u);
    EXPECT_LT(clockAfter - clockStopped, 60000u);

    // And it starts again with the next transfer.
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    const std::uint32_t beatsAgain = beats();
    ASSERT_TRUE(waitFor([&] { return beats() > beatsAgain + 20; }));
}

TEST_F(TransferTest, StatisticsBlockWhenAskedFor) {
    writeSettings("[LOGGING]\nStatistic=1\n");
    kvxCloseLib();
    ASSERT_EQ(kvxInitLib(), 0u);
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    ASSERT_TRUE(waitFor([&] { return kv::transferStatistics().tcnt.load() > 10; }));
    kvxStopTransferArea();
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "TimeDiff= "), 2);
    EXPECT_EQ(countOf(log, "Statistic: Transfer Area running "), 1);
    EXPECT_EQ(countOf(log, "Statistic: MMTimer Delay= 10s, CALL MMTimer = "), 1);
    EXPECT_EQ(countOf(log, "Statistic: tcnt= "), 1);
}

std::mutex gShellMutex;
std::string gShellReply;

void keepReply(const char* text, std::uint32_t length) {
    std::lock_guard lock(gShellMutex);
    gShellReply = text != nullptr ? std::string(text, length) : std::string("(none)");
}

TEST_F(TransferTest, ShellCommandDuringTransferGetsAPlainAnswer) {
    kvtest::Controller c({"--serial", "KQ12121212"});
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(KvRemoteCmd(handle, "get_ser_num", keepReply), 0u);
        std::lock_guard lock(gShellMutex);
        EXPECT_NE(gShellReply.find("KQ12121212"), std::string::npos);
        EXPECT_EQ(gShellReply.find('\x02'), std::string::npos) << "a telegram byte in the answer";
    }
    // The transfer goes on afterwards.
    const std::size_t seen = c.received(kRemIo).size();
    ASSERT_TRUE(waitFor([&] { return c.received(kRemIo).size() > seen + 5; }));
    EXPECT_EQ(state(), 1);
    EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), 1);
}

TEST_F(TransferTest, StopDuringAShellServiceSticks) {
    kvtest::Controller c({"--clean-delay", "1500"});
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    std::atomic<std::uint32_t> cleaned{0xFFFFFFFF};
    std::thread service([&] { cleaned = VKqCleanDisk(handle, 0); });
    // The service holds the port once it has paused the cycle.
    ASSERT_TRUE(waitFor([&] { return kv::ShellServiceActive() && kv::transferFlags().threadWriteFlag.load() == 0; }));
    EXPECT_EQ(kvxStopTransferArea(), 0u);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_NOT_RUNNING);
    service.join();
    EXPECT_EQ(cleaned.load(), 0u);
    // Handing the port back does not start the stopped transfer again.
    EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), 0);
    EXPECT_EQ(state(), 0);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_NOT_RUNNING);
    EXPECT_EQ(countOf(logText(), "Stopping Kolv.X1 transfer..."), 1);
    // A new start runs as usual.
    EXPECT_EQ(kvxStartTransferArea(handle), 0u);
    const std::size_t seen = c.received(kRemIo).size();
    ASSERT_TRUE(waitFor([&] { return c.received(kRemIo).size() > seen + 5; }));
}

void ignoreScan(BtScanEvent*) {}
void ignoreEvent(BtEvent*) {}

TEST_F(TransferTest, RequestsQueuedTogetherGoOutInTheirFixedOrder) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    ASSERT_TRUE(waitFor([&] { return c.received(kRemIo).size() >= 3; }));

    // Hold the cycle, queue one request of every kind (in the reverse of their order), then let go:
    // one cycle finds them all pending at once.
    kv::PauseTransferWrites();
    ASSERT_TRUE(kv::WaitForCycleEnd(10000));
    const std::size_t before = c.received().size();
    for (int slot : {kv::SLOT_REM_IO, kv::SLOT_MSG_WR, kv::SLOT_CONFIG_WR, kv::SLOT_STATE_RD, kv::SLOT_INFO_RD,
                     kv::SLOT_INFO_WR}) {
        kv::requestTable().queue(slot, 0);
    }
    ASSERT_EQ(BtListenConOn(handle, 8, kNowhere, ignoreEvent), 0u);
    ASSERT_EQ(StartScanBtDevice(handle, ignoreScan), 0u);
    kv::ResumeTransferWrites();

    // A request of the last cycle may still be on its way, but the information read and write and
    // the message write go out only when queued: from the first of them on, the cycle's order shows.
    constexpr std::uint32_t kBtListen = 17;
    std::vector<std::uint32_t> codes;
    const bool complete = waitFor([&] {
        codes.clear();
        bool from = false;
        const std::vector<kvtest::ReceivedTelegram> all = c.received();
        for (std::size_t i = before; i < all.size(); ++i) {
            const kvtest::ReceivedTelegram& t = all[i];
            from = from || t.code == 6 || t.code == 8 || t.code == 9;
            if (from) {
                codes.push_back(t.code);
            }
        }
        return std::find(codes.begin(), codes.end(), kBtListen) != codes.end();
    });
    ASSERT_TRUE(complete);
    ASSERT_GE(codes.size(), 8u);
    codes.resize(8);
    EXPECT_EQ(codes, (std::vector<std::uint32_t>{9, 6, 7, 5, 8, 2, 10, 17}));
}

std::atomic<int> gSlowReplies{0};
std::atomic<bool> gLibClosed{false};
std::atomic<bool> gCloseWaitedForHandler{false};

// A reply handler still at work when the library closes: it holds the master's record while the
// close frees the area, and notes whether the close finished under it.
void slowReplyHandler(std::uint32_t, const std::uint8_t*, std::int32_t) {
    if (gSlowReplies.fetch_add(1) != 0) {
        return;
    }
    KOLV_X1_TRANSFER* master = kv::record(0);
    if (master == nullptr) {
        return;
    }
    // The close drops the area's address first, then frees the block once no handler uses it.
    waitFor([] { return kv::transferArea() == nullptr; });
    const bool closedMeanwhile = waitFor([] { return gLibClosed.load(); }, std::chrono::milliseconds(500));
    kv::storeRelaxed(master->TransferStatus.ComError, std::uint16_t{0});  // freed, this would be a use after free
    gCloseWaitedForHandler.store(!closedMeanwhile);
}

TEST_F(TransferTest, CloseLibWaitsForAReplyHandlerThatStillUsesTheArea) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    kv::SetReplyHandler(kv::REM_IO_REPLY, slowReplyHandler);
    ASSERT_TRUE(waitFor([] { return gSlowReplies.load() > 0; }));
    std::thread closer([] {
        kvxCloseLib();
        gLibClosed.store(true);
    });
    closer.join();
    EXPECT_TRUE(gCloseWaitedForHandler.load());
    ASSERT_EQ(kvxInitLib(), 0u);
}

TEST_F(TransferTest, AreaIsGoneAfterCloseLib) {
    kvtest::Controller c;
    ASSERT_EQ(open(c), 0u);
    ASSERT_NE(GetIF08TransferAddress(handle), nullptr);
    // Closing the library under a running transfer: replies still on their way must not reach a
    // freed area.
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    kvxCloseLib();
    EXPECT_EQ(GetIF08TransferAddress(handle), nullptr);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_NOT_RUNNING);
    kv::SetKolvX1TransferStatus(1);
    ASSERT_EQ(kvxInitLib(), 0u);
}

}  // namespace
