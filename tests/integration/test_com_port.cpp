// The serial channel and its receive thread over real pseudo terminals.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "core/connection.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "support/lib_fixture.h"
#include "support/simulator.h"
#include "transfer/transfer_cycle.h"
#include "transfer/transfer_state.h"

namespace {

using kvtest::waitFor;

class ComPortTest : public testing::Test {
  protected:
    void SetUp() override {
        kv::InitLog();
        kv::setOpenRetryPolicyForTesting({2, 10});
        kv::transferFlags().portError.store(0);
    }
    void TearDown() override {
        kv::CloseComDevice();
        kv::SetRxHandler(kv::RX_TELEGRAM);
        kv::setOpenRetryPolicyForTesting({});
    }
};

// A pty that the test itself writes into, for checks of the channel that need exact bytes.
struct RawPty {
    int master = -1;
    std::string slave;
    RawPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master);
        ::unlockpt(master);
        slave = ::ptsname(master);
    }
    ~RawPty() { ::close(master); }
};

TEST_F(ComPortTest, OpenFailuresAreTold) {
    std::uint32_t rc = 0;
    EXPECT_EQ(kv::OpenComDevice("/dev/kvtest-no-such-port", &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_OPEN_COM);
    EXPECT_FALSE(kv::comPort().isOpen());

    // A port that another program holds takes the access-denied path.
    kvtest::Simulator sim;
    const int holder = ::open(sim.port().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(kv::OpenComDevice(sim.port().c_str(), &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_ACCESS_DENIED);
    ::close(holder);

    // Once it is free the same port opens, with a handle that can never be confused with "none".
    const std::uint32_t h = kv::OpenComDevice(sim.port().c_str(), &rc);
    EXPECT_EQ(rc, 0u);
    EXPECT_GT(h, 2u);

    // A name longer than the port-name field is refused without trying.
    kv::CloseComDevice();
    const std::string longName = "/dev/" + std::string(300, 'x');
    EXPECT_EQ(kv::OpenComDevice(longName.c_str(), &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_INVALID_PARAM);
}

TEST_F(ComPortTest, DeviceHandleCheckAndClosedPortWrites) {
    std::uint32_t error = 0;
    EXPECT_FALSE(kv::comPort().SendData("x", 1, &error));
    EXPECT_EQ(error, KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(kv::CheckDeviceHandle(0), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(kv::CheckDeviceHandle(1234), KVLIB_ERR_DEVICE_NOT_OPEN);

    kvtest::Simulator sim;
    std::uint32_t rc = 0;
    const std::uint32_t h = kv::OpenComDevice(sim.port().c_str(), &rc);
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(kv::CheckDeviceHandle(h), 0u);
    EXPECT_EQ(kv::CheckDeviceHandle(0), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(kv::CheckDeviceHandle(h + 1), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);

    // The single-master rule: the same port again, or another port while one is open.
    EXPECT_EQ(kv::OpenComDevice(sim.port().c_str(), &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_DEVICE_IS_OPEN);
    EXPECT_EQ(kv::OpenComDevice("/dev/ttyS99", &rc), 0u);
    EXPECT_EQ(rc, KVLIB_ERR_SOME_DEVICES_ARE_OPEN);
    EXPECT_EQ(kv::CheckDeviceHandle(h), 0u);

    kv::CloseComDevice();
    EXPECT_EQ(kv::CheckDeviceHandle(h), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_FALSE(kv::ComReadThreadRunning());
}

std::mutex gChunkMutex;
std::vector<std::vector<std::uint8_t>> gChunks;

void collectChunk(const std::uint8_t* bytes, std::int32_t count) {
    std::lock_guard lock(gChunkMutex);
    gChunks.emplace_back(bytes, bytes + count);
}

std::size_t collectedBytes() {
    std::lock_guard lock(gChunkMutex);
    std::size_t n = 0;
    for (const auto& c : gChunks) {
        n += c.size();
    }
    return n;
}

TEST_F(ComPortTest, LargeBacklogReachesTheHandlerInOrderInCappedChunks) {
    RawPty pty;
    std::uint32_t rc = 0;
    ASSERT_NE(kv::comPort().OpenPort(pty.slave.c_str(), 38400, &rc), 0);
    ASSERT_EQ(rc, 0u);
    kv::deviceHandle().store(static_cast<std::uint32_t>(kv::comPort().handle()));

    std::vector<std::uint8_t> sent(3500);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    ASSERT_EQ(::write(pty.master, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    ASSERT_TRUE(waitFor([] { return kv::comPort().RxQueueCount() >= 3500; }));

    kv::SetRxHandlerForTesting(collectChunk);
    ASSERT_EQ(kv::StartComReadThread(), 0u);
    ASSERT_TRUE(waitFor([&] { return collectedBytes() == sent.size(); }));
    kv::StopComReadThread();

    std::vector<std::uint8_t> received;
    {
        std::lock_guard lock(gChunkMutex);
        for (const auto& c : gChunks) {
            EXPECT_LE(c.size(), kv::kRxChunkBytes);
            received.insert(received.end(), c.begin(), c.end());
        }
        EXPECT_EQ(gChunks.front().size(), kv::kRxChunkBytes);
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(kvtest::countOf(kvtest::logText(), "ReadComThread, rxBytes= 3500, new rxBytes= 2048"), 1);
}

void ignoreChunk(const std::uint8_t*, std::int32_t) {}

TEST_F(ComPortTest, PauseAndResumeRestoreFlagAndHandler) {
    for (std::uint8_t before : {std::uint8_t{0}, std::uint8_t{1}}) {
        kv::transferFlags().threadWriteFlag.store(before);
        kv::SetRxHandlerForTesting(ignoreChunk);
        kv::PauseTransferCycle();
        EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), 0);
        kv::SetRxHandler(kv::RX_SHELL);
        EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_SHELL));
        kv::ResumeTransferCycle();
        EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), before);
        EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
    }
    // Any mode other than upload and shell means the telegram receiver.
    EXPECT_EQ(kv::SetRxHandler(7), 7);
    EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
    kv::transferFlags().threadWriteFlag.store(0);
}

double cpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST_F(ComPortTest, HangUpIsRecordedOnceAndTheThreadGoesIdle) {
    kvtest::Simulator sim;
    std::uint32_t rc = 0;
    const std::uint32_t h = kv::OpenComDevice(sim.port().c_str(), &rc);
    ASSERT_EQ(rc, 0u);
    kv::transferFlags().threadWriteFlag.store(1);
    sim.hangUp();
    ASSERT_TRUE(waitFor([] { return kv::transferFlags().portError.load() != 0; }));
    EXPECT_EQ(kv::transferFlags().portError.load(), 5);  // EIO, as a failed read reports it
    EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), 0);

    // A thread spinning on the dead line would burn a core; an idle one uses next to nothing.
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    waitFor([] { return false; }, std::chrono::milliseconds(400));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    EXPECT_LT(cpuSeconds() - cpuBefore, wall * 0.5);
    EXPECT_EQ(kvtest::countOf(kvtest::logText(), "ReadComThread, ReadData failed... !"), 1);

    EXPECT_TRUE(kv::ComReadThreadRunning());
    EXPECT_EQ(kv::CheckDeviceHandle(h), 0u);
    kv::CloseComDevice();
    EXPECT_FALSE(kv::ComReadThreadRunning());
}

}  // namespace
