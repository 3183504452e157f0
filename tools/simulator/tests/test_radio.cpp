// The radio behind the Bluetooth requests: what it answers, when, and what the master's state
// record then says about each channel.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "radio.h"

namespace kqsim {
namespace {

using std::chrono::milliseconds;

const BtAddress kPhone{0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01};
const BtAddress kAway{0x00, 0x1A, 0x7D, 0xDA, 0x7F, 0x7F};

Telegram request(std::uint32_t code, std::string payload) {
    Telegram t;
    t.code = code;
    t.count = code == 10 || code == 11 ? 0 : 1;
    t.payload = std::move(payload);
    return t;
}

std::string with_address(std::uint8_t channel, const BtAddress& a) {
    std::string p(1, static_cast<char>(channel));
    p.append(a.begin(), a.end());
    p.push_back('\0');
    return p;
}

std::string channel_only(std::uint8_t channel) {
    return std::string{static_cast<char>(channel), '\0', '\0', '\0'};
}

std::string message(std::uint8_t channel, const std::string& text) {
    std::string p{static_cast<char>(channel), '\0', static_cast<char>(text.size()), '\0'};
    return p + text + std::string(2, '\0');
}

// Reply code, channel and status of a channel reply.
struct Answer {
    std::uint32_t code;
    std::uint16_t channel;
    std::uint16_t status;
    bool operator==(const Answer&) const = default;
};

std::vector<Answer> answers(const std::vector<Telegram>& replies) {
    std::vector<Answer> out;
    for (const Telegram& t : replies) {
        out.push_back({t.code, get_u16le(t.payload, 0), get_u16le(t.payload, 2)});
    }
    return out;
}

class RadioTest : public testing::Test {
  protected:
    RadioTest() : radio(settings()) {}

    static RadioSettings settings() {
        RadioSettings s;
        s.loopback = std::pair{2u, 5u};
        return s;
    }

    // Everything the radio says between now and `ms` later.
    std::vector<Telegram> run(int ms) {
        std::vector<Telegram> all;
        for (int i = 0; i <= ms; ++i) {
            for (Telegram& t : radio.due(t0 + milliseconds(i))) {
                all.push_back(std::move(t));
            }
        }
        t0 += milliseconds(ms);
        return all;
    }

    Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
    Radio radio;
};

TEST_F(RadioTest, ScanReportsEachDeviceInRangeThenItsEnd) {
    radio.serve(request(10, ""), t0);
    EXPECT_TRUE(radio.due(t0).empty());
    EXPECT_EQ(radio.next_wake(), t0 + milliseconds(20));
    const auto replies = run(100);
    ASSERT_EQ(replies.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(replies[i].code, 110u);
        EXPECT_EQ(replies[i].payload.size(), 30u);
        EXPECT_EQ(get_u16le(replies[i].payload, 0), 0);
    }
    EXPECT_EQ(replies[0].payload.substr(2, 6), std::string(kPhone.begin(), kPhone.end()));
    EXPECT_EQ(replies[2].payload.substr(8, 7), "HEADSET");
    EXPECT_EQ(get_u16le(replies[3].payload, 0), 5);

    // A cancel stops what is left and ends the scan at once.
    radio.serve(request(10, ""), t0);
    run(30);
    radio.serve(request(11, ""), t0);
    const auto cancelled = run(200);
    ASSERT_EQ(cancelled.size(), 2u);
    EXPECT_EQ(cancelled[0].code, 111u);
    EXPECT_EQ(cancelled[1].code, 110u);
    EXPECT_EQ(get_u16le(cancelled[1].payload, 0), 5);
}

TEST_F(RadioTest, ConnectionsSucceedOnlyToDevicesInRange) {
    radio.serve(request(12, with_address(2, kPhone)), t0);
    radio.serve(request(12, with_address(3, kAway)), t0);
    radio.serve(request(12, with_address(2, kPhone)), t0);
    EXPECT_EQ(answers(run(200)), (std::vector<Answer>{{112, 2, 1}, {112, 2, 0}, {112, 3, 3}}));
    EXPECT_EQ(radio.status_byte(2), 2);
    EXPECT_EQ(radio.status_byte(3), 0);
    // Connecting while the radio scans finds it busy.
    radio.serve(request(10, ""), t0);
    radio.serve(request(12, with_address(4, kPhone)), t0);
    EXPECT_EQ(answers(radio.due(t0)), (std::vector<Answer>{{112, 4, 5}}));
    run(200);

    radio.serve(request(13, channel_only(2)), t0);
    radio.serve(request(13, channel_only(3)), t0);
    EXPECT_EQ(answers(run(100)), (std::vector<Answer>{{113, 3, 3}, {113, 2, 0}}));
    EXPECT_EQ(radio.status_byte(2), 0);
    // A request for a channel the relay does not have, or with a wrong payload, is not answered.
    radio.serve(request(13, channel_only(9)), t0);
    radio.serve(request(12, channel_only(2)), t0);
    EXPECT_TRUE(run(200).empty());
}

TEST_F(RadioTest, ListenReadAndTheLoopbackPair) {
    radio.serve(request(12, with_address(2, kPhone)), t0);
    radio.serve(request(17, with_address(5, kPhone)), t0);
    radio.serve(request(17, with_address(6, kAway)), t0);
    EXPECT_EQ(answers(run(300)),
              (std::vector<Answer>{{117, 5, 0}, {117, 6, 0}, {112, 2, 0}, {117, 5, 11}}));
    EXPECT_EQ(radio.status_byte(5), 2 | 8);
    EXPECT_EQ(radio.status_byte(6), 8);  // nobody out of range calls

    radio.serve(request(15, channel_only(5)), t0);
    radio.serve(request(14, message(2, "hello")), t0);
    const auto replies = run(100);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(answers(replies), (std::vector<Answer>{{115, 5, 0}, {114, 2, 0}, {115, 5, 10}}));
    EXPECT_EQ(get_u16le(replies[2].payload, 4), 5);
    EXPECT_EQ(replies[2].payload.substr(6), "hello");
    EXPECT_EQ(radio.status_byte(5), 2 | 8 | 16);

    // Channel 2 does not read: what 5 writes is lost; a write on an unconnected channel fails.
    radio.serve(request(14, message(5, "back")), t0);
    radio.serve(request(14, message(7, "x")), t0);
    EXPECT_EQ(answers(run(100)), (std::vector<Answer>{{114, 5, 0}, {114, 7, 3}}));
    // A length that does not match the payload is not answered.
    std::string bad = message(2, "abc");
    bad[2] = 9;
    radio.serve(request(14, bad), t0);
    EXPECT_TRUE(run(100).empty());

    radio.serve(request(16, channel_only(5)), t0);
    radio.serve(request(18, channel_only(5)), t0);
    EXPECT_EQ(answers(run(50)), (std::vector<Answer>{{116, 5, 0}, {118, 5, 0}}));
    EXPECT_EQ(radio.status_byte(5), 2);
}

TEST_F(RadioTest, AListenSwitchedOffBeforeTheCallGetsNoCall) {
    radio.serve(request(17, with_address(4, kPhone)), t0);
    EXPECT_EQ(answers(run(50)), (std::vector<Answer>{{117, 4, 0}}));
    radio.serve(request(18, channel_only(4)), t0);
    EXPECT_EQ(answers(run(300)), (std::vector<Answer>{{118, 4, 0}}));
    EXPECT_EQ(radio.status_byte(4), 0);
}

TEST(RadioAddress, TextAndBytes) {
    EXPECT_EQ(parse_bt_address("00:1a:7D:DA:72:01"), kPhone);
    EXPECT_EQ(bt_address_text(kPhone), "00:1A:7D:DA:72:01");
    EXPECT_FALSE(parse_bt_address("00:1A:7D:DA:72"));
    EXPECT_FALSE(parse_bt_address("00-1A-7D-DA-72-01"));
    EXPECT_FALSE(parse_bt_address("00:1A:7D:DA:72:0G"));
}

}  // namespace
}  // namespace kqsim
