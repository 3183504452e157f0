// The engine's arithmetic: run-time counters, reply timing and the timer resolution. Ticks are
// driven by hand, so every figure is exact.
#include <gtest/gtest.h>

#include <array>
#include <atomic>

#include "base/events.h"
#include "transfer/engine.h"
#include "transfer/statistics.h"
#include "transfer/transfer_state.h"

namespace {

std::array<std::uint16_t, 6> advance(std::array<std::uint16_t, 6> c, int ticks) {
    for (int i = 0; i < ticks; ++i) {
        kv::AdvanceRunTimeCounters(c.data());
    }
    return c;
}

TEST(RunTimeCounters, CascadeFromMillisecondsToMinutes) {
    using C = std::array<std::uint16_t, 6>;
    EXPECT_EQ(advance({}, 9), (C{9, 0, 0, 0, 0, 0}));
    EXPECT_EQ(advance({}, 10), (C{10, 1, 0, 0, 0, 0}));
    EXPECT_EQ(advance({}, 1000), (C{1000, 100, 10, 1, 0, 0}));
    EXPECT_EQ(advance({}, 60000), (C{60000, 6000, 600, 60, 6, 1}));
    // Across the wrap of the millisecond counter the step comes at 0, not ten ticks after the last
    // multiple of ten: the cascade is not exact there.
    EXPECT_EQ(advance({65530, 0, 0, 0, 0, 0}, 10), (C{4, 1, 0, 0, 0, 0}));
}

// The beat wakes the request thread, and only while the transfer sends.
TEST(RunTimeCounters, EveryTenthTickIsTheBeat) {
    kv::platform::ManualResetEvent& request = kv::libraryEvents().request;
    std::atomic<std::uint8_t>& sending = kv::transferFlags().threadWriteFlag;
    sending.store(1);
    request.reset();
    // Find the phase: tick until the beat comes, then count exactly ten more.
    for (int i = 0; i < 10 && !request.isSet(); ++i) {
        kv::TickOnce();
    }
    ASSERT_TRUE(request.isSet());
    request.reset();
    const std::uint32_t before = kv::GetActTimerCount();
    const std::uint32_t beatsBefore = kv::transferStatistics().mmTimerCalls.load();
    for (int i = 0; i < 9; ++i) {
        kv::TickOnce();
        EXPECT_FALSE(request.isSet()) << "tick " << i + 1;
    }
    kv::TickOnce();
    EXPECT_TRUE(request.isSet());
    EXPECT_EQ(kv::GetActTimerCount() - before, 10u);
    EXPECT_EQ(kv::transferStatistics().mmTimerCalls.load() - beatsBefore, 1u);

    sending.store(0);
    request.reset();
    for (int i = 0; i < 20; ++i) {
        kv::TickOnce();
    }
    EXPECT_FALSE(request.isSet());
}

TEST(TimerResolution, SmallestPeriodBoundedByOneAndTheLargest) {
    EXPECT_EQ(kv::TimerResolution(0, 1000000), 1u);
    EXPECT_EQ(kv::TimerResolution(1, 1000000), 1u);
    EXPECT_EQ(kv::TimerResolution(5, 3), 3u);
    EXPECT_EQ(kv::TimerResolution(2, 10), 2u);
}

// One request of the cycle: written now, its reply `ms` ticks later.
void exchange(std::uint16_t counter, int ms) {
    kv::NoteRequestSent(counter);
    for (int i = 0; i < ms; ++i) {
        kv::TickOnce();
    }
    EXPECT_TRUE(kv::RecordReplyTime(counter));
}

class ReplyTiming : public testing::Test {
  protected:
    void SetUp() override {
        kv::ResetTransferClock();
        kv::ResetReplyTiming();
    }
    kv::TransferStatistics& stats = kv::transferStatistics();
};

TEST_F(ReplyTiming, FirstExchangeCountsOnlyTowardsTheAverage) {
    exchange(1, 30);
    exchange(2, 12);
    EXPECT_EQ(stats.tcnt.load(), 2u);
    EXPECT_EQ(stats.tmax.load(), 12u);
    EXPECT_EQ(stats.dynTimeOut.load(), 15u);  // base 10 after the second exchange
    exchange(3, 12);
    EXPECT_EQ(stats.tcnt.load(), 3u);
    EXPECT_EQ(stats.tavg.load(), 18u);  // (30 + 12 + 12) / 3
    EXPECT_EQ(stats.tmax.load(), 12u);
    EXPECT_EQ(stats.dynTimeOut.load(), 18u);  // base 12
}

TEST_F(ReplyTiming, BaseJumpsUpAtOnceAndCreepsDownSlowly) {
    exchange(1, 5);
    exchange(2, 5);   // base 10
    exchange(3, 40);  // slower: base 40 at once
    EXPECT_EQ(stats.dynTimeOut.load(), 60u);
    exchange(4, 20);  // faster, but less than five seconds since the last adjustment
    EXPECT_EQ(stats.dynTimeOut.load(), 60u);
    for (int i = 0; i < 5001; ++i) {
        kv::TickOnce();
    }
    exchange(5, 20);  // lowered by a fifth of the gap: 40 - 4 = 36
    EXPECT_EQ(stats.dynTimeOut.load(), 54u);
}

TEST_F(ReplyTiming, ARestartMeasuresAfresh) {
    // A fresh record reports a second until measurements give a time-out.
    EXPECT_EQ(kv::TransferStatistics{}.dynTimeOut.load(), 1000u);

    // A first transfer with slow replies leaves a high estimate behind ...
    exchange(1, 5);
    exchange(2, 5);
    exchange(3, 40);
    for (int i = 0; i < 300; ++i) {
        kv::TickOnce();
    }
    EXPECT_EQ(stats.dynTimeOut.load(), 60u);

    // ... which a restart does not carry over: its statistics are those of a first start.
    kv::ResetTransferClock();
    kv::ResetReplyTiming();
    EXPECT_EQ(stats.dynTimeOut.load(), 60u);  // kept until the new measurements give one
    exchange(4, 30);
    exchange(5, 12);
    EXPECT_EQ(stats.dynTimeOut.load(), 15u);  // base 10 after the second exchange
    exchange(6, 12);
    EXPECT_EQ(stats.tcnt.load(), 3u);
    EXPECT_EQ(stats.tavg.load(), 18u);
    EXPECT_EQ(stats.tmax.load(), 12u);
    EXPECT_EQ(stats.dynTimeOut.load(), 18u);  // base 12
}

TEST_F(ReplyTiming, TheFirstReplyToARepeatedRequestAnswersItUntimed) {
    // Sent three times: two copies went unanswered.
    for (int copy = 0; copy < 3; ++copy) {
        kv::NoteRequestSent(9);
    }
    EXPECT_EQ(kv::repeatAccounting().repeatCount.load(), 3u);
    // Whichever copy it answers, the first reply completes the request; nobody knows which copy it
    // answers, so it is not timed.
    EXPECT_TRUE(kv::RecordReplyTime(9));
    EXPECT_EQ(stats.tcnt.load(), 0u);
    // The answers to the other copies are duplicates.
    EXPECT_FALSE(kv::RecordReplyTime(9));
    EXPECT_FALSE(kv::RecordReplyTime(9));
    EXPECT_EQ(stats.tcnt.load(), 0u);
    // The next request starts the count afresh and is timed again.
    exchange(10, 7);
    EXPECT_EQ(kv::repeatAccounting().repeatCount.load(), 1u);
    EXPECT_EQ(stats.tcnt.load(), 1u);
    EXPECT_EQ(stats.tavg.load(), 7u);
}

TEST_F(ReplyTiming, ARequestWithTheCounterOfAnAnsweredOneIsANewRequest) {
    exchange(4, 3);
    // The counter of the request just answered once more (a Bluetooth request in between does not
    // advance it): not a repeat of the answered one.
    kv::NoteRequestSent(4);
    EXPECT_EQ(kv::repeatAccounting().repeatCount.load(), 1u);
    EXPECT_TRUE(kv::RecordReplyTime(4));
}

TEST_F(ReplyTiming, OtherCountersAnswerNothingAndTimingWaitsForTheStart) {
    kv::NoteRequestSent(4);
    kv::NoteRequestSent(4);
    EXPECT_FALSE(kv::RecordReplyTime(5));
    EXPECT_EQ(kv::repeatAccounting().repeatCount.load(), 2u);
    kv::ResetTransferClock();  // timing disabled, as during a start's handshake
    kv::NoteRequestSent(4);
    kv::NoteRequestSent(4);
    // A repeated request of the handshake is still answered by its first reply.
    EXPECT_TRUE(kv::RecordReplyTime(4));
    EXPECT_EQ(stats.tcnt.load(), 0u);
    kv::NoteRequestSent(5);
    EXPECT_TRUE(kv::RecordReplyTime(5));
    EXPECT_EQ(stats.tcnt.load(), 0u);
}

}  // namespace
