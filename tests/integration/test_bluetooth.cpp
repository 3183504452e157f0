// The Bluetooth relay against the simulated controller's radio, each flow once without a transfer
// (requests written on the calling thread) and once with a running transfer (requests sent by the
// transfer cycle), with the answers arriving on the receive thread.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/relay.h"
#include "kvarolib.h"
#include "shell/service.h"
#include "support/controller.h"
#include "support/lib_fixture.h"
#include "transfer/engine.h"
#include "transfer/request_table.h"
#include "transfer/transfer_state.h"

namespace {

using kvtest::logText;
using kvtest::waitFor;

constexpr std::uint8_t kPhone[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01};
constexpr std::uint8_t kRemote[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x02};
constexpr std::uint8_t kNowhere[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x7F, 0x7F};

// What the callbacks saw, with the channel's status words as they stood during the call.
struct Seen {
    int action = 0;
    BtEvent event{};
    std::uint32_t status[2] = {0, 0};
};

std::mutex gMutex;
std::vector<Seen> gSeen;
std::vector<BtScanEvent> gScans;

template <int Action>
void on(BtEvent* e) {
    Seen s;
    s.action = Action;
    s.event = *e;
    StatusBtConnection(e->Channel, s.status);
    std::lock_guard lock(gMutex);
    gSeen.push_back(s);
}

void onScan(BtScanEvent* e) {
    std::lock_guard lock(gMutex);
    gScans.push_back(*e);
}

std::uint16_t connState(std::uint32_t channel) {
    std::uint32_t w[2];
    return static_cast<std::uint16_t>(StatusBtConnection(channel, w)[0] & 0xFFFF);
}
std::uint16_t listenOn(std::uint32_t channel) {
    std::uint32_t w[2];
    return static_cast<std::uint16_t>(StatusBtConnection(channel, w)[0] >> 16);
}
std::uint16_t readOn(std::uint32_t channel) {
    std::uint32_t w[2];
    return static_cast<std::uint16_t>(StatusBtConnection(channel, w)[1] & 0xFFFF);
}

class BluetoothRelay : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_EQ(kvxInitLib(), 0u);
        std::lock_guard lock(gMutex);
        gSeen.clear();
        gScans.clear();
    }
    void TearDown() override {
        kvxStopTransferArea();
        kvxCloseDevice(handle);
        kvxCloseLib();
    }

    // Opens the controller and, for the queued variant, starts the transfer.
    void start(std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--bt-loopback", "2:5"});
        controller = std::make_unique<kvtest::Controller>(options);
        std::uint32_t rc = 0xFFFFFFFF;
        handle = kvxOpenComDevice(controller->port().c_str(), 38400, &rc);
        ASSERT_EQ(rc, 0u);
        if (GetParam()) {
            ASSERT_EQ(kvxStartTransferArea(handle), 0u);
        }
    }

    // The first event of `action` on `channel` with `status`; fails the test when none comes.
    static Seen waitEvent(int action, std::uint16_t channel, std::uint16_t status) {
        Seen found;
        const bool seen = waitFor([&] {
            std::lock_guard lock(gMutex);
            for (const Seen& s : gSeen) {
                if (s.action == action && s.event.Channel == channel && s.event.Status == status) {
                    found = s;
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(seen) << "no event: action " << action << " channel " << channel << " status " << status;
        return found;
    }

    std::uint32_t handle = 0;
    std::unique_ptr<kvtest::Controller> controller;
};

TEST_P(BluetoothRelay, ScanConnectWriteAndDisconnect) {
    start();
    ASSERT_EQ(StartScanBtDevice(handle, onScan), 0u);
    ASSERT_TRUE(waitFor([] {
        std::lock_guard lock(gMutex);
        return !gScans.empty() && gScans.back().Data[0] == 5;
    }));
    {
        std::lock_guard lock(gMutex);
        ASSERT_EQ(gScans.size(), 4u);  // the three devices in range, then the end
        EXPECT_EQ(std::memcmp(gScans[0].Data + 2, kPhone, 6), 0);
        EXPECT_STREQ(reinterpret_cast<const char*>(gScans[1].Data + 8), "VORI-KQ-R2");
    }
    EXPECT_EQ(kv::btRelay().scanRunning.load(), 0);
    EXPECT_EQ(CancelScanBtDevice(0), 0u);  // nothing to cancel any more

    // Without a callback the answer is logged, and the entry changes all the same.
    ASSERT_EQ(ConnectBtAddress(handle, 2, kPhone, nullptr), 0u);
    ASSERT_TRUE(waitFor([] { return logText().find("Bluetooth: CALLBACK not defined ! action= 1, idx= 2") !=
                                    std::string::npos; }));
    EXPECT_EQ(connState(2), 2);

    ASSERT_EQ(ConnectBtAddress(handle, 3, kRemote, on<1>), 0u);
    const Seen connected = waitEvent(1, 3, 0);
    EXPECT_EQ(connected.status[0] & 0xFFFF, 2u);  // already connected when the callback runs
    ASSERT_EQ(ConnectBtAddress(handle, 4, kNowhere, on<1>), 0u);
    waitEvent(1, 4, 3);
    EXPECT_EQ(connState(4), 0);

    std::uint32_t before[2];
    StatusBtConnection(3, before);
    ASSERT_EQ(SendBtMessage(handle, 3, 0, nullptr, on<3>), 0u);
    const Seen written = waitEvent(3, 3, 0);
    EXPECT_EQ(written.status[0], before[0]);
    EXPECT_EQ(written.status[1], before[1]);
    const auto writes = controller->received(14);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes.size(), 27u + 6u);
    EXPECT_EQ(writes[0].counter, 0u);

    ASSERT_EQ(DisconnectBt(handle, 3, on<2>), 0u);
    waitEvent(2, 3, 0);
    EXPECT_EQ(connState(3), 0);
}

TEST_P(BluetoothRelay, ListenReadAndMessagesBothWays) {
    start();
    ASSERT_EQ(ConnectBtAddress(handle, 2, kPhone, on<1>), 0u);
    waitEvent(1, 2, 0);
    ASSERT_EQ(BtListenConOn(handle, 5, kRemote, on<5>), 0u);
    const Seen listening = waitEvent(5, 5, 0);
    EXPECT_EQ(listening.status[0] >> 16, 1u);
    waitEvent(5, 5, 11);  // the remote device calls
    EXPECT_EQ(connState(5), 2);
    EXPECT_EQ(listenOn(5), 1);

    ASSERT_EQ(BtReadMsgOn(handle, 5, on<4>), 0u);
    ASSERT_EQ(BtReadMsgOn(handle, 2, on<4>), 0u);
    waitEvent(4, 5, 0);
    waitEvent(4, 2, 0);
    EXPECT_EQ(readOn(5), 1);
    EXPECT_EQ(readOn(2), 1);

    const std::string hello = "hello";
    ASSERT_EQ(SendBtMessage(handle, 2, 5, reinterpret_cast<const std::uint8_t*>(hello.data()), on<3>), 0u);
    const Seen arrived = waitEvent(4, 5, 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(arrived.event.Data), arrived.event.Length), hello);
    const std::string full = "0123456789abcdef";
    ASSERT_EQ(SendBtMessage(handle, 5, 16, reinterpret_cast<const std::uint8_t*>(full.data()), on<3>), 0u);
    const Seen back = waitEvent(4, 2, 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.event.Data), back.event.Length), full);

    ASSERT_EQ(BtReadMsgOff(handle, 5, on<7>), 0u);
    waitEvent(7, 5, 0);
    EXPECT_EQ(readOn(5), 0);
    ASSERT_EQ(BtListenConOff(handle, 5, on<6>), 0u);
    waitEvent(6, 5, 0);
    EXPECT_EQ(listenOn(5), 0);
    ASSERT_EQ(DisconnectBt(handle, 5, on<2>), 0u);
    waitEvent(2, 5, 0);
    EXPECT_EQ(connState(5), 0);
    EXPECT_EQ(connState(2), 2);
}

// Requests issued from an application thread while answers and callbacks run on the receive thread
// and, with a transfer, the request thread sends: nothing is lost, nothing stays marked.
TEST_P(BluetoothRelay, RequestsFromAnotherThreadAllGetThrough) {
    start();
    ASSERT_EQ(ConnectBtAddress(handle, 2, kPhone, on<1>), 0u);
    ASSERT_EQ(BtListenConOn(handle, 5, kRemote, on<5>), 0u);
    waitEvent(5, 5, 11);
    ASSERT_EQ(BtReadMsgOn(handle, 5, on<4>), 0u);
    waitEvent(4, 5, 0);

    std::atomic<bool> done{false};
    std::thread poller([&] {
        std::uint32_t w[2];
        while (!done.load()) {
            for (std::uint32_t ch = 0; ch <= 8; ++ch) {
                StatusBtConnection(ch, w);
            }
            std::this_thread::yield();
        }
    });
    std::thread app([&] {
        for (int i = 0; i < 200; ++i) {
            const std::uint8_t text[2] = {'m', static_cast<std::uint8_t>(i)};
            EXPECT_EQ(SendBtMessage(handle, 2, 2, text, on<3>), 0u);
            EXPECT_EQ(i % 2 == 0 ? BtReadMsgOn(handle, 7, on<4>) : BtReadMsgOff(handle, 7, on<7>), 0u);
            EXPECT_EQ(ConnectBtAddress(handle, 1 + static_cast<std::uint32_t>(i % 3) * 3, kPhone, on<1>), 0u);
        }
        const std::string last = "last";
        EXPECT_EQ(SendBtMessage(handle, 2, 4, reinterpret_cast<const std::uint8_t*>(last.data()), on<3>), 0u);
    });
    app.join();
    const bool lastArrived = waitFor([] {
        std::lock_guard lock(gMutex);
        return std::any_of(gSeen.begin(), gSeen.end(), [](const Seen& s) {
            return s.action == 4 && s.event.Channel == 5 && s.event.Length == 4 &&
                   std::memcmp(s.event.Data, "last", 4) == 0;
        });
    });
    done.store(true);
    poller.join();
    EXPECT_TRUE(lastArrived);
    EXPECT_TRUE(waitFor([] {
        for (int slot = kv::SLOT_BT_SCAN; slot <= kv::SLOT_BT_LISTEN; ++slot) {
            const kv::RequestSlotCopy s = kv::requestTable().copy(slot);
            if (s.pending != 0 || std::any_of(s.select.begin(), s.select.end(), [](auto f) { return f != 0; })) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_EQ(readOn(7), 0);  // the last switch was off
}

// An application that answers one event with the next request does so on the receive thread,
// from inside the callback: the request must go out (or be queued) from there as from any thread.
std::atomic<std::uint32_t> gHandleForCallbacks{0};

void readWhenConnected(BtEvent* e) {
    on<1>(e);
    if (e->Status == 0) {
        BtReadMsgOn(gHandleForCallbacks.load(), e->Channel, on<4>);
    }
}

TEST_P(BluetoothRelay, ACallbackMayIssueTheNextRequest) {
    start();
    gHandleForCallbacks.store(handle);
    ASSERT_EQ(ConnectBtAddress(handle, 6, kPhone, readWhenConnected), 0u);
    waitEvent(1, 6, 0);
    waitEvent(4, 6, 0);
    EXPECT_EQ(readOn(6), 1);
}

// While a shell service holds the port: without a transfer a request would be written into the
// service's dialogue and is refused; a running transfer that the service has paused keeps it for
// its cycle, which sends it once the port is handed back.
TEST_P(BluetoothRelay, DuringAShellServiceQueuedOnlyWithATransfer) {
    start({"--clean-delay", "1500"});
    const bool transfer = GetParam();
    std::atomic<std::uint32_t> cleaned{0xFFFFFFFF};
    std::thread service([&] { cleaned = VKqCleanDisk(handle, 0); });
    ASSERT_TRUE(waitFor([] { return kv::ShellServiceActive() && kv::transferFlags().threadWriteFlag.load() == 0; }));
    const std::size_t before = controller->received(12).size();
    EXPECT_EQ(ConnectBtAddress(handle, 3, kRemote, on<1>), transfer ? 0u : KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_BT_CONNECT).pending.load(), transfer ? 1 : 0);
    service.join();
    EXPECT_EQ(cleaned.load(), 0u);
    if (transfer) {
        waitEvent(1, 3, 0);
        EXPECT_EQ(connState(3), 2);
        EXPECT_EQ(controller->received(12).size(), before + 1);
    } else {
        EXPECT_EQ(controller->received(12).size(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(, BluetoothRelay, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) { return p.param ? "Queued" : "Direct"; });

using BluetoothWithTransfer = BluetoothRelay;

// Two messages for one channel while a shell service holds the port: both wait for the cycle, and
// both go out, in order, once the port is handed back (the second does not take the first's place).
TEST_P(BluetoothWithTransfer, MessagesQueuedDuringAShellServiceAllGoOut) {
    start({"--clean-delay", "1500"});
    ASSERT_EQ(ConnectBtAddress(handle, 2, kPhone, on<1>), 0u);
    ASSERT_EQ(ConnectBtAddress(handle, 5, kRemote, on<1>), 0u);
    waitEvent(1, 2, 0);
    waitEvent(1, 5, 0);
    ASSERT_EQ(BtReadMsgOn(handle, 5, on<4>), 0u);
    waitEvent(4, 5, 0);
    const std::size_t writes = controller->received(14).size();

    std::atomic<std::uint32_t> cleaned{0xFFFFFFFF};
    std::thread service([&] { cleaned = VKqCleanDisk(handle, 0); });
    ASSERT_TRUE(waitFor([] { return kv::ShellServiceActive() && kv::transferFlags().threadWriteFlag.load() == 0; }));
    const std::string first = "first";
    const std::string second = "second";
    EXPECT_EQ(SendBtMessage(handle, 2, 5, reinterpret_cast<const std::uint8_t*>(first.data()), on<3>), 0u);
    EXPECT_EQ(SendBtMessage(handle, 2, 6, reinterpret_cast<const std::uint8_t*>(second.data()), on<3>), 0u);
    service.join();
    EXPECT_EQ(cleaned.load(), 0u);

    ASSERT_TRUE(waitFor([] {
        std::lock_guard lock(gMutex);
        return std::count_if(gSeen.begin(), gSeen.end(), [](const Seen& s) { return s.action == 4 && s.event.Status == 10; }) >= 2 &&
               std::count_if(gSeen.begin(), gSeen.end(), [](const Seen& s) { return s.action == 3; }) >= 2;
    })) << "a message queued during the service did not go out";
    EXPECT_EQ(controller->received(14).size(), writes + 2);
    std::vector<std::string> arrived;
    {
        std::lock_guard lock(gMutex);
        for (const Seen& s : gSeen) {
            if (s.action == 4 && s.event.Status == 10) {
                arrived.emplace_back(reinterpret_cast<const char*>(s.event.Data), s.event.Length);
            }
        }
    }
    EXPECT_EQ(arrived, (std::vector<std::string>{first, second}));
}

TEST_P(BluetoothWithTransfer, MarksMadeBetweenCyclesGoOutInOnePass) {
    start();
    // Hold the cycles off: with the worker threads stopped the transfer stays marked as running,
    // so the requests below wait in their slots, and one cycle run here sends them.
    kv::StopWorkerThreads();
    ASSERT_EQ(ConnectBtAddress(handle, 3, kRemote, nullptr), 0u);
    ASSERT_EQ(ConnectBtAddress(handle, 1, kPhone, nullptr), 0u);
    ASSERT_EQ(BtReadMsgOn(handle, 6, nullptr), 0u);
    ASSERT_EQ(BtReadMsgOff(handle, 6, nullptr), 0u);
    const std::size_t before = controller->received().size();
    kv::SetKvRequest();
    ASSERT_EQ(kv::StartWorkerThreads(), 0u);
    ASSERT_TRUE(waitFor([&] { return controller->received(16).size() == 1; }));
    const auto all = controller->received();
    std::vector<std::pair<std::uint32_t, std::uint8_t>> sent;  // code and channel, in order
    for (std::size_t i = before; i < all.size(); ++i) {
        if (all[i].code >= 10 && all[i].code <= 18) {
            sent.emplace_back(all[i].code, all[i].bytes[24]);
        }
    }
    const std::vector<std::pair<std::uint32_t, std::uint8_t>> expected{{12, 1}, {12, 3}, {15, 6}, {16, 6}};
    EXPECT_EQ(sent, expected);
    // All four went out in one cycle: nothing of the cycle's own came between them.
    const auto first = std::find_if(all.begin() + static_cast<std::ptrdiff_t>(before), all.end(),
                                    [](const kvtest::ReceivedTelegram& t) { return t.code == 12; });
    ASSERT_GE(all.end() - first, 4);
    for (auto it = first; it != first + 4; ++it) {
        EXPECT_GE(it->code, 10u);
    }
}

TEST_P(BluetoothWithTransfer, StopClearsEveryChannelEntry) {
    start();
    ASSERT_EQ(ConnectBtAddress(handle, 2, kPhone, on<1>), 0u);
    ASSERT_EQ(BtListenConOn(handle, 8, kNowhere, on<5>), 0u);
    waitEvent(1, 2, 0);
    waitEvent(5, 8, 0);
    ASSERT_EQ(connState(2), 2);
    ASSERT_EQ(listenOn(8), 1);
    kvxStopTransferArea();
    for (std::uint32_t ch = 1; ch <= 8; ++ch) {
        std::uint32_t w[2];
        StatusBtConnection(ch, w);
        EXPECT_EQ(w[0], 0u) << ch;
        EXPECT_EQ(w[1], 0u) << ch;
    }
}

// A message the radio passes on while a shell command holds the port (here 3 s after the write,
// while the shell's first prompt waits 5 s for its second half) is a telegram among the shell's
// text: it reaches its read callback, and the command's answer is the shell's text alone, whole.
TEST_P(BluetoothWithTransfer, AMessageArrivingDuringAShellCommandReachesItsCallback) {
    start({"--bt-step", "3000", "--split-prompt", "5000"});
    ASSERT_EQ(ConnectBtAddress(handle, 2, kPhone, on<1>), 0u);
    ASSERT_EQ(ConnectBtAddress(handle, 5, kRemote, on<1>), 0u);
    waitEvent(1, 2, 0);
    waitEvent(1, 5, 0);
    static std::atomic<int> messagesDuringTheCommand{0};
    messagesDuringTheCommand = 0;
    ASSERT_EQ(BtReadMsgOn(handle, 5,
                          [](BtEvent* e) {
                              if (e->Status == 10 && kv::ShellServiceActive()) {
                                  ++messagesDuringTheCommand;
                              }
                              on<4>(e);
                          }),
              0u);
    waitEvent(4, 5, 0);

    const std::size_t writes = controller->received(14).size();
    const std::string hello = "hello";
    ASSERT_EQ(SendBtMessage(handle, 2, 5, reinterpret_cast<const std::uint8_t*>(hello.data()), on<3>), 0u);
    ASSERT_TRUE(waitFor([&] { return controller->received(14).size() > writes; }));
    static std::mutex answerMutex;
    static std::optional<std::string> answer;
    EXPECT_EQ(KvRemoteCmd(handle, "ls ramdisk",
                          [](const char* text, std::uint32_t length) {
                              std::lock_guard lock(answerMutex);
                              answer = text == nullptr ? std::nullopt
                                                       : std::optional<std::string>(std::string(text, length));
                          }),
              0u);
    const Seen arrived = waitEvent(4, 5, 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(arrived.event.Data), arrived.event.Length), hello);
    waitEvent(3, 2, 0);
    // The message really came while the command held the port.
    EXPECT_EQ(messagesDuringTheCommand.load(), 1);
    std::lock_guard lock(answerMutex);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->find('\x02'), std::string::npos);
    EXPECT_EQ(answer->find('\0'), std::string::npos);
    EXPECT_NE(answer->find("ls ramdisk"), std::string::npos);
    EXPECT_EQ(answer->substr(answer->size() - 4), "USB>");
}

INSTANTIATE_TEST_SUITE_P(, BluetoothWithTransfer, testing::Values(true),
                         [](const testing::TestParamInfo<bool>&) { return "Queued"; });

// The radio's call comes two seconds after listening was switched on: by then the library has been
// closed, started again and has reopened the controller, and the callback stored before is gone.
TEST(BluetoothLifecycle, ALibraryStartForgetsTheCallbacks) {
    ASSERT_EQ(kvxInitLib(), 0u);
    kvtest::Controller c({"--bt-incoming-after", "2000"});
    std::uint32_t rc = 0;
    std::uint32_t handle = kvxOpenComDevice(c.port().c_str(), 38400, &rc);
    ASSERT_EQ(rc, 0u);
    {
        std::lock_guard lock(gMutex);
        gSeen.clear();
    }
    ASSERT_EQ(BtListenConOn(handle, 4, kPhone, on<5>), 0u);
    ASSERT_TRUE(waitFor([] {
        std::lock_guard lock(gMutex);
        return gSeen.size() == 1;
    }));
    kvxCloseDevice(handle);
    kvxCloseLib();
    ASSERT_EQ(kvxInitLib(), 0u);
    handle = kvxOpenComDevice(c.port().c_str(), 38400, &rc);
    ASSERT_EQ(rc, 0u);
    EXPECT_TRUE(waitFor([] { return logText().find("Bluetooth: CALLBACK not defined ! action= 5, idx= 4") !=
                                    std::string::npos; }));
    EXPECT_EQ(connState(4), 2);
    {
        std::lock_guard lock(gMutex);
        EXPECT_EQ(gSeen.size(), 1u);
    }
    kvxCloseDevice(handle);
    kvxCloseLib();
}

}  // namespace
