// The Bluetooth relay without a controller: what each operation checks, stores and writes (read off
// the far side of a pseudo terminal), how the senders take what a running transfer left marked, and
// what each reply does to the channel's entry and the application's callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "bluetooth/relay.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/parser.h"
#include "serial/telegram.h"
#include "support/lib_fixture.h"
#include "support/pty_peer.h"
#include "transfer/request_table.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_state.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kvtest::countOf;
using kvtest::logText;

constexpr std::uint32_t kHandle = 0x1234;
constexpr std::uint8_t kAddress[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01};

// A request as it arrived: the header fields the relay fills and the payload.
struct Request {
    std::uint32_t code = 0;
    std::uint32_t count = 0;
    std::uint32_t counter = 0;
    Bytes payload;
};

std::uint32_t le(const Bytes& b, std::size_t at, int size) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) {
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    }
    return v;
}

Request decode(const Bytes& frame) {
    Request r;
    if (frame.size() < 27) {
        ADD_FAILURE() << "frame of " << frame.size() << " bytes";
        return r;
    }
    r.counter = le(frame, 12, 2);
    r.code = le(frame, 16, 4);
    r.count = le(frame, 20, 4);
    r.payload.assign(frame.begin() + 24, frame.end() - 3);
    return r;
}

// A reply payload: 16-bit channel and status, then whatever follows.
Bytes reply(std::uint16_t channel, std::uint16_t status, const Bytes& rest = {}) {
    Bytes b(4 + rest.size());
    b[0] = static_cast<std::uint8_t>(channel);
    b[1] = static_cast<std::uint8_t>(channel >> 8);
    b[2] = static_cast<std::uint8_t>(status);
    b[3] = static_cast<std::uint8_t>(status >> 8);
    std::copy(rest.begin(), rest.end(), b.begin() + 4);
    return b;
}

// What the callbacks saw, with the channel's entry as it stood when they ran.
struct Seen {
    int action = -1;
    BtEvent event{};
    BT_CHANNEL entry{};
};
std::vector<Seen> gSeen;
std::vector<BtScanEvent> gScans;

template <int Action>
void onEvent(BtEvent* e) {
    Seen s;
    s.action = Action;
    s.event = *e;
    if (e->Channel >= 1 && e->Channel <= 8) {
        s.entry = kv::record(0)->State.BtChannel[e->Channel - 1];
    }
    gSeen.push_back(s);
}

void onScan(BtScanEvent* e) {
    gScans.push_back(*e);
}

class Bluetooth : public testing::Test {
  protected:
    void SetUp() override {
        kv::InitLog();
        kv::ReleaseTransferArea();
        ASSERT_TRUE(kv::AllocateTransferArea());
        kv::requestTable().clearAll();
        kv::ClearBtCallbacks();
        kv::btRelay().scanRunning.store(0);
        kv::transferFlags().threadWriteFlag.store(0);
        ASSERT_TRUE(peer_.valid());
        std::uint32_t rc = 0;
        ASSERT_NE(kv::comPort().OpenPort(peer_.slavePath().c_str(), 38400, &rc), kv::platform::kNoPort);
        kv::deviceHandle().store(kHandle);
        kv::requestCounter().store(5);
        gSeen.clear();
        gScans.clear();
    }

    void TearDown() override {
        kv::comPort().ClosePort();
        kv::deviceHandle().store(0);
        kv::transferFlags().threadWriteFlag.store(0);
        kv::requestTable().clearAll();
        kv::ClearBtCallbacks();
        kv::ReleaseTransferArea();
    }

    Request next() { return decode(peer_.nextTelegram()); }
    bool nothingSent() { return peer_.silentFor(std::chrono::milliseconds(50)); }

    static BT_CHANNEL& entry(int channel) { return kv::record(0)->State.BtChannel[channel - 1]; }
    static std::uint8_t pending(int slot) { return kv::requestTable().slot(slot).pending.load(); }
    static std::uint8_t selected(int slot, int channel) {
        return kv::requestTable().slot(slot).select[static_cast<std::size_t>(channel)].load();
    }

    kvtest::PtyPeer peer_;
};

bool sameEntry(const BT_CHANNEL& a, const BT_CHANNEL& b) {
    return a.ConnState == b.ConnState && a.ListenOn == b.ListenOn && a.ReadOn == b.ReadOn &&
           a.ChannelInfo == b.ChannelInfo;
}

TEST_F(Bluetooth, ChecksRefuseBeforeAnythingIsStoredOrSent) {
    for (std::uint32_t channel : {0u, 9u}) {
        EXPECT_EQ(ConnectBtAddress(kHandle, channel, kAddress, onEvent<1>), KVLIB_ERR_BT_INVALID_CHANNEL);
        EXPECT_EQ(DisconnectBt(kHandle, channel, nullptr), KVLIB_ERR_BT_INVALID_CHANNEL);
        EXPECT_EQ(SendBtMessage(kHandle, channel, 0, nullptr, nullptr), KVLIB_ERR_BT_INVALID_CHANNEL);
        EXPECT_EQ(BtListenConOn(kHandle, channel, kAddress, nullptr), KVLIB_ERR_BT_INVALID_CHANNEL);
        EXPECT_EQ(BtListenConOff(kHandle, channel, nullptr), KVLIB_ERR_BT_INVALID_CHANNEL);
        EXPECT_EQ(BtReadMsgOn(kHandle, channel, nullptr), KVLIB_ERR_BT_INVALID_CHANNEL);
        EXPECT_EQ(BtReadMsgOff(kHandle, channel, nullptr), KVLIB_ERR_BT_INVALID_CHANNEL);
    }
    EXPECT_EQ(ConnectBtAddress(kHandle + 1, 2, kAddress, nullptr), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(StartScanBtDevice(0, onScan), KVLIB_ERR_DEVICE_NOT_OPEN);
    // No scan runs: the cancel has nothing to do, whatever the handle.
    EXPECT_EQ(CancelScanBtDevice(kHandle + 1), 0u);
    // Messages longer than the request's field, and missing bytes, are refused.
    const std::array<std::uint8_t, 17> longMessage{};
    EXPECT_EQ(SendBtMessage(kHandle, 2, 17, longMessage.data(), nullptr), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(SendBtMessage(kHandle, 2, 3, nullptr, nullptr), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(ConnectBtAddress(kHandle, 2, nullptr, nullptr), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(BtListenConOn(kHandle, 2, nullptr, nullptr), KVLIB_ERR_INVALID_PARAM);

    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(countOf(logText(), "BtApi"), 0);
    for (int slot = kv::SLOT_BT_SCAN; slot <= kv::SLOT_BT_LISTEN; ++slot) {
        EXPECT_EQ(pending(slot), 0) << slot;
    }
    for (int action = 1; action < kv::kBtChannelActions; ++action) {
        EXPECT_EQ(kv::btRelay().callbacks[static_cast<std::size_t>(action)][0].load(), nullptr);
    }
}

TEST_F(Bluetooth, WithoutATransferEachRequestGoesOutAtOnceWithoutACounter) {
    EXPECT_EQ(StartScanBtDevice(kHandle, onScan), 0u);
    Request r = next();
    EXPECT_EQ(r.code, 10u);
    EXPECT_EQ(r.count, 0u);
    EXPECT_TRUE(r.payload.empty());
    EXPECT_EQ(kv::btRelay().scanRunning.load(), 1);
    EXPECT_EQ(CancelScanBtDevice(kHandle), 0u);
    EXPECT_EQ(next().code, 11u);

    EXPECT_EQ(ConnectBtAddress(kHandle, 2, kAddress, nullptr), 0u);
    r = next();
    EXPECT_EQ(r.code, 12u);
    EXPECT_EQ(r.count, 1u);
    EXPECT_EQ(r.payload, (Bytes{2, 0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01, 0}));
    EXPECT_EQ(r.counter, 0u);

    EXPECT_EQ(DisconnectBt(kHandle, 2, nullptr), 0u);
    r = next();
    EXPECT_EQ(r.code, 13u);
    EXPECT_EQ(r.payload, (Bytes{2, 0, 0, 0}));

    EXPECT_EQ(SendBtMessage(kHandle, 3, 0, nullptr, nullptr), 0u);
    r = next();
    EXPECT_EQ(r.code, 14u);
    EXPECT_EQ(r.payload, (Bytes{3, 0, 0, 0, 0, 0}));
    const std::uint8_t text[3] = {'a', 'b', 'c'};
    EXPECT_EQ(SendBtMessage(kHandle, 3, 3, text, nullptr), 0u);
    EXPECT_EQ(next().payload, (Bytes{3, 0, 3, 0, 'a', 'b', 'c', 0, 0}));
    // A shorter message after a longer one carries nothing of the longer one.
    const std::uint8_t one[1] = {'z'};
    EXPECT_EQ(SendBtMessage(kHandle, 3, 1, one, nullptr), 0u);
    EXPECT_EQ(next().payload, (Bytes{3, 0, 1, 0, 'z', 0, 0}));

    EXPECT_EQ(BtReadMsgOn(kHandle, 4, nullptr), 0u);
    EXPECT_EQ(BtReadMsgOff(kHandle, 4, nullptr), 0u);
    EXPECT_EQ(BtListenConOn(kHandle, 5, kAddress, nullptr), 0u);
    EXPECT_EQ(BtListenConOff(kHandle, 5, nullptr), 0u);
    for (const auto& [code, payload] : std::vector<std::pair<std::uint32_t, Bytes>>{
             {15, {4, 0, 0, 0}},
             {16, {4, 0, 0, 0}},
             {17, {5, 0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01, 0}},
             {18, {5, 0, 0, 0}}}) {
        r = next();
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.payload, payload) << code;
    }
    // Bluetooth requests neither carry nor advance the request counter.
    EXPECT_EQ(kv::requestCounter().load(), 5);
    for (int slot = kv::SLOT_BT_SCAN; slot <= kv::SLOT_BT_LISTEN; ++slot) {
        EXPECT_EQ(pending(slot), 0) << slot;
    }

    const std::string log = logText();
    EXPECT_NE(log.find("BtApi, StartScanBtDevice ..."), std::string::npos);
    EXPECT_NE(log.find("BtApi, CancelScanBtDevice ..."), std::string::npos);
    EXPECT_NE(log.find("BtApi, (chan= 2), connecting to [00:1A:7D:DA:72:01]"), std::string::npos);
    EXPECT_NE(log.find("BtApi, (chan= 2), disconnecting..."), std::string::npos);
    EXPECT_NE(log.find("BtApi, (chan= 4), BtReadMsgOn..."), std::string::npos);
    EXPECT_NE(log.find("BtApi, (chan= 4), BtReadMsgOff..."), std::string::npos);
    EXPECT_NE(log.find("BtApi, (chan= 5), BtListenConOn, BtAddr: 00:1A:7D:DA:72:01"), std::string::npos);
    EXPECT_NE(log.find("BtApi, (chan= 5), BtListenConOff..."), std::string::npos);
}

TEST_F(Bluetooth, ChannelsOneAndEightAreAcceptedByEveryCall) {
    // The two ends of the range; 0 and 9 are refused above.
    for (std::uint32_t channel : {1u, 8u}) {
        SCOPED_TRACE(channel);
        const std::uint8_t message[2] = {'h', 'i'};
        EXPECT_EQ(ConnectBtAddress(kHandle, channel, kAddress, onEvent<1>), 0u);
        EXPECT_EQ(DisconnectBt(kHandle, channel, onEvent<2>), 0u);
        EXPECT_EQ(SendBtMessage(kHandle, channel, 2, message, onEvent<3>), 0u);
        EXPECT_EQ(BtReadMsgOn(kHandle, channel, onEvent<4>), 0u);
        EXPECT_EQ(BtReadMsgOff(kHandle, channel, onEvent<4>), 0u);
        EXPECT_EQ(BtListenConOn(kHandle, channel, kAddress, onEvent<5>), 0u);
        EXPECT_EQ(BtListenConOff(kHandle, channel, onEvent<5>), 0u);
        for (std::uint32_t code : {12u, 13u, 14u, 15u, 16u, 17u, 18u}) {
            const Request r = next();
            EXPECT_EQ(r.code, code);
            ASSERT_FALSE(r.payload.empty()) << code;
            EXPECT_EQ(r.payload[0], channel) << code;
        }
        EXPECT_TRUE(nothingSent());
    }
    // Every call but the message send writes a line naming its channel.
    EXPECT_EQ(countOf(logText(), "BtApi, (chan= 8), "), 6);
}

TEST_F(Bluetooth, WhileATransferRunsRequestsWaitAndGoOutInOnePass) {
    kv::transferFlags().threadWriteFlag.store(1);
    // The cycle's snapshot may be older than the marks: the senders work from the live slots.
    kv::RequestSlotCopy taken = kv::requestTable().copy(kv::SLOT_BT_CONNECT);
    EXPECT_EQ(ConnectBtAddress(kHandle, 3, kAddress, nullptr), 0u);
    EXPECT_EQ(ConnectBtAddress(kHandle, 1, kAddress, nullptr), 0u);
    EXPECT_EQ(BtReadMsgOn(kHandle, 6, nullptr), 0u);
    EXPECT_EQ(BtReadMsgOff(kHandle, 6, nullptr), 0u);
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(pending(kv::SLOT_BT_CONNECT), 1);
    EXPECT_EQ(selected(kv::SLOT_BT_CONNECT, 3), 1);
    EXPECT_EQ(pending(kv::SLOT_BT_READ), 3);
    EXPECT_EQ(selected(kv::SLOT_BT_READ, 6), 3);

    EXPECT_EQ(kv::SendBtConnectRequests(taken), 1);
    EXPECT_EQ(next().payload[0], 1);
    EXPECT_EQ(next().payload[0], 3);
    kv::RequestSlotCopy read = kv::requestTable().copy(kv::SLOT_BT_READ);
    EXPECT_EQ(kv::SendBtReadRequests(read), 1);
    EXPECT_EQ(next().code, 15u);
    EXPECT_EQ(next().code, 16u);
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(pending(kv::SLOT_BT_CONNECT), 0);
    EXPECT_EQ(selected(kv::SLOT_BT_CONNECT, 3), 0);
    EXPECT_EQ(pending(kv::SLOT_BT_READ), 0);
    EXPECT_EQ(selected(kv::SLOT_BT_READ, 6), 0);

    // A pass with nothing selected sends nothing and still counts as done.
    EXPECT_EQ(kv::SendBtDisconnectRequests(taken), 1);
    EXPECT_TRUE(nothingSent());

    // When the write fails, what was not written stays selected for the next request of its kind.
    EXPECT_EQ(DisconnectBt(kHandle, 2, nullptr), 0u);
    EXPECT_EQ(BtListenConOff(kHandle, 7, nullptr), 0u);
    kv::comPort().ClosePort();
    kv::RequestSlotCopy discon = kv::requestTable().copy(kv::SLOT_BT_DISCON);
    EXPECT_EQ(kv::SendBtDisconnectRequests(discon), 2);
    EXPECT_EQ(pending(kv::SLOT_BT_DISCON), 0);
    EXPECT_EQ(selected(kv::SLOT_BT_DISCON, 2), 1);
    kv::RequestSlotCopy listen = kv::requestTable().copy(kv::SLOT_BT_LISTEN);
    EXPECT_EQ(kv::SendBtListenRequests(listen), 2);
    EXPECT_EQ(selected(kv::SLOT_BT_LISTEN, 7), 2);
}

TEST_F(Bluetooth, EachReplyStatusActsOnTheChannelEntryAsTabled) {
    struct Case {
        kv::ReplyHandler handler;
        int action;
        std::uint16_t status;
        BT_CHANNEL before;
        BT_CHANNEL after;
    };
    const BT_CHANNEL idle{0, 0, 0, 7};
    const BT_CHANNEL busy{2, 1, 1, 7};
    const Case cases[] = {
        {kv::cbBtConnectReply, 1, 0, idle, {2, 0, 0, 7}},
        {kv::cbBtConnectReply, 1, 1, idle, {2, 0, 0, 7}},
        {kv::cbBtConnectReply, 1, 3, busy, {0, 0, 0, 7}},
        {kv::cbBtConnectReply, 1, 5, busy, {0, 0, 0, 7}},
        {kv::cbBtConnectReply, 1, 12, busy, {0, 1, 1, 7}},
        {kv::cbBtConnectReply, 1, 16, busy, {0, 1, 1, 7}},
        {kv::cbBtConnectReply, 1, 7, busy, busy},
        {kv::cbBtDisconReply, 2, 0, busy, {0, 1, 1, 7}},
        {kv::cbBtDisconReply, 2, 3, busy, busy},
        {kv::cbBtWriteReply, 3, 0, busy, busy},
        {kv::cbBtWriteReply, 3, 3, idle, idle},
        {kv::cbBtReadReply, 4, 0, idle, {0, 0, 1, 7}},
        {kv::cbBtReadReply, 4, 10, idle, {0, 0, 1, 7}},
        {kv::cbBtReadReply, 4, 13, idle, {0, 0, 1, 7}},
        {kv::cbBtReadReply, 4, 3, idle, idle},
        {kv::cbBtNoReadReply, 7, 0, busy, {2, 1, 0, 7}},
        {kv::cbBtNoReadReply, 7, 3, busy, busy},
        {kv::cbBtListenReply, 5, 0, idle, {0, 1, 0, 7}},
        {kv::cbBtListenReply, 5, 9, idle, {0, 1, 0, 7}},
        {kv::cbBtListenReply, 5, 3, busy, {0, 0, 0, 7}},
        {kv::cbBtListenReply, 5, 5, busy, {0, 0, 0, 7}},
        {kv::cbBtListenReply, 5, 11, idle, {2, 0, 0, 7}},
        {kv::cbBtListenReply, 5, 12, busy, {0, 1, 1, 7}},
        {kv::cbBtNoListenReply, 6, 0, busy, {2, 0, 1, 7}},
        {kv::cbBtNoListenReply, 6, 3, busy, busy},
    };
    // Every action's callback on channel 2 records what it saw.
    const BtEventCallback callbacks[] = {nullptr,    onEvent<1>, onEvent<2>, onEvent<3>,
                                         onEvent<4>, onEvent<5>, onEvent<6>, onEvent<7>};
    for (int action = 1; action < kv::kBtChannelActions; ++action) {
        kv::btRelay().callbacks[static_cast<std::size_t>(action)][2].store(callbacks[action]);
    }
    for (const Case& c : cases) {
        entry(2) = c.before;
        entry(3) = busy;
        gSeen.clear();
        const Bytes payload = c.handler == kv::cbBtReadReply ? reply(2, c.status, {0, 0}) : reply(2, c.status);
        c.handler(1, payload.data(), static_cast<std::int32_t>(payload.size()));
        SCOPED_TRACE("action " + std::to_string(c.action) + " status " + std::to_string(c.status));
        EXPECT_TRUE(sameEntry(entry(2), c.after));
        EXPECT_TRUE(sameEntry(entry(3), busy));  // no other channel changes
        ASSERT_EQ(gSeen.size(), 1u);
        EXPECT_EQ(gSeen[0].action, c.action);
        EXPECT_EQ(gSeen[0].event.Channel, 2);
        EXPECT_EQ(gSeen[0].event.Status, c.status);
        // The callback runs after the entry has changed.
        EXPECT_TRUE(sameEntry(gSeen[0].entry, c.after));
    }
    // The reply to a cancelled scan raises nothing.
    const Bytes noScan = reply(0, 0);
    gSeen.clear();
    kv::cbBtNoScanReply(1, noScan.data(), 4);
    EXPECT_TRUE(gSeen.empty());
}

TEST_F(Bluetooth, ReadRepliesFillTheEventAndNeverRunPastIt) {
    kv::btRelay().callbacks[kv::BT_ACT_READ][3].store(onEvent<4>);
    kv::btRelay().callbacks[kv::BT_ACT_WRITE][3].store(onEvent<3>);
    const Bytes hello = reply(3, 10, {5, 0, 'h', 'e', 'l', 'l', 'o'});
    kv::cbBtReadReply(1, hello.data(), static_cast<std::int32_t>(hello.size()));
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].event.Length, 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gSeen[0].event.Data), 5), "hello");

    // Other events keep the last message; a new read clears it first.
    const Bytes written = reply(3, 0);
    kv::cbBtWriteReply(1, written.data(), 4);
    EXPECT_EQ(gSeen[1].event.Length, 5);
    const Bytes hi = reply(3, 10, {2, 0, 'h', 'i'});
    kv::cbBtReadReply(1, hi.data(), static_cast<std::int32_t>(hi.size()));
    EXPECT_EQ(gSeen[2].event.Length, 2);
    EXPECT_EQ(gSeen[2].event.Data[2], 0);

    // Announced beyond the record: cut to 16. Announced beyond the payload: cut to what came.
    Bytes longer = reply(3, 10, {40, 0});
    for (int i = 0; i < 40; ++i) {
        longer.push_back(static_cast<std::uint8_t>('A' + i % 26));
    }
    kv::cbBtReadReply(1, longer.data(), static_cast<std::int32_t>(longer.size()));
    EXPECT_EQ(gSeen[3].event.Length, 16);
    EXPECT_EQ(gSeen[3].event.Data[15], 'P');
    const Bytes shortPayload = reply(3, 10, {12, 0, 'x', 'y'});
    kv::cbBtReadReply(1, shortPayload.data(), static_cast<std::int32_t>(shortPayload.size()));
    EXPECT_EQ(gSeen[4].event.Length, 2);

    // Too short to name channel and status: ignored, nothing called.
    const Bytes stub{3, 0};
    kv::cbBtReadReply(1, stub.data(), 2);
    kv::cbBtConnectReply(1, stub.data(), 2);
    EXPECT_EQ(gSeen.size(), 5u);
}

TEST_F(Bluetooth, MissingCallbacksAreLoggedAndTheEntryStillChanges) {
    const Bytes connected = reply(2, 0);
    kv::cbBtConnectReply(1, connected.data(), 4);
    EXPECT_EQ(entry(2).ConnState, 2);
    const Bytes message = reply(4, 10, {1, 0, '!'});
    kv::cbBtReadReply(1, message.data(), static_cast<std::int32_t>(message.size()));
    EXPECT_EQ(entry(4).ReadOn, 1);
    // A channel no entry has: nothing changes, nobody is called.
    const Bytes stray = reply(12, 0);
    kv::cbBtConnectReply(1, stray.data(), 4);

    Bytes scan(30, 0);
    scan[2] = 0xAB;
    kv::btRelay().scanRunning.store(1);
    kv::cbBtScanReply(1, scan.data(), 30);
    EXPECT_EQ(kv::btRelay().scanRunning.load(), 1);

    const std::string log = logText();
    EXPECT_NE(log.find("Bluetooth: CALLBACK not defined ! action= 1, idx= 2"), std::string::npos);
    EXPECT_NE(log.find("Bluetooth: CALLBACK not defined ! action= BT_ACT_READ, idx= 4"), std::string::npos);
    EXPECT_NE(log.find("Bluetooth: CALLBACK not defined ! action= 1, idx= 12"), std::string::npos);
    EXPECT_NE(log.find("Bluetooth: CALLBACK not defined ! action= 0"), std::string::npos);
    EXPECT_TRUE(gSeen.empty());
}

TEST_F(Bluetooth, ScanRepliesReachTheScanCallbackUntilTheScanEnds) {
    kv::btRelay().scanCallback.store(onScan);
    kv::btRelay().scanRunning.store(1);
    Bytes found(30, 0);
    for (std::size_t i = 2; i < found.size(); ++i) {
        found[i] = static_cast<std::uint8_t>(i);
    }
    kv::cbBtScanReply(1, found.data(), 30);
    EXPECT_EQ(kv::btRelay().scanRunning.load(), 1);
    Bytes ended(30, 0);
    ended[0] = 5;
    kv::cbBtScanReply(1, ended.data(), 30);
    EXPECT_EQ(kv::btRelay().scanRunning.load(), 0);
    ASSERT_EQ(gScans.size(), 2u);
    EXPECT_EQ(std::memcmp(gScans[0].Data, found.data(), 30), 0);
    EXPECT_EQ(gScans[1].Data[0], 5);
    // A record shorter than usual is handed on with zeros after it.
    const Bytes brief{0, 0, 0x11};
    kv::cbBtScanReply(1, brief.data(), 3);
    ASSERT_EQ(gScans.size(), 3u);
    EXPECT_EQ(gScans[2].Data[2], 0x11);
    EXPECT_EQ(gScans[2].Data[3], 0);
}

TEST_F(Bluetooth, StatusBtConnectionCopiesOneSlotAndNothingBeyond) {
    entry(3) = BT_CHANNEL{2, 1, 0, 0x55};
    std::uint32_t words[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(StatusBtConnection(3, words), words);
    EXPECT_EQ(words[0], 0x00010002u);
    EXPECT_EQ(words[1], 0x00550000u);
    kv::record(0)->State.ExtState[0] = 1;
    kv::record(0)->State.ExtState[5] = 1;
    EXPECT_EQ(StatusBtConnection(0, words), words);
    EXPECT_EQ(words[0], 0x00000001u);
    EXPECT_EQ(words[1], 0x00000100u);
    words[0] = words[1] = 0xFFFFFFFF;
    EXPECT_EQ(StatusBtConnection(9, words), words);
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(StatusBtConnection(2, nullptr), nullptr);
}

}  // namespace
