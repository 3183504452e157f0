// The information queries and the two setters against the simulated controller over a real pty.
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kvarolib.h"
#include "support/controller.h"
#include "support/lib_fixture.h"
#include "transfer/request_table.h"
#include "transfer/transfer_area.h"

namespace {

using kvtest::countOf;
using kvtest::logText;
using kvtest::waitFor;

constexpr std::uint32_t kInfoRd = 6;
constexpr std::uint32_t kMsgWr = 8;
constexpr std::uint32_t kInfoWr = 9;
constexpr std::size_t kPayload = 24;  // offset of the first record in a telegram

using TextQuery = std::uint32_t (*)(std::uint32_t, std::int32_t, char*, std::uint32_t);

class InfoTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(kvxInitLib(), 0u); }
    void TearDown() override {
        kvxStopTransferArea();
        kvxCloseAllDevices();
        kvxCloseLib();
        kv::requestTable().clearAll();
    }

    void open(const kvtest::Controller& c) {
        std::uint32_t rc = 0xFFFFFFFF;
        handle = kvxOpenComDevice(c.port().c_str(), 38400, &rc);
        ASSERT_EQ(rc, 0u);
    }

    KVX1_SHMIFINFO& info(int k) { return GetIF08TransferAddress(handle)->Record[k].ShmIfInfo; }

    std::string text(TextQuery query, std::int32_t shmId) {
        char buffer[64] = {};
        const std::uint32_t n = query(handle, shmId, buffer, sizeof buffer);
        EXPECT_EQ(n, std::strlen(buffer));
        return buffer;
    }

    std::uint32_t handle = 0;
};

const std::vector<std::pair<const char*, TextQuery>> kRecordTexts{
    {"GetVoriKqDevName", GetVoriKqDevName}, {"GetVoriKqBtAddr", GetVoriKqBtAddr},
    {"GetVoriKqFwStr", GetVoriKqFwStr},     {"GetVoriKqHwStr", GetVoriKqHwStr},
    {"GetVoriKqDllStr", GetVoriKqDllStr},   {"GetVoriKqSerialStr", GetVoriKqSerialStr},
};

TEST_F(InfoTest, SerialNumberBySelectorAndBufferSize) {
    kvtest::Controller c({"--serial", "KQ12345678"});
    open(c);
    char buffer[16];
    EXPECT_EQ(GetVoriKqSerialStr(handle, 0, buffer, 11), 10u);
    EXPECT_STREQ(buffer, "KQ12345678");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetVoriKqSerialStr(handle, 0, buffer, 10), 0u);
    EXPECT_EQ(kvxGetSerialNrStrg(handle, buffer, 10), 0u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
    EXPECT_EQ(kvxGetSerialNrStrg(handle, buffer, 11), 10u);
    EXPECT_STREQ(buffer, "KQ12345678");
    for (const std::int32_t selector : {1, -1}) {
        EXPECT_EQ(GetVoriKqSerialStr(handle, selector, buffer, sizeof buffer), 10u);
        EXPECT_STREQ(buffer, "0000000000");
    }
}

TEST_F(InfoTest, RecordTextsAndValues) {
    kvtest::Controller c({"--extensions", "1", "--hostname", "LAB-KQ"});
    open(c);
    EXPECT_EQ(text(GetVoriKqDevName, 0), "LAB-KQ");
    EXPECT_EQ(text(GetVoriKqDevName, 1), "VORI-KQ-S1");
    EXPECT_EQ(text(GetVoriKqBtAddr, 1), "00:1A:7D:DA:71:01");
    EXPECT_EQ(text(GetVoriKqFwStr, 0), "1.05");  // the controller's firmware 1.5
    EXPECT_EQ(text(GetVoriKqHwStr, 0), "B");
    EXPECT_EQ(text(GetVoriKqDllStr, 0), "3");
    char buffer[8];
    EXPECT_EQ(kvxGetFirmwareStrg(handle, buffer, 5), 4u);
    EXPECT_STREQ(buffer, "1.05");
    EXPECT_EQ(kvxGetFirmwareStrg(handle, buffer, 4), 0u);
    std::uint32_t value = 0;
    ASSERT_EQ(GetVoriKqFwVal(handle, 0, &value), 0u);
    EXPECT_EQ(value, 0x05010300u);
    std::uint32_t layout[3] = {};
    ASSERT_EQ(GetVoriKqMemLayout(handle, 8, &layout[0], &layout[1], &layout[2]), 0u);
    EXPECT_EQ(layout[0], 0u);  // nothing reported for extension 8
    ASSERT_EQ(GetVoriKqMemLayout(handle, 1, &layout[0], &layout[1], &layout[2]), 0u);
    EXPECT_EQ(layout[0], 0x2000F000u);
    EXPECT_EQ(layout[1], 0x20010000u);
    EXPECT_EQ(layout[2], 0x00030000u);

    for (const int release : {0, int{'7'}, int{'b'}, 0xC4}) {
        kv::storeRelaxed(info(0).HwRelease, static_cast<std::uint8_t>(release));
        EXPECT_EQ(text(GetVoriKqHwStr, 0), "-") << release;
    }
    EXPECT_EQ(text(GetVoriKqHwStr, 5), "-");  // a record nobody has filled

    // Fields filled to the last byte yield their own characters, never those of the next field.
    kv::storeBytesRelaxed(info(0).Hostname, std::string(17, 'H').data(), 17);
    kv::storeBytesRelaxed(info(0).BtAddress, std::string(19, 'A').data(), 19);
    EXPECT_EQ(text(GetVoriKqDevName, 0), std::string(16, 'H'));
    EXPECT_EQ(text(GetVoriKqBtAddr, 0), std::string(18, 'A'));
}

TEST_F(InfoTest, IndexesOutsideTheRecordsAndWrongHandlesAreRefused) {
    kvtest::Controller c;
    open(c);
    const std::size_t infoReads = c.received(kInfoRd).size();
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    std::uint32_t out[3] = {7, 7, 7};
    for (const std::int32_t shmId : {9, -1, INT_MAX, INT_MIN}) {
        for (const auto& [name, query] : kRecordTexts) {
            if (query != GetVoriKqSerialStr) {  // whose second argument is a selector
                EXPECT_EQ(query(handle, shmId, buffer, sizeof buffer), KVLIB_ERR_INVALID_PARAM) << name;
            }
        }
        EXPECT_EQ(GetVoriKqFwVal(handle, shmId, &out[0]), KVLIB_ERR_INVALID_PARAM);
        EXPECT_EQ(GetVoriKqMemLayout(handle, shmId, &out[0], &out[1], &out[2]), KVLIB_ERR_INVALID_PARAM);
        EXPECT_EQ(GetVoriKqInfo(handle, shmId), KVLIB_ERR_INVALID_PARAM);
        EXPECT_EQ(SetVoriKqDevName(handle, shmId, "NAME"), KVLIB_ERR_INVALID_PARAM);
        EXPECT_EQ(SetVoriKqMessage(handle, shmId, "TEXT"), KVLIB_ERR_INVALID_PARAM);
    }
    // Null outputs are refused, not written through.
    EXPECT_EQ(GetVoriKqFwVal(handle, 0, nullptr), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(GetVoriKqMemLayout(handle, 0, &out[0], nullptr, &out[2]), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(GetVoriKqSlaveAlive(handle, 0, nullptr), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(GetVoriKqSlaveState(handle, nullptr), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(GetVoriKqBtStatus(handle, nullptr), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(SetVoriKqMessage(handle, 0, nullptr), KVLIB_ERR_INVALID_PARAM);

    // A handle that is not the connection's reaches nothing either.
    const std::uint32_t wrong = handle + 1;
    for (const auto& [name, query] : kRecordTexts) {
        EXPECT_EQ(query(wrong, 0, buffer, sizeof buffer), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE) << name;
    }
    EXPECT_EQ(kvxGetFirmwareStrg(wrong, buffer, sizeof buffer), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(GetVoriKqSlaveAlive(wrong, 0, &out[0]), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(GetVoriKqMasterState(wrong), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(SetVoriKqDevName(wrong, 0, "NAME"), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);

    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
    EXPECT_EQ(out[0] + out[1] + out[2], 21u);
    EXPECT_EQ(c.received(kInfoRd).size(), infoReads);
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_INFO_WR).pending.load(), 0);
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_MSG_WR).pending.load(), 0);
    EXPECT_EQ(text(GetVoriKqDevName, 0), "VORI-KQ-M");
}

TEST_F(InfoTest, ExtensionsAndBluetoothChannelsOfTheMaster) {
    kvtest::Controller c({"--extensions", "1,3,6"});
    open(c);
    std::uint32_t alive = 7;
    for (const auto& [index, expected] : std::vector<std::pair<int, std::uint32_t>>{
             {0, 1}, {1, 0}, {2, 1}, {5, 1}, {7, 0}, {-1, 0}, {8, 0}}) {
        alive = 7;
        EXPECT_EQ(GetVoriKqSlaveAlive(handle, index, &alive), 0u);
        EXPECT_EQ(alive, expected) << index;
    }
    std::uint32_t words[2] = {};
    ASSERT_EQ(GetVoriKqSlaveState(handle, words), 0u);
    EXPECT_EQ(words[0], 0x00010001u);
    EXPECT_EQ(words[1], 0x00000100u);

    // The master's state read afresh follows the controller.
    c.control("ext remove 3");
    EXPECT_TRUE(waitFor([&] {
        EXPECT_EQ(GetVoriKqMasterState(handle), 0u);
        GetVoriKqSlaveAlive(handle, 2, &alive);
        return alive == 0;
    }));

    KOLV_X1_TRANSFER& master = GetIF08TransferAddress(handle)->Record[0];
    kv::storeRelaxed(master.State.BtChannel[0].ConnState, std::uint16_t{2});
    kv::storeRelaxed(master.State.BtChannel[7].ChannelInfo, std::uint16_t{0xAB});
    BT_CHANNEL channels[8];
    std::memset(channels, 0xFF, sizeof channels);
    ASSERT_EQ(GetVoriKqBtStatus(handle, channels), 0u);
    EXPECT_EQ(std::memcmp(channels, master.State.BtChannel, sizeof channels), 0);
    EXPECT_EQ(channels[0].ConnState, 2);
    EXPECT_EQ(channels[7].ChannelInfo, 0xAB);
}

TEST_F(InfoTest, DeviceNameLengthsAndTheLogLine) {
    kvtest::Controller c;
    open(c);
    EXPECT_EQ(SetVoriKqDevName(handle, 0, "ABCDEFGHIJKLMNOP"), 0u);
    EXPECT_EQ(SetVoriKqDevName(handle, 0, "ABCDEFGHIJKLMNOPQ"), KVLIB_ERR_WRONG_HOSTNAME_LEN);
    EXPECT_EQ(SetVoriKqDevName(handle, 0, ""), KVLIB_ERR_WRONG_HOSTNAME_LEN);
    EXPECT_EQ(SetVoriKqDevName(handle, 0, nullptr), KVLIB_ERR_WRONG_HOSTNAME_LEN);
    EXPECT_EQ(SetVoriKqDevName(0, 2, "NO-DEVICE"), KVLIB_ERR_DEVICE_NOT_OPEN);
    const std::string log = logText();
    for (const char* line : {"[SetVoriKqDevName]  shmId= 0, hostname: [ABCDEFGHIJKLMNOP]\n",
                             "[SetVoriKqDevName]  shmId= 0, hostname: [ABCDEFGHIJKLMNOPQ]\n",
                             "[SetVoriKqDevName]  shmId= 0, hostname: []\n",
                             "[SetVoriKqDevName]  shmId= 2, hostname: [NO-DEVICE]\n"}) {
        EXPECT_EQ(countOf(log, line), 1) << line;
    }
    EXPECT_EQ(text(GetVoriKqDevName, 0), "ABCDEFGHIJKLMNOP");
    // A shorter name leaves nothing of the longer one in the field that goes to the controller.
    EXPECT_EQ(SetVoriKqDevName(handle, 4, "KQ4"), 0u);
    EXPECT_EQ(SetVoriKqDevName(handle, 0, "KQ"), 0u);
    EXPECT_EQ(std::string(info(0).Hostname, sizeof info(0).Hostname),
              std::string("KQ") + std::string(15, '\0'));

    // Queued for the master and extension 4; without a running transfer nothing is sent.
    kv::RequestSlot& slot = kv::requestTable().slot(kv::SLOT_INFO_WR);
    EXPECT_EQ(slot.pending.load(), 1);
    EXPECT_EQ(slot.select[0].load() + slot.select[4].load(), 2);
    EXPECT_EQ(slot.select[2].load(), 0);
    EXPECT_TRUE(c.received(kInfoWr).empty());
}

TEST_F(InfoTest, MessageKeepsByteZeroAndTheLastByteClear) {
    kvtest::Controller c;
    open(c);
    std::string text120;
    for (int i = 0; i < 120; ++i) {
        text120 += static_cast<char>('A' + i % 26);
    }
    KVX1_DISPLAY& display = GetIF08TransferAddress(handle)->Record[3].Display;
    display.reserved[0] = 0x5A;  // bytes past the message block are not the setter's
    ASSERT_EQ(SetVoriKqMessage(handle, 3, text120.c_str()), 0u);
    EXPECT_EQ(display.Message[0], '\0');
    EXPECT_EQ(std::string(display.Message + 1, 98), text120.substr(0, 98));
    EXPECT_EQ(display.Message[99], '\0');
    EXPECT_EQ(display.reserved[0], 0x5A);
    ASSERT_EQ(SetVoriKqMessage(handle, 3, "Hi"), 0u);
    EXPECT_EQ(std::string(display.Message, 100), std::string("\0Hi", 3) + std::string(97, '\0'));
    const kv::RequestSlot& slot = kv::requestTable().slot(kv::SLOT_MSG_WR);
    EXPECT_EQ(slot.pending.load(), 1);
    EXPECT_EQ(slot.select[3].load(), 1);
}

TEST_F(InfoTest, NameAndMessageGoOutWithARunningTransfer) {
    kvtest::Controller c;
    open(c);
    // Queued before the start, sent once the transfer runs.
    ASSERT_EQ(SetVoriKqMessage(handle, 0, "Hello display"), 0u);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    ASSERT_TRUE(waitFor([&] { return !c.received(kMsgWr).empty(); }));
    const std::vector<std::uint8_t> msg = c.received(kMsgWr).front().bytes;
    ASSERT_GE(msg.size(), kPayload + 104);
    EXPECT_EQ(std::string(msg.begin() + kPayload, msg.begin() + kPayload + 104),
              std::string(5, '\0') + "Hello display" + std::string(86, '\0'));

    ASSERT_EQ(SetVoriKqDevName(handle, 0, "KQ-RENAMED"), 0u);
    ASSERT_TRUE(waitFor([&] { return !c.received(kInfoWr).empty(); }));
    const std::vector<std::uint8_t> wr = c.received(kInfoWr).front().bytes;
    ASSERT_GE(wr.size(), kPayload + 24);
    EXPECT_EQ(std::string(wr.begin() + kPayload, wr.begin() + kPayload + 24),
              std::string(4, '\0') + "KQ-RENAMED" + std::string(10, '\0'));
    // Both replies settle their requests.
    ASSERT_TRUE(waitFor([&] {
        return kv::requestTable().slot(kv::SLOT_INFO_WR).pending.load() == 0 &&
               kv::requestTable().slot(kv::SLOT_MSG_WR).pending.load() == 0;
    }));
    ASSERT_EQ(kvxStopTransferArea(), 0u);

    // The controller kept the name: forget it here and read it back.
    kv::zeroBytesRelaxed(info(0).Hostname, sizeof info(0).Hostname);
    ASSERT_EQ(GetVoriKqInfo(handle, 0), 0u);
    EXPECT_EQ(text(GetVoriKqDevName, 0), "KQ-RENAMED");
}

// What each controller's latest write of one kind carried, in the order the requests came.
std::map<int, std::string> latestTexts(const kvtest::Controller& c, std::uint32_t code, std::size_t record,
                                       std::size_t textAt) {
    std::map<int, std::string> latest;
    for (const kvtest::ReceivedTelegram& t : c.received(code)) {
        for (std::size_t r = 0; r < t.recordCount() && kPayload + (r + 1) * record <= t.bytes.size(); ++r) {
            const std::uint8_t* at = t.bytes.data() + kPayload + r * record;
            latest[at[0]] = std::string(reinterpret_cast<const char*>(at + textAt));
        }
    }
    return latest;
}

TEST_F(InfoTest, ChangesMadeWhileAWriteIsOnItsWayAllReachTheController) {
    // Every reply comes 120 ms late, which keeps each write on its way long enough to change what
    // it carried, for the same controller and for another.
    kvtest::Controller c({"--extensions", "2", "--late-reply", "120"});
    open(c);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    struct Case {
        const char* name;
        std::uint32_t code;
        std::size_t record;
        std::size_t textAt;
        std::uint32_t (*set)(std::uint32_t, std::int32_t, const char*);
    };
    for (const Case& w : {Case{"message", kMsgWr, 104, 5, SetVoriKqMessage},
                          Case{"device name", kInfoWr, 24, 4, SetVoriKqDevName}}) {
        SCOPED_TRACE(w.name);
        const std::size_t before = c.received(w.code).size();
        ASSERT_EQ(w.set(handle, 0, "FIRST"), 0u);
        ASSERT_TRUE(waitFor([&] { return c.received(w.code).size() > before; }));
        // The first write is out and its reply not yet back.
        ASSERT_EQ(w.set(handle, 2, "OTHER"), 0u);
        ASSERT_EQ(w.set(handle, 0, "SECOND"), 0u);
        EXPECT_TRUE(waitFor([&] {
            const std::map<int, std::string> latest = latestTexts(c, w.code, w.record, w.textAt);
            return latest.count(0) != 0 && latest.at(0) == "SECOND" && latest.count(2) != 0 &&
                   latest.at(2) == "OTHER";
        })) << "controller 0 got '"
            << latestTexts(c, w.code, w.record, w.textAt)[0] << "', extension 2 got '"
            << latestTexts(c, w.code, w.record, w.textAt)[2] << "'";
        // And once all is answered, nothing stays queued.
        EXPECT_TRUE(waitFor([&] {
            return kv::requestTable()
                       .slot(w.code == kMsgWr ? kv::SLOT_MSG_WR : kv::SLOT_INFO_WR)
                       .pending.load() == 0;
        }));
    }
}

TEST_F(InfoTest, TextsOfConcurrentCallsStayTheirOwn) {
    kvtest::Controller c({"--extensions", "2"});
    open(c);
    kv::storeRelaxed(info(2).FwValue, 0x11020900u);  // firmware 2.17, DLL version 9
    auto check = [&](std::int32_t shmId, const char* fw, const char* dll, int& wrong) {
        for (int i = 0; i < 2000; ++i) {
            wrong += text(GetVoriKqFwStr, shmId) != fw ? 1 : 0;
            wrong += text(GetVoriKqDllStr, shmId) != dll ? 1 : 0;
        }
    };
    int wrongMaster = 0;
    int wrongExtension = 0;
    std::thread other([&] { check(2, "2.17", "9", wrongExtension); });
    check(0, "1.05", "3", wrongMaster);
    other.join();
    EXPECT_EQ(wrongMaster, 0);
    EXPECT_EQ(wrongExtension, 0);
}

TEST_F(InfoTest, QueriesAfterTheLibraryClosedUnderAnOpenConnection) {
    kvtest::Controller c;
    open(c);
    ASSERT_EQ(kvxCloseLib(), 0u);  // the connection stays open, the transfer area is gone
    char buffer[16] = "untouched";
    std::uint32_t value = 7;
    EXPECT_EQ(GetVoriKqFwStr(handle, 0, buffer, sizeof buffer), KVLIB_ERR_LIB_IS_NOT_INITIALIZED);
    EXPECT_EQ(GetVoriKqFwVal(handle, 0, &value), KVLIB_ERR_LIB_IS_NOT_INITIALIZED);
    EXPECT_EQ(SetVoriKqDevName(handle, 0, "NAME"), KVLIB_ERR_LIB_IS_NOT_INITIALIZED);
    EXPECT_EQ(SetVoriKqMessage(handle, 0, "TEXT"), KVLIB_ERR_LIB_IS_NOT_INITIALIZED);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_INFO_WR).pending.load(), 0);
}

}  // namespace

namespace {

// The master's host name as the transfer area holds it, read the way the library reads it.
std::string storedHostname(std::uint32_t handle) {
    KVX1_SHMIFINFO copy{};
    kv::loadBytesRelaxed(&copy, &GetIF08TransferAddress(handle)->Record[0].ShmIfInfo, sizeof copy);
    copy.Hostname[sizeof copy.Hostname - 1] = '\0';
    return copy.Hostname;
}

TEST_F(InfoTest, InformationQueryDuringATransferReturnsOnlyWithItsOwnReply) {
    // Every reply comes 150 ms late. An information query sent right after the transfer cycle's
    // once-a-second state read waits while the state reply arrives: a state reply and an
    // information reply look alike to a wait that is not tied to its own request.
    kvtest::Controller c({"--late-reply", "150", "--hostname", "OWN-REPLY"});
    open(c);
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    KVX1_SHMIFINFO& master = info(0);
    int early = 0;
    for (int round = 0; round < 3; ++round) {
        const std::size_t states = c.received(7).size();
        ASSERT_TRUE(waitFor([&] { return c.received(7).size() > states; }));
        // Forget the name: only the reply to this query can bring it back.
        const char blank[sizeof master.Hostname] = {};
        kv::storeBytesRelaxed(&master.Hostname, blank, sizeof blank);
        ASSERT_EQ(GetVoriKqInfo(handle, 0), 0u);
        if (storedHostname(handle) != "OWN-REPLY") {
            ++early;
        }
    }
    EXPECT_EQ(early, 0) << "queries that returned before their reply was stored";
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_IS_RUNNING);
}

}  // namespace
