// Telegram framing: exact bytes of requests, the request counter, the checksum and the transmit
// buffer shared by the application threads and the request thread.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/events.h"
#include "base/log.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/exchange.h"
#include "serial/receive.h"
#include "serial/telegram.h"
#include "support/lib_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes build(std::uint32_t code, std::uint16_t count, const Bytes& payload, bool noCounter) {
    Bytes out(payload.size() + kv::kTelegramOverhead + 8, 0xEE);
    const std::uint16_t n =
        kv::BuildTelegram(out.data(), code, count, payload.empty() ? nullptr : payload.data(),
                          static_cast<std::int16_t>(payload.size()), noCounter);
    out.resize(n);
    return out;
}

std::uint16_t counterOf(const Bytes& telegram) {
    return static_cast<std::uint16_t>(telegram[12] | (telegram[13] << 8));
}

class TelegramTest : public testing::Test {
  protected:
    void SetUp() override {
        kv::requestCounter().store(0);
        kv::sessionId().store(0);
    }
};

TEST_F(TelegramTest, EchoAndInfoRequestsAfterACounterResetMatchTheWorkedExamples) {
    const Bytes echo = build(kv::ECHO_REQUEST, 0, {}, false);
    EXPECT_EQ(echo, (Bytes{0x02, 0x55, 0x00, 0x14, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                           0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xE7, 0x03}));

    const Bytes info = build(kv::INFO_RD_REQUEST, 1, {0, 0, 0, 0}, false);
    EXPECT_EQ(info, (Bytes{0x02, 0x55, 0x00, 0x18, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                           0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xDC, 0x03}));
    EXPECT_EQ(kv::requestCounter().load(), 2);
}

TEST_F(TelegramTest, BluetoothRequestsCarryCounterZeroAndLeaveTheCounterAlone) {
    EXPECT_EQ(counterOf(build(kv::ECHO_REQUEST, 0, {}, false)), 1);
    EXPECT_EQ(counterOf(build(kv::BT_SCAN_REQUEST, 0, {}, true)), 0);
    EXPECT_EQ(kv::requestCounter().load(), 1);
    EXPECT_EQ(counterOf(build(kv::STATE_RD_REQUEST, 1, {0, 0, 0, 0}, false)), 2);
}

TEST_F(TelegramTest, CounterWrapsFrom65535ToZero) {
    kv::requestCounter().store(65534);
    EXPECT_EQ(counterOf(build(kv::ECHO_REQUEST, 0, {}, false)), 65535);
    EXPECT_EQ(counterOf(build(kv::ECHO_REQUEST, 0, {}, false)), 0);
    EXPECT_EQ(counterOf(build(kv::ECHO_REQUEST, 0, {}, false)), 1);
}

TEST_F(TelegramTest, LargestRequestIsFramedCompletely) {
    // A display write for all nine controllers: nine 104-byte records.
    kv::sessionId().store(0xBEEF);
    Bytes payload(936);
    std::iota(payload.begin(), payload.end(), std::uint8_t{0});
    const Bytes t = build(kv::MSG_WR_REQUEST, 9, payload, false);

    ASSERT_EQ(t.size(), 963u);
    EXPECT_EQ(t[2], 0x03);  // 956 = 0x03BC counted bytes, big-endian
    EXPECT_EQ(t[3], 0xBC);
    EXPECT_EQ(t[14], 0xEF);  // session id, little-endian
    EXPECT_EQ(t[15], 0xBE);
    // Code and record count; the count's upper half is written as 0 over the 0xEE fill.
    EXPECT_EQ((Bytes{t.begin() + 16, t.begin() + 24}), (Bytes{8, 0, 0, 0, 9, 0, 0, 0}));
    EXPECT_EQ((Bytes{t.begin() + 24, t.begin() + 960}), payload);
    EXPECT_EQ(t[962], 0x03);
    // The checksum makes the sum over length, header, payload and checksum vanish.
    std::uint16_t sum = 0;
    for (std::size_t i = 2; i < 960; ++i) {
        sum = static_cast<std::uint16_t>(sum + t[i]);
    }
    EXPECT_EQ(static_cast<std::uint16_t>(sum + (t[960] << 8 | t[961])), 0);
}

TEST_F(TelegramTest, InvalidPayloadBuildsNothingAndKeepsTheCounter) {
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(kv::BuildTelegram(buffer.data(), kv::ECHO_REQUEST, 0, nullptr, -1, false), 0);
    EXPECT_EQ(kv::BuildTelegram(buffer.data(), kv::INFO_RD_REQUEST, 1, nullptr, 4, false), 0);
    EXPECT_EQ(kv::requestCounter().load(), 0);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 64>{}));
}

TEST(TelegramChecksumTest, IsTheTwosComplementOfThe16BitByteSum) {
    EXPECT_EQ(kv::TelegramChecksum(nullptr, 0), 0);
    const std::uint8_t zeros[3] = {0, 0, 0};
    EXPECT_EQ(kv::TelegramChecksum(zeros, 3), 0);
    // 257 bytes of 0xFF sum to 0xFFFF; one byte 0x01 more carries out of 16 bits to a sum of 0.
    std::vector<std::uint8_t> wrap(257, 0xFF);
    wrap.push_back(0x01);
    EXPECT_EQ(kv::TelegramChecksum(wrap.data(), static_cast<std::int32_t>(wrap.size())), 0);
    const std::uint8_t one[1] = {1};
    EXPECT_EQ(kv::TelegramChecksum(one, 1), 0xFFFF);
    const std::uint8_t high[2] = {0x80, 0x80};  // each byte counts as unsigned
    EXPECT_EQ(kv::TelegramChecksum(high, 2), 0xFF00);
}

TEST(ByteOrderTest, HelpersWorkAtUnalignedAddresses) {
    std::array<std::uint8_t, 8> b{};
    kv::PutU32LE(b.data() + 1, 0x11223344u);
    kv::PutU16BE(b.data() + 5, 0xA1B2);
    EXPECT_EQ(b, (std::array<std::uint8_t, 8>{0, 0x44, 0x33, 0x22, 0x11, 0xA1, 0xB2, 0}));
    EXPECT_EQ(kv::GetU32LE(b.data() + 1), 0x11223344u);
    kv::PutU16LE(b.data() + 3, 0xC3D4);
    EXPECT_EQ(b[3], 0xD4);
    EXPECT_EQ(b[4], 0xC3);
    EXPECT_EQ(kv::GetU16LE(b.data() + 3), 0xC3D4);
    EXPECT_EQ(kv::GetU16LE(b.data() + 5), 0xB2A1);
}

TEST_F(TelegramTest, TransmitLockRefusesPayloadsBeyondTheBuffer) {
    std::vector<std::uint8_t> payload(kv::kMaxRequestPayload + 1);
    kv::TransmitLock tx;
    EXPECT_EQ(
        tx.build(kv::MSG_WR_REQUEST, 1, payload.data(), static_cast<std::int16_t>(payload.size()), false), 0);
    EXPECT_EQ(tx.length(), 0);
    EXPECT_EQ(kv::requestCounter().load(), 0);
    EXPECT_EQ(tx.build(kv::MSG_WR_REQUEST, 1, payload.data(),
                       static_cast<std::int16_t>(kv::kMaxRequestPayload), false),
              kv::kTransmitBufferBytes);
    EXPECT_EQ(tx.data()[kv::kTransmitBufferBytes - 1], 0x03);
}

TEST_F(TelegramTest, SendersOnSeveralThreadsNeverMixInTheTransmitBuffer) {
    // Each thread builds requests of its own code and payload byte and "writes" them by copying the
    // buffer out under the lock, as a sender does; every copy must be one whole telegram of its
    // thread, and every counted request must carry a number of its own.
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::array<std::vector<Bytes>, kThreads> written;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &written] {
            const auto fill = static_cast<std::uint8_t>(0x10 * (t + 1));
            const std::vector<std::uint8_t> payload(static_cast<std::size_t>(40 + t * 100), fill);
            for (int i = 0; i < kPerThread; ++i) {
                kv::TransmitLock tx;
                const std::uint16_t n = tx.build(static_cast<std::uint32_t>(t + 2), 1, payload.data(),
                                                 static_cast<std::int16_t>(payload.size()), false);
                written[static_cast<std::size_t>(t)].emplace_back(tx.data(), tx.data() + n);
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    std::set<std::uint16_t> counters;
    for (int t = 0; t < kThreads; ++t) {
        const auto fill = static_cast<std::uint8_t>(0x10 * (t + 1));
        for (const Bytes& w : written[static_cast<std::size_t>(t)]) {
            ASSERT_EQ(w.size(), static_cast<std::size_t>(40 + t * 100) + kv::kTelegramOverhead);
            ASSERT_EQ(kv::GetU32LE(w.data() + 16), static_cast<std::uint32_t>(t + 2));
            for (std::size_t i = 24; i < w.size() - 3; ++i) {
                ASSERT_EQ(w[i], fill);
            }
            ASSERT_EQ(kv::TelegramChecksum(w.data() + 2, static_cast<std::int32_t>(w.size() - 5)),
                      static_cast<std::uint16_t>(w[w.size() - 3] << 8 | w[w.size() - 2]));
            counters.insert(counterOf(w));
        }
    }
    EXPECT_EQ(counters.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(kv::requestCounter().load(), kThreads * kPerThread);
}

// The single exchanges without a port: the write fails, which shows only as a missing reply.
class SingleExchangeTest : public testing::Test {
  protected:
    void SetUp() override {
        {
            std::ofstream ini("kvLib.ini");
            ini << "[LOGGING]\nLogLevel=1\n";
        }
        kv::InitLog();
        ASSERT_FALSE(kv::comPort().isOpen());
        kv::ClearPortLinkDown();
        kv::requestCounter().store(41);
        kv::sessionId().store(9);
    }
    void TearDown() override { std::remove("kvLib.ini"); }

    // Plays the controller's answer: reports the reply `replyCode` to the request numbered
    // `counter` once that request has been written. Taking the transmit lock waits until the
    // sender has let go of the buffer, which it does only after writing.
    static std::thread answerRequest(std::uint16_t counter, std::uint32_t replyCode) {
        return std::thread([counter, replyCode] {
            ASSERT_TRUE(kvtest::waitFor([counter] { return kv::requestCounter().load() == counter; }));
            kv::TransmitLock tx;
            kv::SingleExchangeReplyArrived(replyCode, counter);
        });
    }
};

TEST_F(SingleExchangeTest, OpeningResetsTheSessionAndSendsTheEchoWithCounterOne) {
    std::thread controller = answerRequest(1, kv::ECHO_REPLY);
    EXPECT_EQ(kv::OpenKolvX1Connection(), 0u);
    controller.join();
    EXPECT_EQ(kv::requestCounter().load(), 1);
    EXPECT_EQ(kv::sessionId().load(), 0);
    EXPECT_NE(kvtest::logText().find(", Open Kolv.X1 connection...\n"), std::string::npos);
}

TEST_F(SingleExchangeTest, InformationAndStateReadsAreCountedRequests) {
    std::thread controller = answerRequest(42, kv::INFO_RD_REPLY);
    EXPECT_EQ(kv::ReadVoriKqInfo(3), 0u);
    controller.join();
    controller = answerRequest(43, kv::STATE_RD_REPLY);
    EXPECT_EQ(kv::ReadVoriKqState(), 0u);
    controller.join();
    EXPECT_EQ(kv::sessionId().load(), 9);
    const std::string log = kvtest::logText();
    EXPECT_NE(log.find(", ReadVoriKqInfo:\n"), std::string::npos);
    EXPECT_NE(log.find(", ReadVoriKqState:\n"), std::string::npos);
}

TEST_F(SingleExchangeTest, UnansweredExchangeTimesOut) {
    // Waits the full 3000 ms.
    EXPECT_EQ(kv::ReadVoriKqState(), KVLIB_ERR_TIMEOUT);
    EXPECT_EQ(kv::requestCounter().load(), 42);
}

}  // namespace
