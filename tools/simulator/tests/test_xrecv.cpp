// The shell command xrecv from the line's point of view: the dialogue around the transfer, where
// the file ends up (and where it may not), what the record shows, and how the switches reach it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "control.h"
#include "dispatcher.h"
#include "options.h"
#include "protocol.h"
#include "shell.h"
#include "store.h"
#include "tests/helpers.h"
#include "xmodem.h"

namespace kqsim {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string frame(unsigned number, std::string data) {
    const std::size_t size = data.size() > 128 ? 1024 : 128;
    data.resize(size, '\0');
    std::string f;
    f += static_cast<char>(size == 128 ? 0x01 : 0x02);
    f += static_cast<char>(number & 0xffU);
    f += static_cast<char>(~number & 0xffU);
    f += data;
    const std::uint16_t c = crc16(data);
    f += static_cast<char>(c >> 8);
    f += static_cast<char>(c & 0xffU);
    return f;
}

std::vector<std::string> frames_for(const std::string& data) {
    std::vector<std::string> out;
    std::size_t off = 0;
    unsigned n = 1;
    do {
        const std::size_t size = data.size() - off > 1024 ? 1024 : 128;
        out.push_back(frame(n++, data.substr(off, size)));
        off += std::min(size, data.size() - off);
    } while (off < data.size());
    return out;
}

// A file's bytes, or nothing when it cannot be read.
std::optional<std::string> read_file(const fs::path& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return std::nullopt;
    }
    std::string bytes;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
        bytes.append(buf, n);
    }
    std::fclose(f);
    return bytes;
}

std::string command(std::string_view cmd) {
    return "\r" + std::string(cmd) + "\r";
}

class XrecvTest : public ::testing::Test {
  protected:
    XrecvTest() : recorder_(Clock::now()) {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = fs::path(::testing::TempDir()) / ("kqsim_store_" + name);
        record_path_ = (fs::path(::testing::TempDir()) / ("kqsim_xrecv_" + name + ".rec")).string();
        fs::remove_all(root_);
        fs::remove(record_path_);
        std::string error;
        EXPECT_TRUE(store_.open(root_.string(), error)) << error;
        EXPECT_TRUE(recorder_.open(record_path_, error)) << error;
    }
    ~XrecvTest() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
        fs::remove(record_path_, ec);
    }

    void make(Options o = {}) {
        opt_ = std::move(o);
        dispatcher_.reset();
        shell_.emplace(opt_, out_, recorder_, store_);
        protocol_.emplace(opt_.responder, opt_.faults, out_, recorder_, Clock::now());
        dispatcher_.emplace(*shell_, *protocol_, recorder_);
    }

    void type(std::string_view bytes) { dispatcher_->feed(bytes); }

    // What goes on the line within the next `within`, delays included.
    std::string line(milliseconds within = seconds{5}) {
        std::string all;
        const auto base = Clock::now();
        for (milliseconds t{0}; t <= within; t += milliseconds{10}) {
            out_.pump(base + t, [&](std::string_view b) {
                all += b;
                return static_cast<ssize_t>(b.size());
            });
        }
        return all;
    }

    // Sends an upload's frames one at a time, each after the answer to the one before.
    std::string send(const std::vector<std::string>& frames) {
        std::string answers;
        for (const auto& f : frames) {
            type(f);
            answers += line();
        }
        return answers;
    }

    std::optional<std::string> stored(std::string_view area, std::string_view name) const {
        return read_file(root_ / area / name);
    }

    std::size_t files_in_store() const {
        std::size_t n = 0;
        for (const auto& e : fs::recursive_directory_iterator(root_)) {
            n += e.is_regular_file() ? 1U : 0U;
        }
        return n;
    }

    std::vector<std::string> records() const { return test_helpers::record_lines(record_path_); }

    Options opt_;
    OutputQueue out_{0};
    Recorder recorder_;
    Store store_;
    fs::path root_;
    std::string record_path_;
    std::optional<Shell> shell_;
    std::optional<Protocol> protocol_;
    std::optional<Dispatcher> dispatcher_;
};

// An upload block full of what looks like request telegrams: a complete, well-formed one among them.
std::string telegram_lookalike(std::size_t n) {
    Telegram t;
    t.code = 1;
    t.counter = 9;
    const std::string tele = encode(t);
    std::string s;
    while (s.size() < n) {
        s += tele;
        s += "\x02\x55";
    }
    s.resize(n);
    return s;
}

TEST_F(XrecvTest, AnUploadIsStoredCutToItsSizeAndTheShellGoesOn) {
    make();
    const std::string data = telegram_lookalike(1500);
    const std::string cmd = "xrecv \"/ramdisk/prog.bin\" 1500";
    type(command(cmd));
    EXPECT_EQ(line(), "\r\nUSB>" + cmd + "\r\nUSB>C");
    EXPECT_TRUE(shell_->receiving());

    EXPECT_EQ(send(frames_for(data)), std::string(5, '\x06'));  // no telegram reply among them
    type("\x04");
    EXPECT_EQ(line(), "\x06\r\nUSB>");
    EXPECT_FALSE(shell_->receiving());
    EXPECT_EQ(stored("ramdisk", "prog.bin"), data);

    type(command("get_ser_num"));
    EXPECT_EQ(line(), "\r\nUSB>get_ser_num\r\nKQ10042317\r\nUSB>");

    const auto r = records();
    ASSERT_GE(r.size(), 10U);
    EXPECT_EQ(r[2], "xstart '/ramdisk/prog.bin' 1500 crc");
    EXPECT_EQ(r[3].substr(0, 19), "xblock 1 1024 ok ac");
    EXPECT_EQ(r[8], "xeot ack");
    EXPECT_EQ(r[9], "xend stored 1500");
}

TEST_F(XrecvTest, BytesBehindTheCommandLineBelongToTheTransferAndAfterItToTheShell) {
    make();
    type("xrecv /flash/a.txt 5\r" + frame(1, "hello") + "\x04" + command("get_ser_num"));
    EXPECT_EQ(line(),
              "xrecv /flash/a.txt 5\r\nUSB>C\x06\x06\r\nUSB>\r\nUSB>get_ser_num\r\nKQ10042317\r\nUSB>");
    EXPECT_EQ(stored("flash", "a.txt"), "hello");
}

TEST_F(XrecvTest, FlashAndSystemConfirmTheEndOnlyAfterTheirWriteDelay) {
    Options o;
    o.flash_delay = milliseconds{400};
    make(o);
    for (const std::string area : {"ramdisk", "flash", "system"}) {
        SCOPED_TRACE(area);
        type(command("xrecv \"/" + area + "/f\" 3"));
        line();
        send({frame(1, "abc")});
        type("\x04");
        if (area == "ramdisk") {
            EXPECT_EQ(line(milliseconds{0}), "\x06\r\nUSB>");
        } else {
            EXPECT_EQ(line(milliseconds{200}), "");
            EXPECT_EQ(line(), "\x06\r\nUSB>");
        }
        EXPECT_EQ(stored(area, "f"), "abc");
    }
}

TEST_F(XrecvTest, NamesThatLeaveTheirAreaAreRefusedBeforeAnyTransfer) {
    make();
    const std::vector<std::pair<std::string, std::string>> cases{
        {"xrecv \"/ramdisk/../escape\" 10", "'/ramdisk/../escape': path leaves the storage area"},
        {"xrecv \"/ramdisk//etc/passwd\" 10", "'/ramdisk//etc/passwd': path leaves the storage area"},
        {"xrecv \"/flash/..\" 1", "'/flash/..': path leaves the storage area"},
        {"xrecv \"/ramdisk/a/../../x\" 1", "'/ramdisk/a/../../x': path leaves the storage area"},
        {"xrecv \"/system/sub/x\" 1", "'/system/sub/x': no such directory"},
        {"xrecv \"/disk/x\" 1", "'/disk/x': no such storage area (ramdisk, flash or system)"},
        {"xrecv \"ramdisk/x\" 1", "'ramdisk/x': no such storage area (ramdisk, flash or system)"},
        {"xrecv \"/../x\" 1", "'/../x': no such storage area (ramdisk, flash or system)"},
        {"xrecv \"/ramdisk/\" 1", "'/ramdisk/': no file name"},
        {"xrecv /ramdisk 1", "'/ramdisk': no file name"},
        {"xrecv \"/ramdisk/.\" 1", "'/ramdisk/.': no file name"},
        {"xrecv \"/ramdisk/x\" 12a", "invalid size '12a'"},
        {"xrecv \"/ramdisk/x\" -1", "invalid size '-1'"},
        {"xrecv \"/ramdisk/x\" 4294967296", "invalid size '4294967296'"},
        {"xrecv \"/ramdisk/x\" 67108865", "'/ramdisk/x': file too large (at most 67108864 bytes)"},
        {"xrecv", "usage: xrecv \"/AREA/NAME\" [SIZE], AREA ramdisk, flash or system"},
        {"xrecv \"/ramdisk/x 5", "usage: xrecv \"/AREA/NAME\" [SIZE], AREA ramdisk, flash or system"},
        {"xrecv \"/ramdisk/x\"5", "usage: xrecv \"/AREA/NAME\" [SIZE], AREA ramdisk, flash or system"},
        {"xrecv /ramdisk/x 5 6", "usage: xrecv \"/AREA/NAME\" [SIZE], AREA ramdisk, flash or system"},
    };
    for (const auto& [cmd, message] : cases) {
        SCOPED_TRACE(cmd);
        type(command(cmd));
        EXPECT_EQ(line(), "\r\nUSB>" + cmd + "\r\nxrecv: " + message + "\r\nUSB>");
        EXPECT_FALSE(shell_->receiving());
    }
    EXPECT_EQ(files_in_store(), 0U);
    EXPECT_FALSE(fs::exists(root_ / "escape"));
}

TEST_F(XrecvTest, PathFormsTheShellTakes) {
    std::string error;
    const auto quoted_blank = parse_xrecv("xrecv \"/flash/my prog.bin\" 0", error);
    ASSERT_TRUE(quoted_blank);
    EXPECT_EQ(quoted_blank->path, "/flash/my prog.bin");
    EXPECT_EQ(quoted_blank->size, 0U);
    const auto bare = parse_xrecv("  xrecv\t/system/k.bin  ", error);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->path, "/system/k.bin");
    EXPECT_FALSE(bare->size);
    EXPECT_EQ(parse_xrecv("xrecv /ramdisk/x 4294967295", error)->size, 4294967295U);

    const auto dotted = parse_stored_name("/ramdisk/..hidden", error);
    ASSERT_TRUE(dotted);
    EXPECT_EQ(dotted->name, "..hidden");
    const auto system = parse_stored_name("/system/x..y", error);
    ASSERT_TRUE(system);
    EXPECT_EQ(system->area, Area::System);
    EXPECT_FALSE(parse_stored_name("/ramdiskx/y", error));
    EXPECT_FALSE(parse_stored_name("/RAMDISK/y", error));  // the controller's names are lower case
}

TEST_F(XrecvTest, SizesAtTheEdgesAndANameWithBlanks) {
    make();
    // Size 0: the sender still sends one block of zeros, and the file is empty.
    type(command("xrecv /ramdisk/empty.bin 0"));
    line();
    EXPECT_EQ(send({frame(1, "")}), "\x06");
    type("\x04");
    line();
    EXPECT_EQ(stored("ramdisk", "empty.bin"), "");

    // Without a size nobody says where the data ends: the padding stays.
    type(command("xrecv \"/ramdisk/my file\""));
    line();
    send({frame(1, "abc")});
    type("\x04");
    line();
    EXPECT_EQ(stored("ramdisk", "my file"), "abc" + std::string(125, '\0'));
    const auto r = records();
    EXPECT_NE(std::find(r.begin(), r.end(), "xstart '/ramdisk/my file' - crc"), r.end());
}

TEST_F(XrecvTest, AnIncompleteTransferLeavesTheOlderFileAlone) {
    make();
    type(command("xrecv /ramdisk/prog.bin 3"));
    line();
    send({frame(1, "old")});
    type("\x04");
    line();

    type(command("xrecv /ramdisk/prog.bin 1500"));
    line();
    send({frame(1, std::string(1024, 'n'))});
    type("\x04");  // the sender gave up early
    EXPECT_EQ(line(), "\x06\r\nxrecv: '/ramdisk/prog.bin': incomplete, 1024 of 1500 bytes received\r\nUSB>");
    EXPECT_EQ(stored("ramdisk", "prog.bin"), "old");
    EXPECT_EQ(files_in_store(), 1U);  // no half-written file left behind either
    EXPECT_EQ(records().back(), "xend failed '/ramdisk/prog.bin': incomplete, 1024 of 1500 bytes received");
}

TEST_F(XrecvTest, AfterATimeOutOrACancelTheShellAnswersAgain) {
    make();
    type(command("xrecv /ramdisk/x 10"));
    line();
    shell_->poll(Clock::now() + seconds{11});
    EXPECT_EQ(line(), "\r\nxrecv: timed out: no block from the sender\r\nUSB>");
    type(command("get_ser_num"));
    EXPECT_EQ(line(), "\r\nUSB>get_ser_num\r\nKQ10042317\r\nUSB>");

    type(command("xrecv /ramdisk/x 10"));
    line();
    type("\x18\x18");
    shell_->poll(Clock::now() + seconds{4});
    EXPECT_EQ(line(), "\r\nxrecv: canceled by the sender\r\nUSB>");
    EXPECT_EQ(files_in_store(), 0U);
}

TEST_F(XrecvTest, CleanDiskEmptiesOnlyItsArea) {
    make();
    for (const char* path : {"/ramdisk/a", "/ramdisk/b", "/flash/c"}) {
        type(command(std::string("xrecv ") + path + " 1"));
        line();
        send({frame(1, "z")});
        type("\x04");
        line();
    }
    ASSERT_EQ(files_in_store(), 3U);
    type(command("clean_disk ramdisk"));
    EXPECT_EQ(line(), "\r\nUSB>clean_disk ramdisk\r\nRAM disk cleaned.\r\nUSB>");
    EXPECT_FALSE(stored("ramdisk", "a"));
    EXPECT_EQ(stored("flash", "c"), "z");
    type(command("clean_disk flash"));
    line();
    EXPECT_EQ(files_in_store(), 0U);
}

TEST_F(XrecvTest, ReceiverOptionsReachTheLine) {
    Options o;
    o.xrecv_crc = false;
    o.bluetooth = true;
    make(o);
    type(command("xrecv /ramdisk/s 2"));
    EXPECT_EQ(line(), "\r\nBluetooth>xrecv /ramdisk/s 2\r\nBluetooth>\x15");
    std::string f = frame(1, "ok");
    f.resize(f.size() - 2);
    f += static_cast<char>('o' + 'k');  // summed
    EXPECT_EQ(send({f}), "\x06");
    EXPECT_EQ(records().at(2), "xstart '/ramdisk/s' 2 sum");
}

TEST_F(XrecvTest, SwitchesTakeEffectAtTheNextTransfer) {
    make();
    type(command("xrecv /ramdisk/x 1"));
    line();
    XrecvFaults& faults = shell_->xrecv_faults();
    ASSERT_TRUE(run_control("fault xrecv-can-after 1", *protocol_, faults, Clock::now()).kind ==
                ControlOutcome::Kind::Done);
    EXPECT_EQ(send({frame(1, "a")}), "\x06");  // this transfer started without it
    type("\x04");
    line();

    type(command("xrecv /ramdisk/y 1"));
    line();
    EXPECT_EQ(send({frame(1, "a")}), "\x18\x18");
    shell_->poll(Clock::now() + seconds{4});
    EXPECT_EQ(line(), "\r\nxrecv: transfer canceled\r\nUSB>");

    ASSERT_TRUE(run_control("fault clear", *protocol_, faults, Clock::now()).kind ==
                ControlOutcome::Kind::Done);
    EXPECT_EQ(faults.can_after, 0U);
}

TEST(XrecvSwitches, OptionsAndControlCommandsSetThemAndRefuseNonsense) {
    const auto parse = test_helpers::parse_words;
    const auto ok =
        parse({"--xrecv-nak", "2:3", "--xrecv-can-before-first", "--xrecv-can-after=4", "--xrecv-garbage",
               "5", "--xrecv-no-answer", "6", "--xrecv-no-eot-answer", "--store", "/tmp/s", "--xrecv-start",
               "nak", "--flash-delay", "0", "--xrecv-timeout", "40000"});
    ASSERT_EQ(ok.status, ParseResult::Status::Run) << ok.error;
    const XrecvFaults& f = ok.options.xrecv_faults;
    EXPECT_EQ(f.nak_block, 2U);
    EXPECT_EQ(f.nak_times, 3U);
    EXPECT_TRUE(f.can_before_first);
    EXPECT_EQ(f.can_after, 4U);
    EXPECT_EQ(f.garbage, 5U);
    EXPECT_EQ(f.no_answer, 6U);
    EXPECT_TRUE(f.no_eot_answer);
    EXPECT_EQ(ok.options.store_dir, "/tmp/s");
    EXPECT_FALSE(ok.options.xrecv_crc);
    EXPECT_EQ(ok.options.flash_delay, milliseconds{0});
    EXPECT_EQ(ok.options.xrecv_timeout, milliseconds{40000});

    for (const auto& bad : std::vector<std::vector<std::string>>{{"--xrecv-nak", "2"},
                                                                 {"--xrecv-nak", "0:1"},
                                                                 {"--xrecv-nak", "1:0"},
                                                                 {"--xrecv-nak", "1:x"},
                                                                 {"--xrecv-can-after", "0"},
                                                                 {"--xrecv-garbage", "always"},
                                                                 {"--xrecv-no-eot-answer=on"},
                                                                 {"--xrecv-start", "sum"},
                                                                 {"--xrecv-timeout", "0"},
                                                                 {"--flash-delay", "-5"},
                                                                 {"--store", ""}}) {
        SCOPED_TRACE(bad[0] + (bad.size() > 1 ? " " + bad[1] : ""));
        EXPECT_EQ(parse(bad).status, ParseResult::Status::Error);
    }

    XrecvFaults live;
    std::string error;
    EXPECT_TRUE(set_xrecv_fault(live, "xrecv-nak", "3:1", error));
    EXPECT_TRUE(set_xrecv_fault(live, "xrecv-no-eot-answer", "on", error));
    EXPECT_TRUE(set_xrecv_fault(live, "xrecv-nak", "off", error));
    EXPECT_EQ(live.nak_block, 0U);
    EXPECT_TRUE(live.no_eot_answer);
    EXPECT_FALSE(set_xrecv_fault(live, "xrecv-garbage", "", error));
    EXPECT_FALSE(set_xrecv_fault(live, "xrecv-can-before-first", "yes", error));
    EXPECT_FALSE(error.empty());
}

TEST(TemporaryStore, IsMadeOnFirstUseAndGoesAwayWithTheController) {
    std::string root;
    {
        Store store;
        EXPECT_TRUE(store.root().empty());
        std::string error;
        ASSERT_TRUE(store.write(StoredName{Area::Flash, "f"}, "data", error)) << error;
        root = store.root();
        EXPECT_EQ(read_file(fs::path(root) / "flash" / "f"), "data");
    }
    EXPECT_FALSE(root.empty());
    EXPECT_FALSE(fs::exists(root));
}

}  // namespace
}  // namespace kqsim
