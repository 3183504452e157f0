// What goes on the line for each request once the fault switches have had their say, and the
// control commands that steer it all at run time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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
            t.session = get_u16le(line, at + 14);
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
               "--hostname", "Lab", "--bad-checksum=always", "--byte-at-a-time", "--lose-io", "2"});
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
    EXPECT_EQ(ok.options.faults.lose_io, 2U);
    EXPECT_TRUE(ok.options.faults.loses_io(1));
    EXPECT_TRUE(ok.options.faults.loses_io(2));
    EXPECT_FALSE(ok.options.faults.loses_io(3));

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

// ---- Random faults -------------------------------------------------------------------------------

FaultSettings random_faults(const char* rates, const char* seed = "1") {
    return with({{"random-faults", rates}, {"seed", seed}});
}

// What one reply did on the line: the writes it took and when the first one went.
struct Answer {
    bool answered = false;
    milliseconds delay{};
    std::vector<std::string> writes;
    std::string all() const {
        std::string s;
        for (const auto& w : writes) {
            s += w;
        }
        return s;
    }
};

class RandomFaultTest : public ProtocolTest {
  protected:
    // Every fault is recorded with what was drawn for it; the record is where a test reads the
    // draws, since the times the queue lets replies go depend on how fast the machine runs.
    RandomFaultTest() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "kqsim_random_" + info->name() + ".rec";
        std::remove(path_.c_str());
        std::string error;
        EXPECT_TRUE(recorder_.open(path_, error)) << error;
    }
    ~RandomFaultTest() override { std::remove(path_.c_str()); }

    // The record's lines (without times) that start with `word`, from line `from` on.
    std::vector<std::string> lines(const std::string& word, std::size_t from = 0) const {
        std::vector<std::string> out;
        const auto all = test_helpers::record_lines(path_);
        for (std::size_t i = from; i < all.size(); ++i) {
            if (all[i].starts_with(word + " ")) {
                out.push_back(all[i].substr(word.size() + 1));
            }
        }
        return out;
    }
    std::size_t recorded() const { return test_helpers::record_lines(path_).size(); }

    std::string path_;
    // The milliseconds of each "late ... <n>ms" (or late-config) fault line.
    std::vector<long> drawn(const std::string& kind) const {
        std::vector<long> ms;
        for (const auto& l : lines("fault")) {
            if (l.starts_with(kind + " ")) {
                ms.push_back(std::stol(l.substr(l.rfind(' ') + 1)));
            }
        }
        return ms;
    }

    void config(std::uint32_t k = 0) {
        std::string rec;
        append_u32le(rec, k);
        rec += std::string(48, '\x11');
        send(kRemConfigWr, rec, 1);
    }
    // Sends one request with `fn` and lets its answer out, up to 500 ms.
    template <typename Fn>
    Answer ask(Fn&& fn) {
        const auto before = Clock::now();
        fn();
        Answer a;
        const auto events = drain(milliseconds{500}, before);
        a.answered = !events.empty();
        if (a.answered) {
            a.delay = events.front().at;
        }
        for (const auto& e : events) {
            a.writes.push_back(e.bytes);
        }
        return a;
    }
    // A mix of requests: I/O exchanges, configuration writes and probes.
    std::vector<Answer> mix(int n) {
        std::vector<Answer> out;
        for (int i = 0; i < n; ++i) {
            out.push_back(i % 5 == 3   ? ask([&] { config(); })
                          : i % 7 == 6 ? ask([&] { send(kEcho); })
                                       : ask([&] { io(); }));
        }
        return out;
    }
};

TEST_F(RandomFaultTest, TheSameSeedGivesTheSameFaults) {
    make(random_faults("150", "42"));
    const auto first = mix(150);
    const auto tally = protocol_->tally();
    const auto session = protocol_->responder().session();
    const auto firstFaults = lines("fault");
    for (const auto count : tally.injected) {
        EXPECT_GT(count, 0U);  // every kind struck at this rate
    }

    counter_ = 0;
    std::size_t mark = recorded();
    make(random_faults("150", "42"));
    const auto second = mix(150);
    // The same faults, with the same draws, on the same replies.
    EXPECT_EQ(lines("fault", mark), firstFaults);
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(first[i].answered, second[i].answered);
        EXPECT_EQ(first[i].writes.size(), second[i].writes.size());
        EXPECT_EQ(first[i].all().size(), second[i].all().size());
    }
    EXPECT_EQ(protocol_->tally().injected, tally.injected);
    EXPECT_EQ(protocol_->tally().lost_replies, tally.lost_replies);
    EXPECT_EQ(protocol_->responder().session(), session);

    counter_ = 0;
    mark = recorded();
    make(random_faults("150", "43"));
    mix(150);
    EXPECT_NE(lines("fault", mark), firstFaults);

    // "fault seed N" at run time starts the draws over.
    counter_ = 0;
    mark = recorded();
    make(random_faults("150", "7"));
    std::string error;
    ASSERT_TRUE(protocol_->set_fault("seed", "42", error));
    mix(150);
    EXPECT_EQ(lines("fault", mark), firstFaults);
}

TEST_F(RandomFaultTest, LostRepliesComeInBurstsOfOneToThreeIoRepliesOnly) {
    make(random_faults("lose=1000", "5"));
    std::vector<bool> answered;
    for (int i = 0; i < 60; ++i) {
        answered.push_back(ask([&] { io(); }).answered);
        // Nothing but I/O replies is lost.
        EXPECT_TRUE(ask([&] { send(kEcho); }).answered);
        EXPECT_TRUE(ask([&] { config(); }).answered);
    }
    std::vector<int> runs;
    int run = 0;
    for (const bool a : answered) {
        if (!a) {
            ++run;
        } else if (run != 0) {
            runs.push_back(run);
            run = 0;
        }
    }
    // At rate 1000 a burst starts whenever it may: one reply goes out after each burst.
    for (std::size_t i = 0; i + 1 < answered.size(); ++i) {
        EXPECT_FALSE(answered[i] && answered[i + 1]) << i;
    }
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(*std::min_element(runs.begin(), runs.end()), 1);
    EXPECT_EQ(*std::max_element(runs.begin(), runs.end()), 3);
    const auto& t = protocol_->tally();
    EXPECT_EQ(t[RandomKind::Lose], runs.size() + (run != 0 ? 1 : 0));
    EXPECT_EQ(t.lost_replies,
              static_cast<std::uint64_t>(std::count(answered.begin(), answered.end(), false)));
    EXPECT_GE(protocol_->longest_silence(), milliseconds{0});
}

TEST_F(RandomFaultTest, LateRepliesMostlyWithinTheRepeatTimeSometimesBeyond) {
    make(random_faults("late=1000", "11"));
    std::vector<milliseconds> measured;
    for (int i = 0; i < 100; ++i) {
        const Answer a = ask([&] { send(kEcho); });
        ASSERT_TRUE(a.answered);
        EXPECT_TRUE(decode(a.all()));
        measured.push_back(a.delay);
    }
    const auto ms = drawn("late");
    ASSERT_EQ(ms.size(), 100U);
    long beyond = 0;
    for (std::size_t i = 0; i < ms.size(); ++i) {
        EXPECT_TRUE((ms[i] >= 1 && ms[i] <= 180) || (ms[i] >= 200 && ms[i] <= 400)) << ms[i];
        beyond += ms[i] >= 200 ? 1 : 0;
        // The reply waited at least that long (a busy machine may add to it).
        EXPECT_GE(measured[i], milliseconds{ms[i]});
    }
    EXPECT_EQ(protocol_->tally()[RandomKind::Late], 100U);
    EXPECT_EQ(protocol_->tally().late_beyond, static_cast<std::uint64_t>(beyond));
    EXPECT_GT(beyond, 5);
    EXPECT_LT(beyond, 40);
}

TEST_F(RandomFaultTest, LateConfigDelaysOnlyConfigurationWrites) {
    make(random_faults("late-config=1000", "3"));
    std::vector<milliseconds> measured;
    for (int i = 0; i < 20; ++i) {
        const Answer c = ask([&] { config(); });
        ASSERT_TRUE(c.answered);
        measured.push_back(c.delay);
        EXPECT_TRUE(ask([&] { io(); }).answered);
    }
    const auto ms = drawn("late-config");
    ASSERT_EQ(ms.size(), 20U);
    for (std::size_t i = 0; i < ms.size(); ++i) {
        EXPECT_GE(ms[i], 50);
        EXPECT_LE(ms[i], 400);
        EXPECT_GE(measured[i], milliseconds{ms[i]});
    }
    // Only the configuration replies were struck.
    for (const auto& l : lines("fault")) {
        EXPECT_TRUE(l.starts_with("late-config 5 ")) << l;
    }
    EXPECT_EQ(protocol_->tally()[RandomKind::LateConfig], 20U);
    EXPECT_EQ(protocol_->tally()[RandomKind::Late], 0U);
}

TEST_F(RandomFaultTest, GarbageSplitAndSessionChangeLeaveTheFrameWhole) {
    make(random_faults("garbage=1000", "8"));
    for (int i = 0; i < 20; ++i) {
        const std::string l = ask([&] { io(); }).all();
        const std::size_t start = l.find('\x02');
        ASSERT_GE(start, 1U);
        ASSERT_LE(start, 32U);
        EXPECT_TRUE(decode(std::string_view(l).substr(start)));
    }

    make(random_faults("split=1000", "9"));
    std::size_t threes = 0;
    for (int i = 0; i < 20; ++i) {
        const Answer a = ask([&] { io(); });
        ASSERT_GE(a.writes.size(), 2U);
        ASSERT_LE(a.writes.size(), 3U);
        threes += a.writes.size() == 3 ? 1U : 0U;
        EXPECT_TRUE(decode(a.all()));
    }
    EXPECT_GT(threes, 0U);

    make(random_faults("session=1000", "10"));
    std::uint16_t last = protocol_->responder().session();
    for (int i = 0; i < 10; ++i) {
        const auto r = replies(ask([&] { io(); }).all());
        ASSERT_EQ(r.size(), 1U);
        // The reply already carries the id the controller takes now.
        EXPECT_NE(r[0].session, last);
        EXPECT_EQ(r[0].session, protocol_->responder().session());
        last = r[0].session;
    }
    EXPECT_EQ(protocol_->tally()[RandomKind::Session], 10U);
}

TEST_F(RandomFaultTest, TheReportTellsTheFaultsAndWhatEachControllerHolds) {
    ResponderSettings settings;
    settings.extensions.set(2);
    make(random_faults("lose=1000", "4"), settings);
    for (int i = 0; i < 6; ++i) {
        ask([&] { io(); });
    }
    config(2);
    std::string msg;
    append_u32le(msg, 0);
    msg += std::string("\0hello", 6) + std::string(94, '\0');
    ask([&] { send(kMsgWr, msg, 1); });
    XrecvFaults xrecv;
    ASSERT_EQ(run_control("report", *protocol_, xrecv, Clock::now()).kind, ControlOutcome::Kind::Done);

    std::vector<std::string> report;
    std::size_t faults = 0;
    for (const auto& line : test_helpers::record_lines(path_)) {
        if (line.starts_with("report ")) {
            report.push_back(line.substr(7));
        }
        faults += line.starts_with("fault ") ? 1U : 0U;
    }
    const auto& t = protocol_->tally();
    EXPECT_EQ(faults, t.lost_replies);
    ASSERT_EQ(report.size(), 6U);
    EXPECT_EQ(report[0], "seed 4 rates lose=1000,late=0,late-config=0,garbage=0,split=0,session=0");
    EXPECT_EQ(report[1], "faults lose=" + std::to_string(t[RandomKind::Lose]) +
                             " lost-replies=" + std::to_string(t.lost_replies) +
                             " late=0 late-beyond=0 late-config=0 garbage=0 split=0 session=0");
    EXPECT_TRUE(report[2].starts_with("replies ")) << report[2];
    EXPECT_EQ(report[3], "held 0 config - resets 0,0,0,0 motors 0,0,0,0 display 'hello'");
    EXPECT_EQ(report[4],
              "held 2 config " + std::string(96, '1') + " resets 0,0,0,0 motors 0,0,0,0 display ''");
    EXPECT_EQ(report[5], "end");
}

TEST(Options, RandomFaultsAndSeedParse) {
    const auto parse = test_helpers::parse_words;
    const auto all = parse({"--random-faults", "7"});
    ASSERT_EQ(all.status, ParseResult::Status::Run) << all.error;
    EXPECT_EQ(all.options.faults.random[RandomKind::Session], 7U);
    EXPECT_EQ(all.options.faults.random[RandomKind::Lose], 7U);
    EXPECT_FALSE(all.options.seed_given);

    const auto some = parse({"--random-faults=lose=5,late-config=300", "--seed", "18446744073709551615"});
    ASSERT_EQ(some.status, ParseResult::Status::Run) << some.error;
    EXPECT_EQ(some.options.faults.random[RandomKind::Lose], 5U);
    EXPECT_EQ(some.options.faults.random[RandomKind::LateConfig], 300U);
    EXPECT_EQ(some.options.faults.random[RandomKind::Late], 0U);
    EXPECT_EQ(some.options.faults.seed, 18446744073709551615ULL);
    EXPECT_TRUE(some.options.seed_given);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"--random-faults", "1001"},
                                                                 {"--random-faults", "lose=1001"},
                                                                 {"--random-faults", "lose="},
                                                                 {"--random-faults", "lose=1,"},
                                                                 {"--random-faults", "often=1"},
                                                                 {"--random-faults", ""},
                                                                 {"--seed", "x"},
                                                                 {"--seed", "-1"}}) {
        SCOPED_TRACE(bad[0] + " " + bad[1]);
        EXPECT_EQ(parse(bad).status, ParseResult::Status::Error);
    }
}

}  // namespace
}  // namespace kqsim
