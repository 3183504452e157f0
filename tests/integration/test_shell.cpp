// Shell command exchanges against the simulated controller over a real pty.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/connection.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "shell/remote_cmd.h"
#include "support/lib_fixture.h"
#include "support/simulator.h"
#include "transfer/transfer_state.h"

namespace {

struct Replies {
    std::mutex mutex;
    std::vector<std::optional<std::string>> calls;
};
Replies gReplies;

void recordReply(const char* text, std::uint32_t length) {
    std::lock_guard lock(gReplies.mutex);
    if (text == nullptr) {
        gReplies.calls.emplace_back(std::nullopt);
    } else {
        EXPECT_EQ(std::string(text).size(), length);
        gReplies.calls.emplace_back(std::string(text, length));
    }
}

class ShellTest : public testing::Test {
  protected:
    void SetUp() override {
        kv::InitLog();
        std::lock_guard lock(gReplies.mutex);
        gReplies.calls.clear();
    }
    void TearDown() override { kv::CloseComDevice(); }

    std::uint32_t open(const kvtest::Simulator& sim) {
        std::uint32_t rc = 0;
        const std::uint32_t h = kv::OpenComDevice(sim.port().c_str(), &rc);
        EXPECT_EQ(rc, 0u);
        return h;
    }

    std::vector<std::optional<std::string>> replies() {
        std::lock_guard lock(gReplies.mutex);
        return gReplies.calls;
    }
};

TEST_F(ShellTest, AnsweredCommandCallsBackOnceWithTheAnswer) {
    kvtest::Simulator sim({"--serial", "KQ20240001"});
    const std::uint32_t h = open(sim);
    EXPECT_EQ(KvRemoteCmd(h, "get_ser_num", recordReply), 0u);
    const auto r = replies();
    ASSERT_EQ(r.size(), 1u);
    ASSERT_TRUE(r[0].has_value());
    const std::string& text = *r[0];
    const auto echo = text.find("get_ser_num");
    ASSERT_NE(echo, std::string::npos);
    EXPECT_NE(text.find("KQ20240001", echo), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 4), "USB>");
    EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));

    // The same exchange with no callback runs alike and gives the same result.
    EXPECT_EQ(KvRemoteCmd(h, "get_ser_num", nullptr), 0u);
    EXPECT_EQ(replies().size(), 1u);
    EXPECT_EQ(kvtest::countOf(kvtest::logText(), "SendRemoteCmd, XM_GET_PROMPT: VORI KQ prompt received..."),
              2);
    EXPECT_EQ(kvtest::countOf(kvtest::logText(), "INFO: KvRemoteCmd, kvCmd= get_ser_num"), 2);
}

TEST_F(ShellTest, PromptSplitOverTwoArrivalsIsFound) {
    kvtest::Simulator sim({"--split-prompt", "300", "--bluetooth"});
    const std::uint32_t h = open(sim);
    EXPECT_EQ(KvRemoteCmd(h, "hello", recordReply), 0u);
    const auto r = replies();
    ASSERT_EQ(r.size(), 1u);
    ASSERT_TRUE(r[0].has_value());
    EXPECT_EQ(r[0]->substr(r[0]->size() - 10), "Bluetooth>");
}

TEST_F(ShellTest, StalePromptBeforeTheEchoDoesNotEndTheExchange) {
    kvtest::Simulator sim({"--stale-prompt", "--split-prompt", "200", "--serial", "STALE12345"});
    const std::uint32_t h = open(sim);
    EXPECT_EQ(KvRemoteCmd(h, "get_ser_num", recordReply), 0u);
    const auto r = replies();
    ASSERT_EQ(r.size(), 1u);
    ASSERT_TRUE(r[0].has_value());
    // The answer after the echo is there, so the exchange did not stop at the stale prompt.
    const auto echo = r[0]->find("get_ser_num");
    ASSERT_NE(echo, std::string::npos);
    EXPECT_NE(r[0]->find("STALE12345", echo), std::string::npos);
    EXPECT_EQ(r[0]->substr(r[0]->size() - 4), "USB>");
}

TEST_F(ShellTest, SilenceEndsInTimeoutAndRestoresTheTelegramSide) {
    kvtest::Simulator sim({"--silent"});
    const std::uint32_t h = open(sim);
    kv::transferFlags().threadWriteFlag.store(1);
    EXPECT_EQ(KvRemoteCmd(h, "get_ser_num", recordReply), KVLIB_ERR_TIMEOUT);
    const auto r = replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].has_value());
    EXPECT_EQ(kvtest::countOf(kvtest::logText(), "INFO: Remote mode, Timeout is occurred... (10 s)"), 1);
    EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), 1);
    EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
    kv::transferFlags().threadWriteFlag.store(0);
}

TEST_F(ShellTest, OutputWithShortGapsKeepsTheExchangeGoing) {
    // Forty lines 300 ms apart take 12 s, longer than one silence time-out.
    kvtest::Simulator sim({"--endless", "300:40"});
    const std::uint32_t h = open(sim);
    EXPECT_EQ(KvRemoteCmd(h, "dump", recordReply), 0u);
    const auto r = replies();
    ASSERT_EQ(r.size(), 1u);
    ASSERT_TRUE(r[0].has_value());
    EXPECT_EQ(r[0]->substr(r[0]->size() - 4), "USB>");
}

TEST_F(ShellTest, SerialNumberIsCutToTenCharacters) {
    kvtest::Simulator sim({"--serial", "ABCDEFGHIJKL"});
    const std::uint32_t h = open(sim);
    EXPECT_EQ(kv::SerialNumberText(), "0000000000");
    EXPECT_EQ(kv::ReadSerialNumber(h), 0u);
    EXPECT_EQ(kv::SerialNumberText(), "ABCDEFGHIJ");
    EXPECT_EQ(kvtest::countOf(kvtest::logText(), "serial_number= [ABCDEFGHIJ]"), 1);
}

TEST_F(ShellTest, SerialNumberWithoutAnAnswerKeepsItsValue) {
    kvtest::Simulator sim({"--ignore", "get_ser_num"});
    const std::uint32_t h = open(sim);
    EXPECT_EQ(kv::ReadSerialNumber(h), KVLIB_ERR_TIMEOUT);
    EXPECT_EQ(kv::SerialNumberText(), "0000000000");
}

TEST_F(ShellTest, CleanDiskSendsTheRightAreaOrRefuses) {
    kvtest::Simulator sim({"--clean-delay", "50"});
    const std::uint32_t h = open(sim);
    EXPECT_EQ(VKqCleanDisk(h, 0), 0u);
    EXPECT_EQ(VKqCleanDisk(h, 1), 0u);
    EXPECT_EQ(VKqCleanDisk(h, 7), 0u);
    EXPECT_EQ(VKqCleanDisk(h, 2), KVLIB_ERR_CLEAN_SYSTEM_REFUSED);
    EXPECT_EQ(VKqCleanDisk(h + 1, 2), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(VKqCleanDisk(0, 0), KVLIB_ERR_DEVICE_NOT_OPEN);

    const std::string log = kvtest::logText();
    EXPECT_EQ(kvtest::countOf(log, "send remote command: 'clean_disk ramdisk'"), 1);
    EXPECT_EQ(kvtest::countOf(log, "send remote command: 'clean_disk flash'"), 2);
    EXPECT_EQ(kvtest::countOf(log, "send remote command: 'clean_disk "), 3);
    EXPECT_EQ(kvtest::countOf(log, "VKqCleanDisk, device= 2"), 2);
}

TEST_F(ShellTest, RefusedCallsSendNothingAndPassNoText) {
    kvtest::Simulator sim;
    const std::uint32_t h = open(sim);
    const std::string longest(kv::kMaxShellCommandLength, 'a');
    const std::string tooLong(kv::kMaxShellCommandLength + 1, 'a');
    EXPECT_EQ(KvRemoteCmd(h, tooLong.c_str(), recordReply), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(KvRemoteCmd(h + 1, "get_ser_num", recordReply), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(KvRemoteCmd(0, "get_ser_num", recordReply), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(kvtest::countOf(kvtest::logText(), "XM_START"), 0);
    // The longest command that fits still goes out and is answered.
    EXPECT_EQ(KvRemoteCmd(h, longest.c_str(), recordReply), 0u);
    const auto r = replies();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_FALSE(r[0].has_value());
    EXPECT_FALSE(r[1].has_value());
    EXPECT_FALSE(r[2].has_value());
    ASSERT_TRUE(r[3].has_value());
    EXPECT_NE(r[3]->find(longest), std::string::npos);
}

}  // namespace
