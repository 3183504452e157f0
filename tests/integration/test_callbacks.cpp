// What an application's callback may call. Callbacks run on the library's receive thread: a call that
// waits for a reply would wait for its own thread, so it is refused at once; a callback that stops
// the transfer or closes the device gets what it asked for, and nothing it does can hang the library
// or leave two receive threads reading the port.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "kvarolib.h"
#include "serial/receive.h"
#include "support/controller.h"
#include "support/lib_fixture.h"
#include "transfer/transfer_area.h"

namespace {

using kvtest::countOf;
using kvtest::logText;
using kvtest::waitFor;

// What the callback under test sees of the test; written before the callback is registered.
std::atomic<std::uint32_t> gHandle{0};
std::string gPort;
std::string gUploadFile;

// Results of the calls made in the callback, by name, and whether the callback has finished.
std::mutex gMutex;
std::map<std::string, std::uint32_t> gResults;
std::atomic<int> gCallbackRuns{0};
std::atomic<bool> gCallbackDone{false};
std::atomic<int> gReplyCallbacks{0};
std::atomic<bool> gReplyHadText{false};

void note(const std::string& name, std::uint32_t rc) {
    std::lock_guard lock(gMutex);
    gResults[name] = rc;
}

std::map<std::string, std::uint32_t> results() {
    std::lock_guard lock(gMutex);
    return gResults;
}

void onShellReply(const char* text, std::uint32_t /*length*/) {
    gReplyCallbacks.fetch_add(1);
    gReplyHadText.store(text != nullptr);
}

class CallbackTest : public testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard lock(gMutex);
            gResults.clear();
        }
        gCallbackRuns.store(0);
        gCallbackDone.store(false);
        gReplyCallbacks.store(0);
        ASSERT_EQ(kvxInitLib(), 0u);
    }
    void TearDown() override {
        SetCBCounterResetted(nullptr);
        kvxStopTransferArea();
        kvxCloseAllDevices();
        kvxCloseLib();
    }

    void openAndStart(const kvtest::Controller& c) {
        std::uint32_t rc = 0xFFFFFFFF;
        gPort = c.port();
        gHandle.store(kvxOpenComDevice(gPort.c_str(), 38400, &rc));
        ASSERT_EQ(rc, 0u);
        ASSERT_EQ(kvxStartTransferArea(gHandle.load()), 0u);
    }

    // Asks the master for a reset of counter 0; its confirmation calls the counter-reset callback.
    void askForCounterReset() {
        KOLV_X1_TRANSFER& master = GetIF08TransferAddress(gHandle.load())->Record[0];
        const auto id = static_cast<std::uint16_t>(kv::loadRelaxed(master.Output.CounterResetCmdId[0]) + 1);
        kv::storeRelaxed(master.Output.CounterResetCmdId[0], id);
        kv::storeRelaxed(master.Input.CounterResetted[0], std::uint16_t{0});
    }
};

// Everything that waits for a reply, called from a callback: refused with
// KVLIB_ERR_THREAD_IS_RUNNING and nothing sent, instead of seconds of silence in which all reception
// stalls. The shell's reply callback still comes once, without text.
void callEverythingThatWaits(std::int32_t /*shmId*/, std::int32_t /*counter*/) {
    if (gCallbackRuns.fetch_add(1) != 0) {
        return;
    }
    const std::uint32_t h = gHandle.load();
    note("KvRemoteCmd", KvRemoteCmd(h, "get_ser_num", onShellReply));
    note("VKqCleanDisk", VKqCleanDisk(h, 0));
    note("GetVoriKqInfo", GetVoriKqInfo(h, 0));
    note("GetVoriKqMasterState", GetVoriKqMasterState(h));
    note("kvxStartTransferArea", kvxStartTransferArea(h));
    std::uint32_t rc = 0;
    note("kvxOpenComDeviceHandle", kvxOpenComDevice(gPort.c_str(), 38400, &rc));
    note("kvxOpenComDevice", rc);
    static const std::uint8_t bytes[4] = {1, 2, 3, 4};
    note("KvRamFileUpload", KvRamFileUpload(h, UPLOAD_RAMDISK, bytes, sizeof bytes, "cb.bin", nullptr));
    note("KvFileUpload", KvFileUpload(h, gUploadFile.c_str(), UPLOAD_RAMDISK, nullptr));
    note("kvxInitLib", kvxInitLib());
    note("kvxCloseLib", kvxCloseLib());
    // What does not wait still works: the transfer area's queries.
    char text[32];
    note("GetVoriKqFwStr", GetVoriKqFwStr(h, 0, text, sizeof text) == 4 ? 0 : 1);
    gCallbackDone.store(true);
}

TEST_F(CallbackTest, CallsThatWaitForAReplyAreRefusedInACallback) {
    kvtest::Controller c;
    kvtest::TempDir dir;
    gUploadFile = (dir.path() / "file.bin").string();
    {
        std::ofstream(gUploadFile, std::ios::binary) << "four";
    }
    openAndStart(c);
    SetCBCounterResetted(callEverythingThatWaits);
    askForCounterReset();
    ASSERT_TRUE(waitFor([] { return gCallbackDone.load(); }, std::chrono::seconds(120)));

    const auto r = results();
    for (const char* name : {"KvRemoteCmd", "VKqCleanDisk", "GetVoriKqInfo", "GetVoriKqMasterState",
                             "kvxStartTransferArea", "kvxOpenComDevice", "KvRamFileUpload", "KvFileUpload",
                             "kvxInitLib", "kvxCloseLib"}) {
        ASSERT_EQ(r.count(name), 1u) << name;
        EXPECT_EQ(r.at(name), KVLIB_ERR_THREAD_IS_RUNNING) << name;
    }
    EXPECT_EQ(r.at("kvxOpenComDeviceHandle"), 0u);
    EXPECT_EQ(r.at("GetVoriKqFwStr"), 0u);
    EXPECT_EQ(gReplyCallbacks.load(), 1);
    EXPECT_FALSE(gReplyHadText.load());
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "refused: called on the receive thread (from a callback)"), 10) << log;
    EXPECT_EQ(countOf(log, "clean_disk"), 0);

    // Nothing of it touched the connection: the transfer runs on, the library is initialised, and the
    // shell works from the application's own thread.
    EXPECT_EQ(kvxIsTransferActiv(gHandle.load()), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(kvxIsLibInit(), KVLIB_ERR_LIB_IS_INITIALIZED);
    EXPECT_EQ(KvRemoteCmd(gHandle.load(), "get_ser_num", onShellReply), 0u);
    EXPECT_TRUE(gReplyHadText.load());
    EXPECT_EQ(kvxIsTransferActiv(gHandle.load()), KVLIB_ERR_THREAD_IS_RUNNING);
}

// The same from a Bluetooth callback (here the scan's, without a running transfer, so that the
// Bluetooth requests go out on the calling thread): waiting calls refused, the relay's own operations
// work.
void scanEvent(BtScanEvent* /*event*/) {
    if (gCallbackRuns.fetch_add(1) != 0) {
        return;
    }
    const std::uint32_t h = gHandle.load();
    note("GetVoriKqInfo", GetVoriKqInfo(h, 0));
    note("KvRemoteCmd", KvRemoteCmd(h, "get_ser_num", onShellReply));
    note("BtReadMsgOn", BtReadMsgOn(h, 2, nullptr));
    gCallbackDone.store(true);
}

TEST_F(CallbackTest, BluetoothCallbacksAreRefusedTheSameCalls) {
    kvtest::Controller c({"--bt-loopback", "2:5"});
    std::uint32_t rc = 0xFFFFFFFF;
    gHandle.store(kvxOpenComDevice(c.port().c_str(), 38400, &rc));
    ASSERT_EQ(rc, 0u);
    ASSERT_EQ(StartScanBtDevice(gHandle.load(), scanEvent), 0u);
    ASSERT_TRUE(waitFor([] { return gCallbackDone.load(); }, std::chrono::seconds(60)));
    const auto r = results();
    EXPECT_EQ(r.at("GetVoriKqInfo"), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(r.at("KvRemoteCmd"), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(r.at("BtReadMsgOn"), 0u);
    // The read request went out from the callback and was answered.
    EXPECT_TRUE(waitFor([] { return logText().find("Bluetooth: CALLBACK not defined ! action= BT_ACT_READ, idx= 2") !=
                                    std::string::npos; }));
    EXPECT_EQ(GetVoriKqInfo(gHandle.load(), 0), 0u);
}

// A callback that stops the transfer and closes the device: both take effect before the calls
// return, the receive thread ends once the callback returns, and a reopen made meanwhile by the
// application waits for it, so that there is never a second thread reading the port.
std::mutex gReleaseMutex;
std::condition_variable gReleaseCv;
bool gReleased = false;

void stopAndClose(std::int32_t /*shmId*/, std::int32_t /*counter*/) {
    if (gCallbackRuns.fetch_add(1) != 0) {
        return;
    }
    const std::uint32_t h = gHandle.load();
    note("kvxStopTransferArea", kvxStopTransferArea());
    note("stateAfterStop", kvxIsTransferActiv(h));
    note("kvxCloseDevice", kvxCloseDevice(h));
    note("handleAfterClose", kvxIsHandleValid(h));
    std::uint32_t rc = 0;
    (void)kvxOpenComDevice(gPort.c_str(), 38400, &rc);
    note("reopen", rc);
    gCallbackDone.store(true);
    // Stays in the callback until the application has begun to open the device again.
    std::unique_lock lock(gReleaseMutex);
    gReleaseCv.wait_for(lock, std::chrono::seconds(20), [] { return gReleased; });
}

TEST_F(CallbackTest, StopAndCloseFromACallbackWorkAndTheReopenHasOneReader) {
    kvtest::Controller c;
    openAndStart(c);
    gReleased = false;
    SetCBCounterResetted(stopAndClose);
    askForCounterReset();
    ASSERT_TRUE(waitFor([] { return gCallbackDone.load(); }));

    const auto r = results();
    EXPECT_EQ(r.at("kvxStopTransferArea"), 0u);
    EXPECT_EQ(r.at("stateAfterStop"), KVLIB_ERR_THREAD_NOT_RUNNING);
    EXPECT_EQ(r.at("kvxCloseDevice"), 0u);
    EXPECT_EQ(r.at("handleAfterClose"), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(r.at("reopen"), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_FALSE(kv::ComReadThreadRunning());
    SetCBCounterResetted(nullptr);

    // The application opens the device again while the old receive thread is still in the callback.
    std::uint32_t rc = 0xFFFFFFFF;
    std::atomic<std::uint32_t> reopened{0};
    std::thread opener([&] { reopened.store(kvxOpenComDevice(gPort.c_str(), 38400, &rc)); });
    {
        std::lock_guard lock(gReleaseMutex);
        gReleased = true;
    }
    gReleaseCv.notify_all();
    opener.join();
    ASSERT_EQ(rc, 0u);
    gHandle.store(reopened.load());
    EXPECT_EQ(kv::ReceiveThreadsAlive(), 1);

    // One reader: every exchange of the new connection gets its whole reply.
    ASSERT_EQ(kvxStartTransferArea(gHandle.load()), 0u);
    EXPECT_EQ(GetVoriKqInfo(gHandle.load(), 0), 0u);
    gReplyHadText.store(false);
    EXPECT_EQ(KvRemoteCmd(gHandle.load(), "get_ser_num", onShellReply), 0u);
    EXPECT_TRUE(gReplyHadText.load());
    EXPECT_EQ(kv::ReceiveThreadsAlive(), 1);

    kvxStopTransferArea();
    kvxCloseDevice(gHandle.load());
    EXPECT_TRUE(waitFor([] { return kv::ReceiveThreadsAlive() == 0; }));
}

// kvxCloseLib from a callback used to wait for ever for the transfer area, which the receive thread
// holds while its reply handler runs. Refused now, and the application's own close works after it.
void closeLibrary(std::int32_t /*shmId*/, std::int32_t /*counter*/) {
    if (gCallbackRuns.fetch_add(1) != 0) {
        return;
    }
    note("kvxCloseLib", kvxCloseLib());
    gCallbackDone.store(true);
}

TEST_F(CallbackTest, CloseLibFromACallbackIsRefusedAndHangsNothing) {
    kvtest::Controller c;
    openAndStart(c);
    SetCBCounterResetted(closeLibrary);
    askForCounterReset();
    ASSERT_TRUE(waitFor([] { return gCallbackDone.load(); }));
    EXPECT_EQ(results().at("kvxCloseLib"), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(kvxIsLibInit(), KVLIB_ERR_LIB_IS_INITIALIZED);
    EXPECT_EQ(kvxIsTransferActiv(gHandle.load()), KVLIB_ERR_THREAD_IS_RUNNING);

    // The application's own close, while callbacks keep coming.
    SetCBCounterResetted(nullptr);
    EXPECT_EQ(kvxStopTransferArea(), 0u);
    EXPECT_EQ(kvxCloseDevice(gHandle.load()), 0u);
    EXPECT_EQ(kvxCloseLib(), 0u);
    EXPECT_EQ(kvxIsLibInit(), KVLIB_ERR_LIB_IS_NOT_INITIALIZED);
}

}  // namespace
