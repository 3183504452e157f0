// The file receiver behind xrecv, driven frame by frame with the clock in the test's hand: what it
// answers, what it keeps, when it gives up, and what the upload fault switches make of it.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/helpers.h"
#include "xmodem.h"

namespace kqsim {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kAsk = "C";
const std::string kAckByte(1, '\x06');
const std::string kNakByte(1, '\x15');
const std::string kCanCan(2, '\x18');
const std::string kEotByte(1, '\x04');

// A frame as a sender builds it: 128 data bytes unless more than 128 are given, padded with 0.
std::string frame(unsigned number, std::string data, bool crc = true) {
    const std::size_t size = data.size() > 128 ? 1024 : 128;
    data.resize(size, '\0');
    std::string f;
    f += static_cast<char>(size == 128 ? 0x01 : 0x02);
    f += static_cast<char>(number & 0xffU);
    f += static_cast<char>(~number & 0xffU);
    f += data;
    if (crc) {
        const std::uint16_t c = crc16(data);
        f += static_cast<char>(c >> 8);
        f += static_cast<char>(c & 0xffU);
    } else {
        f += static_cast<char>(sum8(data));
    }
    return f;
}

std::string pattern(std::size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245U + 12345U;
        s[i] = static_cast<char>((seed >> 16) & 0xffU);
    }
    return s;
}

// The frames an uploader sends for `data`: 1024-byte blocks while more than 1024 bytes remain,
// then 128-byte ones; one block even for no data.
std::vector<std::string> frames_for(const std::string& data, bool crc = true) {
    std::vector<std::string> out;
    std::size_t off = 0;
    unsigned n = 1;
    do {
        const std::size_t size = data.size() - off > 1024 ? 1024 : 128;
        std::string chunk = data.substr(off, size);
        if (size == 1024) {
            chunk.resize(1024, '\0');
        }
        out.push_back(frame(n++, chunk, crc));
        off += std::min(size, data.size() - off);
    } while (off < data.size());
    return out;
}

class ReceiverTest : public ::testing::Test {
  protected:
    ReceiverTest()
        : t0_(Clock::now()),
          recorder_(t0_),
          record_path_(::testing::TempDir() + "kqsim_xmodem_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".rec") {
        std::remove(record_path_.c_str());
        std::string error;
        EXPECT_TRUE(recorder_.open(record_path_, error)) << error;
    }
    ~ReceiverTest() override { std::remove(record_path_.c_str()); }

    void start(ReceiverSettings s = {}) { rx_.emplace(s, out_, recorder_, t0_); }

    std::size_t feed(std::string_view bytes, milliseconds at = milliseconds{0}) {
        return rx_->feed(bytes, t0_ + at);
    }
    void poll(milliseconds at) { rx_->poll(t0_ + at); }

    // Everything queued for the line, delays or not.
    std::string answers() {
        std::string all;
        out_.pump(Clock::now() + std::chrono::hours{1}, [&](std::string_view b) {
            all += b;
            return static_cast<ssize_t>(b.size());
        });
        return all;
    }

    // The record's lines, without their times.
    std::vector<std::string> records() const { return test_helpers::record_lines(record_path_); }

    // Sends the frames one by one and collects one answer each.
    std::string send_all(const std::vector<std::string>& frames) {
        std::string got;
        for (const auto& f : frames) {
            EXPECT_EQ(feed(f), f.size());
            got += answers();
        }
        return got;
    }

    Clock::time_point t0_;
    OutputQueue out_{0};
    Recorder recorder_;
    std::string record_path_;
    std::optional<XmodemReceiver> rx_;
};

TEST(Checksums, MatchThePublishedCheckValues) {
    EXPECT_EQ(crc16("123456789"), 0x31C3);
    EXPECT_EQ(crc16(""), 0);
    EXPECT_EQ(sum8("123456789"), static_cast<std::uint8_t>(0x1dd & 0xff));
    EXPECT_EQ(sum8(std::string(256, '\x01')), 0);
}

TEST_F(ReceiverTest, AnUploadAsTheLibrarySendsItIsTakenWhole) {
    const std::string data = pattern(1500);
    ReceiverSettings s;
    s.size = data.size();
    start(s);
    EXPECT_EQ(answers(), kAsk);
    const auto frames = frames_for(data);
    ASSERT_EQ(frames.size(), 5U);  // one 1024-byte block, then four of 128
    EXPECT_EQ(send_all(frames), std::string(5, '\x06'));
    EXPECT_EQ(feed(kEotByte), 1U);
    EXPECT_EQ(answers(), kAckByte);
    ASSERT_TRUE(rx_->over());
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::Received);
    EXPECT_EQ(rx_->received(), 1024U + 4 * 128U);
    EXPECT_EQ(rx_->data(), data);

    const auto r = records();
    ASSERT_EQ(r.size(), 6U);
    EXPECT_EQ(r[0], "xblock 1 1024 ok ack " + hex(frames[0]));
    EXPECT_EQ(r[4], "xblock 5 128 ok ack " + hex(frames[4]));
    EXPECT_EQ(r[5], "xeot ack");
}

TEST_F(ReceiverTest, DataIsCutToTheAnnouncedSizeAndKeptWholeWithoutOne) {
    const std::string data = pattern(200);
    ReceiverSettings s;
    s.size = 150;
    start(s);
    send_all(frames_for(data));
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), data.substr(0, 150));

    out_.clear();
    start();
    send_all(frames_for(data));
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), data + std::string(56, '\0'));  // the padding stays: nobody said where it ends
}

TEST_F(ReceiverTest, SummedFramesWhenAskingWithNak) {
    const std::string data = pattern(2100);
    ReceiverSettings s;
    s.crc = false;
    s.size = data.size();
    start(s);
    EXPECT_EQ(answers(), kNakByte);
    EXPECT_EQ(send_all(frames_for(data, false)), std::string(3, '\x06'));  // 1024, 1024, 128
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), data);
}

TEST_F(ReceiverTest, ABrokenFrameIsNakedAndItsResendTakenOnce) {
    const std::string data = pattern(256);
    ReceiverSettings s;
    s.size = data.size();
    start(s);
    answers();
    const auto frames = frames_for(data);

    std::string wrong_complement = frames[0];
    wrong_complement[2] = '\x00';
    std::string wrong_crc = frames[0];
    wrong_crc.back() = static_cast<char>(wrong_crc.back() ^ 0x40);
    std::string wrong_data = frames[0];
    wrong_data[10] = static_cast<char>(wrong_data[10] ^ 0x01);
    EXPECT_EQ(send_all({wrong_complement, wrong_crc, wrong_data}), std::string(3, '\x15'));
    EXPECT_EQ(send_all({frames[0], frames[0], frames[1]}), std::string(3, '\x06'));
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), data);  // the repeat of block 1 was not appended

    const auto r = records();
    EXPECT_EQ(r[0], "xblock 1 128 bad nak " + hex(wrong_complement) + " complement");
    EXPECT_EQ(r[1], "xblock 1 128 bad nak " + hex(wrong_crc) + " checksum");
    EXPECT_EQ(r[2], "xblock 1 128 bad nak " + hex(wrong_data) + " checksum");
    EXPECT_EQ(r[4], "xblock 1 128 dup ack " + hex(frames[0]));
}

TEST_F(ReceiverTest, BlockNumbersWrapFrom255To0) {
    const std::string data = pattern(300 * 128);
    ReceiverSettings s;
    s.size = data.size();
    start(s);
    answers();
    std::vector<std::string> frames;
    for (unsigned n = 1; n <= 300; ++n) {
        frames.push_back(frame(n, data.substr((n - 1) * 128, 128)));
    }
    EXPECT_EQ(static_cast<unsigned char>(frames[255][1]), 0);
    EXPECT_EQ(send_all(frames), std::string(300, '\x06'));
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), data);
}

TEST_F(ReceiverTest, ABlockOutOfSequenceCancelsAndTheRestIsSwallowed) {
    start();
    answers();
    send_all(frames_for(pattern(128)));
    EXPECT_EQ(send_all({frame(3, "x")}), kCanCan);
    EXPECT_FALSE(rx_->over());  // still draining what the sender had under way
    EXPECT_EQ(feed(kEotByte + "more", milliseconds{500}), 5U);
    poll(milliseconds{1400});
    EXPECT_FALSE(rx_->over());
    poll(milliseconds{1500});
    ASSERT_TRUE(rx_->over());
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::Canceled);
    EXPECT_EQ(rx_->reason(), "block out of sequence");
    EXPECT_EQ(answers(), "");
    EXPECT_EQ(records().back(), "xblock 3 128 bad can " + hex(frame(3, "x")) + " sequence");
}

TEST_F(ReceiverTest, ADrainEndsEvenWhenTheLineNeverGoesQuiet) {
    ReceiverSettings s;
    s.faults.can_before_first = true;
    start(s);
    EXPECT_EQ(answers(), kCanCan);
    for (int ms = 0; ms < 3000; ms += 100) {
        feed("noise", milliseconds{ms});
        poll(milliseconds{ms});
    }
    poll(milliseconds{3000});
    EXPECT_TRUE(rx_->over());
    EXPECT_EQ(rx_->reason(), "transfer canceled");
}

TEST_F(ReceiverTest, TenErrorsInARowCancel) {
    start();
    answers();
    std::string bad = frame(1, "x");
    bad[2] = 'x';
    std::string got;
    for (int i = 0; i < 10; ++i) {
        feed(bad);
        got += answers();
    }
    EXPECT_EQ(got, std::string(9, '\x15') + kCanCan);
    poll(seconds{2});
    EXPECT_EQ(rx_->reason(), "too many errors");
}

TEST_F(ReceiverTest, AFrameThatStopsIsNakedAfterASecond) {
    start();
    answers();
    const std::string f = frame(1, "abc");
    feed(std::string_view(f).substr(0, 60), milliseconds{10});
    poll(milliseconds{1009});
    EXPECT_EQ(answers(), "");
    poll(milliseconds{1010});
    EXPECT_EQ(answers(), kNakByte);
    EXPECT_EQ(records().back(), "xblock 1 128 bad nak " + hex(f.substr(0, 60)) + " incomplete");
    // The sender's resend goes through.
    feed(f, milliseconds{1100});
    EXPECT_EQ(answers(), kAckByte);
}

TEST_F(ReceiverTest, TheAskRepeatsEverySecondThenGivesUp) {
    start();
    std::string asks = answers();
    for (int s = 1; s <= 10; ++s) {
        poll(milliseconds{s * 1000 - 1});
        EXPECT_FALSE(rx_->over());
        poll(milliseconds{s * 1000});
        asks += answers();
    }
    EXPECT_EQ(asks, std::string(10, 'C'));
    ASSERT_TRUE(rx_->over());
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::TimedOut);
    EXPECT_EQ(rx_->reason(), "timed out: no block from the sender");
}

TEST_F(ReceiverTest, SilenceAfterABlockEndsTheTransferAtTheTimeOut) {
    ReceiverSettings s;
    s.timeout = seconds{40};
    start(s);
    answers();
    feed(frame(1, "a"), milliseconds{200});
    EXPECT_EQ(answers(), kAckByte);
    EXPECT_EQ(rx_->next_wake(), t0_ + milliseconds{40200});
    poll(milliseconds{40199});
    EXPECT_FALSE(rx_->over());
    poll(milliseconds{40200});
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::TimedOut);
    EXPECT_EQ(answers(), "");  // no repeated asks once a block came
}

TEST_F(ReceiverTest, NoiseBetweenFramesIsSkippedAndBytesAfterTheEndAreLeft) {
    start();
    answers();
    const std::string f = frame(1, "data");
    EXPECT_EQ(feed("\r\n" + f + "\x18z"), f.size() + 4);
    EXPECT_EQ(answers(), kAckByte);
    // A single CAN is noise; the EOT ends it and what follows is not the transfer's.
    EXPECT_EQ(feed("\x18" + kEotByte + "\rget_ser_num\r"), 2U);
    EXPECT_TRUE(rx_->over());
    const auto r = records();
    ASSERT_EQ(r.size(), 5U);
    EXPECT_EQ(r[0], "xskip 0d0a");
    EXPECT_EQ(r[2], "xskip 187a");
    EXPECT_EQ(r[3], "xskip 18");
}

TEST_F(ReceiverTest, TwoCansFromTheSenderEndIt) {
    start();
    answers();
    feed(frame(1, "a"));
    feed(kCanCan);
    poll(seconds{2});
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::Canceled);
    EXPECT_EQ(rx_->reason(), "canceled by the sender");
    EXPECT_EQ(answers(), kAckByte);  // nothing sent back to a sender that left
}

TEST_F(ReceiverTest, TheAnswerToEotWaitsForTheWriteDelay) {
    ReceiverSettings s;
    s.eot_delay = milliseconds{500};
    start(s);
    answers();
    send_all(frames_for("x"));
    feed(kEotByte);
    EXPECT_TRUE(rx_->over());  // done; only the ACK waits
    std::string early;
    out_.pump(Clock::now() + milliseconds{300}, [&](std::string_view b) {
        early += b;
        return static_cast<ssize_t>(b.size());
    });
    EXPECT_EQ(early, "");
    EXPECT_EQ(answers(), kAckByte);
}

TEST_F(ReceiverTest, ChunkingDoesNotMatter) {
    const std::string data = pattern(3000);
    std::string line = "junk";
    for (const auto& f : frames_for(data)) {
        line += f;
    }
    line += kEotByte;
    ReceiverSettings s;
    s.size = data.size();
    start(s);
    answers();
    feed(line);
    const std::string whole = answers();
    start(s);
    answers();
    for (const char c : line) {
        feed(std::string(1, c));
    }
    EXPECT_EQ(answers(), whole);
    EXPECT_EQ(rx_->data(), data);
}

// The upload fault switches, each against the dialogue a sender sees.
TEST_F(ReceiverTest, NakFaultRefusesTheNamedBlockItsNumberOfTimes) {
    ReceiverSettings s;
    s.faults.nak_block = 2;
    s.faults.nak_times = 3;
    start(s);
    answers();
    const auto frames = frames_for(pattern(384));
    EXPECT_EQ(send_all({frames[0], frames[1], frames[1], frames[1], frames[1], frames[2]}),
              "\x06\x15\x15\x15\x06\x06");
    EXPECT_EQ(records()[1], "xblock 2 128 ok nak " + hex(frames[1]) + " refused");
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), pattern(384));
}

TEST_F(ReceiverTest, CanFaultsCancelBeforeTheFirstBlockOrAfterTheNamedOne) {
    ReceiverSettings s;
    s.faults.can_before_first = true;
    start(s);
    EXPECT_EQ(answers(), kCanCan);  // no ask at all
    poll(seconds{1});
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::Canceled);

    s = {};
    s.faults.can_after = 2;
    start(s);
    answers();
    const auto frames = frames_for(pattern(512));
    EXPECT_EQ(send_all({frames[0], frames[1]}), kAckByte + kCanCan);
    EXPECT_EQ(feed(frames[2] + kEotByte, milliseconds{10}), frames[2].size() + 1);  // swallowed
    poll(milliseconds{1010});
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::Canceled);
    EXPECT_EQ(rx_->received(), 256U);
    EXPECT_EQ(answers(), "");
}

TEST_F(ReceiverTest, GarbageFaultGarblesOneAckOfATakenBlock) {
    ReceiverSettings s;
    s.faults.garbage = 1;
    start(s);
    answers();
    const auto frames = frames_for(pattern(256));
    const std::string got = send_all({frames[0], frames[0], frames[1]});
    EXPECT_EQ(got, "\x86\x06\x06");
    EXPECT_NE(got[0], '\x06');
    EXPECT_NE(got[0], '\x15');
    EXPECT_NE(got[0], '\x18');
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), pattern(256));  // the block was taken; its repeat was a duplicate
}

TEST_F(ReceiverTest, NoAnswerFaultLosesTheBlockOnceAndTheResendGetsThrough) {
    ReceiverSettings s;
    s.faults.no_answer = 2;
    start(s);
    answers();
    const auto frames = frames_for(pattern(256));
    EXPECT_EQ(send_all({frames[0], frames[1]}), kAckByte);
    EXPECT_EQ(records()[1], "xblock 2 128 ok none " + hex(frames[1]) + " lost");
    EXPECT_EQ(send_all({frames[1]}), kAckByte);
    feed(kEotByte);
    EXPECT_EQ(rx_->data(), pattern(256));
}

TEST_F(ReceiverTest, NoEotAnswerFaultLosesTheFirstEot) {
    ReceiverSettings s;
    s.faults.no_eot_answer = true;
    start(s);
    answers();
    send_all(frames_for("x"));
    feed(kEotByte);
    EXPECT_EQ(answers(), "");
    EXPECT_FALSE(rx_->over());
    EXPECT_EQ(records().back(), "xeot none");
    feed(kEotByte, seconds{3});
    EXPECT_EQ(answers(), kAckByte);
    EXPECT_EQ(rx_->outcome(), XmodemReceiver::Outcome::Received);
}

TEST_F(ReceiverTest, WithoutASizeTheAreaCapacityBoundsTheFile) {
    ReceiverSettings s;
    s.capacity = 2048;
    start(s);
    answers();
    const std::string block(1024, 'k');
    EXPECT_EQ(send_all({frame(1, block), frame(2, block), frame(3, block)}), kAckByte + kAckByte + kCanCan);
    poll(seconds{2});
    EXPECT_EQ(rx_->reason(), "no space left in the storage area");
    EXPECT_EQ(rx_->data(), block + block);
}

}  // namespace
}  // namespace kqsim
