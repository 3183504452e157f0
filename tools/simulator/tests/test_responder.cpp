// The controllers' answers: record layouts at the offsets the client reads, inputs that move,
// commands that are carried out after the command delay, extensions that come and go.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "responder.h"

namespace kqsim {
namespace {

using std::chrono::milliseconds;

std::string indexes(std::initializer_list<std::uint32_t> ks) {
    std::string s;
    for (const auto k : ks) {
        append_u32le(s, k);
    }
    return s;
}

Telegram request(std::uint32_t code, std::uint32_t count, std::string payload, std::uint16_t counter = 5) {
    Telegram t;
    t.code = code;
    t.count = count;
    t.payload = std::move(payload);
    t.counter = counter;
    return t;
}

// One I/O request record: index, then the 44-byte output image with the two id arrays set.
std::string io_record(std::uint32_t k, std::array<std::uint16_t, 4> reset_ids = {},
                      std::array<std::uint16_t, 4> motor_ids = {}) {
    std::string r = indexes({k});
    std::string out(44, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        put_u16le(out, 2 * i, reset_ids[i]);
        put_u16le(out, 36 + 2 * i, motor_ids[i]);
    }
    return r + out;
}

struct Input {
    std::array<std::int16_t, 8> values;
    std::array<std::uint8_t, 4> counter_inputs;
    std::array<std::int16_t, 4> counters;
    std::array<std::uint16_t, 4> reset_ids;
    std::array<std::uint16_t, 4> motor_ids;
};

Input input_at(const std::string& payload, std::size_t record) {
    const std::string_view d = std::string_view(payload).substr(record * 52 + 4, 48);
    Input in{};
    for (std::size_t i = 0; i < 8; ++i) {
        in.values[i] = static_cast<std::int16_t>(get_u16le(d, 2 * i));
    }
    for (std::size_t i = 0; i < 4; ++i) {
        in.counter_inputs[i] = static_cast<std::uint8_t>(d[16 + i]);
        in.counters[i] = static_cast<std::int16_t>(get_u16le(d, 20 + 2 * i));
        in.reset_ids[i] = get_u16le(d, 32 + 2 * i);
        in.motor_ids[i] = get_u16le(d, 40 + 2 * i);
    }
    return in;
}

class ResponderTest : public ::testing::Test {
  protected:
    ResponderTest() : start_(Clock::now()) {}

    Responder make(ResponderSettings s = {}) { return Responder(s, start_); }
    Clock::time_point at(long ms) const { return start_ + milliseconds{ms}; }

    Clock::time_point start_;
};

TEST_F(ResponderTest, RepliesCarryTheRequestCounterTheSessionAndCodePlus100) {
    ResponderSettings s;
    s.session = 0x4321;
    Responder r = make(s);
    const auto reply = r.answer(request(kEcho, 0, {}, 0xABCD), at(0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, 101U);
    EXPECT_EQ(reply->counter, 0xABCD);
    EXPECT_EQ(reply->session, 0x4321);
    EXPECT_EQ(reply->count, 0U);
    EXPECT_TRUE(reply->payload.empty());
}

TEST_F(ResponderTest, InformationRecordHasEveryFieldAtItsOffset) {
    ResponderSettings s;
    s.extensions.set(2);
    s.fw_major = 2;
    s.fw_minor = 7;
    Responder r = make(s);
    const auto reply = r.answer(request(kInfoRd, 2, indexes({0, 2})), at(0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, 106U);
    ASSERT_EQ(reply->count, 2U);
    ASSERT_EQ(reply->payload.size(), 2 * kInfoReplyRecord);
    const std::string_view p = reply->payload;
    EXPECT_EQ(get_u32le(p, 0), 0U);
    EXPECT_EQ(p.substr(4, 17), std::string("VORI-KQ-M") + std::string(8, '\0'));
    EXPECT_EQ(p.substr(4 + 17, 19), std::string("00:1A:7D:DA:71:00") + std::string(2, '\0'));
    EXPECT_EQ(get_u32le(p, 4 + 36), 0x2000F000U);
    EXPECT_EQ(get_u32le(p, 4 + 40), 0x20010000U);
    EXPECT_EQ(get_u32le(p, 4 + 44), 0x00030000U);
    EXPECT_EQ(p[4 + 48], 'B');
    EXPECT_EQ(p.substr(4 + 53, 3), std::string("\x03\x02\x07"));
    EXPECT_EQ(get_u32le(p, 68), 2U);
    EXPECT_EQ(p.substr(68 + 4, 11), std::string("VORI-KQ-S2") + '\0');
    EXPECT_EQ(p.substr(68 + 4 + 17, 18), std::string("00:1A:7D:DA:71:02") + '\0');
}

TEST_F(ResponderTest, AbsentControllersAreLeftOutOfEveryReply) {
    ResponderSettings s;
    s.extensions.set(3);
    Responder r = make(s);
    const auto info = r.answer(request(kInfoRd, 4, indexes({0, 1, 3, 9})), at(0));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->count, 2U);
    EXPECT_EQ(get_u32le(info->payload, 0), 0U);
    EXPECT_EQ(get_u32le(info->payload, 68), 3U);

    const auto io = r.answer(request(kRemIo, 3, io_record(0) + io_record(1) + io_record(3)), at(0));
    ASSERT_TRUE(io);
    EXPECT_EQ(io->count, 2U);
    EXPECT_EQ(io->payload.size(), 2 * kIoReplyRecord);
    EXPECT_EQ(get_u32le(io->payload, 52), 3U);
}

TEST_F(ResponderTest, MasterStateShowsTheExtensionsAsTheyComeAndGo) {
    ResponderSettings s;
    s.extensions.set(1);
    s.extensions.set(3);
    Responder r = make(s);
    const auto ext_state = [&]() {
        const auto reply = r.answer(request(kStateRd, 1, indexes({0})), at(0));
        EXPECT_TRUE(reply);
        EXPECT_EQ(reply->payload.size(), kStateReplyRecord);
        return reply->payload.substr(4, 8);
    };
    EXPECT_EQ(ext_state(), std::string("\1\0\1\0\0\0\0\0", 8));
    EXPECT_TRUE(r.remove_extension(3));
    EXPECT_TRUE(r.add_extension(8, at(10)));
    EXPECT_FALSE(r.add_extension(8, at(10)));
    EXPECT_FALSE(r.add_extension(0, at(10)));
    EXPECT_FALSE(r.remove_extension(3));
    EXPECT_EQ(ext_state(), std::string("\1\0\0\0\0\0\0\1", 8));

    // An extension reports no extensions of its own.
    const auto ext = r.answer(request(kStateRd, 1, indexes({8})), at(0));
    ASSERT_TRUE(ext);
    EXPECT_EQ(ext->payload, indexes({8}) + std::string(24, '\0'));
}

TEST_F(ResponderTest, InputsMoveAndCountersCountWithTime) {
    Responder r = make();
    const auto io_at = [&](long ms) {
        const auto reply = r.answer(request(kRemIo, 1, io_record(0)), at(ms));
        EXPECT_TRUE(reply);
        return input_at(reply->payload, 0);
    };
    const Input a = io_at(0);
    const Input b = io_at(1000);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_NE(a.values[i], b.values[i]) << "input " << i;
        EXPECT_GE(b.values[i], 0);
        EXPECT_LE(b.values[i], 5000);
    }
    // Counter i counts once per 50 ms * (i + 1).
    EXPECT_EQ(a.counters, (std::array<std::int16_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(b.counters, (std::array<std::int16_t, 4>{20, 10, 6, 5}));
    // No two inputs read alike, so a client that mixes them up shows it.
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t j = i + 1; j < 8; ++j) {
            EXPECT_NE(b.values[i], b.values[j]);
        }
    }
    // Within one 100 ms step the inputs hold still.
    EXPECT_EQ(io_at(1010).values, io_at(1090).values);
}

TEST_F(ResponderTest, AConfiguredDigitalInputReadsZeroOrOne) {
    Responder r = make();
    std::string config = indexes({0}) + std::string(48, '\0');
    config[4 + 4 + 2] = static_cast<char>(0x81);  // input 2: mode 1, digital
    ASSERT_TRUE(r.answer(request(kRemConfigWr, 1, config), at(0)));
    bool seen[2] = {false, false};
    std::int16_t highest_other = 0;
    for (long ms = 0; ms < 3000; ms += 100) {
        const auto reply = r.answer(request(kRemIo, 1, io_record(0)), at(ms));
        ASSERT_TRUE(reply);
        const Input in = input_at(reply->payload, 0);
        ASSERT_TRUE(in.values[2] == 0 || in.values[2] == 1) << in.values[2];
        seen[in.values[2] == 1] = true;
        highest_other = std::max({highest_other, in.values[1], in.values[3]});
    }
    EXPECT_TRUE(seen[0] && seen[1]);
    EXPECT_GT(highest_other, 1);  // the others stay analog
}

TEST_F(ResponderTest, CommandIdsFollowTheOutputsAfterTheDelay) {
    ResponderSettings s;
    s.cmd_delay = milliseconds{30};
    Responder r = make(s);
    const auto io_at = [&](long ms, std::array<std::uint16_t, 4> reset, std::array<std::uint16_t, 4> motor) {
        const auto reply = r.answer(request(kRemIo, 1, io_record(0, reset, motor)), at(ms));
        EXPECT_TRUE(reply);
        return input_at(reply->payload, 0);
    };
    const Input before = io_at(1000, {0, 0, 7, 0}, {0, 0, 0, 42});
    EXPECT_EQ(before.reset_ids[2], 0);
    EXPECT_EQ(before.motor_ids[3], 0);
    EXPECT_EQ(before.counters[2], 6);
    const Input still = io_at(1020, {0, 0, 7, 0}, {0, 0, 0, 42});
    EXPECT_EQ(still.reset_ids[2], 0);
    EXPECT_EQ(still.motor_ids[3], 0);
    const Input done = io_at(1030, {0, 0, 7, 0}, {0, 0, 0, 42});
    EXPECT_EQ(done.reset_ids, (std::array<std::uint16_t, 4>{0, 0, 7, 0}));
    EXPECT_EQ(done.motor_ids, (std::array<std::uint16_t, 4>{0, 0, 0, 42}));
    // The reset took effect when it was carried out: counter 2 starts again from 0 there, the
    // others count on undisturbed.
    EXPECT_EQ(done.counters[2], 0);
    EXPECT_EQ(done.counters[0], 20);
    EXPECT_EQ(io_at(1030 + 450, {0, 0, 7, 0}, {0, 0, 0, 42}).counters[2], 3);
    // The same id again is no new order.
    EXPECT_EQ(io_at(1030 + 600, {0, 0, 7, 0}, {0, 0, 0, 42}).counters[2], 4);
}

TEST_F(ResponderTest, AResetSeenLateStillCountsFromWhenItWasCarriedOut) {
    Responder r = make();  // command delay 30 ms
    const auto counter0_at = [&](long ms, std::uint16_t id) {
        const auto reply = r.answer(request(kRemIo, 1, io_record(0, {id, 0, 0, 0})), at(ms));
        EXPECT_TRUE(reply);
        return input_at(reply->payload, 0).counters[0];
    };
    EXPECT_EQ(counter0_at(1000, 1), 20);
    // Carried out at 1030, next asked at 1140: two 50 ms periods have passed since.
    EXPECT_EQ(counter0_at(1140, 1), 2);
}

TEST_F(ResponderTest, ANewerIdReplacesAnOrderNotYetCarriedOut) {
    Responder r = make();
    const auto reset_id_at = [&](long ms, std::uint16_t id) {
        const auto reply = r.answer(request(kRemIo, 1, io_record(0, {id, 0, 0, 0})), at(ms));
        EXPECT_TRUE(reply);
        return input_at(reply->payload, 0).reset_ids[0];
    };
    EXPECT_EQ(reset_id_at(0, 1), 0);
    EXPECT_EQ(reset_id_at(20, 2), 0);
    EXPECT_EQ(reset_id_at(40, 2), 0);  // 1 would have been due now
    EXPECT_EQ(reset_id_at(50, 2), 2);
}

TEST_F(ResponderTest, WrittenHostNameShowsInLaterInformation) {
    Responder r = make();
    const auto info_wr = [&](std::string field) {
        field.resize(20, '\0');  // 17-byte name field and 3 padding bytes
        return r.answer(request(kInfoWr, 1, indexes({0}) + field), at(0));
    };
    const auto wr = info_wr("Bench-7");
    ASSERT_TRUE(wr);
    EXPECT_EQ(wr->code, 109U);
    EXPECT_EQ(wr->payload, indexes({0}));
    EXPECT_EQ(r.hostname(0), "Bench-7");
    const auto info = r.answer(request(kInfoRd, 1, indexes({0})), at(0));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->payload.substr(4, 8), std::string("Bench-7") + '\0');

    // A full field without terminator holds 16 characters; an empty name changes nothing.
    ASSERT_TRUE(info_wr(std::string(17, 'x')));
    EXPECT_EQ(r.hostname(0), std::string(16, 'x'));
    ASSERT_TRUE(info_wr(""));
    EXPECT_EQ(r.hostname(0), std::string(16, 'x'));
}

TEST_F(ResponderTest, WritesAreAcknowledgedWithIndexRecords) {
    ResponderSettings s;
    s.extensions.set(1);
    Responder r = make(s);
    std::string config = indexes({0}) + std::string(48, '\x11') + indexes({1}) + std::string(48, '\x22');
    const auto cw = r.answer(request(kRemConfigWr, 2, config), at(0));
    ASSERT_TRUE(cw);
    EXPECT_EQ(cw->code, 105U);
    EXPECT_EQ(cw->count, 2U);
    EXPECT_EQ(cw->payload, indexes({0, 1}));
    // What was written reads back per controller.
    const auto cr = r.answer(request(kRemConfigRd, 1, indexes({1})), at(0));
    ASSERT_TRUE(cr);
    EXPECT_EQ(cr->payload, indexes({1}) + std::string(48, '\x22'));

    const auto mw = r.answer(request(kMsgWr, 1, indexes({1}) + std::string(100, '\0')), at(0));
    ASSERT_TRUE(mw);
    EXPECT_EQ(mw->code, 108U);
    EXPECT_EQ(mw->payload, indexes({1}));
}

TEST_F(ResponderTest, RequestsItCannotServeGetNoReply) {
    Responder r = make();
    // Payloads that do not make whole records.
    EXPECT_FALSE(r.answer(request(kInfoRd, 2, indexes({0})), at(0)));
    EXPECT_FALSE(r.answer(request(kRemIo, 1, io_record(0) + "x"), at(0)));
    EXPECT_FALSE(r.answer(request(kInfoWr, 1, indexes({0})), at(0)));
    // Unknown codes and the Bluetooth requests.
    EXPECT_FALSE(r.answer(request(0, 0, {}), at(0)));
    EXPECT_FALSE(r.answer(request(19, 0, {}), at(0)));
    EXPECT_FALSE(r.answer(request(12, 1, std::string(8, '\0')), at(0)));
}

TEST_F(ResponderTest, SessionIdChangesAfterTheGivenNumberOfReplies) {
    ResponderSettings s;
    s.session = 0xFFFF;
    s.session_change_after = 2;
    Responder r = make(s);
    std::vector<std::uint16_t> seen;
    // Requests it does not answer do not count.
    EXPECT_FALSE(r.answer(request(19, 0, {}), at(0)));
    for (int i = 0; i < 4; ++i) {
        seen.push_back(r.answer(request(kEcho, 0, {}), at(0))->session);
    }
    // Past 65535 the next id is 1: 0 is what a client holds before it has heard any.
    EXPECT_EQ(seen, (std::vector<std::uint16_t>{0xFFFF, 0xFFFF, 1, 1}));
    r.set_session(9);
    EXPECT_EQ(r.answer(request(kEcho, 0, {}), at(0))->session, 9);
}

TEST_F(ResponderTest, AnExtensionComingBackStartsAfreshButKeepsItsName) {
    ResponderSettings s;
    s.extensions.set(4);
    Responder r = make(s);
    std::string name = "Renamed";
    name.resize(20, '\0');
    ASSERT_TRUE(r.answer(request(kInfoWr, 1, indexes({4}) + name), at(0)));
    ASSERT_TRUE(r.remove_extension(4));
    ASSERT_TRUE(r.add_extension(4, at(5000)));
    const auto io = r.answer(request(kRemIo, 1, io_record(4)), at(5000));
    ASSERT_TRUE(io);
    EXPECT_EQ(input_at(io->payload, 0).counters, (std::array<std::int16_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(r.hostname(4), "Renamed");
}

}  // namespace
}  // namespace kqsim
