// The output queue: what leaves when, and what may pass a pause in the shell's output.

#include <gtest/gtest.h>

#include <string>

#include "out_queue.h"

namespace kqsim {
namespace {

using std::chrono::milliseconds;

// Everything the queue writes by `at`, in order.
std::string pumped(OutputQueue& q, Clock::time_point at) {
    std::string out;
    q.pump(at, [&out](std::string_view b) {
        out += b;
        return static_cast<ssize_t>(b.size());
    });
    return out;
}

TEST(OutputQueue, UnpromptedBytesGoOutDuringAPauseAndThePauseKeepsItsRemainder) {
    const Clock::time_point t0 = Clock::now();
    OutputQueue q(0);
    q.push("VORI");
    q.push_pause("KQ>", milliseconds(5000));
    EXPECT_EQ(pumped(q, t0 + milliseconds(1)), "VORI");

    q.push_unprompted("<telegram>", t0 + milliseconds(2000));
    EXPECT_EQ(pumped(q, t0 + milliseconds(2000)), "<telegram>");
    // The prompt's second half still waits for the rest of its pause, not for a new one.
    EXPECT_EQ(pumped(q, t0 + milliseconds(4900)), "");
    EXPECT_EQ(pumped(q, t0 + milliseconds(5100)), "KQ>");
}

TEST(OutputQueue, UnpromptedBytesWaitBehindAnOrdinaryDelayAndBehindPausesNotYetAtTheHead) {
    const Clock::time_point t0 = Clock::now();
    OutputQueue late(0);
    late.push("reply", milliseconds(3000));
    late.push_unprompted("<telegram>", t0 + milliseconds(1000));
    EXPECT_EQ(pumped(late, t0 + milliseconds(1000)), "");
    EXPECT_EQ(pumped(late, t0 + milliseconds(3100)), "reply<telegram>");

    OutputQueue behind(0);
    behind.push("answer", milliseconds(3000));
    behind.push_pause("KQ>", milliseconds(10));
    behind.push_unprompted("<telegram>", t0 + milliseconds(1000));
    EXPECT_EQ(pumped(behind, t0 + milliseconds(3100)), "answer");
    EXPECT_EQ(pumped(behind, t0 + milliseconds(3200)), "KQ><telegram>");
}

}  // namespace
}  // namespace kqsim
