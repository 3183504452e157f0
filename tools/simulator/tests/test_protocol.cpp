// What goes on the line for each request once the fault switches have had their say, and the
// control commands that steer it all at run time.

#include <gtest/gtest.h>

#include <optional>

#include <string>
#include <vector>

#include "control.h"
#include "options.h"
#include "protocol.h"
#include "tests/helpers.h"

namespace kqsim {
namespace {

using std::chrono::milliseconds;

// One write to the line, or the hang-up, with the time the queue let it go.
struct Event {
    milliseconds at;
    std::string bytes;
    bool hang_up = false;
};

class ProtocolTest : public ::testing::Test {
  protected:
    ProtocolTest() : start_(Clock::now()), recorder_(start_) {}

    void make(FaultSettings faults = {}, ResponderSettings settings = {}) {
        protocol_.emplace(settings, faults, out_, recorder_, start_);
    }

    void send(std::uint32_t code, std::string payload = {}, std::uint32_t count = 0) {
        Telegram t;
        t.code = code;
        t.count = count;
        t.payload = std::move(payload);
        t.counter = ++counter_;
        protocol_->receive(encode(t), Clock::now());
    }
    void io() {
        std::string rec(48, '\0');
        send(kRemIo, rec, 1);
    }

    // Lets the queue run for `span` of simulated time, one millisecond at a time.
    // Times count from `base` (now, unless given).
    std::vector<Event> drain(milliseconds span = milliseconds{1000},
                             std::optional<Clock::time_point> from = std::nullopt) {
        std::vector<Event> events;
        const auto base = from.value_or(Clock::now());
        for (milliseconds t{0}; t <= span; ++t) {
            const auto result = out_.pump(base + t, [&](std::string_view b) {
                events.push_back({t, std::string(b)});
                return static_cast<ssize_t>(b.size());
            });
            if (result == OutputQueue::Result::HangUp) {
                events.push_back({t, {}, true});
            }
        }
        return events;
    }

    // Everything written, as one string.
    std::string line() {
        std::string all;
        for (const auto& e : drain()) {
            all += e.bytes;
        }
        return all;
    }

    static std::vector<Telegram> replies(const std::string& line) {
        std::vector<Telegram> out;
        std::size_t at = 0;
        while ((at = line.find("\x02\x55", at)) != std::string::npos) {
            const std::size_t n =
                static_cast<unsigned char>(line[at + 2]) * 256U + static_cast<unsigned char>(line[at + 3]);
            Telegram t;
            t.word_a = get_u32le(line, at + 4);
            t.code = get_u32le(line, at + 16);
            t.count = get_u32le(line, at + 20);
            t.payload = line.substr(at + 24, n - 20);
            out.push_back(t);
            at += n + 7;
        }
        return out;
    }

    Clock::time_point start_;
    OutputQueue out_{0};
    Recorder recorder_;
    std::optional<Protocol> protocol_;
    std::uint16_t counter_ = 0;
};

FaultSettings with(std::initializer_list<std::pair<const char*, const char*>> switches) {
    FaultSettings f;
    std::string error;
    for (const auto& [name, value] : switches) {
        EXPECT_TRUE(set_fault(f, name, value, 0, 0, error)) << name << ": " << error;
    }
    return f;
}

TEST_F(ProtocolTest, FaultsOnTheSameReplyAllShow) {
    make(with({{"garbage", "40"}, {"bad-checksum", "1"}, {"unknown-code", "1"}, {"no-end-mark", "1"}}));
    send(kEcho);
    const std::string l = line();
    ASSERT_EQ(l.size(), 40U + 27U);
    EXPECT_EQ(l.find('\x02'), 40U);  // the noise never holds a start mark
    const auto frame = std::string_view(l).substr(40);
    EXPECT_FALSE(decode(frame));
    EXPECT_EQ(get_u32le(frame, 16), 119U);
    EXPECT_EQ(frame.back(), '\0');
    // Only the checksum bytes are off: with the right ones and the end mark it decodes.
    std::string mended(frame);
    mended.back() = '\x03';
    const auto sum = telegram_checksum(mended.substr(2, 22));
    EXPECT_NE(get_u16le(mended, 24), static_cast<std::uint16_t>((sum >> 8) | (sum << 8)));
    mended[24] = static_cast<char>(sum >> 8);
    mended[25] = static_cast<char>(sum & 0xFF);
    EXPECT_TRUE(decode(mended));
}

TEST_F(ProtocolTest, ASwallowedReplyStillCountsAsAReply) {
    make(with({{"no-reply", "once"}, {"bad-checksum", "2"}}));
    send(kEcho);
    EXPECT_TRUE(line().empty());
    send(kEcho);
    EXPECT_FALSE(decode(line()));
    send(kEcho);
    EXPECT_TRUE(decode(line()));
}

TEST_F(ProtocolTest, IoSwitchesCountOnlyIoExchanges) {
    make(with({{"short-io-reply", "2"}, {"no-reply", "from-io 3"}}));
    io();
    send(kEcho);
    io();
    send(kEcho);
    const auto r = replies(line());
    ASSERT_EQ(r.size(), 4U);
    EXPECT_EQ(r[0].payload.size(), 52U);
    EXPECT_EQ(r[2].code, 102U);
    EXPECT_EQ(r[2].count, 1U);
    EXPECT_EQ(r[2].payload.size(), 48U);  // four short of its count
    // From the third exchange on the controller is mute, for every code.
    io();
    send(kEcho);
    send(kInfoRd, std::string(4, '\0'), 1);
    EXPECT_TRUE(line().empty());
}

TEST_F(ProtocolTest, LoseIoSwallowsABurstOfIoRepliesAndNothingElse) {
    make(with({{"lose-io", "2"}}));
    io();
    send(kEcho);  // other codes are answered in the middle of a burst
    io();
    auto r = replies(line());
    ASSERT_EQ(r.size(), 1U);
    EXPECT_EQ(r[0].code, 101U);
    io();
    r = replies(line());
    ASSERT_EQ(r.size(), 1U);
    EXPECT_EQ(r[0].code, 102U);

    // Set at run time, the burst counts from there; 0 ends one still running.
    std::string error;
    ASSERT_TRUE(protocol_->set_fault("lose-io", "3", error));
    io();
    EXPECT_TRUE(line().empty());
    ASSERT_TRUE(protocol_->set_fault("lose-io", "0", error));
    io();
    EXPECT_EQ(replies(line()).size(), 1U);
}

TEST_F(ProtocolTest, SilentProbeAndStateLeaveTheOtherRequestsAlone) {
    make(with({{"silent-probe", ""}, {"silent-state", ""}}));
    send(kEcho);
    send(kStateRd, std::string(4, '\0'), 1);
    send(kInfoRd, std::string(4, '\0'), 1);
    const auto r = replies(line());
    ASSERT_EQ(r.size(), 1U);
    EXPECT_EQ(r[0].code, 106U);
}

TEST_F(ProtocolTest, LateReplyDelaysTheNamedIoReplyOnly) {
    make(with({{"late-reply", "120:2"}}));
    io();
    auto events = drain();
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].at, milliseconds{0});
    // The delay counts from when the reply was queued, somewhere between these two moments.
    const auto before = Clock::now();
    io();
    const auto queued = std::chrono::ceil<milliseconds>(Clock::now() - before);
    events = drain(milliseconds{1000}, before);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_GE(events[0].at, milliseconds{120});
    EXPECT_LE(events[0].at, milliseconds{120} + queued);
    send(kEcho);
    EXPECT_EQ(drain().at(0).at, milliseconds{0});
}

TEST_F(ProtocolTest, ByteAtATimeWritesEachByteOnItsOwn) {
    make(with({{"byte-at-a-time", ""}}));
    send(kEcho);
    const auto events = drain();
    ASSERT_EQ(events.size(), 27U);
    std::string all;
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].bytes.size(), 1U);
        if (i > 0) {
            EXPECT_GT(events[i].at, events[i - 1].at);
        }
        all += events[i].bytes;
    }
    EXPECT_TRUE(decode(all));
}

TEST_F(ProtocolTest, HangUpFollowsTheNamedIoExchangesReply) {
    make(with({{"hangup-after-io", "2"}}));
    io();
    auto events = drain();
    ASSERT_EQ(events.size(), 1U);
    io();
    events = drain();
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(replies(events[0].bytes).size(), 1U);
    EXPECT_TRUE(events[1].hang_up);
}

TEST_F(ProtocolTest, SwitchesSetAtRunTimeCountFromThere) {
    make();
    for (int i = 0; i < 3; ++i) {
        io();
    }
    line();
    std::string error;
    ASSERT_TRUE(protocol_->set_fault("bad-checksum", "1", error));
    ASSERT_TRUE(protocol_->set_fault("short-io-reply", "2", error));
    send(kEcho);
    EXPECT_FALSE(decode(line()));
    io();
    EXPECT_EQ(replies(line()).at(0).payload.size(), 52U);
    io();
    EXPECT_EQ(replies(line()).at(0).payload.size(), 48U);
}

TEST(FaultSwitches, BadValuesAreRefusedAndChangeNothing) {
    FaultSettings f;
    f.garbage = 3;
    std::string error;
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"bad-checksum", "0"},
                                                          {"bad-checksum", "-1"},
                                                          {"hangup-after-io", "always"},
                                                          {"no-reply", "from-io 0"},
                                                          {"no-reply", "sometimes"},
                                                          {"lose-io", "-1"},
                                                          {"lose-io", "many"},
                                                          {"late-reply", "x"},
                                                          {"late-reply", "100:0"},
                                                          {"garbage", "lots"},
                                                          {"silent-probe", "yes"},
                                                          {"no-such-fault", "1"}}) {
        SCOPED_TRACE(name + " " + value);
        error.clear();
        EXPECT_FALSE(set_fault(f, name, value, 0, 0, error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(f.garbage, 3U);
    EXPECT_TRUE(set_fault(f, "clear", "", 0, 0, error));
    EXPECT_EQ(f.garbage, 0U);
}

TEST_F(ProtocolTest, ControlCommandsSteerTheControllers) {
    make();
    XrecvFaults xrecv;
    const auto run = [&](std::string_view l) { return run_control(l, *protocol_, xrecv, Clock::now()); };
    EXPECT_EQ(run("ext add 1 3").kind, ControlOutcome::Kind::Done);
    EXPECT_TRUE(protocol_->responder().present(1));
    EXPECT_TRUE(protocol_->responder().present(3));
    EXPECT_EQ(run("ext remove 1\r").kind, ControlOutcome::Kind::Done);
    EXPECT_FALSE(protocol_->responder().present(1));
    EXPECT_EQ(run("session 9").kind, ControlOutcome::Kind::Done);
    EXPECT_EQ(protocol_->responder().session(), 9);
    EXPECT_EQ(run("hangup").kind, ControlOutcome::Kind::HangUp);
    EXPECT_EQ(run("fault no-reply from-io 1").kind, ControlOutcome::Kind::Done);
    io();
    EXPECT_TRUE(line().empty());
    EXPECT_EQ(run("fault clear").kind, ControlOutcome::Kind::Done);
    io();
    EXPECT_FALSE(line().empty());
    EXPECT_EQ(run("fault lose-io 1").kind, ControlOutcome::Kind::Done);
    io();
    EXPECT_TRUE(line().empty());
    io();
    EXPECT_FALSE(line().empty());

    for (const char* bad :
         {"ext add 0", "ext add 9", "ext add", "session 65536", "session", "fault", "fault x 1", "reboot"}) {
        SCOPED_TRACE(bad);
        const auto outcome = run(bad);
        EXPECT_EQ(outcome.kind, ControlOutcome::Kind::Error);
        EXPECT_FALSE(outcome.error.empty());
    }
}

TEST(Options, TelegramOptionsParse) {
    const auto parse = test_helpers::parse_words;
    const auto ok =
        parse({"--extensions", "1,3", "--session", "300", "--no-reply", "from-io", "4", "--firmware", "2.11",
               "--hostname", "Lab", "--bad-checksum=always", "--byte-at-a-time"});
    ASSERT_EQ(ok.status, ParseResult::Status::Run) << ok.error;
    EXPECT_EQ(ok.options.responder.extensions.to_ulong(), 0b1010UL);
    EXPECT_EQ(ok.options.responder.session, 300);
    EXPECT_EQ(ok.options.faults.no_reply, FaultSettings::NoReply::FromIo);
    EXPECT_EQ(ok.options.faults.no_reply_from, 4U);
    EXPECT_EQ(ok.options.responder.fw_major, 2);
    EXPECT_EQ(ok.options.responder.fw_minor, 11);
    EXPECT_EQ(ok.options.responder.master_hostname, "Lab");
    EXPECT_TRUE(ok.options.faults.bad_checksum.always);
    EXPECT_TRUE(ok.options.faults.byte_at_a_time);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"--extensions", "0"},
                                                                 {"--extensions", "9"},
                                                                 {"--extensions", "1,"},
                                                                 {"--session", "65536"},
                                                                 {"--hostname", "seventeen-chars-x"},
                                                                 {"--firmware", "1"},
                                                                 {"--silent-probe=on"},
                                                                 {"--late-reply", "1:x"}}) {
        SCOPED_TRACE(bad[0] + (bad.size() > 1 ? " " + bad[1] : ""));
        EXPECT_EQ(parse(bad).status, ParseResult::Status::Error);
    }
}

TEST(Options, LoseIoCountsFromTheStart) {
    const auto lose = test_helpers::parse_words({"--lose-io", "2"});
    ASSERT_EQ(lose.status, ParseResult::Status::Run) << lose.error;
    EXPECT_TRUE(lose.options.faults.loses_io(1));
    EXPECT_TRUE(lose.options.faults.loses_io(2));
    EXPECT_FALSE(lose.options.faults.loses_io(3));
}

}  // namespace
}  // namespace kqsim
