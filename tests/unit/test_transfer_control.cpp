// Who may send, and what a start reports: the write flag handed between a start, a stop, the cycle's
// give-up and a shell service's pause and resume. No worker threads run here, so nothing is sent
// while the flag is set; each test drives the steps itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/log.h"
#include "kvarolib.h"
#include "support/lib_fixture.h"
#include "transfer/area_fields.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_cycle.h"
#include "transfer/transfer_state.h"

namespace {

using kvtest::countOf;
using kvtest::logText;
using kvtest::waitFor;

class TransferControl : public ::testing::Test {
  protected:
    void SetUp() override {
        kv::InitLog();
        kv::ReleaseTransferArea();
        ASSERT_TRUE(kv::AllocateTransferArea());
        kv::ResumeTransferWrites();
        kv::EndTransferWrites();
    }
    void TearDown() override {
        kv::ResumeTransferWrites();
        kv::StopKolvX1Transfer();
        kv::ReleaseTransferArea();
    }
    static std::uint8_t flag() { return kv::transferFlags().threadWriteFlag.load(); }
    // A transfer as a start leaves it once its handshake is answered.
    static void running() {
        kv::SetKolvX1TransferStatus(2);
        kv::BeginTransferWrites();
        ASSERT_TRUE(kv::CompleteTransferHandshake());
    }
};

TEST_F(TransferControl, AStopDuringAPauseSticks) {
    running();
    kv::PauseTransferWrites();
    EXPECT_EQ(flag(), 0);
    EXPECT_EQ(kv::MasterTransferState(), 1);  // paused, not stopped
    EXPECT_TRUE(kv::TransferRunsOrPaused());

    kv::StopKolvX1Transfer();
    EXPECT_EQ(kv::MasterTransferState(), 0);
    EXPECT_FALSE(kv::TransferRunsOrPaused());
    kv::ResumeTransferWrites();
    EXPECT_EQ(flag(), 0);
    EXPECT_EQ(kv::MasterTransferState(), 0);
    // It was stopped once; a second stop finds nothing to stop.
    kv::StopKolvX1Transfer();
    EXPECT_EQ(countOf(logText(), "Stopping Kolv.X1 transfer..."), 1);
}

TEST_F(TransferControl, PauseAndResumeHandTheFlagBackUntouched) {
    kv::PauseTransferWrites();
    kv::ResumeTransferWrites();
    EXPECT_EQ(flag(), 0);
    running();
    kv::PauseTransferWrites();
    kv::ResumeTransferWrites();
    EXPECT_EQ(flag(), 1);
    // A resume with no pause before it leaves a running transfer alone.
    kv::ResumeTransferWrites();
    EXPECT_EQ(flag(), 1);
    // The cycle giving up during a pause ends the transfer as a stop does.
    kv::PauseTransferWrites();
    EXPECT_TRUE(kv::EndTransferWrites());
    kv::ResumeTransferWrites();
    EXPECT_EQ(flag(), 0);
}

TEST_F(TransferControl, AStopRacingAPauseAlwaysSticks) {
    // A pause that read the flag before a stop and cleared it after would hand the resume a running
    // transfer: after every round in which the stop returned, nothing may be left running.
    for (int round = 0; round < 2000; ++round) {
        kv::BeginTransferWrites();
        std::atomic<bool> go{false};
        std::thread service([&] {
            while (!go.load()) {
            }
            kv::PauseTransferWrites();
            kv::ResumeTransferWrites();
        });
        go.store(true);
        const bool stopped = kv::EndTransferWrites();
        service.join();
        ASSERT_TRUE(stopped) << "round " << round;
        ASSERT_EQ(flag(), 0) << "round " << round;
    }
}

TEST_F(TransferControl, AStartEndedAfterItsHandshakeReportsThat) {
    std::atomic<std::uint32_t> rc{0xFFFFFFFF};
    std::thread starter([&] { rc = kv::StartKolvX1Transfer(); });
    ASSERT_TRUE(waitFor([] { return flag() == 1; }));
    // The first I/O exchange is answered (state 2 to 1), then a stop, or a failed write, ends the
    // transfer before the start has looked again; then the start wakes.
    ASSERT_TRUE(kv::CompleteTransferHandshake());
    kv::StopKolvX1Transfer();
    kv::SignalTransferStarted();
    starter.join();
    EXPECT_EQ(rc.load(), KVLIB_ERR_THREAD_NOT_RUNNING);
    EXPECT_EQ(kv::MasterTransferState(), 0);
    EXPECT_EQ(flag(), 0);
    EXPECT_EQ(countOf(logText(), "Kolv.X1 transfer running..."), 0);

    // A handshake answer that comes after the stop does not bring the state back.
    EXPECT_FALSE(kv::CompleteTransferHandshake());
    EXPECT_EQ(kv::MasterTransferState(), 0);
}

TEST_F(TransferControl, AStartThatStillRunsAfterItsHandshakeSucceeds) {
    std::atomic<std::uint32_t> rc{0xFFFFFFFF};
    std::thread starter([&] { rc = kv::StartKolvX1Transfer(); });
    ASSERT_TRUE(waitFor([] { return flag() == 1 && kv::MasterTransferState() == 2; }));
    ASSERT_TRUE(kv::CompleteTransferHandshake());
    kv::SignalTransferStarted();
    starter.join();
    EXPECT_EQ(rc.load(), 0u);
    EXPECT_EQ(kv::MasterTransferState(), 1);
    EXPECT_EQ(flag(), 1);
}

}  // namespace
