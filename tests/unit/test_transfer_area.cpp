#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "kvarolib.h"
#include "support/lib_fixture.h"
#include "transfer/transfer_area.h"

namespace {

using kvtest::countOf;
using kvtest::logText;

// Byte positions in the block, written out as numbers so that the checks do not lean on the structs.
constexpr std::size_t kRecordSize = 1024;
constexpr std::size_t kStateAt = 64;
constexpr std::size_t kOutputInitDoneAt = kStateAt + 8;
constexpr std::size_t kBtChannelAt = kStateAt + 20;
constexpr std::size_t kConfigAt = 164;
constexpr std::size_t kInputAt = 252;
constexpr std::size_t kOutputAt = 320;
constexpr std::size_t kTransferStatusAt = 472;

// Every test starts with a fresh block and leaves none behind.
class TransferArea : public ::testing::Test {
  protected:
    void SetUp() override {
        kv::ReleaseTransferArea();
        ASSERT_TRUE(kv::AllocateTransferArea());
    }
    void TearDown() override { kv::ReleaseTransferArea(); }

    static unsigned char* bytes() { return reinterpret_cast<unsigned char*>(kv::transferArea()); }
    static unsigned char* recordBytes(int k) { return bytes() + static_cast<std::size_t>(k) * kRecordSize; }

    // The four 16-bit fields of the master's entry for Bluetooth channel 1..8, read from the raw block.
    static std::array<std::uint16_t, 4> channelEntry(int channel) {
        std::array<std::uint16_t, 4> entry{};
        std::memcpy(entry.data(), bytes() + kBtChannelAt + static_cast<std::size_t>(channel - 1) * 8, 8);
        return entry;
    }
    static void setChannelEntry(int channel, std::array<std::uint16_t, 4> entry) {
        std::memcpy(bytes() + kBtChannelAt + static_cast<std::size_t>(channel - 1) * 8, entry.data(), 8);
    }
};

TEST_F(TransferArea, AllocationWritesTheSizeReport) {
    kv::ReleaseTransferArea();
    kv::InitLog();
    ASSERT_TRUE(kv::AllocateTransferArea());
    const std::string expected =
        "\n"
        "INFO:   size KVX1_SHMIFINFO   = 64\n"
        "INFO:   size KVX1_STATE       = 100\n"
        "INFO:   size KVX1_CONFIG      = 88\n"
        "INFO:   size KVX1_INPUT       = 68\n"
        "INFO:   size KVX1_OUTPUT      = 44\n"
        "INFO:   size KVX1_DISPLAY     = 108\n"
        "INFO:   size TRANSFER_STATUS  = 4\n"
        "INFO:   size CHANGE_STATE     = 8\n"
        "INFO:   size RP_TIMER         = 12\n"
        "INFO:   size MOTOR            = 24\n"
        "INFO:   size INPUT_SIM        = 4\n"
        "INFO:   size HOOK_TABLE       = 132\n"
        "INFO:   RESERVE_SIZE          = 368\n"
        "INFO:   size KOLV_X1_TRANSFER = 1024\n"
        "INFO: size IF08_MAX           = 9\n"
        "INFO: size IF08_TRANSFER      = 9216\n"
        "\n";
    const std::string log = logText();
    ASSERT_EQ(countOf(log, expected), 1) << log;
    // The report ends the log so far: nothing is written between its lines or after them.
    EXPECT_EQ(log.substr(log.size() - expected.size()), expected);

    // Allocating again while the block exists keeps it and reports nothing.
    IF08_TRANSFER* const block = kv::transferArea();
    ASSERT_TRUE(kv::AllocateTransferArea());
    EXPECT_EQ(kv::transferArea(), block);
    EXPECT_EQ(countOf(logText(), "size IF08_TRANSFER"), 1);
}

TEST_F(TransferArea, BlockIsZeroedAndRecordsSitAtTheirOffsets) {
    for (std::size_t i = 0; i < sizeof(IF08_TRANSFER); ++i) {
        ASSERT_EQ(bytes()[i], 0) << "byte " << i;
    }
    for (int k = 0; k < IF08_MAX; ++k) {
        EXPECT_EQ(reinterpret_cast<unsigned char*>(kv::record(k)), recordBytes(k)) << "record " << k;
    }
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&kv::record(0)->TransferStatus), bytes() + 472);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&kv::record(1)->Input), bytes() + 1024 + 252);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&kv::record(8)->State.BtChannel[7]),
              bytes() + 8 * 1024 + 64 + 76);
    EXPECT_EQ(kv::record(-1), nullptr);
    EXPECT_EQ(kv::record(IF08_MAX), nullptr);
}

TEST_F(TransferArea, ReleaseNullsTheBlockAndEveryRecordAndLeavesOperationsHarmless) {
    kv::ReleaseTransferArea();
    EXPECT_EQ(kv::transferArea(), nullptr);
    for (int k = 0; k < IF08_MAX; ++k) {
        EXPECT_EQ(kv::record(k), nullptr) << "record " << k;
    }
    kv::ReleaseTransferArea();  // a second release is harmless

    kv::InitLog();
    kv::SetKolvX1TransferStatus(1);
    kv::SetBtChannelStatus(1, 1);
    kv::ClearBtChannels();
    kv::InitOutputAndConfig();
    kv::InitTransferValues();
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "SetKolvX1TransferStatus"), 0) << log;
    EXPECT_EQ(countOf(log, "Initialization"), 0) << log;
}

TEST_F(TransferArea, SetBtChannelStatusFollowsTheCodeTable) {
    using Entry = std::array<std::uint16_t, 4>;  // ConnState, ListenOn, ReadOn, ChannelInfo
    struct Case {
        Entry before;
        std::int32_t code;
        Entry after;
    };
    const std::vector<Case> cases = {
        {{2, 1, 1, 7}, 0, {0, 0, 0, 7}},   {{3, 1, 0, 5}, 12, {0, 1, 0, 5}},
        {{3, 1, 1, 9}, 248, {0, 1, 1, 9}}, {{0, 1, 1, 9}, 1, {1, 1, 1, 9}},
        {{7, 0, 0, 9}, 2, {2, 0, 0, 9}},   {{1, 0, 1, 9}, 3, {3, 0, 1, 9}},
        {{2, 0, 1, 4}, 8, {2, 1, 1, 4}},   {{2, 1, 1, 4}, -9, {2, 0, 1, 4}},
        {{2, 1, 0, 4}, 16, {2, 1, 1, 4}},  {{2, 1, 1, 4}, -17, {2, 1, 0, 4}},
        {{2, 1, 1, 7}, 5, {2, 1, 1, 7}},   {{2, 1, 1, 7}, 4, {2, 1, 1, 7}},
        {{2, 1, 1, 7}, -8, {2, 1, 1, 7}},  {{2, 1, 1, 7}, 9, {2, 1, 1, 7}},
        {{2, 1, 1, 7}, 17, {2, 1, 1, 7}},
    };
    const Entry neighbour{6, 1, 1, 200};
    for (const int channel : {1, 5, 8}) {
        for (const Case& c : cases) {
            for (int other = 1; other <= 8; ++other) {
                setChannelEntry(other, neighbour);
            }
            setChannelEntry(channel, c.before);
            kv::SetBtChannelStatus(channel, c.code);
            EXPECT_EQ(channelEntry(channel), c.after) << "channel " << channel << ", code " << c.code;
            for (int other = 1; other <= 8; ++other) {
                if (other != channel) {
                    EXPECT_EQ(channelEntry(other), neighbour)
                        << "channel " << other << " touched by " << channel;
                }
            }
        }
    }
}

TEST_F(TransferArea, SetBtChannelStatusIgnoresChannelsOutsideOneToEight) {
    std::memset(bytes(), 0x5A, sizeof(IF08_TRANSFER));
    for (const int channel : {0, 9, -1, 100}) {
        for (const std::int32_t code : {0, 1, 8, -9, 16, -17}) {
            kv::SetBtChannelStatus(channel, code);
        }
    }
    for (std::size_t i = 0; i < sizeof(IF08_TRANSFER); ++i) {
        ASSERT_EQ(bytes()[i], 0x5A) << "byte " << i;
    }
}

TEST_F(TransferArea, ClearBtChannelsClearsExactlyTheMastersSixtyFourChannelBytes) {
    std::memset(bytes(), 0xC3, sizeof(IF08_TRANSFER));
    kv::ClearBtChannels();
    for (std::size_t i = 0; i < sizeof(IF08_TRANSFER); ++i) {
        const bool channelByte = i >= kBtChannelAt && i < kBtChannelAt + 64;
        ASSERT_EQ(bytes()[i], channelByte ? 0 : 0xC3) << "byte " << i;
    }
}

TEST_F(TransferArea, InitOutputAndConfigClearsOnlyOutputAndConfigOfEveryRecord) {
    std::memset(bytes(), 0xAB, sizeof(IF08_TRANSFER));
    kv::InitLog();
    kv::InitOutputAndConfig();
    for (int k = 0; k < IF08_MAX; ++k) {
        for (std::size_t i = 0; i < kRecordSize; ++i) {
            const bool cleared =
                (i >= kConfigAt && i < kConfigAt + 88) || (i >= kOutputAt && i < kOutputAt + 44);
            ASSERT_EQ(recordBytes(k)[i], cleared ? 0 : 0xAB) << "record " << k << ", byte " << i;
        }
    }
    EXPECT_EQ(countOf(logText(), ", Initialization output and config area...\n"), 1);
}

TEST_F(TransferArea, InitTransferValuesPresetsInputAndCounterModesOfEveryRecord) {
    std::memset(bytes(), 0xEE, sizeof(IF08_TRANSFER));
    kv::InitLog();
    kv::InitTransferValues();
    for (int k = 0; k < IF08_MAX; ++k) {
        const unsigned char* config = recordBytes(k) + kConfigAt;
        for (std::size_t i = 0; i < 8; ++i) {
            ASSERT_EQ(config[i], 0xEE) << "record " << k << ", byte " << i;
        }
        for (std::size_t input = 0; input < 8; ++input) {
            const unsigned char* s = config + 8 + 4 * input;
            EXPECT_EQ((std::array<int, 4>{s[0], s[1], s[2], s[3]}), (std::array<int, 4>{1, 1, 0, 0}))
                << "record " << k << ", input " << input;
        }
        for (std::size_t counter = 0; counter < 4; ++counter) {
            const unsigned char* s = config + 40 + 4 * counter;
            EXPECT_EQ((std::array<int, 4>{s[0], s[1], s[2], s[3]}), (std::array<int, 4>{1, 0, 0, 0}))
                << "record " << k << ", counter " << counter;
        }
        for (std::size_t i = 56; i < 88; ++i) {
            ASSERT_EQ(config[i], 0xEE) << "record " << k << ", byte " << i;
        }
        // Nothing outside the configuration part moves.
        EXPECT_EQ(recordBytes(k)[kConfigAt - 1], 0xEE);
        EXPECT_EQ(recordBytes(k)[kInputAt], 0xEE);
    }
    EXPECT_EQ(countOf(logText(), ", InitTransferValues, Initialization of TransferArea (output)...\n"), 1);
}

TEST_F(TransferArea, SetKolvX1TransferStatusWritesTheMastersStateAndStopClearsOutputInitDone) {
    kv::InitLog();
    bytes()[kOutputInitDoneAt] = 1;
    kv::SetKolvX1TransferStatus(2);
    EXPECT_EQ(bytes()[kTransferStatusAt], 2);
    EXPECT_EQ(bytes()[kOutputInitDoneAt], 1);  // only a stop clears it

    kv::SetKolvX1TransferStatus(1);
    EXPECT_EQ(bytes()[kTransferStatusAt], 1);
    EXPECT_EQ(bytes()[kOutputInitDoneAt], 1);

    kv::SetKolvX1TransferStatus(0);
    EXPECT_EQ(bytes()[kTransferStatusAt], 0);
    EXPECT_EQ(bytes()[kOutputInitDoneAt], 0);

    // Only the master's status is the library's.
    for (int k = 1; k < IF08_MAX; ++k) {
        EXPECT_EQ(recordBytes(k)[kTransferStatusAt], 0);
    }
    const std::string log = logText();
    EXPECT_EQ(countOf(log, ", SetKolvX1TransferStatus, set status = 2\n"), 1) << log;
    EXPECT_EQ(countOf(log, ", SetKolvX1TransferStatus, set status = 1\n"), 1) << log;
    EXPECT_EQ(countOf(log, ", SetKolvX1TransferStatus, set status = 0\n"), 1) << log;
}

TEST_F(TransferArea, TextFormsReadTheirBytesFromTheRecord) {
    unsigned char* info = recordBytes(3);
    const KVX1_SHMIFINFO& shm = kv::record(3)->ShmIfInfo;
    const std::vector<std::pair<int, std::string>> releases = {
        {0, "-"},   {'3', "-"}, {'B', "B"}, {'A', "A"},  {'Z', "Z"},
        {'@', "-"}, {'[', "-"}, {'b', "-"}, {0xC4, "-"},
    };
    for (const auto& [release, text] : releases) {
        info[48] = static_cast<unsigned char>(release);
        EXPECT_EQ(kv::HwReleaseText(shm), text) << "HwRelease " << release;
    }

    info[52] = 0xFF;  // byte 0 of FwValue means nothing
    info[53] = 7;
    info[54] = 1;
    info[55] = 5;
    EXPECT_EQ(kv::FirmwareText(shm), "1.05");
    EXPECT_EQ(kv::DllVersionText(shm), "7");
    EXPECT_EQ(Kvx1DllVersion(&shm), 7u);
    EXPECT_EQ(Kvx1FwMajor(&shm), 1u);
    EXPECT_EQ(Kvx1FwMinor(&shm), 5u);

    info[53] = 255;
    info[54] = 12;
    info[55] = 40;
    EXPECT_EQ(kv::FirmwareText(shm), "12.40");
    EXPECT_EQ(kv::DllVersionText(shm), "255");
}

TEST(TransferAreaCompanions, EachControllerHasItsOwnEntryAndBadIndicesTouchNone) {
    for (int k = 0; k < IF08_MAX; ++k) {
        kv::ackConfigId(k).store(static_cast<std::uint8_t>(10 + k));
        kv::masterSlaveAlive(k).store(static_cast<std::uint8_t>(k % 2));
    }
    for (const int bad : {-1, IF08_MAX, 1000}) {
        kv::ackConfigId(bad).store(99);
        kv::masterSlaveAlive(bad).store(1);
        EXPECT_EQ(kv::ackConfigId(bad).load(), 0);
        EXPECT_EQ(kv::masterSlaveAlive(bad).load(), 0);
    }
    for (int k = 0; k < IF08_MAX; ++k) {
        EXPECT_EQ(kv::ackConfigId(k).load(), 10 + k) << k;
        EXPECT_EQ(kv::masterSlaveAlive(k).load(), k % 2) << k;
        kv::ackConfigId(k).store(0);
        kv::masterSlaveAlive(k).store(0);
    }
}

// The library's threads write these fields while applications and other library threads read them;
// under ThreadSanitizer this shows the helpers keep such access race-free, and anywhere it shows that
// no reader ever sees a value that was not written.
TEST_F(TransferArea, RelaxedHelpersCarryCountersAndBytesAcrossThreads) {
    RP_TIMER& timer = kv::record(0)->RpTimer;
    KVX1_OUTPUT& output = kv::record(2)->Output;
    constexpr int kRounds = 20000;
    std::thread writer([&] {
        for (int i = 1; i <= kRounds; ++i) {
            const auto v = static_cast<std::uint16_t>(i);
            kv::StoreRunTimeCounters(timer, {v, v, v, v, v, v});
            const std::array<unsigned char, 8> ids{static_cast<unsigned char>(i & 0x7F), 0, 0, 0, 0, 0, 0, 0};
            kv::storeBytesRelaxed(&output.CounterResetCmdId, ids.data(), ids.size());
        }
    });
    // Failures are only counted here: the writer must be joined before the test may end.
    int backwards = 0;
    int unwritten = 0;
    std::uint16_t last = 0;
    for (int seen = 0; seen < kRounds && last < kRounds; ++seen) {
        const auto counters = kv::LoadRunTimeCounters(timer);
        backwards += counters[0] < last ? 1 : 0;
        unwritten += counters[5] > kRounds ? 1 : 0;
        last = counters[0];
        unsigned char ids[8];
        kv::loadBytesRelaxed(ids, &output.CounterResetCmdId, sizeof ids);
        unwritten += ids[0] >= 0x80 ? 1 : 0;
    }
    writer.join();
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(unwritten, 0);
    EXPECT_EQ(kv::LoadRunTimeCounters(timer),
              (std::array<std::uint16_t, 6>{kRounds, kRounds, kRounds, kRounds, kRounds, kRounds}));
}

}  // namespace
