// File upload against the simulated controller over a real pty: the frames on the line, the
// statuses, the stored file, the faults of the receiver, and the port handed back afterwards. At
// the end, the same uploads into rx from lrzsz, a receiver that shares no code with the library.
#include <gtest/gtest.h>

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
#include <vector>

#include "core/connection.h"
#include "core/log.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "shell/service.h"
#include "shell/upload.h"
#include "support/lib_fixture.h"
#include "support/simulator.h"
#include "support/temp_dir.h"
#include "transfer/transfer_state.h"

namespace {

namespace fs = std::filesystem;
using kvtest::countOf;
using kvtest::logText;
using kvtest::waitFor;

constexpr std::uint32_t kRemIo = 2;

// ---- Statuses ---------------------------------------------------------------------------------

struct StatusLog {
    std::mutex mutex;
    std::vector<std::uint32_t> statuses;
    // Called on the upload thread after each status is recorded; tests use it to act mid-upload.
    std::function<void(std::uint32_t)> hook;
};
StatusLog gStatus;

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

std::vector<std::uint32_t> statuses() {
    std::lock_guard lock(gStatus.mutex);
    return gStatus.statuses;
}

std::vector<std::uint32_t> expected(std::initializer_list<std::uint32_t> head, std::uint32_t repeated = 0,
                                    std::size_t times = 0, std::initializer_list<std::uint32_t> tail = {}) {
    std::vector<std::uint32_t> v(head);
    v.insert(v.end(), times, repeated);
    v.insert(v.end(), tail);
    return v;
}

constexpr std::uint32_t START = KVLIB_ERR_UPLOAD_START;
constexpr std::uint32_t ACK = KVLIB_ERR_UPLOAD_ACK;
constexpr std::uint32_t NAK = KVLIB_ERR_UPLOAD_NAK;
constexpr std::uint32_t DONE = KVLIB_ERR_UPLOAD_DONE;
constexpr std::uint32_t FAILED = KVLIB_ERR_UPLOAD_FAILED;
constexpr std::uint32_t CANCELED = KVLIB_ERR_UPLOAD_CANCELED;
constexpr std::uint32_t TIMEOUT = KVLIB_ERR_UPLOAD_TIMEOUT;
constexpr std::uint32_t CACHE = KVLIB_ERR_UPLOAD_CACHE_UPDATE;

// ---- What the simulator saw ---------------------------------------------------------------------

struct Block {
    std::string verdict;  // ok, dup or bad
    std::string answer;   // ack, nak, can, garbage or none
    std::vector<std::uint8_t> frame;
};

struct Transfer {
    std::string start;  // the xstart line after its time
    std::vector<Block> blocks;
    std::vector<std::string> eots;  // the answers to each EOT
    std::string end;                // the xend line after its time
};

std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The transfers in the simulator's record, in order.
std::vector<Transfer> transfers(const fs::path& record) {
    std::vector<Transfer> out;
    std::ifstream in(record);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string ms;
        std::string kind;
        fields >> ms >> kind;
        std::string rest;
        std::getline(fields, rest);
        if (!rest.empty() && rest.front() == ' ') {
            rest.erase(0, 1);
        }
        if (kind == "xstart") {
            out.push_back(Transfer{rest, {}, {}, {}});
        } else if (out.empty()) {
            continue;
        } else if (kind == "xblock") {
            std::istringstream f(rest);
            std::string number;
            std::string length;
            Block b;
            std::string hex;
            f >> number >> length >> b.verdict >> b.answer >> hex;
            b.frame = fromHex(hex);
            out.back().blocks.push_back(std::move(b));
        } else if (kind == "xeot") {
            out.back().eots.push_back(rest);
        } else if (kind == "xend") {
            out.back().end = rest;
        }
    }
    return out;
}

// How many telegrams of request code `code` the simulator received.
std::size_t telegrams(const fs::path& record, std::uint32_t code) {
    std::ifstream in(record);
    std::string line;
    std::size_t n = 0;
    const std::string wanted = std::to_string(code);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string ms;
        std::string kind;
        if ((fields >> ms >> kind) && kind == wanted) {
            ++n;
        }
    }
    return n;
}

// CRC-16/XMODEM written out here once more, so that the frames are checked by other code than the
// library's.
std::uint16_t crc16(const std::uint8_t* p, std::size_t n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (p[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed = 7) {
    std::vector<std::uint8_t> v(n);
    unsigned x = seed;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return v;
}

std::vector<std::uint8_t> readBytes(const fs::path& file) {
    const std::string s = kvtest::readFile(file);
    return {s.begin(), s.end()};
}

void writeBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// ---- Fixture -------------------------------------------------------------------------------------

class UploadTest : public testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard lock(gStatus.mutex);
            gStatus.statuses.clear();
            gStatus.hook = nullptr;
        }
        kv::SetUploadFirstRequestLimitForTesting(60000);
        ASSERT_EQ(kvxInitLib(), 0u);
    }

    void TearDown() override {
        kvxStopTransferArea();
        if (handle != 0) {
            kvxCloseDevice(handle);
        }
        kvxCloseLib();
        std::lock_guard lock(gStatus.mutex);
        gStatus.hook = nullptr;
    }

    // Starts the simulator with its store and record in this test's directory, and opens it.
    void start(std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--store", store().string(), "--record", record().string()});
        sim = std::make_unique<kvtest::Simulator>(options);
        std::uint32_t rc = 0xFFFFFFFF;
        handle = kvxOpenComDevice(sim->port().c_str(), 38400, &rc);
        ASSERT_EQ(rc, 0u);
    }

    fs::path store() const { return dir.path() / "store"; }
    fs::path record() const { return dir.path() / "record"; }
    fs::path stored(const std::string& area, const std::string& name) const { return store() / area / name; }

    // Waits for the upload thread to end; every status has been delivered then.
    void waitForEnd() {
        ASSERT_TRUE(waitFor([] { return !kv::UploadThreadRunning(); }, std::chrono::seconds(120)))
            << "the upload thread did not end";
    }

    // After every ending the telegram side has the port again.
    void expectPortHandedBack(std::uint8_t writeFlag = 0) {
        EXPECT_FALSE(kv::ShellServiceActive());
        EXPECT_EQ(kv::CurrentRxHandler(), kv::RxHandlerForMode(kv::RX_TELEGRAM));
        EXPECT_EQ(kv::transferFlags().threadWriteFlag.load(), writeFlag);
        EXPECT_EQ(countOf(logText(), "Closing thread IfUploadFile..."),
                  countOf(logText(), "Starting Thread IfUploadFile..."));
    }

    std::uint32_t uploadFile(const fs::path& file, std::int32_t target = UPLOAD_RAMDISK) {
        return KvFileUpload(handle, file.c_str(), target, recordStatus);
    }

    std::vector<Transfer> seen() const { return transfers(record()); }

    kvtest::TempDir dir;
    std::unique_ptr<kvtest::Simulator> sim;
    std::uint32_t handle = 0;
};

// ---- Block layout ---------------------------------------------------------------------------------

TEST_F(UploadTest, FifteenHundredBytesGoAsOneLargeAndFourSmallBlocks) {
    start();
    const auto data = pattern(1500);
    const fs::path file = dir.path() / "x" / "prog.bin";
    writeBytes(file, data);
    ASSERT_EQ(uploadFile(file), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 4, {DONE}));
    expectPortHandedBack();

    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    // The controller is given the file's own name, not the computer's directories.
    EXPECT_EQ(t[0].start, "'/ramdisk/prog.bin' 1500 crc");
    ASSERT_EQ(t[0].blocks.size(), 5u);
    const std::vector<std::size_t> lengths{1029, 133, 133, 133, 133};
    std::size_t at = 0;
    for (std::size_t i = 0; i < 5; ++i) {
        const Block& b = t[0].blocks[i];
        SCOPED_TRACE("block " + std::to_string(i + 1));
        ASSERT_EQ(b.frame.size(), lengths[i]);
        EXPECT_EQ(b.verdict, "ok");
        EXPECT_EQ(b.answer, "ack");
        EXPECT_EQ(b.frame[0], i == 0 ? 0x02 : 0x01);
        EXPECT_EQ(b.frame[1], i + 1);
        EXPECT_EQ(b.frame[2], 0xFF - (i + 1));
        const std::size_t n = b.frame.size() - 5;
        const std::size_t used = std::min(n, data.size() - at);
        EXPECT_TRUE(std::equal(data.begin() + static_cast<std::ptrdiff_t>(at),
                               data.begin() + static_cast<std::ptrdiff_t>(at + used), b.frame.begin() + 3));
        at += used;
        const std::uint16_t crc = crc16(b.frame.data() + 3, n);
        EXPECT_EQ(b.frame[3 + n], crc >> 8);
        EXPECT_EQ(b.frame[4 + n], crc & 0xFF);
    }
    // The last block: 92 bytes of the file, then 36 zeros.
    const Block& last = t[0].blocks[4];
    EXPECT_TRUE(std::all_of(last.frame.begin() + 3 + 92, last.frame.begin() + 3 + 128,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_NE(last.frame[3 + 91], 0) << "the pattern's byte, not padding";
    EXPECT_EQ(t[0].eots, std::vector<std::string>{"ack"});
    EXPECT_EQ(readBytes(stored("ramdisk", "prog.bin")), data);
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "INFO: KvFileUpload, Device= 0, FileName= prog.bin, size= 1500"), 1);
    EXPECT_EQ(countOf(log, "Starting Upload ...xrecv \"/ramdisk/prog.bin\" 1500"), 1);
    EXPECT_EQ(countOf(log, "IfUploadFile, XM_WAIT_UPLOAD: received 'C'..."), 1);
    EXPECT_EQ(countOf(log, "File Upload successful..."), 1);
}

TEST_F(UploadTest, SmallFilesGoOnlyInSmallBlocks) {
    start();
    // Exactly 1024 bytes: eight small blocks, since a large one needs more than 1024 left.
    const auto kilo = pattern(1024, 3);
    const fs::path file = dir.path() / "kilo.bin";
    writeBytes(file, kilo);
    ASSERT_EQ(uploadFile(file), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 7, {DONE}));
    // An empty file is announced with size 0 and still sends one block of zeros.
    const fs::path empty = dir.path() / "empty.bin";
    writeBytes(empty, {});
    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.statuses.clear();
    }
    ASSERT_EQ(uploadFile(empty), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, DONE}));
    expectPortHandedBack();

    const auto t = seen();
    ASSERT_EQ(t.size(), 2u);
    ASSERT_EQ(t[0].blocks.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(t[0].blocks[i].frame.size(), 133u);
        EXPECT_EQ(t[0].blocks[i].frame[1], i + 1);
    }
    EXPECT_EQ(readBytes(stored("ramdisk", "kilo.bin")), kilo);

    EXPECT_EQ(t[1].start, "'/ramdisk/empty.bin' 0 crc");
    ASSERT_EQ(t[1].blocks.size(), 1u);
    const auto& zero = t[1].blocks[0].frame;
    ASSERT_EQ(zero.size(), 133u);
    EXPECT_TRUE(std::all_of(zero.begin() + 3, zero.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(fs::exists(stored("ramdisk", "empty.bin")));
    EXPECT_EQ(fs::file_size(stored("ramdisk", "empty.bin")), 0u);
}

TEST_F(UploadTest, ReceiverStartingWithNakGetsOneByteSums) {
    start({"--xrecv-start", "nak"});
    const auto data = pattern(1500, 11);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 1500, "sum.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 4, {DONE}));
    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].start, "'/ramdisk/sum.bin' 1500 sum");
    ASSERT_EQ(t[0].blocks.size(), 5u);
    EXPECT_EQ(t[0].blocks[0].frame.size(), 1028u);
    for (const Block& b : t[0].blocks) {
        const std::size_t n = b.frame.size() - 4;
        const unsigned sum =
            std::accumulate(b.frame.begin() + 3, b.frame.begin() + 3 + static_cast<std::ptrdiff_t>(n), 0u);
        EXPECT_EQ(b.frame.back(), sum & 0xFF);
        EXPECT_EQ(b.verdict, "ok");
    }
    EXPECT_EQ(t[0].blocks[4].frame.size(), 132u);
    EXPECT_EQ(readBytes(stored("ramdisk", "sum.bin")), data);
    EXPECT_EQ(countOf(logText(), "IfUploadFile, XM_WAIT_UPLOAD: received NAK..."), 1);
}

TEST_F(UploadTest, ThreeHundredBlocksWrapTheBlockNumber) {
    start();
    const auto data = pattern(299 * 1024 + 100, 5);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), static_cast<std::uint32_t>(data.size()),
                              "big.bin", recordStatus),
              0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 299, {DONE}));
    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    ASSERT_EQ(t[0].blocks.size(), 300u);
    for (std::size_t i = 0; i < 300; ++i) {
        const auto& f = t[0].blocks[i].frame;
        ASSERT_EQ(f[1], (i + 1) % 256) << i;
        ASSERT_EQ(f[2], 255 - (i + 1) % 256) << i;
        ASSERT_EQ(t[0].blocks[i].verdict, "ok") << i;
    }
    EXPECT_EQ(t[0].blocks[254].frame[1], 255);
    EXPECT_EQ(t[0].blocks[255].frame[1], 0);
    EXPECT_EQ(t[0].blocks[299].frame.size(), 133u);
    EXPECT_EQ(readBytes(stored("ramdisk", "big.bin")), data);
}

// ---- Targets ---------------------------------------------------------------------------------------

TEST_F(UploadTest, FlashTargetReportsTheCacheUpdateAndWaitsLongerForIt) {
    // The controller takes longer to answer the EOT than the 5 s an ordinary answer may take.
    start({"--flash-delay", "7000"});
    const auto data = pattern(300, 9);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_FLASH, data.data(), 300, "fw.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 2, {CACHE, DONE}));
    EXPECT_EQ(readBytes(stored("flash", "fw.bin")), data);
    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].start, "'/flash/fw.bin' 300 crc");

    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.statuses.clear();
    }
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_SYSTEM, data.data(), 300, "sys.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 2, {CACHE, DONE}));
    EXPECT_EQ(readBytes(stored("system", "sys.bin")), data);
    // Any other target is the RAM disk.
    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.statuses.clear();
    }
    ASSERT_EQ(KvRamFileUpload(handle, 9, data.data(), 300, "other.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 2, {DONE}));
    EXPECT_EQ(readBytes(stored("ramdisk", "other.bin")), data);
    expectPortHandedBack();
}

// ---- Receiver faults ------------------------------------------------------------------------------

TEST_F(UploadTest, FiveNaksAreRetriedAndTheSixthEndsTheUpload) {
    start({"--xrecv-nak", "2:5"});
    const auto data = pattern(1500, 2);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 1500, "five.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, ACK}, NAK, 5, {ACK, ACK, ACK, DONE}));
    EXPECT_EQ(readBytes(stored("ramdisk", "five.bin")), data);
    const auto first = seen();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].blocks.size(), 10u);
    expectPortHandedBack();
}

TEST_F(UploadTest, SixthNakSendsEotAndFails) {
    start({"--xrecv-nak", "2:6"});
    const auto data = pattern(1500, 2);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_FLASH, data.data(), 1500, "six.bin", recordStatus), 0u);
    waitForEnd();
    // No cache update is announced for a file that did not arrive.
    EXPECT_EQ(statuses(), expected({START, ACK}, NAK, 5, {FAILED}));
    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    ASSERT_EQ(t[0].blocks.size(), 7u);  // block 1, then block 2 six times
    for (std::size_t i = 1; i < 7; ++i) {
        EXPECT_EQ(t[0].blocks[i].frame[1], 2);
        EXPECT_EQ(t[0].blocks[i].answer, "nak");
    }
    EXPECT_EQ(t[0].eots.size(), 1u);
    EXPECT_FALSE(fs::exists(stored("flash", "six.bin")));
    EXPECT_EQ(countOf(logText(), "IfUploadFile, cancel file upload..."), 1);
    expectPortHandedBack();
}

TEST_F(UploadTest, CancelBeforeTheFirstBlock) {
    start({"--xrecv-can-before-first"});
    const auto data = pattern(100);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 100, "can.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, CANCELED}));
    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].blocks.empty());
    EXPECT_EQ(countOf(logText(), "IfUploadFile, XM_WAIT_UPLOAD: received CAN..."), 1);
    expectPortHandedBack();
}

TEST_F(UploadTest, CancelAfterABlockGivesCanceledThenFailed) {
    start({"--xrecv-can-after", "2"});
    const auto data = pattern(1500);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 1500, "can2.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, ACK, CANCELED, FAILED}));
    EXPECT_EQ(countOf(logText(), "IfUploadFile, XM_REPLY: CAN, upload was canceld ..."), 1);
    EXPECT_FALSE(fs::exists(stored("ramdisk", "can2.bin")));
    expectPortHandedBack();
}

TEST_F(UploadTest, UnknownAnswerToABlockEndsWithEotAndFails) {
    start({"--xrecv-garbage", "1"});
    const auto data = pattern(1500);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 1500, "junk.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, FAILED}));
    EXPECT_EQ(countOf(logText(), "IfUploadFile, received unknown data:  86"), 1);
    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].eots.size(), 1u);
    expectPortHandedBack();
}

TEST_F(UploadTest, UnansweredBlockOrEotEndsInTimeout) {
    start({"--xrecv-no-answer", "2"});
    const auto data = pattern(1500);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 1500, "lost.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, ACK, TIMEOUT}));
    EXPECT_EQ(countOf(logText(), "INFO: Upload, Timeout is occurred ..."), 1);
    expectPortHandedBack();

    sim.reset();
    kvxCloseDevice(handle);
    handle = 0;
    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.statuses.clear();
    }
    start({"--xrecv-no-eot-answer"});
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 1500, "noeot.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START}, ACK, 4, {TIMEOUT}));
    expectPortHandedBack();
}

TEST_F(UploadTest, ReceiverThatNeverAsksEndsInTimeout) {
    // The controller refuses the name (a name with a '/' would leave the area), prints its prompt and
    // never starts a receiver: without a bound the upload would wait for ever.
    kv::SetUploadFirstRequestLimitForTesting(3000);
    start();
    const auto data = pattern(10);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 10, "sub/x.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, TIMEOUT}));
    EXPECT_EQ(countOf(logText(), "IfUploadFile, XM_WAIT_UPLOAD: no block request within 3000 ms"), 1);
    expectPortHandedBack();
}

// ---- The port handed over and back ------------------------------------------------------------------

TEST_F(UploadTest, RunningTransferStopsForTheUploadAndRunsAgain) {
    start();
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    const auto data = pattern(5000);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 5000, "tr.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses().back(), DONE);
    EXPECT_EQ(readBytes(stored("ramdisk", "tr.bin")), data);
    expectPortHandedBack(1);
    // The cycle sends and is answered again: the I/O replies keep the transfer running.
    const std::size_t ioBefore = telegrams(record(), kRemIo);
    ASSERT_TRUE(waitFor([&] { return telegrams(record(), kRemIo) > ioBefore + 10; }));
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_IS_RUNNING);
}

TEST_F(UploadTest, OthersAreRefusedWhileTheUploadHoldsThePort) {
    start({"--xrecv-timeout", "60000"});
    const auto data = pattern(3000);
    // The upload is held after its first ACK until the checks below are done.
    std::mutex m;
    std::condition_variable cv;
    bool atFirstAck = false;
    bool release = false;
    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.hook = [&](std::uint32_t s) {
            if (s != ACK) {
                return;
            }
            std::unique_lock held(m);
            if (atFirstAck) {
                return;
            }
            atFirstAck = true;
            cv.notify_all();
            cv.wait(held, [&] { return release; });
        };
    }
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 3000, "held.bin", recordStatus), 0u);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return atFirstAck; }));
    }
    EXPECT_TRUE(kv::ShellServiceActive());
    EXPECT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 3000, "second.bin", recordStatus),
              KVLIB_ERR_THREAD_IS_RUNNING);
    static std::vector<std::string> replies;
    replies.clear();
    EXPECT_EQ(
        KvRemoteCmd(handle, "get_ser_num",
                    [](const char* text, std::uint32_t) { replies.emplace_back(text ? text : "(none)"); }),
        KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(replies, std::vector<std::string>{"(none)"});
    EXPECT_EQ(VKqCleanDisk(handle, 0), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(kvxStartTransferArea(handle), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(GetVoriKqInfo(handle, 0), KVLIB_ERR_THREAD_IS_RUNNING);
    EXPECT_EQ(GetVoriKqMasterState(handle), KVLIB_ERR_THREAD_IS_RUNNING);
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    waitForEnd();
    // Two large blocks and eight small ones.
    EXPECT_EQ(statuses(), expected({START}, ACK, 9, {DONE}));
    EXPECT_EQ(readBytes(stored("ramdisk", "held.bin")), data);
    EXPECT_FALSE(fs::exists(stored("ramdisk", "second.bin")));
    // No telegram reached the controller while it was receiving.
    const auto t = seen();
    ASSERT_EQ(t.size(), 1u);
    for (const Block& b : t[0].blocks) {
        EXPECT_EQ(b.verdict, "ok");
    }
    EXPECT_EQ(countOf(kvtest::readFile(record()), " xskip "), 0);
    expectPortHandedBack();
    // Afterwards everything works again.
    EXPECT_EQ(KvRemoteCmd(handle, "get_ser_num", nullptr), 0u);
    EXPECT_EQ(GetVoriKqInfo(handle, 0), 0u);
    EXPECT_EQ(kvxStartTransferArea(handle), 0u);
}

TEST_F(UploadTest, CloseWaitsForTheUploadToEnd) {
    start({"--line-rate", "38400"});
    const auto data = pattern(8000);
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 8000, "close.bin", recordStatus), 0u);
    ASSERT_TRUE(kv::UploadThreadRunning());
    // Closing at once: the upload still finishes, and the port closes only after it.
    EXPECT_EQ(kvxCloseDevice(handle), 0u);
    EXPECT_FALSE(kv::UploadThreadRunning());
    EXPECT_EQ(statuses().back(), DONE);
    EXPECT_EQ(readBytes(stored("ramdisk", "close.bin")), data);
    handle = 0;

    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.statuses.clear();
    }
    sim.reset();
    start({"--line-rate", "38400"});
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 8000, "lib.bin", recordStatus), 0u);
    ASSERT_TRUE(kv::UploadThreadRunning());
    EXPECT_EQ(kvxCloseLib(), 0u);
    EXPECT_FALSE(kv::UploadThreadRunning());
    EXPECT_EQ(statuses().back(), DONE);
    EXPECT_EQ(readBytes(stored("ramdisk", "lib.bin")), data);
    kvxCloseDevice(handle);
    handle = 0;
    ASSERT_EQ(kvxInitLib(), 0u);
}

TEST_F(UploadTest, CallbackMayCloseTheDeviceUnderItsOwnUpload) {
    start();
    const auto data = pattern(3000);
    std::atomic<std::uint32_t> closeResult{1};
    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.hook = [&](std::uint32_t s) {
            if (s == ACK && closeResult.load() == 1) {
                closeResult = kvxCloseDevice(handle);
            }
        };
    }
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 3000, "self.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(closeResult.load(), 0u);
    // Its port gone, the upload writes nothing more and runs out of time.
    EXPECT_EQ(statuses(), expected({START, ACK, TIMEOUT}));
    EXPECT_NE(kv::CheckDeviceHandle(handle), 0u);
    handle = 0;
    expectPortHandedBack();
}

TEST_F(UploadTest, SourceThatShrinksIsAReadErrorAndTheReceiverIsCancelled) {
    start();
    const auto data = pattern(4000);
    const fs::path file = dir.path() / "shrink.bin";
    writeBytes(file, data);
    {
        std::lock_guard lock(gStatus.mutex);
        gStatus.hook = [&](std::uint32_t s) {
            if (s == ACK) {
                fs::resize_file(file, 1024);
            }
        };
    }
    ASSERT_EQ(uploadFile(file), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, ACK, KVLIB_ERR_UPLOAD_FILE_READ_ERR}));
    EXPECT_EQ(countOf(logText(), "ReadProgData, file ends at 1024 of 4000 bytes"), 1);
    expectPortHandedBack();
    // The controller has left its receive mode: its shell answers at once.
    EXPECT_EQ(KvRemoteCmd(handle, "get_ser_num", nullptr), 0u) << kvtest::readFile(record());
    EXPECT_FALSE(fs::exists(stored("ramdisk", "shrink.bin")));
}

TEST_F(UploadTest, FailedThreadStartHandsThePortBack) {
    start();
    ASSERT_EQ(kvxStartTransferArea(handle), 0u);
    kv::FailNextUploadThreadStartForTesting();
    const auto data = pattern(10);
    EXPECT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 10, "nothread.bin", recordStatus),
              KVLIB_ERR_THREAD_NOT_STARTABLE);
    EXPECT_TRUE(statuses().empty());
    EXPECT_EQ(countOf(logText(), "INFO: KvProgUpload, CreateThread() failed with error= "), 1);
    expectPortHandedBack(1);
    EXPECT_EQ(kvxIsTransferActiv(handle), KVLIB_ERR_THREAD_IS_RUNNING);
    // And the next upload runs.
    ASSERT_EQ(KvRamFileUpload(handle, UPLOAD_RAMDISK, data.data(), 10, "thread.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, DONE}));
}

// ---- Refused before anything is sent ---------------------------------------------------------------

TEST_F(UploadTest, BadArgumentsAreRefusedAndNothingIsSent) {
    start();
    const auto data = pattern(10);
    const fs::path file = dir.path() / "ok.bin";
    writeBytes(file, data);
    EXPECT_EQ(KvFileUpload(0, file.c_str(), 0, recordStatus), KVLIB_ERR_DEVICE_NOT_OPEN);
    EXPECT_EQ(KvFileUpload(handle + 1, file.c_str(), 0, recordStatus), KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(KvRamFileUpload(handle + 1, 0, data.data(), 10, "a", recordStatus),
              KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_EQ(uploadFile(dir.path() / "missing.bin"), KVLIB_ERR_UPLOAD_FILE_NOT_OPEN);
    EXPECT_EQ(uploadFile(dir.path()), KVLIB_ERR_UPLOAD_FILE_NOT_OPEN);
    EXPECT_EQ(KvFileUpload(handle, nullptr, 0, recordStatus), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(KvRamFileUpload(handle, 0, nullptr, 10, "a", recordStatus), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(KvRamFileUpload(handle, 0, data.data(), 10, nullptr, recordStatus), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(KvRamFileUpload(handle, 0, data.data(), 10, "", recordStatus), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(KvRamFileUpload(handle, 0, data.data(), 10, "a\"b", recordStatus), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(KvRamFileUpload(handle, 0, data.data(), 10, std::string(84, 'n').c_str(), recordStatus),
              KVLIB_ERR_INVALID_PARAM);
    // A file whose size does not fit the 32-bit size of the command is refused, not announced with a
    // wrapped size (the file is sparse: it takes no room).
    const fs::path huge = dir.path() / "huge.bin";
    writeBytes(huge, {});
    fs::resize_file(huge, 0x100000000ull + 100);
    EXPECT_EQ(uploadFile(huge), KVLIB_ERR_UPLOAD_INVALID_FSIZE);
    EXPECT_TRUE(statuses().empty());
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(countOf(logText(), "OpenFileForUpload, Could not open file (error "), 2);
    expectPortHandedBack();
    // A null data pointer is fine for nothing at all.
    ASSERT_EQ(KvRamFileUpload(handle, 0, nullptr, 0, "none.bin", recordStatus), 0u);
    waitForEnd();
    EXPECT_EQ(statuses(), expected({START, DONE}));
}

// ---- An independent receiver -----------------------------------------------------------------------

class RxInterop : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (std::system("command -v rx >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "rx from lrzsz is not installed (scripts/setup.sh installs it)";
        }
        kv::InitLog();
        std::lock_guard lock(gStatus.mutex);
        gStatus.statuses.clear();
        gStatus.hook = nullptr;
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
    std::uint32_t rc = 0;
    const std::uint32_t h = kv::OpenComDevice(rx.port().c_str(), &rc);
    ASSERT_EQ(rc, 0u);

    const auto data = pattern(5000, crc ? 1 : 2);
    const fs::path source = dir.path() / "src" / "prog.bin";
    writeBytes(source, data);
    ASSERT_EQ(KvFileUpload(h, source.c_str(), UPLOAD_RAMDISK, recordStatus), 0u);
    ASSERT_TRUE(waitFor([] { return !kv::UploadThreadRunning(); }, std::chrono::seconds(120)));
    // Four large blocks and eight small ones.
    EXPECT_EQ(statuses(), expected({START}, ACK, 11, {DONE}));
    EXPECT_EQ(countOf(logText(), crc ? "XM_WAIT_UPLOAD: received 'C'..." : "XM_WAIT_UPLOAD: received NAK..."),
              1);
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir.path() / "rx.exit"); }));
    EXPECT_EQ(kvtest::readFile(dir.path() / "rx.exit"), "0") << kvtest::readFile(dir.path() / "rx.log");
    // XMODEM carries no size: rx keeps the last block whole, padding included.
    const auto got = readBytes(dir.path() / "prog.bin");
    ASSERT_GE(got.size(), data.size());
    EXPECT_EQ(got.size() % 128, 0u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(data.size()), got.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(ChecksumModes, RxInterop, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& mode) { return mode.param ? "Crc" : "Sum"; });

}  // namespace
