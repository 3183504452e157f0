// The simulator's own framing: the worked telegrams, the checksum, and how the line is split
// between frames and shell text however it is chunked.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telegram.h"

namespace kqsim {
namespace {

std::string bytes(std::initializer_list<unsigned> list) {
    std::string s;
    for (const unsigned b : list) {
        s += static_cast<char>(b);
    }
    return s;
}

// The probe that opens a connection, and the information read that follows it.
const std::string kEchoRequest =
    bytes({0x02, 0x55, 0x00, 0x14, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
           0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xE7, 0x03});
const std::string kInfoRequest =
    bytes({0x02, 0x55, 0x00, 0x18, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
           0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xDC, 0x03});

struct Collected : StreamSplitter::Sink {
    std::string text_bytes;
    std::vector<std::string> frames;
    std::vector<std::string> bad;

    void text(std::string_view b) override { text_bytes += b; }
    void frame(std::string_view f) override { frames.emplace_back(f); }
    void bad_frame(std::string_view f, std::string_view why) override {
        bad.push_back(std::string(why) + ":" + std::string(f));
    }
};

TEST(Telegram, WorkedExamplesDecodeAndEncodeToTheSameBytes) {
    const auto echo = decode(kEchoRequest);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->word_a, 2U);
    EXPECT_EQ(echo->word_b, 1U);
    EXPECT_EQ(echo->counter, 1);
    EXPECT_EQ(echo->session, 0);
    EXPECT_EQ(echo->code, 1U);
    EXPECT_EQ(echo->count, 0U);
    EXPECT_TRUE(echo->payload.empty());
    EXPECT_EQ(encode(*echo), kEchoRequest);

    const auto info = decode(kInfoRequest);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->counter, 2);
    EXPECT_EQ(info->code, 6U);
    EXPECT_EQ(info->count, 1U);
    EXPECT_EQ(info->payload, bytes({0, 0, 0, 0}));
    EXPECT_EQ(encode(*info), kInfoRequest);
}

TEST(Telegram, ChecksumIsTheTwosComplementOfTheByteSum) {
    EXPECT_EQ(telegram_checksum(""), 0);
    EXPECT_EQ(telegram_checksum(bytes({0x01})), 0xFFFF);
    // The sum wraps at 16 bits: 300 bytes of 0xFF sum to 76500 = 0x12AD4, of which 0x2AD4 counts.
    EXPECT_EQ(telegram_checksum(std::string(300, '\xFF')), 0x10000 - 0x2AD4);
}

TEST(Telegram, ReplyFieldsLandWhereTheClientReadsThem) {
    Telegram t;
    t.counter = 0x1234;
    t.session = 0xBEEF;
    t.code = 107;
    t.count = 2;
    t.payload = std::string(56, '\x5A');
    const std::string f = encode(t);
    ASSERT_EQ(f.size(), 56U + 27U);
    EXPECT_EQ(f.substr(0, 4), bytes({0x02, 0x55, 0x00, 20 + 56}));
    EXPECT_EQ(f.substr(12, 4), bytes({0x34, 0x12, 0xEF, 0xBE}));
    EXPECT_EQ(f.substr(16, 8), bytes({107, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(f.back(), '\x03');
    // The checksum makes the 16-bit sum over length, counted part and checksum come out even.
    unsigned sum = 0;
    for (std::size_t i = 2; i < 4 + 20 + 56; ++i) {
        sum += static_cast<unsigned char>(f[i]);
    }
    sum += static_cast<unsigned char>(f[80]) * 256U + static_cast<unsigned char>(f[81]);
    EXPECT_EQ(sum & 0xFFFF, 0U);
}

TEST(Telegram, DecodeRefusesDamagedFrames) {
    std::string why;
    std::string bad_sum = kEchoRequest;
    bad_sum[25] = static_cast<char>(bad_sum[25] ^ 1);
    EXPECT_FALSE(decode(bad_sum, &why));
    EXPECT_EQ(why, "wrong checksum");

    std::string no_end = kEchoRequest;
    no_end.back() = '\0';
    EXPECT_FALSE(decode(no_end, &why));
    EXPECT_EQ(why, "no end mark");

    EXPECT_FALSE(decode(kEchoRequest.substr(0, 26), &why));
    // A payload byte changed without its checksum following.
    std::string changed = kInfoRequest;
    changed[24] = '\x01';
    EXPECT_FALSE(decode(changed));
}

TEST(StreamSplitter, AFrameInAnyChunkingIsOneFrameAndTheShellGetsTheRest) {
    const std::string line = "\rget_ser_num\r" + kEchoRequest + kInfoRequest + "\rclean_disk ramdisk\r";
    for (const std::size_t chunk :
         {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{27}, line.size()}) {
        SCOPED_TRACE(chunk);
        StreamSplitter s;
        Collected c;
        const auto now = Clock::now();
        for (std::size_t at = 0; at < line.size(); at += chunk) {
            s.feed(std::string_view(line).substr(at, chunk), now, c);
        }
        EXPECT_EQ(c.text_bytes, "\rget_ser_num\r\rclean_disk ramdisk\r");
        ASSERT_EQ(c.frames.size(), 2U);
        EXPECT_EQ(c.frames[0], kEchoRequest);
        EXPECT_EQ(c.frames[1], kInfoRequest);
        EXPECT_TRUE(c.bad.empty());
    }
}

TEST(StreamSplitter, AStartMarkWithoutSyncMarkIsText) {
    StreamSplitter s;
    Collected c;
    const auto now = Clock::now();
    // 02 02 55 starts a frame at the second 02; the first belongs to the shell.
    s.feed(bytes({'a', 0x02, 'b', 0x02}), now, c);
    s.feed(std::string(1, '\x02') + kEchoRequest, now, c);
    EXPECT_EQ(c.text_bytes, bytes({'a', 0x02, 'b', 0x02, 0x02}));
    ASSERT_EQ(c.frames.size(), 1U);
    EXPECT_EQ(c.frames[0], kEchoRequest);
}

TEST(StreamSplitter, ABadFrameIsReportedAndTheNextOneStillCounts) {
    StreamSplitter s;
    Collected c;
    std::string spoilt = kEchoRequest;
    spoilt[24] = '\0';
    s.feed(spoilt + kInfoRequest, Clock::now(), c);
    ASSERT_EQ(c.bad.size(), 1U);
    EXPECT_EQ(c.bad[0], "wrong checksum:" + spoilt);
    ASSERT_EQ(c.frames.size(), 1U);
    EXPECT_EQ(c.frames[0], kInfoRequest);
    EXPECT_TRUE(c.text_bytes.empty());
}

TEST(StreamSplitter, AnImpossibleLengthIsGivenUpAtOnceAndWhatFollowsIsText) {
    for (const unsigned hi_lo : {0x0000U, 0x0013U, 0x03FDU}) {  // 0, 19 and 1021 counted bytes
        StreamSplitter s;
        Collected c;
        s.feed(bytes({0x02, 0x55, hi_lo >> 8, hi_lo & 0xFF}) + "\rx\r", Clock::now(), c);
        EXPECT_EQ(c.bad.size(), 1U);
        EXPECT_EQ(c.text_bytes, "\rx\r");
    }
}

TEST(StreamSplitter, AFrameBrokenOffDoesNotSwallowLaterShellLines) {
    StreamSplitter s;
    Collected c;
    const auto t0 = Clock::now();
    s.feed(kEchoRequest.substr(0, 10), t0, c);
    s.feed("\rget_ser_num\r", t0 + StreamSplitter::kFrameGap + std::chrono::milliseconds{1}, c);
    ASSERT_EQ(c.bad.size(), 1U);
    EXPECT_EQ(c.bad[0], "frame broken off:" + kEchoRequest.substr(0, 10));
    EXPECT_EQ(c.text_bytes, "\rget_ser_num\r");

    // Within the gap the frame simply continues.
    Collected d;
    s.feed(kEchoRequest.substr(0, 10), t0, d);
    s.feed(kEchoRequest.substr(10), t0 + StreamSplitter::kFrameGap, d);
    EXPECT_EQ(d.frames.size(), 1U);
}

}  // namespace
}  // namespace kqsim
