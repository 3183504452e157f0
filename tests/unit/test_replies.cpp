// The transfer cycle's request senders and the handlers of the replies 101 to 109: the records each
// request carries on the wire, and what each reply does to the transfer area, the request table and
// the application's callbacks. The senders write to a real pseudo terminal whose other side the test
// reads; the handlers are called directly with the record count, payload and length of a reply.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/events.h"
#include "base/log.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/parser.h"
#include "serial/telegram.h"
#include "support/lib_fixture.h"
#include "support/pty_peer.h"
#include "transfer/engine.h"
#include "transfer/replies.h"
#include "transfer/request_table.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_cycle.h"
#include "transfer/transfer_state.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kvtest::countOf;
using kvtest::logText;

// ---- Wire helpers, written from the frame and record layouts apart from the library's code ---------

void putLe(Bytes& b, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A request as the controller reads it off the line.
Bytes requestFrame(std::uint32_t code, std::uint16_t counter, std::uint16_t session, std::uint32_t count,
                   const Bytes& payload) {
    const std::size_t length = payload.size() + 20;
    Bytes f{0x02, 0x55, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
    putLe(f, 2, 4);
    putLe(f, 1, 4);
    putLe(f, counter, 2);
    putLe(f, session, 2);
    putLe(f, code, 4);
    putLe(f, count, 4);
    f.insert(f.end(), payload.begin(), payload.end());
    unsigned sum = 0;
    for (std::size_t i = 2; i < f.size(); ++i) {
        sum += f[i];
    }
    const unsigned checksum = (0x10000u - (sum & 0xFFFFu)) & 0xFFFFu;
    f.push_back(static_cast<std::uint8_t>(checksum >> 8));
    f.push_back(static_cast<std::uint8_t>(checksum & 0xFF));
    f.push_back(0x03);
    return f;
}

Bytes indexRecord(std::uint32_t index) {
    Bytes b;
    putLe(b, index, 4);
    return b;
}

// The 48 data bytes of an I/O reply record.
struct IoData {
    std::array<std::uint16_t, 8> inputs{};
    std::array<std::uint8_t, 4> counterInputs{};
    std::array<std::uint16_t, 4> counters{};
    std::array<std::uint16_t, 2> aux{};
    std::array<std::uint16_t, 4> counterResetIds{};
    std::array<std::uint16_t, 4> motorIds{};
};

Bytes ioRecord(std::uint32_t index, const IoData& d) {
    Bytes b = indexRecord(index);
    for (std::uint16_t v : d.inputs) {
        putLe(b, v, 2);
    }
    b.insert(b.end(), d.counterInputs.begin(), d.counterInputs.end());
    for (std::uint16_t v : d.counters) {
        putLe(b, v, 2);
    }
    for (std::uint16_t v : d.aux) {
        putLe(b, v, 2);
    }
    for (std::uint16_t v : d.counterResetIds) {
        putLe(b, v, 2);
    }
    for (std::uint16_t v : d.motorIds) {
        putLe(b, v, 2);
    }
    return b;
}

using Eight = std::array<std::uint8_t, 8>;

// A state reply record: extension bytes, one status byte and one information byte per channel.
Bytes stateRecord(std::uint32_t index, const Eight& ext, const Eight& status = {}, const Eight& info = {}) {
    Bytes b = indexRecord(index);
    b.insert(b.end(), ext.begin(), ext.end());
    b.insert(b.end(), status.begin(), status.end());
    b.insert(b.end(), info.begin(), info.end());
    return b;
}

// An information reply record: the controller's 64-byte self description.
Bytes infoRecord(std::uint32_t index, const std::string& hostname) {
    Bytes b = indexRecord(index);
    Bytes info(64, 0);
    std::memcpy(info.data(), hostname.data(), hostname.size());
    const std::string address = "00:11:22:33:44:5" + std::to_string(index);
    std::memcpy(info.data() + 17, address.data(), address.size());
    info[36] = 0x00;
    info[37] = 0x10;  // SharedMemoryStart 0x00001000
    info[44] = 0x00;
    info[45] = 0x80;  // AppAreaSize 0x00008000
    info[48] = 'C';
    info[53] = 3;  // DLL version
    info[54] = 2;  // firmware 2.07
    info[55] = 7;
    b.insert(b.end(), info.begin(), info.end());
    return b;
}

void deliver(kv::ReplyHandler handler, std::uint32_t count, const Bytes& payload) {
    handler(count, payload.empty() ? nullptr : payload.data(), static_cast<std::int32_t>(payload.size()));
}

void tickTo(std::uint32_t ms) {
    while (kv::GetActTimerCount() < ms) {
        kv::TickOnce();
    }
}

// ---- The application's callbacks, recorded in the order they came ----------------------------------

struct Call {
    char kind;  // 'E' extension state, 'C' counter reset, 'M' motor command
    std::int32_t a;
    std::int32_t b;
    bool operator==(const Call&) const = default;
};

void PrintTo(const Call& c, std::ostream* os) {
    *os << c.kind << '(' << c.a << ',' << c.b << ')';
}

std::mutex gCallsMutex;
std::vector<Call> gCalls;
// The host name that record `a` held when its extension-state callback came.
std::vector<std::string> gNamesAtCallback;

void recordCall(char kind, std::int32_t a, std::int32_t b) {
    std::lock_guard lock(gCallsMutex);
    gCalls.push_back({kind, a, b});
}

void onExtState(std::int32_t a, std::int32_t b) {
    std::string name;
    if (const KOLV_X1_TRANSFER* rec = kv::record(a)) {
        name = rec->ShmIfInfo.Hostname;
    }
    {
        std::lock_guard lock(gCallsMutex);
        gNamesAtCallback.push_back(name);
    }
    recordCall('E', a, b);
}
void onCounterResetted(std::int32_t a, std::int32_t b) {
    recordCall('C', a, b);
}
void onMotorExReached(std::int32_t a, std::int32_t b) {
    recordCall('M', a, b);
}

std::vector<Call> takeCalls() {
    std::lock_guard lock(gCallsMutex);
    std::vector<Call> out;
    out.swap(gCalls);
    return out;
}

// ---- Fixtures ---------------------------------------------------------------------------------------

class Replies : public testing::Test {
  protected:
    void SetUp() override {
        kv::InitLog();
        kv::ReleaseTransferArea();
        ASSERT_TRUE(kv::AllocateTransferArea());
        kv::requestTable().clearAll();
        for (int k = 0; k < IF08_MAX; ++k) {
            kv::ackConfigId(k).store(0);
            kv::masterSlaveAlive(k).store(0);
        }
        settleConfigurationWrite();
        // Settling wrote into the master's inputs: start again from a zeroed block.
        kv::ReleaseTransferArea();
        ASSERT_TRUE(kv::AllocateTransferArea());
        kv::ResetTransferClock();
        kv::ForgetSentConfigIds();
        kv::requestCounter().store(0);
        kv::sessionId().store(0);
        kv::libraryEvents().reply.reset();
        ::SetCBVoriExtState(onExtState);
        ::SetCBCounterResetted(onCounterResetted);
        ::SetCBMotorExReached(onMotorExReached);
        takeCalls();
        std::lock_guard lock(gCallsMutex);
        gNamesAtCallback.clear();
    }

    void TearDown() override {
        ::SetCBVoriExtState(nullptr);
        ::SetCBCounterResetted(nullptr);
        ::SetCBMotorExReached(nullptr);
        kv::requestTable().clearAll();
        for (int k = 0; k < IF08_MAX; ++k) {
            kv::ackConfigId(k).store(0);
            kv::masterSlaveAlive(k).store(0);
        }
        kv::ReleaseTransferArea();
        kv::ResetTransferClock();
    }

    // A configuration write of an earlier test in this process may still hold the inputs: replies
    // further and further on end that, as the first reply that gets through shows.
    static void settleConfigurationWrite() {
        kv::ResetTransferClock();
        IoData marker;
        marker.inputs[0] = 1;
        const Bytes reply = ioRecord(0, marker);
        for (int round = 0; round < 1000 && kv::record(0)->Input.InputValue[0] != 1; ++round) {
            tickTo(kv::GetActTimerCount() + kv::kConfigSettleMs);
            deliver(kv::cbKolvX1RemIOReply, 1, reply);
        }
    }

    static KOLV_X1_TRANSFER& rec(int k) { return *kv::record(k); }
    static std::uint8_t transferState() { return rec(0).TransferStatus.TransferState; }

    static Bytes block() {
        const auto* p = reinterpret_cast<const std::uint8_t*>(kv::transferArea());
        return Bytes(p, p + sizeof(IF08_TRANSFER));
    }

    static std::array<std::uint8_t, 9> selects(int slot) {
        std::array<std::uint8_t, 9> s{};
        for (std::size_t k = 0; k < s.size(); ++k) {
            s[k] = kv::requestTable().slot(slot).select[k].load();
        }
        return s;
    }
    static std::uint8_t pending(int slot) { return kv::requestTable().slot(slot).pending.load(); }

    static std::array<std::int16_t, 8> inputs(int k) {
        std::array<std::int16_t, 8> v{};
        std::memcpy(v.data(), rec(k).Input.InputValue, sizeof v);
        return v;
    }
};

using Selects = std::array<std::uint8_t, 9>;

// The library's port is the slave side of a pseudo terminal; the test reads the master side.
class RepliesOnPort : public Replies {
  protected:
    void SetUp() override {
        Replies::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(peer_.valid());
        std::uint32_t rc = 0;
        ASSERT_NE(kv::comPort().OpenPort(peer_.slavePath().c_str(), 38400, &rc), kv::platform::kNoPort);
        ASSERT_EQ(rc, 0u);
    }

    void TearDown() override {
        kv::comPort().ClosePort();
        Replies::TearDown();
    }

    // The next whole telegram the library wrote, or an empty one (and a failure) when none came.
    Bytes nextTelegram() { return peer_.nextTelegram(); }

    static kv::RequestSlotCopy slotFor(const Selects& select) {
        kv::RequestSlotCopy slot;
        slot.pending = 1;
        slot.select = select;
        return slot;
    }

    kvtest::PtyPeer peer_;
};

// ---- Senders ------------------------------------------------------------------------------------

TEST_F(RepliesOnPort, ReadRequestsCarryOneIndexRecordPerSelectedController) {
    // The state read of the master and extension 5, with the counter and session of the moment.
    kv::requestCounter().store(8);
    kv::sessionId().store(7);
    kv::RequestSlotCopy state = slotFor({1, 0, 0, 0, 0, 1, 0, 0, 0});
    ASSERT_EQ(kv::SendStateRdRequest(state), 1);
    const Bytes expected{0x02, 0x55, 0x00, 0x1C, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                         0x09, 0x00, 0x07, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0xFF, 0xC3, 0x03};
    EXPECT_EQ(nextTelegram(), expected);
    EXPECT_EQ(state.code, 7u);
    EXPECT_EQ(kv::requestCounter().load(), 9);

    // The information read of the master alone, right after a counter reset and the open's echo.
    kv::requestCounter().store(1);
    kv::sessionId().store(0);
    kv::RequestSlotCopy info = slotFor({1, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendInfoRdRequest(info), 1);
    const Bytes infoFrame{0x02, 0x55, 0x00, 0x18, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xDC, 0x03};
    EXPECT_EQ(nextTelegram(), infoFrame);
    EXPECT_EQ(info.code, 6u);

    // All nine controllers, in ascending order.
    kv::RequestSlotCopy all = slotFor({1, 1, 1, 1, 1, 1, 1, 1, 1});
    ASSERT_EQ(kv::SendStateRdRequest(all), 1);
    Bytes payload;
    for (std::uint32_t k = 0; k < 9; ++k) {
        payload = concat({payload, indexRecord(k)});
    }
    EXPECT_EQ(nextTelegram(), requestFrame(7, 3, 0, 9, payload));
}

TEST_F(RepliesOnPort, ConfigurationWritePacksEachControllersSettings) {
    // Every byte of the configuration part is distinct, so a byte taken from a wrong place shows.
    auto fill = [](int k, std::uint8_t base) {
        auto* c = reinterpret_cast<std::uint8_t*>(&rec(k).Config);
        for (std::size_t i = 0; i < sizeof(KVX1_CONFIG); ++i) {
            c[i] = static_cast<std::uint8_t>(base + i);
        }
    };
    fill(0, 0x10);
    fill(2, 0x40);
    KVX1_CONFIG& c = rec(2).Config;
    c.HeadValue = 0x11223344;
    const std::array<std::array<std::uint8_t, 2>, 8> settings{{
        {3, 1},        // input 0: mode 3, digital -> 0x83
        {5, 0},        // not digital: the mode alone
        {0x7F, 0x40},  // any non-zero flag counts
        {0x82, 0},     // a mode that has bit 7 already keeps it
        {0, 0xFF},     // mode 0, digital -> 0x80
        {0x21, 0},
        {0x22, 1},
        {0x23, 0},
    }};
    for (std::size_t i = 0; i < 8; ++i) {
        c.InputSetting[i].Mode = settings[i][0];
        c.InputSetting[i].Digital = settings[i][1];
    }

    kv::requestCounter().store(40);
    kv::RequestSlotCopy slot = slotFor({1, 0, 1, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendConfigWrRequest(slot), 1);
    EXPECT_EQ(slot.code, 5u);

    // The record of controller 2, written out byte by byte.
    Bytes two = indexRecord(2);
    putLe(two, 0x11223344, 4);
    for (int b : {0x83, 0x05, 0xFF, 0x82, 0x80, 0x21, 0xA2, 0x23}) {
        two.push_back(static_cast<std::uint8_t>(b));
    }
    for (int b : {0x40 + 40, 0x40 + 44, 0x40 + 48, 0x40 + 52}) {  // the counter modes
        two.push_back(static_cast<std::uint8_t>(b));
    }
    for (int i = 56; i < 88; ++i) {
        two.push_back(static_cast<std::uint8_t>(0x40 + i));
    }
    ASSERT_EQ(two.size(), 52u);

    // The master's record from its own part: head value bytes 4..7, modes with the flags set.
    Bytes zero = indexRecord(0);
    for (int i = 4; i < 8; ++i) {
        zero.push_back(static_cast<std::uint8_t>(0x10 + i));
    }
    for (int i = 0; i < 8; ++i) {
        zero.push_back(static_cast<std::uint8_t>((0x10 + 8 + 4 * i) | 0x80));
    }
    for (int i = 0; i < 4; ++i) {
        zero.push_back(static_cast<std::uint8_t>(0x10 + 40 + 4 * i));
    }
    for (int i = 56; i < 88; ++i) {
        zero.push_back(static_cast<std::uint8_t>(0x10 + i));
    }

    const Bytes frame = nextTelegram();
    EXPECT_EQ(frame, requestFrame(5, 41, 0, 2, concat({zero, two})));
    ASSERT_EQ(frame.size(), 131u);
    EXPECT_EQ(frame[24 + 52 + 4 + 4], 0x83);  // input 0 of controller 2, after index and head value
}

TEST_F(RepliesOnPort, AChangeMadeWhileItsWriteIsOutIsNotTakenAsAcknowledged) {
    kv::masterSlaveAlive(0).store(1);
    kv::masterSlaveAlive(4).store(1);
    rec(0).State.ExtState[3] = 1;  // the master reports extension 4
    rec(4).State.ConfigId = 5;
    rec(4).Config.InputSetting[0].Mode = 3;
    rec(4).Config.InputSetting[0].Digital = 1;
    kv::RequestSlotCopy slot = slotFor({0, 0, 0, 0, 1, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendConfigWrRequest(slot), 1);
    nextTelegram();
    EXPECT_EQ(kv::SentConfigId(4), std::optional<std::uint8_t>(5));
    EXPECT_EQ(kv::SentConfigId(0), std::nullopt);  // not in this write

    // The application changes the configuration again before the controller has answered.
    rec(4).Config.InputSetting[0].Mode = 2;
    rec(4).State.ConfigId = 6;
    kv::requestTable().queue(kv::SLOT_CONFIG_WR, 4);
    deliver(kv::cbKolvX1ConfigWrReply, 1, indexRecord(4));
    EXPECT_EQ(kv::ackConfigId(4).load(), 5);
    // Nor does the once-a-second state read take the new id as acknowledged.
    deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(4, {}));
    EXPECT_EQ(kv::ackConfigId(4).load(), 5);

    // So the next cycle writes the second configuration, and its reply acknowledges it.
    kv::ChangeCheck();
    EXPECT_EQ(selects(kv::SLOT_CONFIG_WR), (Selects{0, 0, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(pending(kv::SLOT_CONFIG_WR), 1);
    ASSERT_EQ(kv::SendConfigWrRequest(slot), 1);
    EXPECT_EQ(nextTelegram().at(24 + 4 + 4), 0x82);
    deliver(kv::cbKolvX1ConfigWrReply, 1, indexRecord(4));
    EXPECT_EQ(kv::ackConfigId(4).load(), 6);
    kv::ChangeCheck();
    EXPECT_EQ(pending(kv::SLOT_CONFIG_WR), 0);

    // A transfer start forgets what earlier writes carried.
    kv::ForgetSentConfigIds();
    EXPECT_EQ(kv::SentConfigId(4), std::nullopt);
}

TEST_F(RepliesOnPort, ARepeatCarriesTheCounterOfItsFirstCopyWhateverWasNumberedMeanwhile) {
    // The cycle sends the master's I/O request and gets no reply; meanwhile an information query on
    // an application thread numbers its own request.
    kv::requestCounter().store(30);
    kv::requestTable().queue(kv::SLOT_REM_IO, 0);
    kv::BeginTransferWrites();
    std::thread cycle([] { kv::SetKvRequest(); });
    const Bytes first = nextTelegram();
    {
        kv::TransmitLock tx;
        EXPECT_NE(tx.build(kv::INFO_RD_REQUEST, 1, "\0\0\0\0", 4, false), 0);
    }
    const Bytes repeat = nextTelegram();
    kv::EndTransferWrites();
    cycle.join();
    ASSERT_GE(first.size(), 24u);
    ASSERT_EQ(repeat.size(), first.size());
    EXPECT_EQ(kv::GetU16LE(first.data() + 12), 31);
    EXPECT_EQ(kv::GetU16LE(repeat.data() + 12), 31);
    EXPECT_EQ(kv::GetU32LE(repeat.data() + 16), kv::GetU32LE(first.data() + 16));
    // The query's number stays its own: the next request is numbered after it.
    EXPECT_EQ(kv::requestCounter().load(), 32);
}

TEST_F(RepliesOnPort, ConfigurationWriteHoldsAllInputsForAQuarterSecond) {
    IoData changed;
    changed.inputs = {0x55, 1, 2, 3, 4, 5, 6, 7};
    const Bytes reply = concat({ioRecord(0, changed), ioRecord(1, changed)});

    // Written at 100 ms, while a start waits for its first I/O reply.
    tickTo(100);
    kv::SetKolvX1TransferStatus(2);
    kv::RequestSlotCopy slot = slotFor({1, 1, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendConfigWrRequest(slot), 1);
    EXPECT_EQ(nextTelegram().size(), 27u + 2 * 52);

    // Until 250 ms have passed since the write, every reply is dropped whole, the start included.
    tickTo(349);
    deliver(kv::cbKolvX1RemIOReply, 2, reply);
    deliver(kv::cbKolvX1RemIOReply, 2, reply);
    EXPECT_EQ(inputs(0)[0], 0);
    EXPECT_EQ(inputs(1)[0], 0);
    EXPECT_EQ(transferState(), 2);

    // The first reply at 250 ms ends the wait and is itself still dropped.
    tickTo(350);
    deliver(kv::cbKolvX1RemIOReply, 2, reply);
    EXPECT_EQ(inputs(0)[0], 0);
    EXPECT_EQ(inputs(1)[0], 0);
    EXPECT_EQ(transferState(), 2);

    deliver(kv::cbKolvX1RemIOReply, 2, reply);
    EXPECT_EQ(inputs(0)[0], 0x55);
    EXPECT_EQ(inputs(1)[7], 7);
    EXPECT_EQ(transferState(), 1);

    // A write that fails holds the inputs all the same.
    kv::comPort().ClosePort();
    changed.inputs[0] = 0x66;
    const Bytes second = ioRecord(0, changed);
    tickTo(1000);
    EXPECT_EQ(kv::SendConfigWrRequest(slot), 2);
    tickTo(1249);
    deliver(kv::cbKolvX1RemIOReply, 1, second);
    EXPECT_EQ(inputs(0)[0], 0x55);
    tickTo(1250);
    deliver(kv::cbKolvX1RemIOReply, 1, second);
    EXPECT_EQ(inputs(0)[0], 0x55);
    deliver(kv::cbKolvX1RemIOReply, 1, second);
    EXPECT_EQ(inputs(0)[0], 0x66);
}

TEST_F(RepliesOnPort, InformationAndMessageWritesCarryTheirFixedParts) {
    KVX1_SHMIFINFO& info = rec(3).ShmIfInfo;
    std::memcpy(info.Hostname, "Hall-7-Press-012", 17);  // 16 characters and the terminator
    std::memcpy(info.BtAddress, "AA:BB:CC:DD:EE:FF", 18);
    std::memset(&info.SharedMemoryStart, 0xEE, 4);
    KVX1_DISPLAY& display = rec(3).Display;
    for (std::size_t i = 0; i < sizeof display; ++i) {
        reinterpret_cast<std::uint8_t*>(&display)[i] = static_cast<std::uint8_t>(0x80 + i);
    }

    // A message first: its larger records must leave nothing behind in the next request.
    kv::RequestSlotCopy msg = slotFor({0, 0, 0, 1, 0, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendMsgWrRequest(msg), 1);
    EXPECT_EQ(msg.code, 8u);
    Bytes msgRecord = indexRecord(3);
    for (std::size_t i = 0; i < 100; ++i) {
        msgRecord.push_back(static_cast<std::uint8_t>(0x80 + i));
    }
    EXPECT_EQ(nextTelegram(), requestFrame(8, 1, 0, 1, msgRecord));

    kv::RequestSlotCopy name = slotFor({0, 0, 0, 1, 0, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendInfoWrRequest(name), 1);
    EXPECT_EQ(name.code, 9u);
    Bytes nameRecord = indexRecord(3);
    for (char ch : std::string("Hall-7-Press-012")) {
        nameRecord.push_back(static_cast<std::uint8_t>(ch));
    }
    nameRecord.insert(nameRecord.end(), 4, 0);  // the terminator and three zero padding bytes
    ASSERT_EQ(nameRecord.size(), 24u);
    EXPECT_EQ(nextTelegram(), requestFrame(9, 2, 0, 1, nameRecord));
}

TEST_F(RepliesOnPort, IoRequestCarriesOutputsUnchangedAndMarksThemSent) {
    for (int k : {0, 2, 4}) {
        auto* out = reinterpret_cast<std::uint8_t*>(&rec(k).Output);
        for (std::size_t i = 0; i < sizeof(KVX1_OUTPUT); ++i) {
            out[i] = static_cast<std::uint8_t>(static_cast<std::size_t>(k) * 50 + i);
        }
        // Line-control bytes among them must reach the line unchanged.
        out[5] = 0x0A;
        out[6] = 0x0D;
        out[7] = 0x11;
        out[8] = 0x13;
    }
    kv::RequestSlotCopy slot = slotFor({1, 0, 0, 0, 1, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendRemIoRequest(slot), 1);
    EXPECT_EQ(slot.code, 2u);

    Bytes payload;
    for (int k : {0, 4}) {
        const auto* out = reinterpret_cast<const std::uint8_t*>(&rec(k).Output);
        payload = concat(
            {payload, indexRecord(static_cast<std::uint32_t>(k)), Bytes(out, out + sizeof(KVX1_OUTPUT))});
    }
    ASSERT_EQ(payload.size(), 96u);
    EXPECT_EQ(nextTelegram(), requestFrame(2, 1, 0, 2, payload));
    EXPECT_EQ(rec(0).ChangeState.OutputsSent, 1);
    EXPECT_EQ(rec(2).ChangeState.OutputsSent, 0);
    EXPECT_EQ(rec(4).ChangeState.OutputsSent, 1);

    // A failed write sends no outputs, so none are marked.
    rec(0).ChangeState.OutputsSent = 0;
    rec(4).ChangeState.OutputsSent = 0;
    kv::comPort().ClosePort();
    EXPECT_EQ(kv::SendRemIoRequest(slot), 2);
    EXPECT_EQ(rec(0).ChangeState.OutputsSent, 0);
    EXPECT_EQ(rec(4).ChangeState.OutputsSent, 0);
}

TEST_F(RepliesOnPort, SenderWithoutASelectedControllerSendsNothing) {
    using Sender = int (*)(kv::RequestSlotCopy&);
    rec(0).ChangeState.OutputsSent = 0;
    kv::requestCounter().store(20);
    tickTo(10);
    for (Sender send : {kv::SendInfoWrRequest, kv::SendInfoRdRequest, kv::SendStateRdRequest,
                        kv::SendConfigWrRequest, kv::SendMsgWrRequest, kv::SendRemIoRequest}) {
        kv::RequestSlotCopy empty = slotFor({});
        EXPECT_EQ(send(empty), 0);
        EXPECT_EQ(empty.code, 0u);
    }
    EXPECT_EQ(kv::requestCounter().load(), 20);
    EXPECT_EQ(rec(0).ChangeState.OutputsSent, 0);

    // Nothing went out before this request, and no configuration write holds the inputs.
    kv::RequestSlotCopy marker = slotFor({0, 1, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(kv::SendInfoRdRequest(marker), 1);
    EXPECT_EQ(nextTelegram(), requestFrame(6, 21, 0, 1, indexRecord(1)));
    IoData d;
    d.inputs[3] = 33;
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(0, d));
    EXPECT_EQ(inputs(0)[3], 33);
}

// ---- I/O replies --------------------------------------------------------------------------------

TEST_F(Replies, IoReplyIsTakenOnlyWhenItsLengthMatchesItsRecordCount) {
    IoData master;
    master.inputs = {1, -2 & 0xFFFF, 0x7FFF, 0x8001, 0xFFFF, 5, 6, 7};
    master.counterInputs = {0xFF, 0x01, 0x80, 0x00};
    master.counters = {100, 0xFFFE, 3, 4};
    master.aux = {0xABCD, 0x1234};
    master.counterResetIds = {11, 12, 13, 14};
    master.motorIds = {21, 22, 23, 24};
    IoData ext;
    ext.inputs = {300, 301, 302, 303, 304, 305, 306, 307};
    ext.counters = {9, 8, 7, 6};
    const Bytes two = concat({ioRecord(0, master), ioRecord(3, ext)});
    ASSERT_EQ(two.size(), 104u);

    deliver(kv::cbKolvX1RemIOReply, 2, two);
    const KVX1_INPUT& in = rec(0).Input;
    EXPECT_EQ(inputs(0), (std::array<std::int16_t, 8>{1, -2, 32767, -32767, -1, 5, 6, 7}));
    EXPECT_EQ((std::array<std::uint16_t, 4>{in.CounterInput[0], in.CounterInput[1], in.CounterInput[2],
                                            in.CounterInput[3]}),
              (std::array<std::uint16_t, 4>{0xFF, 0x01, 0x80, 0x00}));
    EXPECT_EQ((std::array<std::int16_t, 4>{in.Counter[0], in.Counter[1], in.Counter[2], in.Counter[3]}),
              (std::array<std::int16_t, 4>{100, -2, 3, 4}));
    EXPECT_EQ(in.AuxValue[0], 0xABCD);
    EXPECT_EQ(in.AuxValue[1], 0x1234);
    EXPECT_EQ((std::array<std::uint16_t, 4>{in.CounterResetCmdId[0], in.CounterResetCmdId[1],
                                            in.CounterResetCmdId[2], in.CounterResetCmdId[3]}),
              (std::array<std::uint16_t, 4>{11, 12, 13, 14}));
    EXPECT_EQ((std::array<std::uint16_t, 4>{in.MotorExCmdId[0], in.MotorExCmdId[1], in.MotorExCmdId[2],
                                            in.MotorExCmdId[3]}),
              (std::array<std::uint16_t, 4>{21, 22, 23, 24}));
    EXPECT_EQ(inputs(3), (std::array<std::int16_t, 8>{300, 301, 302, 303, 304, 305, 306, 307}));
    EXPECT_EQ(rec(3).Input.Counter[3], 6);
    EXPECT_EQ(inputs(1), (std::array<std::int16_t, 8>{}));

    // Four bytes short: dropped whole, logged, and no field moves; a waiting start is not completed.
    kv::SetKolvX1TransferStatus(2);
    IoData other = master;
    other.inputs[0] = 999;
    const Bytes changed = concat({ioRecord(0, other), ioRecord(3, other)});
    const Bytes before = block();
    deliver(kv::cbKolvX1RemIOReply, 2, Bytes(changed.begin(), changed.end() - 4));
    EXPECT_EQ(block(), before);
    EXPECT_EQ(countOf(logText(), ", cbKolvX1RemIOReply, wrong length, len= 100, KVX1_REM_IO_REPLY= 52\n"), 1);
    // A count that promises fewer records than the payload holds is as wrong.
    deliver(kv::cbKolvX1RemIOReply, 1, changed);
    EXPECT_EQ(block(), before);
    EXPECT_EQ(countOf(logText(), ", cbKolvX1RemIOReply, wrong length, len= 104, KVX1_REM_IO_REPLY= 52\n"), 1);
    EXPECT_EQ(transferState(), 2);
    EXPECT_TRUE(takeCalls().empty());
}

TEST_F(Replies, EmptyIoReplyCompletesOnlyAWaitingStart) {
    // No start waits: the state is left as it is.
    deliver(kv::cbKolvX1RemIOReply, 0, {});
    EXPECT_EQ(transferState(), 0);

    kv::SetKolvX1TransferStatus(2);
    rec(0).TransferStatus.ComError = 22;
    deliver(kv::cbKolvX1RemIOReply, 0, {});
    EXPECT_EQ(transferState(), 1);
    EXPECT_EQ(rec(0).TransferStatus.ComError, 0);
    EXPECT_EQ(countOf(logText(), ", SetKolvX1TransferStatus, set status = 1\n"), 1);

    // While running, later replies change neither state nor error.
    rec(0).TransferStatus.ComError = 5;
    deliver(kv::cbKolvX1RemIOReply, 0, {});
    EXPECT_EQ(transferState(), 1);
    EXPECT_EQ(rec(0).TransferStatus.ComError, 5);
    EXPECT_EQ(countOf(logText(), ", SetKolvX1TransferStatus, set status = 1\n"), 1);

    // A record count with bits above the low 16 is read as its low 16 bits.
    kv::SetKolvX1TransferStatus(2);
    deliver(kv::cbKolvX1RemIOReply, 0x10000u, {});
    EXPECT_EQ(transferState(), 1);
}

TEST_F(Replies, ChangeMasksFollowEachReplyAndInputChangedStaysSet) {
    const CHANGE_STATE& cs = rec(2).ChangeState;
    IoData d;
    d.inputs = {1, 0, 0, 0, 0, 0, 0, 9};
    d.counterInputs = {0, 0, 1, 0};
    d.counters = {0, 0, 0, 4};
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(2, d));
    EXPECT_EQ(cs.InputChangeMask, 0x81);
    EXPECT_EQ(cs.CounterInputChangeMask, 0x04);
    EXPECT_EQ(cs.CounterChangeMask, 0x08);
    EXPECT_EQ(cs.InputChanged, 1);

    // Bits follow the latest reply: set where a value moved, cleared where it stood still.
    rec(2).ChangeState.InputChanged = 0;  // the application has seen it
    d.inputs[0] = 1;                      // unchanged
    d.inputs[3] = -5 & 0xFFFF;            // changed
    d.inputs[7] = 9;                      // unchanged
    d.counterInputs = {1, 0, 1, 0};       // counter input 0 changed
    d.counters = {0, 0, 0, 4};            // unchanged
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(2, d));
    EXPECT_EQ(cs.InputChangeMask, 0x08);
    EXPECT_EQ(cs.CounterInputChangeMask, 0x01);
    EXPECT_EQ(cs.CounterChangeMask, 0x00);
    EXPECT_EQ(cs.InputChanged, 1);

    // A change of the counters alone sets InputChanged too.
    rec(2).ChangeState.InputChanged = 0;
    d.counters = {0, 7, 0, 4};
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(2, d));
    EXPECT_EQ(cs.InputChangeMask, 0x00);
    EXPECT_EQ(cs.CounterInputChangeMask, 0x00);
    EXPECT_EQ(cs.CounterChangeMask, 0x02);
    EXPECT_EQ(cs.InputChanged, 1);

    // Nothing moved: every mask clears, but InputChanged is the application's to clear.
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(2, d));
    EXPECT_EQ(cs.InputChangeMask, 0x00);
    EXPECT_EQ(cs.CounterInputChangeMask, 0x00);
    EXPECT_EQ(cs.CounterChangeMask, 0x00);
    EXPECT_EQ(cs.InputChanged, 1);

    // Once cleared, a reply with no change leaves it clear; the auxiliary values and command ids
    // are no inputs in this sense.
    rec(2).ChangeState.InputChanged = 0;
    d.aux = {1, 2};
    d.counterResetIds = {3, 0, 0, 0};
    d.motorIds = {0, 4, 0, 0};
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(2, d));
    EXPECT_EQ(cs.InputChanged, 0);
    EXPECT_EQ(rec(2).Input.AuxValue[1], 2);

    // Every other controller's change report stays untouched.
    for (int k : {0, 1, 3, 8}) {
        EXPECT_EQ(rec(k).ChangeState.InputChanged, 0) << k;
        EXPECT_EQ(rec(k).ChangeState.InputChangeMask, 0) << k;
    }
}

TEST_F(Replies, UnacknowledgedConfigurationHoldsThatControllersInputs) {
    rec(2).State.ConfigId = 5;
    kv::ackConfigId(2).store(4);
    kv::RememberSentConfigId(2, 5);  // the write of the new configuration is out
    kv::requestTable().queue(kv::SLOT_CONFIG_WR, 2);
    kv::requestTable().queue(kv::SLOT_CONFIG_WR, 6);
    IoData d;
    d.inputs[0] = 42;
    const Bytes reply = concat({ioRecord(0, d), ioRecord(2, d)});
    deliver(kv::cbKolvX1RemIOReply, 2, reply);
    EXPECT_EQ(inputs(0)[0], 42);
    EXPECT_EQ(inputs(2)[0], 0);
    EXPECT_EQ(rec(2).ChangeState.InputChanged, 0);
    EXPECT_EQ(logText().find("cbKolvX1RemIOReply"), std::string::npos);  // skipped silently

    // The controller acknowledges the write: the id counts as acknowledged and the slot settles.
    deliver(kv::cbKolvX1ConfigWrReply, 1, indexRecord(2));
    EXPECT_EQ(kv::ackConfigId(2).load(), 5);
    EXPECT_EQ(selects(kv::SLOT_CONFIG_WR), (Selects{0, 0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(pending(kv::SLOT_CONFIG_WR), 0);
    deliver(kv::cbKolvX1RemIOReply, 2, reply);
    EXPECT_EQ(inputs(2)[0], 42);

    // A state reply acknowledges what a configuration write carried to its controller, but never
    // an id that no write carried.
    rec(3).State.ConfigId = 9;
    d.inputs[0] = 43;
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(3, d));
    EXPECT_EQ(inputs(3)[0], 0);
    deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(3, {}));
    EXPECT_EQ(kv::ackConfigId(3).load(), 0);
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(3, d));
    EXPECT_EQ(inputs(3)[0], 0);
    kv::RememberSentConfigId(3, 9);
    deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(3, {}));
    EXPECT_EQ(kv::ackConfigId(3).load(), 9);
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(3, d));
    EXPECT_EQ(inputs(3)[0], 43);
}

TEST_F(Replies, CompletionFlagsAreSetOnceAndCalledBackOnlyWhileRunning) {
    KVX1_INPUT& in = rec(4).Input;
    KVX1_OUTPUT& out = rec(4).Output;
    IoData d;

    // During the start's handshake ids that agree (all 0 here) set their flags without callbacks.
    kv::SetKolvX1TransferStatus(2);
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(in.CounterResetted[i], 1) << i;
        EXPECT_EQ(in.MotorExReached[i], 1) << i;
    }
    EXPECT_TRUE(takeCalls().empty());
    EXPECT_EQ(transferState(), 1);

    // Running. The application clears the flags and asks for a reset of counter 2 and a motor
    // command 1; ids compare as whole 16-bit values.
    std::memset(in.CounterResetted, 0, sizeof in.CounterResetted);
    std::memset(in.MotorExReached, 0, sizeof in.MotorExReached);
    out.CounterResetCmdId[0] = 0x0107;
    out.CounterResetCmdId[1] = 0xFFFF;
    out.CounterResetCmdId[2] = 7;
    out.CounterResetCmdId[3] = 1;
    out.MotorExCmdId[0] = 0x0100;
    out.MotorExCmdId[1] = 0xF234;
    out.MotorExCmdId[2] = 2;
    out.MotorExCmdId[3] = 3;
    d.counterResetIds = {0x0007, 0x00FF, 0, 0};
    d.motorIds = {0x0000, 0, 0, 0};
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    EXPECT_TRUE(takeCalls().empty());

    d.counterResetIds = {0x0007, 0xFFFF, 7, 0};
    d.motorIds = {0, 0xF234, 0, 0};
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    // Motor commands come first, then the counter resets, each in index order.
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'M', 4, 1}, {'C', 4, 1}, {'C', 4, 2}}));
    EXPECT_EQ((std::array<std::uint16_t, 4>{in.CounterResetted[0], in.CounterResetted[1],
                                            in.CounterResetted[2], in.CounterResetted[3]}),
              (std::array<std::uint16_t, 4>{0, 1, 1, 0}));
    EXPECT_EQ((std::array<std::uint16_t, 4>{in.MotorExReached[0], in.MotorExReached[1], in.MotorExReached[2],
                                            in.MotorExReached[3]}),
              (std::array<std::uint16_t, 4>{0, 1, 0, 0}));

    // Further replies with the same ids change nothing until the application clears a flag.
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    EXPECT_TRUE(takeCalls().empty());
    in.CounterResetted[2] = 0;
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'C', 4, 2}}));
    EXPECT_EQ(in.CounterResetted[2], 1);

    // Not running: the flag is set, the callback does not come (and does not come later either).
    kv::SetKolvX1TransferStatus(2);
    in.MotorExReached[1] = 0;
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    EXPECT_EQ(in.MotorExReached[1], 1);
    kv::SetKolvX1TransferStatus(1);
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    EXPECT_TRUE(takeCalls().empty());

    // Without a registered callback the flag is still set.
    ::SetCBCounterResetted(nullptr);
    in.CounterResetted[1] = 0;
    deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(4, d));
    EXPECT_EQ(in.CounterResetted[1], 1);
    EXPECT_TRUE(takeCalls().empty());
}

// ---- State and information replies ------------------------------------------------------------------

TEST_F(Replies, ExtensionsAreFollowedFromTheMastersExtState) {
    kv::masterSlaveAlive(0).store(1);
    rec(0).State.OutputInitDone = 1;  // no reset of outputs in the way
    kv::requestTable().queue(kv::SLOT_STATE_RD, 0);
    kv::requestTable().queue(kv::SLOT_REM_IO, 0);
    const Eight oneAndThree{1, 0, 1, 0, 0, 0, 0, 0};
    deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(0, oneAndThree));

    std::string log = logText();
    EXPECT_EQ(countOf(log, ", Add new VORI-KQ Interface (SLAVE), shmId= 1\n"), 1) << log;
    EXPECT_EQ(countOf(log, ", Add new VORI-KQ Interface (SLAVE), shmId= 3\n"), 1) << log;
    EXPECT_EQ(countOf(log, "Add new VORI-KQ Interface"), 2) << log;
    EXPECT_EQ(selects(kv::SLOT_INFO_RD), (Selects{0, 1, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(selects(kv::SLOT_CONFIG_WR), (Selects{0, 1, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(selects(kv::SLOT_STATE_RD), (Selects{0, 1, 0, 1, 0, 0, 0, 0, 0}));  // the master's read done
    EXPECT_EQ(selects(kv::SLOT_REM_IO), (Selects{1, 1, 0, 1, 0, 0, 0, 0, 0}));
    for (int slot : {kv::SLOT_INFO_RD, kv::SLOT_CONFIG_WR, kv::SLOT_STATE_RD, kv::SLOT_REM_IO}) {
        EXPECT_EQ(pending(slot), 1) << "slot " << slot;
    }
    EXPECT_EQ(pending(kv::SLOT_INFO_WR), 0);
    EXPECT_EQ(pending(kv::SLOT_MSG_WR), 0);
    EXPECT_EQ(kv::masterSlaveAlive(1).load(), 1);
    EXPECT_EQ(kv::masterSlaveAlive(2).load(), 0);
    EXPECT_EQ(kv::masterSlaveAlive(3).load(), 1);
    EXPECT_TRUE(takeCalls().empty());  // known only once their information has come

    // The information reply announces both extensions before their records are stored.
    deliver(kv::cbKolvX1InfoRdReply, 2, concat({infoRecord(1, "Ext-One"), infoRecord(3, "Ext-Three")}));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'E', 1, 1}, {'E', 3, 1}}));
    {
        std::lock_guard lock(gCallsMutex);
        EXPECT_EQ(gNamesAtCallback, (std::vector<std::string>{"", ""}));
    }
    EXPECT_STREQ(rec(1).ShmIfInfo.Hostname, "Ext-One");
    EXPECT_STREQ(rec(3).ShmIfInfo.Hostname, "Ext-Three");
    EXPECT_EQ(selects(kv::SLOT_INFO_RD), Selects{});
    EXPECT_EQ(pending(kv::SLOT_INFO_RD), 0);
    log = logText();
    EXPECT_NE(log.find(", [SetKolvX1InfoData] shmId= 3\n"), std::string::npos) << log;
    EXPECT_NE(log.find(",   Hostname          : Ext-Three\n"), std::string::npos) << log;
    EXPECT_NE(log.find(",   BtAddress         : 00:11:22:33:44:53\n"), std::string::npos) << log;
    EXPECT_NE(log.find(",   Hardware Release  : C\n"), std::string::npos) << log;
    EXPECT_NE(log.find(",   Firmware Version  : V 2.07\n"), std::string::npos) << log;
    EXPECT_NE(log.find(",   DLL Version       : V 3\n"), std::string::npos) << log;
    EXPECT_NE(log.find(",   SharedMemoryStart : 0x00001000\n"), std::string::npos) << log;
    EXPECT_NE(log.find(",   AppAreaSize       : 0x00008000\n"), std::string::npos) << log;

    // The same picture again adds nothing, and the state read settles.
    deliver(kv::cbKolvX1StateRdReply, 3,
            concat({stateRecord(0, oneAndThree), stateRecord(1, {}), stateRecord(3, {})}));
    EXPECT_EQ(countOf(logText(), "Add new VORI-KQ Interface"), 2);
    EXPECT_EQ(selects(kv::SLOT_STATE_RD), Selects{});
    EXPECT_EQ(pending(kv::SLOT_STATE_RD), 0);

    // Extension 3 goes while an information read for it is still queued.
    kv::requestTable().queue(kv::SLOT_INFO_RD, 3);
    kv::requestTable().queue(kv::SLOT_STATE_RD, 3);
    kv::requestTable().queue(kv::SLOT_STATE_RD, 1);
    deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(0, {1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'E', 3, 0}}));  // at once
    log = logText();
    EXPECT_EQ(countOf(log, ", Remove VORI-KQ Interface (SLAVE), shmId= 3\n"), 1) << log;
    EXPECT_EQ(countOf(log, "Remove VORI-KQ Interface"), 1) << log;
    EXPECT_EQ(kv::masterSlaveAlive(3).load(), 0);
    EXPECT_EQ(kv::masterSlaveAlive(1).load(), 1);
    EXPECT_EQ(selects(kv::SLOT_INFO_RD), (Selects{0, 0, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(selects(kv::SLOT_CONFIG_WR), (Selects{0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(selects(kv::SLOT_STATE_RD), (Selects{0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(selects(kv::SLOT_REM_IO), (Selects{1, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(pending(kv::SLOT_STATE_RD), 0);  // a removal adds nothing to read

    // Its information read is still queued, but an extension that is gone is not announced again.
    deliver(kv::cbKolvX1InfoRdReply, 0, {});
    EXPECT_TRUE(takeCalls().empty());

    // Bytes other than 0 and 1 are left alone; the eighth byte is extension 8.
    deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(0, {2, 0, 7, 0, 0, 0, 0, 1}));
    EXPECT_EQ(kv::masterSlaveAlive(1).load(), 1);
    EXPECT_EQ(kv::masterSlaveAlive(3).load(), 0);
    EXPECT_EQ(kv::masterSlaveAlive(8).load(), 1);
    EXPECT_NE(logText().find(", Add new VORI-KQ Interface (SLAVE), shmId= 8\n"), std::string::npos);
    EXPECT_EQ(pending(kv::SLOT_STATE_RD), 1);
    EXPECT_TRUE(takeCalls().empty());
    deliver(kv::cbKolvX1InfoRdReply, 1, infoRecord(8, "Ext-Eight"));
    EXPECT_EQ(takeCalls(), (std::vector<Call>{{'E', 8, 1}}));
}

TEST_F(Replies, StateReplyStoresEachRecordInItsOwnController) {
    kv::masterSlaveAlive(0).store(1);
    kv::masterSlaveAlive(1).store(1);
    rec(0).State.OutputInitDone = 1;
    rec(0).State.ConfigId = 3;
    rec(1).State.ConfigId = 8;
    kv::requestTable().queue(kv::SLOT_STATE_RD, 0);
    kv::requestTable().queue(kv::SLOT_STATE_RD, 1);

    // Status bits: 0..2 the connection state, 3 listening, 4 reading; the others mean nothing.
    const Eight masterStatus{0x1A, 0x0F, 0x17, 0xE5, 0x00, 0x08, 0x10, 0xFF};
    const Eight masterInfo{0, 1, 2, 3, 0x80, 0xFE, 0xFF, 9};
    const Eight extStatus{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x18};
    const Eight extInfo{10, 11, 12, 13, 14, 15, 16, 17};
    deliver(kv::cbKolvX1StateRdReply, 2,
            concat({stateRecord(0, {1, 0, 0, 0, 0, 0, 0, 0}, masterStatus, masterInfo),
                    stateRecord(1, {5, 6, 7, 8, 9, 10, 11, 12}, extStatus, extInfo)}));

    using Channel = std::array<std::uint16_t, 4>;
    auto channel = [](int k, int c) {
        const BT_CHANNEL& ch = rec(k).State.BtChannel[c];
        return Channel{ch.ConnState, ch.ListenOn, ch.ReadOn, ch.ChannelInfo};
    };
    const std::array<Channel, 8> masterChannels{{
        {2, 1, 1, 0},
        {7, 1, 0, 1},
        {7, 0, 1, 2},
        {5, 0, 0, 3},
        {0, 0, 0, 0x80},
        {0, 1, 0, 0xFE},
        {0, 0, 1, 0xFF},
        {7, 1, 1, 9},
    }};
    const std::array<Channel, 8> extChannels{{
        {1, 0, 0, 10},
        {2, 0, 0, 11},
        {3, 0, 0, 12},
        {4, 0, 0, 13},
        {5, 0, 0, 14},
        {6, 0, 0, 15},
        {7, 0, 0, 16},
        {0, 1, 1, 17},
    }};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(channel(0, c), masterChannels[static_cast<std::size_t>(c)]) << "master, channel " << c + 1;
        EXPECT_EQ(channel(1, c), extChannels[static_cast<std::size_t>(c)])
            << "extension 1, channel " << c + 1;
        EXPECT_EQ(channel(2, c), Channel{}) << "extension 2, channel " << c + 1;
    }
    EXPECT_EQ(Eight(std::to_array(rec(0).State.ExtState)), (Eight{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Eight(std::to_array(rec(1).State.ExtState)), (Eight{5, 6, 7, 8, 9, 10, 11, 12}));
    // The application's configuration counter is not part of the record, and with no configuration
    // write out nothing is acknowledged.
    EXPECT_EQ(rec(0).State.ConfigId, 3);
    EXPECT_EQ(rec(1).State.ConfigId, 8);
    EXPECT_EQ(kv::ackConfigId(0).load(), 0);
    EXPECT_EQ(kv::ackConfigId(1).load(), 0);
    // Only the master's bytes say which extensions exist.
    for (int k = 2; k < IF08_MAX; ++k) {
        EXPECT_EQ(kv::masterSlaveAlive(k).load(), 0) << k;
    }
    EXPECT_EQ(selects(kv::SLOT_STATE_RD), Selects{});
    EXPECT_EQ(pending(kv::SLOT_STATE_RD), 0);
}

TEST_F(Replies, OutputAndConfigAreResetOnceAfterEachStop) {
    const std::string line = ", Initialization output and config area...\n";
    auto dirty = [] {
        for (int k = 0; k < IF08_MAX; ++k) {
            std::memset(&rec(k).Output, 0x5A, sizeof(KVX1_OUTPUT));
            std::memset(&rec(k).Config, 0xA5, sizeof(KVX1_CONFIG));
        }
    };
    auto clean = [] {
        for (int k = 0; k < IF08_MAX; ++k) {
            const auto* out = reinterpret_cast<const std::uint8_t*>(&rec(k).Output);
            const auto* cfg = reinterpret_cast<const std::uint8_t*>(&rec(k).Config);
            if (Bytes(out, out + sizeof(KVX1_OUTPUT)) != Bytes(sizeof(KVX1_OUTPUT), 0) ||
                Bytes(cfg, cfg + sizeof(KVX1_CONFIG)) != Bytes(sizeof(KVX1_CONFIG), 0)) {
                return false;
            }
        }
        return true;
    };
    const Bytes masterState = stateRecord(0, {});

    kv::SetKolvX1TransferStatus(1);
    kv::SetKolvX1TransferStatus(0);
    dirty();
    // An extension's state reply is no reason for the reset.
    deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(2, {}));
    EXPECT_EQ(countOf(logText(), line), 0);
    EXPECT_EQ(rec(2).Output.OutputData[0], 0x5A);

    deliver(kv::cbKolvX1StateRdReply, 1, masterState);
    EXPECT_TRUE(clean());
    EXPECT_EQ(rec(0).State.OutputInitDone, 1);
    EXPECT_EQ(countOf(logText(), line), 1);

    // The application writes its outputs afterwards; further state replies leave them.
    dirty();
    deliver(kv::cbKolvX1StateRdReply, 1, masterState);
    deliver(kv::cbKolvX1StateRdReply, 1, masterState);
    EXPECT_EQ(rec(5).Output.OutputData[3], 0x5A);
    EXPECT_EQ(rec(5).Config.FurtherSettings[3], 0xA5);
    EXPECT_EQ(countOf(logText(), line), 1);

    // A start does not reset them; the next stop does.
    kv::SetKolvX1TransferStatus(2);
    kv::SetKolvX1TransferStatus(1);
    deliver(kv::cbKolvX1StateRdReply, 1, masterState);
    EXPECT_EQ(countOf(logText(), line), 1);
    kv::SetKolvX1TransferStatus(0);
    deliver(kv::cbKolvX1StateRdReply, 1, masterState);
    deliver(kv::cbKolvX1StateRdReply, 1, masterState);
    EXPECT_TRUE(clean());
    EXPECT_EQ(countOf(logText(), line), 2);
}

// ---- Write replies, echo and dispatch ---------------------------------------------------------------

TEST_F(Replies, WriteRepliesSettleTheirSlotsForTheControllersTheyName) {
    struct Case {
        const char* name;
        kv::ReplyHandler handler;
        int slot;
    };
    const std::vector<Case> cases{
        {"configuration write", kv::cbKolvX1ConfigWrReply, kv::SLOT_CONFIG_WR},
        {"message write", kv::cbKolvX1MsgWrReply, kv::SLOT_MSG_WR},
        {"information write", kv::cbKolvX1InfoWrReply, kv::SLOT_INFO_WR},
    };
    for (int k = 0; k < IF08_MAX; ++k) {
        rec(k).State.ConfigId = static_cast<std::uint8_t>(20 + k);
        kv::RememberSentConfigId(k, static_cast<std::uint8_t>(20 + k));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kv::requestTable().clearAll();
        for (int k : {0, 2, 5, 7}) {
            kv::requestTable().queue(c.slot, k);
        }
        // All four went out; the reply names two of them.
        const kv::RequestSlotCopy sent = kv::requestTable().copy(c.slot);
        for (int k : {0, 2, 5, 7}) {
            kv::requestTable().notePacked(sent, k);
        }
        kv::requestTable().queue(kv::SLOT_REM_IO, 2);
        deliver(c.handler, 2, concat({indexRecord(2), indexRecord(5)}));
        EXPECT_EQ(selects(c.slot), (Selects{1, 0, 0, 0, 0, 0, 0, 1, 0}));
        EXPECT_EQ(pending(c.slot), 0);
        // Other slots are not theirs.
        EXPECT_EQ(selects(kv::SLOT_REM_IO), (Selects{0, 0, 1, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(pending(kv::SLOT_REM_IO), 1);
    }
    // Only the configuration write acknowledges, and only the controllers it names.
    EXPECT_EQ(kv::ackConfigId(2).load(), 22);
    EXPECT_EQ(kv::ackConfigId(5).load(), 25);
    EXPECT_EQ(kv::ackConfigId(0).load(), 0);
    EXPECT_EQ(kv::ackConfigId(7).load(), 0);

    // The echo and the ignored replies change nothing at all (the parser wakes a single exchange).
    Bytes before = block();
    deliver(kv::cbKolvX1EchoReply, 0, {});
    EXPECT_EQ(block(), before);
    before = block();
    IoData moved;
    moved.inputs = {1, 2, 3, 4, 5, 6, 7, 8};
    deliver(kv::cbKolvX1IgnoreReply, 1, ioRecord(0, moved));
    EXPECT_EQ(block(), before);

    // Each reply code reaches its own handler.
    kv::InstallReplyHandlers();
    EXPECT_EQ(kv::InstalledReplyHandler(101), kv::cbKolvX1EchoReply);
    EXPECT_EQ(kv::InstalledReplyHandler(102), kv::cbKolvX1RemIOReply);
    EXPECT_EQ(kv::InstalledReplyHandler(103), kv::cbKolvX1IgnoreReply);
    EXPECT_EQ(kv::InstalledReplyHandler(104), kv::cbKolvX1IgnoreReply);
    EXPECT_EQ(kv::InstalledReplyHandler(105), kv::cbKolvX1ConfigWrReply);
    EXPECT_EQ(kv::InstalledReplyHandler(106), kv::cbKolvX1InfoRdReply);
    EXPECT_EQ(kv::InstalledReplyHandler(107), kv::cbKolvX1StateRdReply);
    EXPECT_EQ(kv::InstalledReplyHandler(108), kv::cbKolvX1MsgWrReply);
    EXPECT_EQ(kv::InstalledReplyHandler(109), kv::cbKolvX1InfoWrReply);
}

TEST_F(Replies, AWriteChangedWhileOnItsWaySettlesOnlyWhatItCarried) {
    struct Case {
        const char* name;
        kv::ReplyHandler handler;
        int slot;
    };
    for (const auto& [name, handler, slot] :
         {Case{"message write", kv::cbKolvX1MsgWrReply, kv::SLOT_MSG_WR},
          Case{"information write", kv::cbKolvX1InfoWrReply, kv::SLOT_INFO_WR}}) {
        SCOPED_TRACE(name);
        kv::RequestTable& table = kv::requestTable();
        table.clearAll();
        table.queue(slot, 0);
        table.queue(slot, 6);
        const kv::RequestSlotCopy first = table.copy(slot);
        table.notePacked(first, 0);
        table.notePacked(first, 6);
        // While that write is out: the master changed again, extension 3 changed for the first time.
        table.queue(slot, 0);
        table.queue(slot, 3);
        deliver(handler, 1, indexRecord(0));
        EXPECT_EQ(selects(slot), (Selects{1, 0, 0, 1, 0, 0, 1, 0, 0}));
        EXPECT_EQ(pending(slot), 1);

        // The next write carries both; its reply settles them. Extension 6, whose record no reply
        // named, stays selected but is not sent again on its own.
        const kv::RequestSlotCopy second = table.copy(slot);
        table.notePacked(second, 0);
        table.notePacked(second, 3);
        deliver(handler, 2, concat({indexRecord(0), indexRecord(3)}));
        EXPECT_EQ(selects(slot), (Selects{0, 0, 0, 0, 0, 0, 1, 0, 0}));
        EXPECT_EQ(pending(slot), 0);

        // A reply that comes again, late, for a write already settled changes nothing.
        table.queue(slot, 0);
        deliver(handler, 1, indexRecord(0));
        EXPECT_EQ(selects(slot), (Selects{1, 0, 0, 0, 0, 0, 1, 0, 0}));
        EXPECT_EQ(pending(slot), 1);
    }
}

TEST_F(Replies, RecordsOutsideTheControllersOrThePayloadAreNeverApplied) {
    kv::masterSlaveAlive(0).store(1);
    rec(0).State.OutputInitDone = 1;
    for (int k = 0; k < IF08_MAX; ++k) {
        rec(k).State.ConfigId = static_cast<std::uint8_t>(30 + k);
        kv::ackConfigId(k).store(static_cast<std::uint8_t>(30 + k));
        kv::requestTable().queue(kv::SLOT_CONFIG_WR, k);
        kv::requestTable().queue(kv::SLOT_STATE_RD, k);
        kv::requestTable().queue(kv::SLOT_INFO_RD, k);
    }
    ::SetCBVoriExtState(nullptr);
    const Bytes before = block();

    // Indexes beyond the nine controllers, in every handler that reads records.
    IoData d;
    d.inputs = {7, 7, 7, 7, 7, 7, 7, 7};
    for (std::uint32_t bad : {9u, 12u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bad);
        deliver(kv::cbKolvX1RemIOReply, 1, ioRecord(bad, d));
        deliver(kv::cbKolvX1StateRdReply, 1, stateRecord(bad, {1, 1, 1, 1, 1, 1, 1, 1}, Eight{7}));
        deliver(kv::cbKolvX1InfoRdReply, 1, infoRecord(bad, "Nobody"));
        deliver(kv::cbKolvX1ConfigWrReply, 1, indexRecord(bad));
        deliver(kv::cbKolvX1MsgWrReply, 1, indexRecord(bad));
        deliver(kv::cbKolvX1InfoWrReply, 1, indexRecord(bad));
    }
    EXPECT_EQ(block(), before);
    EXPECT_EQ(selects(kv::SLOT_CONFIG_WR), (Selects{1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(selects(kv::SLOT_STATE_RD), (Selects{1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(selects(kv::SLOT_INFO_RD), (Selects{1, 1, 1, 1, 1, 1, 1, 1, 1}));
    for (int k = 1; k < IF08_MAX; ++k) {
        EXPECT_EQ(kv::masterSlaveAlive(k).load(), 0) << k;
    }
    std::string log = logText();
    for (const char* handler : {"cbKolvX1RemIOReply", "cbKolvX1StateRdReply", "cbKolvX1InfoRdReply",
                                "cbKolvX1ConfigWrReply", "cbKolvX1MsgWrReply", "cbKolvX1InfoWrReply"}) {
        EXPECT_EQ(countOf(log, std::string(", ") + handler + ", invalid shmId= 9, record skipped\n"), 1)
            << handler << "\n"
            << log;
    }

    // A bad record among good ones spoils only itself.
    IoData good;
    good.inputs[0] = 11;
    deliver(kv::cbKolvX1RemIOReply, 3, concat({ioRecord(0, good), ioRecord(9, d), ioRecord(1, good)}));
    EXPECT_EQ(inputs(0)[0], 11);
    EXPECT_EQ(inputs(1)[0], 11);

    // A record count larger than the payload holds: the whole records are applied, the rest is not
    // read, and the line says so.
    kv::InitLog();
    rec(2).State.ConfigId = 44;
    rec(3).State.ConfigId = 45;
    kv::RememberSentConfigId(3, 45);
    deliver(kv::cbKolvX1StateRdReply, 3,
            concat({stateRecord(2, {}, Eight{3}), stateRecord(3, {}, Eight{4})}));
    EXPECT_EQ(rec(2).State.BtChannel[0].ConnState, 3);
    EXPECT_EQ(rec(3).State.BtChannel[0].ConnState, 4);
    EXPECT_EQ(kv::ackConfigId(3).load(), 45);
    Bytes partial = concat({indexRecord(2), indexRecord(3)});
    partial.resize(6);
    deliver(kv::cbKolvX1ConfigWrReply, 2, partial);
    EXPECT_EQ(selects(kv::SLOT_CONFIG_WR)[2], 0);
    EXPECT_EQ(selects(kv::SLOT_CONFIG_WR)[3], 1);
    Bytes shortInfo = infoRecord(4, "Cut-Short");
    shortInfo.resize(40);
    deliver(kv::cbKolvX1InfoRdReply, 1, shortInfo);
    EXPECT_STREQ(rec(4).ShmIfInfo.Hostname, "");
    EXPECT_EQ(selects(kv::SLOT_INFO_RD)[4], 1);
    // Records promised with no payload at all.
    kv::cbKolvX1StateRdReply(2, nullptr, 0);
    kv::cbKolvX1MsgWrReply(1, nullptr, 0);
    log = logText();
    EXPECT_EQ(countOf(log, ", cbKolvX1StateRdReply, payload too short for record 3 of 3, len= 56\n"), 1)
        << log;
    EXPECT_EQ(countOf(log, ", cbKolvX1ConfigWrReply, payload too short for record 2 of 2, len= 6\n"), 1)
        << log;
    EXPECT_EQ(countOf(log, ", cbKolvX1InfoRdReply, payload too short for record 1 of 1, len= 40\n"), 1)
        << log;
    EXPECT_EQ(countOf(log, ", cbKolvX1StateRdReply, payload too short for record 1 of 2, len= 0\n"), 1)
        << log;
    EXPECT_EQ(countOf(log, ", cbKolvX1MsgWrReply, payload too short for record 1 of 1, len= 0\n"), 1) << log;
}

}  // namespace
