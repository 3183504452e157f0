// File upload against the simulated controller over a real pty: the frames on the line, the
// statuses, the stored file, the receiver's faults and the port handed back afterwards; then the
// same upload into rx from lrzsz, a receiver that shares no code with the library.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "core/connection.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "shell/service.h"
#include "shell/upload.h"
#include "support/lib_fixture.h"
#include "support/simulator.h"
#include "support/temp_dir.h"
#include "transfer/request_table.h"
#include "transfer/transfer_state.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Statuses = std::vector<std::uint32_t>;
using kvtest::countOf;
using kvtest::logText;
using kvtest::waitFor;

constexpr std::uint32_t START = KVLIB_ERR_UPLOAD_START, ACK = KVLIB_ERR_UPLOAD_ACK,
                        NAK = KVLIB_ERR_UPLOAD_NAK, DONE = KVLIB_ERR_UPLOAD_DONE,
                        FAILED = KVLIB_ERR_UPLOAD_FAILED, CANCELED = KVLIB_ERR_UPLOAD_CANCELED,
                        TIMEOUT = KVLIB_ERR_UPLOAD_TIMEOUT, CACHE = KVLIB_ERR_UPLOAD_CACHE_UPDATE;

// START, `acks` ACKs, then `tail`.
Statuses acked(std::size_t acks, std::initializer_list<std::uint32_t> tail) {
    Statuses v{START};
    v.insert(v.end(), acks, ACK);
    v.insert(v.end(), tail);
    return v;
}

// The statuses as the callback got them; `hook` runs on the upload thread after each.
struct StatusLog {
    std::mutex mutex;
    Statuses statuses;
    std::function<void(std::uint32_t)> hook;
} gStatus;

void recordStatus(std::uint32_t status) {
    std::function<void(std::uint32_t)> hook;
    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.statuses.push_back(status);
        hook = gStatus.hook;
    }
    if (hook) {
        hook(status);
    }
}

Statuses takeStatuses() {
    std::lock_guard lock(gStatus.mutex);
    return std::exchange(gStatus.statuses, {});
}

void setHook(std::function<void(std::uint32_t)> hook) {
    std::lock_guard lock(gStatus.mutex);
    gStatus.hook = std::move(hook);
}

Bytes pattern(std::size_t n, unsigned seed = 7) {
    Bytes v(n);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return v;
}

Bytes readBytes(const fs::path& file) {
    const std::string s = kvtest::readFile(file);
    return {s.begin(), s.end()};
}

void writeBytes(const fs::path& file, const Bytes& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// CRC-16/XMODEM once more, apart from the library's engine.
std::uint16_t crc16(const std::uint8_t* p, std::size_t n) {
    unsigned crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<unsigned>(p[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

// What the simulator's record shows of each transfer: its start line, the frames it got with
// their answers, and the answers to each EOT.
struct Transfer {
    std::string start;
    std::vector<Bytes> frames;
    std::vector<std::string> answers;
    int eots = 0;
};

std::vector<Transfer> transfers(const fs::path& record) {
    std::vector<Transfer> out;
    std::ifstream in(record);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string ms, kind, number, length, verdict, answer, hex;
        f >> ms >> kind;
        if (kind == "xstart") {
            out.emplace_back();
            std::getline(f >> std::ws, out.back().start);
        } else if (kind == "xblock" && !out.empty() && (f >> number >> length >> verdict >> answer >> hex)) {
            Bytes frame;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
                frame.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            }
            out.back().frames.push_back(std::move(frame));
            out.back().answers.push_back(verdict + " " + answer);
        } else if (kind == "xeot" && !out.empty()) {
            ++out.back().eots;
        }
    }
    return out;
}

std::size_t telegramsOf(const fs::path& record, const std::string& code) {
    std::ifstream in(record);
    std::string line, ms, kind;
    std::size_t n = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        if ((f >> ms >> kind) && kind == code) {
            ++n;
        }
    }
    return n;
}

class UploadTest : public testing::Test {
  protected:
    void SetUp() override {
        takeStatuses();
        setHook(nullptr);
        kv::SetUploadFirstRequestLimitForTesting(60000);
        ASSERT_EQ(kvxInitLib(), 0u);
    }
    void TearDown() override {
        kvxStopTransferArea();
        kvxCloseDevice(handle);
        kvxCloseLib();
        setHook(nullptr);
    }

    // Starts the simulator with its store and record in this test's directory and opens it.
    void start(std::vector<std::string> options = {}) {
        options.insert(options.end(),
                       {"--store", (dir.path() / "store").string(), "--record", record().string()});
        sim = std::make_unique<kvtest::Simulator>(options);
        std::uint32_t rc = 1;
        handle = kvxOpenComDevice(sim->port().c_str(), 38400, &rc);
        ASSERT_EQ(rc, 0u);
    }
    fs::path record() const { return dir.path() / "record"; }
    fs::path stored(const std::string& area, const std::string& name) const {
        return dir.path() / "store" / area / name;
    }

    // The library reads the caller's memory until the upload ends; a temporary would be gone.
    std::uint32_t upload(Bytes&& data, const char* name, std::int32_t target = UPLOAD_RAMDISK) = delete;
    std::uint32_t upload(const Bytes& data, const char* name, std::int32_t target = UPLOAD_RAMDISK) {
        return KvRamFileUpload(handle, target, data.data(), static_cast<std::uint32_t>(data.size()), name,
                               recordStatus);
    }
    // Waits for the upload thread to end (every status has come then) and takes the statuses.
    Statuses finished() {
        EXPECT_TRUE(waitFor([] { return !kv::UploadThreadRunning(); }, std::chrono::seconds(120)));
        return takeStatuses();
    }
    // After every ending the telegram side has the port again.
    void expectPortHandedBack(std::uint8_t writeFlag = 0) {
        EXPECT_FALSE(kv::ShellServiceActive());
        EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
        EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), writeFlag);
    }

    kvtest::TempDir dir;
    std::unique_ptr<kvtest::Simulator> sim;
    std::uint32_t handle = 0;
};

TEST_F(UploadTest, FileGoesOutInLargeThenSmallBlocksUnderItsOwnName) {
    start();
    const Bytes data = pattern(1500);
    const fs::path file = dir.path() / "x" / "prog.bin";
    writeBytes(file, data);
    // A caller that acts on the final status finds the port handed back already.
    std::atomic<bool> readyAtDone{false};
    setHook([&](std::uint32_t s) {
        readyAtDone = s == DONE && !kv::ShellServiceActive() &&
                      kv::CurrentRxHandler() == kv::RxHandlerForMode(kv::RX_TELEGRAM);
    });
    ASSERT_EQ(KvFileUpload(handle, file.c_str(), UPLOAD_RAMDISK, recordStatus), 0u);
    EXPECT_EQ(finished(), acked(4, {DONE}));
    EXPECT_TRUE(readyAtDone.load());
    expectPortHandedBack();
    EXPECT_EQ(readBytes(stored("ramdisk", "prog.bin")), data);

    const auto t = transfers(record());
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].start, "'/ramdisk/prog.bin' 1500 crc");
    ASSERT_EQ(t[0].frames.size(), 5u);
    std::size_t at = 0;
    for (std::size_t i = 0; i < 5; ++i) {
        const Bytes& f = t[0].frames[i];
        const std::size_t n = i == 0 ? 1024 : 128;
        ASSERT_EQ(f.size(), n + 5) << i;
        EXPECT_EQ(t[0].answers[i], "ok ack");
        EXPECT_EQ(f[0], i == 0 ? kv::kStx : kv::kSoh);
        EXPECT_EQ(f[1], i + 1);
        EXPECT_EQ(f[2], 0xFE - i);
        const std::size_t used = std::min(n, data.size() - at);
        EXPECT_TRUE(std::equal(f.begin() + 3, f.begin() + 3 + static_cast<std::ptrdiff_t>(used),
                               data.begin() + static_cast<std::ptrdiff_t>(at)));
        at += used;
        EXPECT_EQ(f[3 + n] << 8 | f[4 + n], crc16(f.data() + 3, n)) << "high byte first";
    }
    // The last block holds 92 bytes of the file and 36 zeros.
    EXPECT_TRUE(
        std::all_of(t[0].frames[4].begin() + 95, t[0].frames[4].end() - 2, [](auto b) { return b == 0; }));
    EXPECT_EQ(t[0].eots, 1);
    EXPECT_EQ(countOf(logText(), "INFO: KvFileUpload, Device= 0, FileName= prog.bin, size= 1500"), 1);
    EXPECT_EQ(countOf(logText(), "IfUploadFile, XM_WAIT_UPLOAD: received 'C'..."), 1);
}

TEST_F(UploadTest, BlockSizesSumsAndNumbersFollowTheSizeAndTheReceiver) {
    start({"--xrecv-start", "nak"});
    // Exactly 1024 bytes go as eight small blocks, an empty file as one block of zeros, and 300
    // blocks wrap the block number from 255 to 0.
    const Bytes kilo = pattern(1024, 3), big = pattern(299 * 1024 + 100, 5);
    ASSERT_EQ(upload(kilo, "kilo.bin"), 0u);
    EXPECT_EQ(finished(), acked(7, {DONE}));
    const Bytes none;
    ASSERT_EQ(upload(none, "empty.bin"), 0u);
    EXPECT_EQ(finished(), acked(0, {DONE}));
    ASSERT_EQ(upload(big, "big.bin"), 0u);
    EXPECT_EQ(finished(), acked(299, {DONE}));
    expectPortHandedBack();
    EXPECT_EQ(readBytes(stored("ramdisk", "kilo.bin")), kilo);
    EXPECT_TRUE(fs::exists(stored("ramdisk", "empty.bin")) &&
                fs::file_size(stored("ramdisk", "empty.bin")) == 0);
    EXPECT_EQ(readBytes(stored("ramdisk", "big.bin")), big);

    const auto t = transfers(record());
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].start, "'/ramdisk/kilo.bin' 1024 sum");
    EXPECT_EQ(t[1].start, "'/ramdisk/empty.bin' 0 sum");
    ASSERT_EQ(t[0].frames.size(), 8u);
    ASSERT_EQ(t[1].frames.size(), 1u);
    ASSERT_EQ(t[2].frames.size(), 300u);
    for (const Bytes& f : t[0].frames) {
        ASSERT_EQ(f.size(), 132u);
        EXPECT_EQ(f.back(), std::accumulate(f.begin() + 3, f.end() - 1, 0u) & 0xFF) << "a one-byte sum";
    }
    EXPECT_TRUE(std::all_of(t[1].frames[0].begin() + 3, t[1].frames[0].end(), [](auto b) { return b == 0; }));
    for (std::size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(t[2].frames[i][1], (i + 1) % 256) << i;
        ASSERT_EQ(t[2].answers[i], "ok ack") << i;
    }
    EXPECT_EQ(t[2].frames[255][1], 0);
}

TEST_F(UploadTest, FlashAndSystemReportTheCacheUpdateAndWaitLongerForIt) {
    // The controller answers the EOT later than the 5 s an ordinary answer may take.
    start({"--flash-delay", "7000"});
    const Bytes data = pattern(300, 9);
    ASSERT_EQ(upload(data, "fw.bin", UPLOAD_FLASH), 0u);
    EXPECT_EQ(finished(), acked(2, {CACHE, DONE}));
    ASSERT_EQ(upload(data, "sys.bin", UPLOAD_SYSTEM), 0u);
    EXPECT_EQ(finished(), acked(2, {CACHE, DONE}));
    ASSERT_EQ(upload(data, "other.bin", 9), 0u);  // any other target is the RAM disk
    EXPECT_EQ(finished(), acked(2, {DONE}));
    EXPECT_EQ(readBytes(stored("flash", "fw.bin")), data);
    EXPECT_EQ(readBytes(stored("system", "sys.bin")), data);
    EXPECT_EQ(readBytes(stored("ramdisk", "other.bin")), data);
    expectPortHandedBack();
}

// ---- The receiver's faults: one upload of five blocks each -----------------------------------------

struct Fault {
    const char* name;
    std::vector<std::string> options;
    std::int32_t target;
    Statuses statuses;
    int frames;  // frames the simulator received, -1 where it does not record them all
    int eots;
    const char* logLine;
};

class UploadFault : public UploadTest, public testing::WithParamInterface<Fault> {};

TEST_P(UploadFault, EndsAsTheReceiverMakesIt) {
    const Fault& f = GetParam();
    kv::SetUploadFirstRequestLimitForTesting(3000);
    start(f.options);
    const Bytes data = pattern(1500);
    if (std::string(f.name) == "NeverAsked") {
        // A file larger than the controller's area is refused by it: it prompts again but never
        // asks for blocks. (Sparse: it takes no room, and no byte of it is read.)
        const fs::path big = dir.path() / "f.bin";
        writeBytes(big, {});
        fs::resize_file(big, 64ull * 1024 * 1024 + 1);
        ASSERT_EQ(KvFileUpload(handle, big.c_str(), f.target, recordStatus), 0u);
    } else {
        ASSERT_EQ(upload(data, "f.bin", f.target), 0u);
    }
    EXPECT_EQ(finished(), f.statuses);
    expectPortHandedBack();
    const auto t = transfers(record());
    if (f.frames >= 0) {
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(static_cast<int>(t[0].frames.size()), f.frames);
        EXPECT_EQ(t[0].eots, f.eots);
    }
    EXPECT_EQ(countOf(logText(), f.logLine), 1) << f.logLine;
    EXPECT_EQ(fs::exists(stored(f.target == UPLOAD_FLASH ? "flash" : "ramdisk", "f.bin")),
              f.statuses.back() == DONE);
}

Statuses naks(std::size_t n, std::initializer_list<std::uint32_t> tail) {
    Statuses v{START, ACK};
    v.insert(v.end(), n, NAK);
    v.insert(v.end(), tail);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Receiver, UploadFault,
    testing::Values(Fault{"FiveNaksRetried",
                          {"--xrecv-nak", "2:5"},
                          0,
                          naks(5, {ACK, ACK, ACK, DONE}),
                          10,
                          1,
                          "File Upload successful..."},
                    // No cache update is announced for a file that did not arrive.
                    Fault{"SixthNakEndsWithEot",
                          {"--xrecv-nak", "2:6"},
                          UPLOAD_FLASH,
                          naks(5, {FAILED}),
                          7,
                          1,
                          "IfUploadFile, cancel file upload..."},
                    Fault{"CanBeforeFirst",
                          {"--xrecv-can-before-first"},
                          0,
                          {START, CANCELED},
                          0,
                          0,
                          "IfUploadFile, XM_WAIT_UPLOAD: received CAN..."},
                    Fault{"CanAfterBlock",
                          {"--xrecv-can-after", "2"},
                          0,
                          {START, ACK, CANCELED, FAILED},
                          -1,
                          0,
                          "IfUploadFile, XM_REPLY: CAN, upload was canceld ..."},
                    Fault{"UnknownAnswer",
                          {"--xrecv-garbage", "1"},
                          0,
                          {START, FAILED},
                          1,
                          1,
                          "IfUploadFile, received unknown data:  86"},
                    Fault{"BlockUnanswered",
                          {"--xrecv-no-answer", "2"},
                          0,
                          {START, ACK, TIMEOUT},
                          -1,
                          0,
                          "INFO: Upload, Timeout is occurred ..."},
                    Fault{"EotUnanswered",
                          {"--xrecv-no-eot-answer"},
                          0,
                          acked(4, {TIMEOUT}),
                          -1,
                          0,
                          "INFO: Upload, Timeout is occurred ..."},
                    Fault{"NeverAsked",
                          {},
                          0,
                          {START, TIMEOUT},
                          -1,
                          0,
                          "IfUploadFile, XM_WAIT_UPLOAD: no block request within 3000 ms"}),
    [](const testing::TestParamInfo<Fault>& p) { return std::string(p.param.name); });

// ---- The port taken and given back ----------------------------------------------------------------------

TEST_F(UploadTest, OthersAreRefusedWhileTheUploadHoldsThePortAndTheTransferResumesAfter) {
    start({"--xrecv-timeout", "60000"});
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    // The upload is held at its first ACK until the calls below are done.
    std::mutex m;
    std::condition_variable cv;
    int phase = 0;  // 1: held at the first ACK, 2: released
    setHook([&](std::uint32_t s) {
        std::unique_lock held(m);
        if (s == ACK && phase == 0) {
            phase = 1;
            cv.notify_all();
            cv.wait(held, [&] { return phase == 2; });
        }
    });
    const Bytes data = pattern(3000);
    ASSERT_EQ(upload(data, "held.bin"), 0u);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return phase == 1; }));
    }
    static int noText = 0;
    EXPECT_EQ(upload(data, "second.bin"), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(KvRemoteCmd(handle, "get_ser_num",
                          [](const char* text, std::uint32_t) { noText += text == nullptr; }),
              KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(noText, 1);
    EXPECT_EQ(kvxStartTransferArea(handle), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(GetVoriKqInfo(handle, 0), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(GetVoriKqMasterState(handle), KVLIB_ERR_THREAD_IS_RUNNING);
    // A Bluetooth request waits for the transfer cycle, which the upload has paused.
    const std::uint8_t address[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01};
    EXPECT_EQ(ConnectBtAddress(handle, 2, address, nullptr), 0u);
    EXPECT_EQ(kv::requestTable().slot(kv::SLOT_BT_CONNECT).pending.load(), 1);
    {
        std::lock_guard lock(m);
        phase = 2;
    }
    cv.notify_all();
    EXPECT_EQ(finished(), acked(9, {DONE}));  // two large blocks and eight small ones
    EXPECT_EQ(readBytes(stored("ramdisk", "held.bin")), data);
    EXPECT_FALSE(fs::exists(stored("ramdisk", "second.bin")));
    // Nothing but the blocks reached the receiver.
    const auto t = transfers(record());
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].answers, std::vector<std::string>(10, "ok ack"));
    EXPECT_EQ(countOf(kvtest::readFile(record()), " xskip "), 0);
    // The transfer that ran before runs again, and sends the Bluetooth request it kept.
    expectPortHandedBack(1);
    const std::size_t io = telegramsOf(record(), "2");
    ASSERT_TRUE(waitFor([&] { return telegramsOf(record(), "2") > io + 10; }));
    EXPECT_EQ(telegramsOf(record(), "12"), 1u);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(KvRemoteCmd(handle, "get_ser_num", nullptr), 0u);
}

TEST_F(UploadTest, AStopDuringTheUploadKeepsTheTransferStopped) {
    start({"--xrecv-timeout", "60000"});
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    // The upload is held at its first ACK while the transfer is stopped.
    std::mutex m;
    std::condition_variable cv;
    int phase = 0;  // 1: held at the first ACK, 2: released
    setHook([&](std::uint32_t s) {
        std::unique_lock held(m);
        if (s == ACK && phase == 0) {
            phase = 1;
            cv.notify_all();
            cv.wait(held, [&] { return phase == 2; });
        }
    });
    const Bytes data = pattern(3000);
    ASSERT_EQ(upload(data, "stopped.bin"), 0u);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return phase == 1; }));
    }
    EXPECT_EQ(kvxStopTransferArea(), 0u);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_NOT_RUNNING);
    {
        std::lock_guard lock(m);
        phase = 2;
    }
    cv.notify_all();
    EXPECT_EQ(finished(), acked(9, {DONE}));
    // The port is handed back to a stopped transfer.
    expectPortHandedBack(0);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_NOT_RUNNING);
    EXPECT_EQ(countOf(logText(), "Stopping Kolv.X1 transfer..."), 1);
}

TEST_F(UploadTest, CloseDeviceAndCloseLibWaitForTheUpload) {
    start({"--line-rate", "38400"});
    const Bytes data = pattern(8000);
    ASSERT_EQ(upload(data, "close.bin"), 0u);
    ASSERT_TRUE(kv::UploadThreadRunning());  // 8000 bytes take two seconds at this rate
    EXPECT_EQ(kvxCloseDevice(handle), 0u);
    EXPECT_FALSE(kv::UploadThreadRunning());
    EXPECT_EQ(takeStatuses().back(), DONE);

    start({"--line-rate", "38400"});
    ASSERT_EQ(upload(data, "lib.bin"), 0u);
    ASSERT_TRUE(kv::UploadThreadRunning());
    EXPECT_EQ(kvxCloseLib(), 0u);
    EXPECT_FALSE(kv::UploadThreadRunning());
    EXPECT_EQ(takeStatuses().back(), DONE);
    EXPECT_EQ(readBytes(stored("ramdisk", "close.bin")), data);
    EXPECT_EQ(readBytes(stored("ramdisk", "lib.bin")), data);
    kvxCloseDevice(handle);
    handle = 0;
    ASSERT_EQ(kvxInitLib(), 0u);
}

TEST_F(UploadTest, PortClosedUnderTheUploadTakesNoMoreWrites) {
    start();
    // The status callback closes the device on the upload's own thread (it cannot wait for itself)
    // and opens the port of another controller, which is likely to get the same descriptor. (Only
    // the port: a whole open would probe the controller, and its reply would go to the upload.)
    const kvtest::TempDir other;
    kvtest::Simulator second({"--record", (other.path() / "record").string()});
    std::atomic<std::uint32_t> reopened{0};
    setHook([&](std::uint32_t s) {
        if (s == ACK && reopened.load() == 0) {
            EXPECT_EQ(kvxCloseDevice(handle), 0u);
            std::uint32_t rc = 1;
            reopened = kv::OpenComDevice(second.port().c_str(), &rc);
            EXPECT_EQ(rc, 0u);
        }
    });
    const Bytes data = pattern(3000);
    ASSERT_EQ(upload(data, "self.bin"), 0u);
    // The close ends the upload at once: its port is gone.
    EXPECT_EQ(finished(), acked(1, {FAILED}));
    handle = reopened.load();
    expectPortHandedBack();
    // Not one byte of the upload reached the new connection: it saw telegrams only.
    std::ifstream in(other.path() / "record");
    std::string line, ms, kind;
    while (std::getline(in, line)) {
        std::istringstream(line) >> ms >> kind;
        EXPECT_EQ(kind.find_first_not_of("0123456789"), std::string::npos) << line;
    }
}

TEST_F(UploadTest, SourceThatShrinksIsAReadErrorAndTheReceiverIsCancelled) {
    start();
    const fs::path file = dir.path() / "shrink.bin";
    writeBytes(file, pattern(4000));
    setHook([&](std::uint32_t s) {
        if (s == ACK) {
            fs::resize_file(file, 1024);
        }
    });
    ASSERT_EQ(KvFileUpload(handle, file.c_str(), UPLOAD_RAMDISK, recordStatus), 0u);
    EXPECT_EQ(finished(), acked(1, {KVLIB_ERR_UPLOAD_FILE_READ_ERR}));
    EXPECT_EQ(countOf(logText(), "ReadProgData, file ends at 1024 of 4000 bytes"), 1);
    expectPortHandedBack();
    // The controller has left its receive mode and answers at once.
    EXPECT_EQ(KvRemoteCmd(handle, "get_ser_num", nullptr), 0u);
    EXPECT_FALSE(fs::exists(stored("ramdisk", "shrink.bin")));
}

TEST_F(UploadTest, FailedThreadStartHandsThePortBack) {
    start();
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    kv::FailNextUploadThreadStartForTesting();
    const Bytes data = pattern(10);
    EXPECT_EQ(upload(data, "a.bin"), KVLIB_ERR_THREAD_NOT_STARTABLE);
    EXPECT_EQ(countOf(logText(), "INFO: KvProgUpload, CreateThread() failed with error= "), 1);
    expectPortHandedBack(1);
    ASSERT_EQ(upload(data, "b.bin"), 0u);
    EXPECT_EQ(finished(), acked(0, {DONE}));
}

TEST_F(UploadTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
    start();
    const Bytes data = pattern(10);
    const fs::path huge = dir.path() / "huge.bin";
    writeBytes(huge, {});
    fs::resize_file(huge, 0x100000000ull + 100);  // sparse: takes no room
    EXPECT_EQ(KvFileUpload(handle + 1, huge.c_str(), 0, recordStatus), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(KvFileUpload(handle, (dir.path() / "missing").c_str(), 0, recordStatus),
              KVLIB_ERR_UPLOAD_FILE_NOT_OPEN);
    EXPECT_EQ(KvFileUpload(handle, dir.path().c_str(), 0, recordStatus), KVLIB_ERR_UPLOAD_FILE_NOT_OPEN);
    // Never announced with a wrapped size.
    EXPECT_EQ(KvFileUpload(handle, huge.c_str(), 0, recordStatus), KVLIB_ERR_UPLOAD_INVALID_FSIZE);
    EXPECT_EQ(KvRamFileUpload(handle, 0, nullptr, 10, "a", recordStatus), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(KvRamFileUpload(handle, 0, data.data(), 10, "a\"b", recordStatus), KVLIB_ERR_INVALID_PARAM);
    EXPECT_TRUE(takeStatuses().empty());
    EXPECT_TRUE(transfers(record()).empty());
    expectPortHandedBack();
}

TEST_F(UploadTest, FinalStatusCallbackStartsTheNextUpload) {
    start();
    // The final status comes after the port was handed back: the callback may go on with the next
    // file at once, while an earlier status (the port still held) is refused.
    const fs::path next = dir.path() / "next.bin";
    const Bytes second = pattern(1500, 3);
    writeBytes(next, second);
    std::atomic<std::uint32_t> fromAck{0};
    std::atomic<std::uint32_t> fromDone{0};
    std::atomic<int> dones{0};
    setHook([&](std::uint32_t s) {
        if (s == ACK && fromAck.load() == 0) {
            fromAck = KvFileUpload(handle, next.c_str(), UPLOAD_RAMDISK, recordStatus);
        }
        if (s == DONE && dones.fetch_add(1) == 0) {
            fromDone = KvFileUpload(handle, next.c_str(), UPLOAD_RAMDISK, recordStatus);
        }
    });
    const Bytes first = pattern(1500);
    ASSERT_EQ(upload(first, "first.bin"), 0u);
    ASSERT_TRUE(waitFor([&] { return dones.load() == 2; }, std::chrono::seconds(30)));
    EXPECT_EQ(fromAck.load(), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(fromDone.load(), 0u);
    const Statuses both = finished();
    EXPECT_EQ(both, (Statuses{START, ACK, ACK, ACK, ACK, DONE, START, ACK, ACK, ACK, ACK, DONE}));
    EXPECT_EQ(readBytes(stored("ramdisk", "first.bin")), first);
    EXPECT_EQ(readBytes(stored("ramdisk", "next.bin")), second);
    expectPortHandedBack();
    EXPECT_EQ(KvRemoteCmd(handle, "get_ser_num", nullptr), 0u);
}

TEST_F(UploadTest, SourcesThatAreNotRegularFilesAreRefusedWithoutWaiting) {
    start();
    // A FIFO without a writer would block an open for reading for ever; a device has no size. Both
    // are refused as files that cannot be opened, before anything is sent.
    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> returned{false};
    std::atomic<std::uint32_t> rc{0};
    std::thread caller([&] {
        rc = KvFileUpload(handle, fifo.c_str(), UPLOAD_RAMDISK, recordStatus);
        returned = true;
    });
    if (!waitFor([&] { return returned.load(); })) {
        // Let the blocked open go on, so that the thread can be joined.
        std::ofstream writer(fifo);
    }
    caller.join();
    EXPECT_EQ(rc.load(), KVLIB_ERR_UPLOAD_FILE_NOT_OPEN);
    EXPECT_EQ(KvFileUpload(handle, "/dev/zero", UPLOAD_RAMDISK, recordStatus), KVLIB_ERR_UPLOAD_FILE_NOT_OPEN);
    EXPECT_EQ(KvFileUpload(handle, "/dev/null", UPLOAD_RAMDISK, recordStatus), KVLIB_ERR_UPLOAD_FILE_NOT_OPEN);
    // A symbolic link to a regular file is that file.
    const fs::path real = dir.path() / "real.bin";
    writeBytes(real, pattern(10));
    fs::create_symlink(real, dir.path() / "link.bin");
    EXPECT_EQ(KvFileUpload(handle, (dir.path() / "link.bin").c_str(), UPLOAD_RAMDISK, recordStatus), 0u);
    EXPECT_EQ(finished(), acked(0, {DONE}));
    EXPECT_EQ(readBytes(stored("ramdisk", "link.bin")), pattern(10));
    EXPECT_EQ(transfers(record()).size(), 1u);
}

TEST_F(UploadTest, NamesThatAreNoPlainFileNamesAreRefusedUpFront) {
    start();
    const Bytes data = pattern(10);
    for (const char* name : {"sub/a.bin", "/a.bin", "a.bin/", "..", ".", "../a.bin"}) {
        EXPECT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 10, name, recordStatus),
                  KVLIB_ERR_INVALID_PARAM)
            << name;
    }
    EXPECT_TRUE(takeStatuses().empty());
    EXPECT_TRUE(transfers(record()).empty());
    expectPortHandedBack();
    // Dots inside a name are a name like any other.
    ASSERT_EQ(upload(data, "a..b.bin"), 0u);
    EXPECT_EQ(finished(), acked(0, {DONE}));
    EXPECT_EQ(readBytes(stored("ramdisk", "a..b.bin")), data);
}

// ---- An independent receiver ----------------------------------------------------------------------------

class RxInterop : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (std::system("command -v rx >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "rx from lrzsz is not installed (scripts/setup.sh installs it)";
        }
        kv::InitLog();
        takeStatuses();
        setHook(nullptr);
    }
    void TearDown() override {
        kv::WaitForUploadEnd();
        kv::CloseComDevice();
    }
};

TEST_P(RxInterop, RxAcceptsTheUpload) {
    const bool crc = GetParam();
    kvtest::TempDir dir;
    const fs::path front = fs::path(__FILE__).parent_path().parent_path() / "support" / "rx_front.py";
    std::vector<std::string> options{front.string(), dir.path().string(), "-b", "-y"};
    if (crc) {
        options.push_back("-c");
    }
    kqsim::Launcher rx(options, "/usr/bin/python3");
    ASSERT_TRUE(rx.started());
    std::uint32_t rc = 1;
    const std::uint32_t h = kv::OpenComDevice(rx.port().c_str(), &rc);
    ASSERT_EQ(rc, 0u);

    const Bytes data = pattern(5000, crc ? 1 : 2);
    writeBytes(dir.path() / "src" / "prog.bin", data);
    ASSERT_EQ(KvFileUpload(h, (dir.path() / "src" / "prog.bin").c_str(), UPLOAD_RAMDISK, recordStatus), 0u);
    ASSERT_TRUE(waitFor([] { return !kv::UploadThreadRunning(); }, std::chrono::seconds(120)));
    EXPECT_EQ(takeStatuses(), acked(11, {DONE}));  // four large blocks and eight small ones
    EXPECT_EQ(countOf(logText(), crc ? "received 'C'..." : "received NAK..."), 1);
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir.path() / "rx.exit"); }));
    EXPECT_EQ(kvtest::readFile(dir.path() / "rx.exit"), "0") << kvtest::readFile(dir.path() / "rx.log");
    // XMODEM carries no size: rx keeps the last block whole, padding included.
    const Bytes got = readBytes(dir.path() / "prog.bin");
    ASSERT_EQ(got.size(), 5120u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + 5000, got.end(), [](auto b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(ChecksumModes, RxInterop, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& mode) { return mode.param ? "Crc" : "Sum"; });

}  // namespace
