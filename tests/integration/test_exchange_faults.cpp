// Exchanges that wait for an answer while their connection goes away: closed by the application,
// hung up by the controller, or flooded by a controller that never reaches its prompt. Each ends at
// once with a failure (or within its overall bound), and the next connection starts clean.
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kvarolib.h"
#include "serial/receive.h"
#include "shell/remote_cmd.h"
#include "shell/service.h"
#include "shell/upload.h"
#include "support/controller.h"
#include "support/lib_fixture.h"

namespace {

using kvtest::waitFor;

// The silence times are 10 s and 45 s; every "at once" below is judged well inside them.
constexpr auto kWellBeforeTheTimeout = std::chrono::seconds(5);

struct CallbackLog {
    std::mutex mutex;
    std::vector<std::optional<std::string>> replies;
    std::vector<std::uint32_t> statuses;
} gLog;

void recordReply(const char* text, std::uint32_t length) {
    std::lock_guard lock(gLog.mutex);
    gLog.replies.emplace_back(text == nullptr ? std::nullopt : std::optional<std::string>(std::string(text, length)));
}

void recordStatus(std::uint32_t status) {
    std::lock_guard lock(gLog.mutex);
    gLog.statuses.push_back(status);
}

// Runs `call` on a thread of its own; its result is there once done() holds.
class Pending {
  public:
    template <class F>
    explicit Pending(F call) : thread_([this, call] { result_.store(call()); done_.store(true); }) {}
    ~Pending() { thread_.join(); }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    bool done() const { return done_.load(); }
    std::uint32_t result() const { return result_.load(); }

  private:
    std::atomic<bool> done_{false};
    std::atomic<std::uint32_t> result_{0};
    std::thread thread_;
};

class ExchangeFaultTest : public testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard lock(gLog.mutex);
            gLog.replies.clear();
            gLog.statuses.clear();
        }
        ASSERT_EQ(kvxInitLib(), 0u);
    }
    void TearDown() override {
        kvxCloseAllDevices();
        kvxCloseLib();
        kv::SetShellExchangeLimitForTesting(45000);
    }

    std::uint32_t open(const kvtest::Controller& c) {
        std::uint32_t rc = 0xFFFFFFFF;
        const std::uint32_t h = kvxOpenComDevice(c.port().c_str(), 38400, &rc);
        EXPECT_EQ(rc, 0u);
        return h;
    }

    // True once a shell command has the port and waits for its answer.
    static bool shellWaiting() {
        return kv::ShellServiceActive() && kv::CurrentRxHandler() == kv::RxHandlerForMode(kv::RX_SHELL);
    }
};

TEST_F(ExchangeFaultTest, CloseEndsTheShellCommandInFlightAndTheNextOpenWorks) {
    kvtest::Controller c({"--ignore", "sleepy"});
    const std::uint32_t h = open(c);
    Pending command([h] { return KvRemoteCmd(h, "sleepy", recordReply); });
    ASSERT_TRUE(waitFor(shellWaiting));
    EXPECT_EQ(kvxCloseDevice(h), 0u);
    ASSERT_TRUE(waitFor([&] { return command.done(); }, kWellBeforeTheTimeout));
    EXPECT_EQ(command.result(), KVLIB_ERR_DEVICE_NOT_OPEN);
    {
        std::lock_guard lock(gLog.mutex);
        ASSERT_EQ(gLog.replies.size(), 1u);
        EXPECT_FALSE(gLog.replies[0].has_value());
    }
    // The next connection's probe is answered into the telegram parser, not into the old command.
    const std::uint32_t again = open(c);
    EXPECT_NE(again, 0u);
    EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
    EXPECT_EQ(KvRemoteCmd(again, "get_ser_num", nullptr), 0u);
    EXPECT_EQ(GetVoriKqInfo(again, 0), 0u);
}

TEST_F(ExchangeFaultTest, HangUpEndsAFlashCommandAtOnce) {
    // A command with "flash" in it waits 45 s of silence; the hang-up must not wait them out.
    kvtest::Controller c({"--ignore", "ls flash"});
    const std::uint32_t h = open(c);
    Pending command([h] { return KvRemoteCmd(h, "ls flash", recordReply); });
    ASSERT_TRUE(waitFor(shellWaiting));
    c.sim().hangUp();
    ASSERT_TRUE(waitFor([&] { return command.done(); }, kWellBeforeTheTimeout));
    EXPECT_EQ(command.result(), KVLIB_ERR_DEVICE_NOT_OPEN);
    std::lock_guard lock(gLog.mutex);
    ASSERT_EQ(gLog.replies.size(), 1u);
    EXPECT_FALSE(gLog.replies[0].has_value());
    EXPECT_NE(kvtest::logText().find("SendRemoteCmd, the port failed or was closed..."), std::string::npos);
}

TEST_F(ExchangeFaultTest, HangUpEndsAnInformationQueryWithAFailure) {
    kvtest::Controller c;
    const std::uint32_t h = open(c);
    c.control("fault no-reply always");
    const std::size_t before = c.received(6).size();
    Pending query([h] { return GetVoriKqInfo(h, 0); });
    ASSERT_TRUE(waitFor([&] { return c.received(6).size() > before; }));
    c.sim().hangUp();
    ASSERT_TRUE(waitFor([&] { return query.done(); }));
    // Not the time-out of a reply that was lost: the port itself is gone.
    EXPECT_EQ(query.result(), KVLIB_ERR_DEVICE_NOT_OPEN);
    // An exchange begun after the failure does not wait either.
    EXPECT_NE(GetVoriKqInfo(h, 0), 0u);
}

TEST_F(ExchangeFaultTest, HangUpEndsAnUploadWithAFailure) {
    kvtest::Controller c;
    const std::uint32_t h = open(c);
    // The line hangs up as soon as the first block is acknowledged; the second block finds no one.
    static kvtest::Controller* controller = nullptr;
    controller = &c;
    static const std::vector<std::uint8_t> data(3000, 0x5A);
    ASSERT_EQ(KvRamFileUpload(h, UPLOAD_RAMDISK, data.data(), static_cast<std::uint32_t>(data.size()), "gone.bin",
                              [](std::uint32_t status) {
                                  recordStatus(status);
                                  if (status == KVLIB_ERR_UPLOAD_ACK) {
                                      controller->sim().hangUp();
                                  }
                              }),
              0u);
    ASSERT_TRUE(waitFor([] { return !kv::UploadThreadRunning(); }));
    std::lock_guard lock(gLog.mutex);
    ASSERT_FALSE(gLog.statuses.empty());
    EXPECT_EQ(gLog.statuses.back(), KVLIB_ERR_UPLOAD_FAILED);
    EXPECT_NE(kvtest::logText().find("IfUploadFile, the port failed or was closed..."), std::string::npos);
}

TEST_F(ExchangeFaultTest, OutputThatNeverReachesAPromptDoesNotHoldTheOpen) {
    // Every command is answered by "data K" lines 50 ms apart, for ever: no single silence ends the
    // serial-number read, only its bound as a whole.
    kv::SetShellExchangeLimitForTesting(2000);
    kvtest::Controller c({"--endless", "50"});
    const std::string logBefore = kvtest::logText();
    std::atomic<std::uint32_t> rc{0xFFFFFFFF};
    std::atomic<std::uint32_t> handle{0};
    Pending openCall([&] {
        std::uint32_t result = 0xFFFFFFFF;
        handle.store(kvxOpenComDevice(c.port().c_str(), 38400, &result));
        rc.store(result);
        return result;
    });
    const bool ended = waitFor([&] { return openCall.done(); }, std::chrono::seconds(30));
    if (!ended) {
        // Free the thread before failing: a hung-up line ends the exchange one way or another.
        c.sim().hangUp();
        ASSERT_TRUE(waitFor([&] { return openCall.done(); }, std::chrono::seconds(60)));
    }
    ASSERT_TRUE(ended) << "the open did not end";
    // The connection stands without a serial number, as it does whenever that read fails.
    EXPECT_EQ(rc.load(), 0u);
    EXPECT_NE(handle.load(), 0u);
    const std::string log = kvtest::logText().substr(logBefore.size());
    EXPECT_EQ(kvtest::countOf(log, "serial_number= ["), 0);
    EXPECT_EQ(kvtest::countOf(log, "INFO: Remote mode, no prompt within 2 s..."), 1);
    EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
}

}  // namespace

namespace {

TEST_F(ExchangeFaultTest, OutputThatNeverReachesAPromptEndsACommandWithATimeOut) {
    // The same flood as above, now under a command the application sends: only the bound as a
    // whole ends it (the open's serial-number read ends the same way first).
    kv::SetShellExchangeLimitForTesting(2000);
    kvtest::Controller c({"--endless", "50"});
    const std::uint32_t h = open(c);
    ASSERT_NE(h, 0u);
    Pending command([h] { return KvRemoteCmd(h, "ls ramdisk", recordReply); });
    const bool ended = waitFor([&] { return command.done(); }, std::chrono::seconds(30));
    if (!ended) {
        c.sim().hangUp();
        ASSERT_TRUE(waitFor([&] { return command.done(); }, std::chrono::seconds(60)));
    }
    ASSERT_TRUE(ended) << "the command did not end";
    EXPECT_EQ(command.result(), KVLIB_ERR_TIMEOUT);
    {
        std::lock_guard lock(gLog.mutex);
        ASSERT_EQ(gLog.replies.size(), 1u);
        EXPECT_FALSE(gLog.replies[0].has_value());
    }
    EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
    // A disk clean is bounded the same way.
    EXPECT_EQ(VKqCleanDisk(h, 0), KVLIB_ERR_TIMEOUT);
}

}  // namespace
