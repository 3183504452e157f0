// The receive side of Kolv.X1: frames fed in any chunking, the discard rules with their log lines,
// and the reply check with its session id and wake-up rules.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/events.h"
#include "base/log.h"
#include "serial/parser.h"
#include "serial/receive.h"
#include "serial/telegram.h"
#include "support/lib_fixture.h"
#include "support/temp_dir.h"
#include "transfer/engine.h"
#include "transfer/replies.h"
#include "transfer/request_table.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Frames counted bytes the way the controller does, independently of the library's own framing.
Bytes frameCounted(const Bytes& counted, std::uint8_t etx = 0x03) {
    Bytes out{0x02, 0x55, static_cast<std::uint8_t>(counted.size() >> 8),
              static_cast<std::uint8_t>(counted.size() & 0xFF)};
    out.insert(out.end(), counted.begin(), counted.end());
    unsigned sum = 0;
    for (std::size_t i = 2; i < out.size(); ++i) {
        sum += out[i];
    }
    const unsigned checksum = (0x10000u - (sum & 0xFFFFu)) & 0xFFFFu;
    out.push_back(static_cast<std::uint8_t>(checksum >> 8));
    out.push_back(static_cast<std::uint8_t>(checksum & 0xFF));
    out.push_back(etx);
    return out;
}

void putLe(Bytes& b, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

Bytes reply(std::uint32_t code, std::uint16_t counter, std::uint16_t session, std::uint32_t count = 0,
            const Bytes& payload = {}) {
    Bytes counted;
    putLe(counted, 2, 4);
    putLe(counted, 1, 4);
    putLe(counted, counter, 2);
    putLe(counted, session, 2);
    putLe(counted, code, 4);
    putLe(counted, count, 4);
    counted.insert(counted.end(), payload.begin(), payload.end());
    return frameCounted(counted);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void feed(const Bytes& bytes) {
    kv::IFInputData(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

struct Seen {
    std::uint32_t code;
    std::uint32_t count;
    Bytes payload;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen>& seen() {
    static std::vector<Seen> s;
    return s;
}

template <std::uint32_t Code>
void recordReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    seen().push_back({Code, count, Bytes(payload, payload + length)});
}

template <std::size_t... I>
void installRecorders(std::index_sequence<I...>) {
    (kv::SetReplyHandler(static_cast<std::uint32_t>(101 + I),
                         &recordReply<static_cast<std::uint32_t>(101 + I)>),
     ...);
}

// The log so far. A dump is not flushed by itself, so a line is written first to push it out.
std::string logText() {
    kv::LogMsg(kv::LOG_LINE, "--");
    return kvtest::readText(kv::LogFilePath());
}

class ParserTest : public testing::Test {
  protected:
    void SetUp() override {
        {
            std::ofstream ini("kvLib.ini");
            ini << "[LOGGING]\nLogLevel=1\nLogRx=1\n";
        }
        kv::InitLog();
        for (std::uint32_t code = 101; code <= 118; ++code) {
            saved_[code - 101] = kv::InstalledReplyHandler(code);
        }
        installRecorders(std::make_index_sequence<18>());
        kv::InstallCycleReplyHooks();
        seen().clear();
        kv::ResetParser();
        kv::requestCounter().store(0);
        kv::sessionId().store(0);
        kv::requestTable().clearAll();
        kv::ResetTransferClock();
        kv::libraryEvents().transferReply.reset();
    }
    void TearDown() override {
        for (std::uint32_t code = 101; code <= 118; ++code) {
            kv::SetReplyHandler(code, saved_[code - 101]);
        }
        kv::ClearCycleReplyHooks();
        kv::ResetParser();
        kv::requestTable().clearAll();
        kv::ResetTransferClock();
        std::remove("kvLib.ini");
    }

    static bool woken() { return kv::libraryEvents().transferReply.isSet(); }

    std::array<kv::ReplyHandler, 18> saved_{};
};

// Three replies as a controller sends them: an echo, an information record and a two-controller
// I/O reply.
Bytes threeReplies() {
    Bytes info{0, 0, 0, 0};
    for (int i = 0; i < 64; ++i) {
        info.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    Bytes io;
    for (int index : {0, 3}) {
        putLe(io, static_cast<std::uint32_t>(index), 4);
        for (int i = 0; i < 48; ++i) {
            io.push_back(static_cast<std::uint8_t>(index * 16 + i));
        }
    }
    // 0x02 and 0x03 inside the payload must not be mistaken for marks.
    io[10] = 0x02;
    io[11] = 0x55;
    io[12] = 0x03;
    return concat({reply(101, 1, 7), reply(106, 2, 7, 1, info), reply(102, 3, 7, 2, io)});
}

TEST_F(ParserTest, AnyChunkingGivesTheSameReplies) {
    const Bytes stream = threeReplies();
    feed(stream);
    const std::vector<Seen> whole = seen();
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(whole[0].code, 101u);
    EXPECT_EQ(whole[1].code, 106u);
    EXPECT_EQ(whole[1].count, 1u);
    EXPECT_EQ(whole[1].payload.size(), 68u);
    EXPECT_EQ(whole[1].payload[4], 0xA0);
    EXPECT_EQ(whole[2].code, 102u);
    EXPECT_EQ(whole[2].count, 2u);
    ASSERT_EQ(whole[2].payload.size(), 104u);
    EXPECT_EQ(whole[2].payload[52], 3);  // second record's index

    seen().clear();
    for (std::uint8_t b : stream) {
        kv::IFInputData(&b, 1);
    }
    EXPECT_EQ(seen(), whole);

    for (unsigned seed = 1; seed <= 20; ++seed) {
        seen().clear();
        std::mt19937 rng(seed);
        std::size_t at = 0;
        while (at < stream.size()) {
            const std::size_t n = std::min<std::size_t>(stream.size() - at, rng() % 40 + 1);
            kv::IFInputData(stream.data() + at, static_cast<std::int32_t>(n));
            at += n;
        }
        EXPECT_EQ(seen(), whole) << "seed " << seed;
    }
    EXPECT_EQ(kv::CurrentParserState(), kv::GET_STX_STATE);
    EXPECT_EQ(logText().find("WARNING"), std::string::npos);
}

TEST_F(ParserTest, BytesBeforeAStartMarkAreSkippedSilently) {
    feed(concat({Bytes{0x00, 0xFF, 0x55, 0x03, 'U', 'S', 'B', '>'}, reply(101, 1, 0)}));
    ASSERT_EQ(seen().size(), 1u);
    const std::string log = logText();
    EXPECT_EQ(log.find("WARNING"), std::string::npos);
    EXPECT_EQ(log.find("PC-RX"), std::string::npos);
}

TEST_F(ParserTest, StartMarkFollowedByAnotherStartMarkLosesTheFrame) {
    // The second 0x02 is taken as a bad sync mark; 0x55 then is not a start mark, so the whole
    // frame is skipped up to the next start mark, without a warning.
    feed(concat({Bytes{0x02}, reply(101, 1, 0), reply(107, 2, 0, 1, Bytes(28, 0))}));
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].code, 107u);
    EXPECT_EQ(logText().find("WARNING"), std::string::npos);
}

TEST_F(ParserTest, BadFramesAreDiscardedWithTheRestOfTheirChunk) {
    struct Case {
        const char* name;
        Bytes frame;
        std::string warning;
        int dumped;  // bytes stored before the discard
    };
    Bytes badEtx = reply(101, 1, 7);
    badEtx.back() = 0x04;
    Bytes badSum = reply(101, 1, 7);
    badSum[badSum.size() - 3] = 0x12;
    badSum[badSum.size() - 2] = 0x34;
    const std::vector<Case> cases{
        {"end mark", badEtx,
         "WARNING: IFInputData, GET_ETX_STATE, ETX mark is missing, data ignored ...received 4\n", 24},
        {"checksum", badSum, "WARNING: IFInputData, wrong CRC, data ignored ...ff7c-1234\n", 24},
        {"zero length", Bytes{0x02, 0x55, 0x00, 0x00, 0x01, 0x02},
         "WARNING: IFInputData, GET_LEN_LO_STATE, invalid length 0, data ignored ...\n", 4},
        {"length beyond the buffer", Bytes{0x02, 0x55, 0x04, 0x00, 0x01, 0x02},
         "WARNING: IFInputData, GET_LEN_LO_STATE, invalid length 1024, data ignored ...\n", 4},
        {"length one beyond", Bytes{0x02, 0x55, 0x03, 0xFD},
         "WARNING: IFInputData, GET_LEN_LO_STATE, invalid length 1021, data ignored ...\n", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kv::InitLog();
        seen().clear();
        kv::libraryEvents().transferReply.reset();

        // A good reply behind the bad frame in the same chunk is dropped with it.
        feed(concat({c.frame, reply(106, 2, 7, 1, Bytes(68, 0))}));
        EXPECT_TRUE(seen().empty());
        EXPECT_TRUE(woken());
        EXPECT_EQ(kv::CurrentParserState(), kv::GET_STX_STATE);
        const std::string log = logText();
        EXPECT_NE(log.find(c.warning), std::string::npos) << log;
        EXPECT_NE(log.find(": PC-RX  <<<  len: " + std::to_string(c.dumped) + "\n"), std::string::npos)
            << log;

        // Parsing resumes with the next chunk.
        feed(reply(106, 2, 7, 1, Bytes(68, 0)));
        EXPECT_EQ(seen().size(), 1u);
    }
}

TEST_F(ParserTest, LongestFrameThatFitsTheReceiveBufferIsAccepted) {
    // 1020 counted bytes: the 20-byte header and 1000 payload bytes.
    Bytes payload(1000);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 7);
    }
    feed(reply(108, 1, 0, 9, payload));
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].payload, payload);
}

TEST_F(ParserTest, UndefinedStateIgnoresEveryByteWithAWarning) {
    kv::SetParserStateForTesting(0);
    feed(reply(101, 1, 0));
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(kv::CurrentParserState(), 0u);
    EXPECT_EQ(kvtest::countOf(logText(), "WARNING: IFInputData, UNKNOWN_STATE ...\n"), 27);
}

TEST_F(ParserTest, UnknownReplyCodesAreTracedLoggedDumpedAndDropped) {
    for (std::uint32_t code : {100u, 119u, 200u}) {
        SCOPED_TRACE(code);
        kv::InitLog();
        kv::libraryEvents().transferReply.reset();
        feed(reply(code, 1, 7, 0, Bytes{0xAA, 0xBB}));
        EXPECT_TRUE(seen().empty());
        EXPECT_TRUE(woken());
        const std::string log = logText();
        const std::string c = std::to_string(code);
        EXPECT_NE(log.find(",   EM: [unknown reply code] (" + c + "), [7,1]\n"), std::string::npos) << log;
        EXPECT_NE(log.find(", ValidIFReply, invalid IF reply code= " + c + " ...\n"), std::string::npos)
            << log;
        // The dump shows the 20 header bytes only.
        EXPECT_NE(log.find(": len= 20\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("AA"), std::string::npos) << log;
        // An unknown code says nothing about the session.
        EXPECT_EQ(kv::sessionId().load(), 0);
    }
}

TEST_F(ParserTest, TicketShorterThanItsHeaderIsDropped) {
    Bytes counted(19, 0);
    counted[12] = 101;
    feed(frameCounted(counted));
    EXPECT_TRUE(seen().empty());
    EXPECT_TRUE(woken());
    EXPECT_NE(logText().find(", AnalyseIFTicket, invalid ticket length= 19\n"), std::string::npos);
}

TEST_F(ParserTest, SessionIdIsAdoptedAndAChangeQueuesAConfigurationWrite) {
    const std::string changeLine = "different session id";

    // The first reply after a reset brings the controller's id.
    kv::requestCounter().store(1);
    feed(reply(101, 1, 7));
    EXPECT_EQ(kv::sessionId().load(), 7);
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_CONFIG_WR).pending.load(), 0);

    kv::requestCounter().store(2);
    feed(reply(106, 2, 7, 0));
    EXPECT_EQ(logText().find(changeLine), std::string::npos);

    // A new session while the connection runs: the controller has to be configured again.
    kv::requestCounter().store(3);
    feed(reply(107, 3, 8, 0));
    EXPECT_EQ(kv::sessionId().load(), 8);
    EXPECT_NE(logText().find(", different session id (8|7), reply code= 107 ...\n"), std::string::npos);
    kv::RequestSlot& slot = kv::requestTable().slot(kv::SLOT_CONFIG_WR);
    EXPECT_EQ(slot.pending.load(), 1);
    EXPECT_EQ(slot.select[0].load(), 1);
    for (std::size_t k = 1; k < slot.select.size(); ++k) {
        EXPECT_EQ(slot.select[k].load(), 0);
    }
    EXPECT_EQ(seen().size(), 3u);  // the reply itself is handled as usual

    // Right after a reset a different id is adopted silently, even with counter 0.
    kv::requestTable().clearAll();
    kv::InitLog();
    kv::requestCounter().store(0);
    feed(reply(101, 0, 9));
    EXPECT_EQ(kv::sessionId().load(), 9);
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_CONFIG_WR).pending.load(), 0);
    EXPECT_EQ(logText().find(changeLine), std::string::npos);
}

TEST_F(ParserTest, ANewSessionOnAConfigurationWriteReplyStillQueuesTheMastersWrite) {
    // The reply that brings the new id answers a configuration write of the master: its handler
    // settles that write, but the new session needs another one.
    kv::SetReplyHandler(105, kv::cbKolvX1ConfigWrReply);
    kv::sessionId().store(7);
    kv::requestCounter().store(3);
    kv::requestTable().queue(kv::SLOT_CONFIG_WR, 0);
    feed(reply(105, 3, 8, 1, Bytes{0, 0, 0, 0}));
    EXPECT_EQ(kv::sessionId().load(), 8);
    EXPECT_NE(logText().find(", different session id (8|7), reply code= 105 ...\n"), std::string::npos);
    kv::RequestSlot& slot = kv::requestTable().slot(kv::SLOT_CONFIG_WR);
    EXPECT_EQ(slot.pending.load(), 1);
    EXPECT_EQ(slot.select[0].load(), 1);
}

TEST_F(ParserTest, OnlyTheAnswerToTheOutstandingRequestWakesTheCycle) {
    kv::requestCounter().store(5);
    kv::NoteRequestSent(5);

    feed(reply(102, 4, 0));  // stale: answers an earlier request
    EXPECT_EQ(seen().size(), 1u);
    EXPECT_FALSE(woken());

    feed(reply(102, 5, 0));
    EXPECT_EQ(seen().size(), 2u);
    EXPECT_TRUE(woken());

    // A second answer to the same request (to another copy of it) is handled but wakes nothing.
    kv::libraryEvents().transferReply.reset();
    feed(reply(102, 5, 0));
    EXPECT_EQ(seen().size(), 3u);
    EXPECT_FALSE(woken());
}

TEST_F(ParserTest, ReplyToARepeatedRequestWakesTheCycleAtOnce) {
    // Two copies went unanswered; the answer to the third completes the request, with timing on
    // (a running transfer) and off (a start's handshake) alike.
    for (bool timing : {true, false}) {
        SCOPED_TRACE(timing ? "running" : "handshake");
        kv::ResetTransferClock();
        if (timing) {
            kv::ResetReplyTiming();
        }
        kv::libraryEvents().transferReply.reset();
        kv::requestCounter().store(5);
        for (int copy = 0; copy < 3; ++copy) {
            kv::NoteRequestSent(5);
        }
        feed(reply(102, 5, 0));
        EXPECT_TRUE(woken());
    }
}

TEST_F(ParserTest, BluetoothRepliesLeaveSessionAndCycleAlone) {
    kv::requestCounter().store(5);
    kv::sessionId().store(7);
    kv::repeatAccounting().repeatCount.store(1);
    feed(reply(112, 5, 9, 1, Bytes{1, 0, 0, 0}));
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].code, 112u);
    EXPECT_EQ(kv::sessionId().load(), 7);
    EXPECT_FALSE(woken());
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_CONFIG_WR).pending.load(), 0);
    EXPECT_NE(logText().find(",   EM: [BT_CONNECT_REPLY] (112), [9,5]\n"), std::string::npos);
}

TEST_F(ParserTest, ValidCodeWithoutAHandlerIsDroppedQuietly) {
    kv::SetReplyHandler(115, nullptr);
    kv::SetReplyHandler(105, nullptr);
    kv::sessionId().store(7);
    kv::requestCounter().store(5);

    feed(reply(115, 0, 9));  // Bluetooth: the cycle does not wait for it
    EXPECT_FALSE(woken());

    feed(reply(105, 5, 9));  // the cycle's reply: wake it rather than let it time out
    EXPECT_TRUE(woken());

    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(kv::sessionId().load(), 7);
    EXPECT_EQ(logText().find("invalid IF reply code"), std::string::npos);
}

// While a shell command holds the port, telegram frames among its text go to the parser and the rest
// stays the shell's, byte for byte, however the stream is cut into chunks.
std::string gShellText;
int gFramesSeen = 0;
Bytes gFramePayload;

void collectShellText(const std::uint8_t* bytes, std::int32_t count) {
    gShellText.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(count));
}

void countFrame(std::uint32_t, const std::uint8_t* payload, std::int32_t length) {
    ++gFramesSeen;
    gFramePayload.assign(payload, payload + length);
}

TEST(ShellSplit, FramesGoToTheParserAndTheTextStaysWholeInAnyChunking) {
    kv::InitLog();
    const kv::ReplyHandler saved = kv::InstalledReplyHandler(114);
    kv::SetReplyHandler(114, countFrame);
    const Bytes message{5, 0, 3, 0, 'a', 0, 'b', 0, 0};
    const Bytes frame = reply(114, 0, 0, 1, message);
    // A start mark followed by something else is not a frame and stays in the text.
    const std::string before = "\r\nls ramdisk\r\nx\x02y";
    const std::string after = "\r\nfile.txt 12\r\nUSB>";
    Bytes stream(before.begin(), before.end());
    stream.insert(stream.end(), frame.begin(), frame.end());
    stream.insert(stream.end(), after.begin(), after.end());

    const auto feed = [&](const std::vector<std::size_t>& cuts) {
        kv::ResetParser();
        kv::SetRxHandler(kv::RX_SHELL);  // forgets a start mark held back by the last run
        gShellText.clear();
        gFramesSeen = 0;
        gFramePayload.clear();
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            kv::SplitTelegramFrames(stream.data() + from, static_cast<std::int32_t>(cut - from), collectShellText);
            from = cut;
        }
        kv::SplitTelegramFrames(stream.data() + from, static_cast<std::int32_t>(stream.size() - from),
                                collectShellText);
    };
    feed({});
    EXPECT_EQ(gShellText, before + after);
    EXPECT_EQ(gFramesSeen, 1);
    EXPECT_EQ(gFramePayload, message);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        feed({cut});
        EXPECT_EQ(gShellText, before + after) << "cut at " << cut;
        EXPECT_EQ(gFramesSeen, 1) << "cut at " << cut;
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        everyByte.push_back(cut);
    }
    feed(everyByte);
    EXPECT_EQ(gShellText, before + after);
    EXPECT_EQ(gFramesSeen, 1);
    EXPECT_EQ(kv::CurrentParserState(), kv::GET_STX_STATE);
    kv::SetReplyHandler(114, saved);
    kv::SetRxHandler(kv::RX_TELEGRAM);
}

}  // namespace
