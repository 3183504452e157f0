#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/version.h"
#include "platform/platform.h"
#include "support/environment.h"
#include "support/temp_dir.h"
#include "transfer/statistics.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using kvtest::readText;

// In expected text, "{T}" stands for a time of day "HH:MM:SS:mmm" and "{D}" for a date "DD.MM.YYYY".
const std::string kTime = "{T}";
const std::string kDate = "{D}";
const std::string kBannerRule(80, '-');

// Sets or removes an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        apply(value);
    }
    ~ScopedEnv() { apply(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void apply(const std::optional<std::string>& value) {
        if (value) {
            kvtest::setEnvironment(name_, *value);
        } else {
            kvtest::unsetEnvironment(name_);
        }
    }
    std::string name_;
    std::optional<std::string> old_;
};

bool digitsAndSeparators(const std::string& text, std::size_t at, const char* shape) {
    for (std::size_t i = 0; shape[i] != '\0'; ++i, ++at) {
        if (at >= text.size()) {
            return false;
        }
        const bool ok = shape[i] == 'd' ? (text[at] >= '0' && text[at] <= '9') : text[at] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Whole-text comparison of `text` with `shape`, in which every placeholder matches one time or date.
bool matches(const std::string& text, const std::string& shape) {
    std::size_t t = 0;
    std::size_t s = 0;
    while (s < shape.size()) {
        if (shape.compare(s, 3, kTime) == 0) {
            if (!digitsAndSeparators(text, t, "dd:dd:dd:ddd")) {
                return false;
            }
            t += 12;
            s += 3;
        } else if (shape.compare(s, 3, kDate) == 0) {
            if (!digitsAndSeparators(text, t, "dd.dd.dddd")) {
                return false;
            }
            t += 10;
            s += 3;
        } else {
            if (t >= text.size() || text[t] != shape[s]) {
                return false;
            }
            ++t;
            ++s;
        }
    }
    return t == text.size();
}

// Every test gets its own log directory and an empty settings file slot in the current directory.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::remove("kvLib.ini");
        kv::transferStatistics().reset();
    }
    void TearDown() override {
        kv::CloseLog();
        fs::remove("kvLib.ini");
        kv::transferStatistics().reset();
    }

    static void writeIni(const std::string& content) {
        std::ofstream out("kvLib.ini", std::ios::binary | std::ios::trunc);
        out << content;
    }

    // Starts the log with `ini` as the settings file (none when empty) and remembers where the banner
    // ends, so that newText() returns only what the test wrote.
    void start(const std::string& ini = "") {
        if (ini.empty()) {
            fs::remove("kvLib.ini");
        } else {
            writeIni(ini);
        }
        kv::InitLog();
        mark_ = readText(logFile()).size();
    }

    fs::path logFile() const { return logDir_ / "kvlib.log"; }

    // What was written since start(). Flushes first, since a dump alone is not flushed.
    std::string newText() {
        kv::LogMsg(kv::LOG_RAW, "%s", "");
        const std::string all = readText(logFile());
        return all.size() >= mark_ ? all.substr(mark_) : std::string();
    }

    kvtest::TempDir tmp_;
    fs::path logDir_ = fs::path(tmp_.path()) / "log";
    ScopedEnv logDirEnv_{"KVLIB_LOG_DIR", logDir_.string()};
    std::size_t mark_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Start, banner, rotation
// ---------------------------------------------------------------------------------------------

TEST_F(LogTest, BannerWithoutSettingsFile) {
    start();
    EXPECT_EQ(readText(logFile()),
              kBannerRule + "\nKvAroLib.dll Version  01.05.06  (2010/09/22)\nKvLogLevel= 0\n");
    EXPECT_EQ(kv::LogLevelSetting(), 0);
    EXPECT_EQ(kv::LogRxSetting(), 0);
    EXPECT_EQ(kv::StatisticSetting(), 0);
    EXPECT_EQ(kv::LogFilePath(), (logDir_ / "kvlib.log").string());
}

TEST_F(LogTest, BannerVersionText) {
    EXPECT_EQ(kv::kLibraryVersion, 0x00010506u);
    EXPECT_EQ(kv::LibraryVersionText(), "01.05.06  (2010/09/22)");
    EXPECT_EQ(kv::LibraryVersionText().size(), 22u);
}

TEST_F(LogTest, RotationKeepsThePreviousRunAsBackup) {
    start();
    kv::LogMsg(kv::LOG_LINE, "%s", "first run");
    kv::InitLog();
    kv::LogMsg(kv::LOG_LINE, "%s", "second run");

    const std::string backup = readText(logDir_ / "kvlib.bak");
    EXPECT_EQ(backup,
              kBannerRule + "\nKvAroLib.dll Version  01.05.06  (2010/09/22)\nKvLogLevel= 0\nfirst run\n");
    const std::string current = readText(logFile());
    EXPECT_EQ(current.find("first run"), std::string::npos);
    EXPECT_NE(current.find("second run\n"), std::string::npos);
    EXPECT_EQ(current.rfind(kBannerRule + "\n", 0), 0u);

    // The third start replaces the old backup.
    kv::InitLog();
    const std::string backup2 = readText(logDir_ / "kvlib.bak");
    EXPECT_EQ(backup2.find("first run"), std::string::npos);
    EXPECT_NE(backup2.find("second run\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Line kinds
// ---------------------------------------------------------------------------------------------

TEST_F(LogTest, EachKindHasItsLineShape) {
    start();
    const struct {
        int kind;
        std::string pattern;
    } cases[] = {
        {kv::LOG_TIME, kTime + ", time line 1\n"},
        {kv::LOG_INFO, "INFO: info line 1\n"},
        {kv::LOG_ERROR, kTime + ", ERROR: error line 1\n"},
        {kv::LOG_WARNING, "WARNING: warning line 1\n"},
        {kv::LOG_LINE, "plain line 1\n"},
        {kv::LOG_RAW, "raw line 1"},
    };
    const char* texts[] = {"time line", "info line", "error line", "warning line", "plain line", "raw line"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        start();
        kv::LogMsg(c.kind, "%s %d", texts[c.kind], 1);
        EXPECT_TRUE(matches(newText(), c.pattern)) << newText();
    }

    start();
    kv::LogMsg(kv::LOG_RAW, "%s", "no end ");
    kv::LogMsg(kv::LOG_LINE, "%s", "then the line");
    EXPECT_EQ(newText(), "no end then the line\n");
}

TEST_F(LogTest, UnknownKindWritesNothingButFlushes) {
    start();
    for (int kind : {-1, 6, 99}) {
        kv::LogMsg(kind, "%s", "never shown");
    }
    EXPECT_EQ(readText(logFile()).substr(mark_), "");

    // A dump waits for the next message to be flushed; a message of unknown kind is enough.
    const std::uint8_t bytes[] = {1, 2, 3};
    kv::LogDataDump(bytes, 0, 3);
    kv::LogMsg(42, "%s", "never shown");
    const std::string text = readText(logFile()).substr(mark_);
    EXPECT_NE(text.find(" |010203"), std::string::npos) << text;
    EXPECT_EQ(text.find("never shown"), std::string::npos);
}

TEST_F(LogTest, LongMessagesAreCutAt255Characters) {
    start();
    const std::string longText(1000, 'x');
    kv::LogMsg(kv::LOG_LINE, "%s", longText.c_str());
    EXPECT_EQ(newText(), std::string(255, 'x') + "\n");

    start();
    kv::LogMsg(kv::LOG_ERROR, "%s%s", longText.c_str(), "tail");
    EXPECT_TRUE(matches(newText(), kTime + ", ERROR: " + std::string(255, 'x') + "\n"));

    start();
    kv::LogLevelMsg(0, "%0300d|", 7);
    EXPECT_TRUE(matches(newText(), kTime + ", " + std::string(255, '0') + "\n"));
}

// ---------------------------------------------------------------------------------------------
// Settings and level gating
// ---------------------------------------------------------------------------------------------

TEST_F(LogTest, SettingsAreReadAsLeadingIntegers) {
    const struct {
        std::string ini;
        std::int32_t level;
    } cases[] = {
        {"[LOGGING]\nLogLevel=0\n", 0},
        {"[LOGGING]\nLogLevel=1\n", 1},
        {"[logging]\nloglevel=2\n", 2},
        {"[Logging]\r\nLOGLEVEL=-1\r\n", -1},
        {"[LOGGING]\nLogLevel=abc\n", 0},
        {"[LOGGING]\nLogLevel=\" 2\"\n", 2},
        {"[LOGGING]\nLogLevel= 2\n", 2},
        {"[LOGGING]\nLogLevel=+4\n", 4},
        {"[LOGGING]\nLogLevel=3 and words\n", 3},
        {"[LOGGING]\nLogLevel=\n", 0},
        {"[OTHER]\nLogLevel=5\n", 0},
        // Values of 79 characters and more are not trusted.
        {"[LOGGING]\nLogLevel=5" + std::string(76, ' ') + "x\n", 5},
        {"[LOGGING]\nLogLevel=5" + std::string(77, ' ') + "x\n", 0},
        {"[LOGGING]\nLogLevel=\"5" + std::string(77, ' ') + "\"\n", 5},
        {"[LOGGING]\nLogLevel=\"5" + std::string(78, ' ') + "\"\n", 0},
        {"[LOGGING]\nLogLevel=99999999999\n", INT32_MAX},
        {"[LOGGING]\nLogLevel=-99999999999\n", INT32_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        start(c.ini);
        EXPECT_EQ(kv::LogLevelSetting(), c.level);
        EXPECT_NE(readText(logFile()).find("KvLogLevel= " + std::to_string(c.level) + "\n"),
                  std::string::npos);
    }
}

TEST_F(LogTest, LevelMessagesUpToTheSettingOnly) {
    for (std::int32_t setting : {0, 1, 2, -1}) {
        SCOPED_TRACE(setting);
        start("[LOGGING]\nLogLevel=" + std::to_string(setting) + "\n");
        kv::LogLevelMsg(setting + 1, "%s", "too detailed");
        EXPECT_EQ(newText(), "");
        kv::LogLevelMsg(setting, "level %d", setting);
        kv::LogLevelMsg(setting - 1, "%s", "coarser");
        EXPECT_TRUE(
            matches(newText(), kTime + ", level " + std::to_string(setting) + "\n" + kTime + ", coarser\n"))
            << newText();
    }
}

TEST_F(LogTest, AllThreeSettingsComeFromTheLoggingSection) {
    start("; settings of the device library\n[LOGGING]\nLogLevel=1\nLogRx=1\nStatistic=3\n");
    EXPECT_EQ(kv::LogLevelSetting(), 1);
    EXPECT_EQ(kv::LogRxSetting(), 1);
    EXPECT_EQ(kv::StatisticSetting(), 3);
    EXPECT_EQ(kv::ReadIniValue("logging", "statistic"), 3);
    EXPECT_EQ(kv::ReadIniValue("LOGGING", "Missing"), 0);
    EXPECT_EQ(kv::ReadIniValue(nullptr, "LogLevel"), 0);
    EXPECT_EQ(kv::ReadIniValue("LOGGING", nullptr), 0);
}

// ---------------------------------------------------------------------------------------------
// Telegram traces
// ---------------------------------------------------------------------------------------------

// Counter, session and code little-endian at `counterAt`, counterAt + 2 and counterAt + 4; the other
// bytes are filler that must not show.
std::vector<std::uint8_t> telegram(std::size_t counterAt, std::uint32_t code, std::uint16_t session,
                                   std::uint16_t counter) {
    std::vector<std::uint8_t> bytes(counterAt + 8, 0xEE);
    const std::uint64_t fields = counter | (std::uint64_t{session} << 16) | (std::uint64_t{code} << 32);
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[counterAt + i] = static_cast<std::uint8_t>(fields >> (8 * i));
    }
    return bytes;
}
std::vector<std::uint8_t> requestFrame(std::uint32_t code, std::uint16_t session, std::uint16_t counter) {
    return telegram(12, code, session, counter);
}
std::vector<std::uint8_t> replyTicket(std::uint32_t code, std::uint16_t session, std::uint16_t counter) {
    return telegram(8, code, session, counter);
}

TEST_F(LogTest, RequestTraceLines) {
    start("[LOGGING]\nLogLevel=1\n");
    kv::TraceRequest(1, requestFrame(6, 3, 17).data());
    EXPECT_TRUE(matches(newText(), kTime + ",   SE: [INFO_RD_REQUEST] (6), [3,17]\n")) << newText();

    start("[LOGGING]\nLogLevel=1\n");
    kv::TraceRequest(0, requestFrame(18, 0xABCD, 0x1234).data());
    kv::TraceRequest(1, requestFrame(19, 1, 2).data());
    kv::TraceRequest(1, requestFrame(0, 1, 2).data());
    EXPECT_TRUE(matches(newText(), kTime + ",   SE: [BT_NO_LISTEN_REQUEST] (18), [43981,4660]\n" + kTime +
                                       ",   SE: [unknown request code] (19), [1,2]\n" + kTime +
                                       ",   SE: [unknown request code] (0), [1,2]\n"))
        << newText();

    // Above the setting, and the cyclic I/O request below level 2: nothing.
    start("[LOGGING]\nLogLevel=1\n");
    kv::TraceRequest(2, requestFrame(6, 3, 17).data());
    kv::TraceRequest(1, requestFrame(2, 3, 17).data());
    kv::TraceRequest(0, requestFrame(2, 3, 17).data());
    EXPECT_EQ(newText(), "");

    start("[LOGGING]\nLogLevel=2\n");
    kv::TraceRequest(1, requestFrame(2, 3, 17).data());
    EXPECT_TRUE(matches(newText(), kTime + ",   SE: [REM_IO_REQUEST] (2), [3,17]\n")) << newText();
}

TEST_F(LogTest, ReplyTraceLines) {
    start("[LOGGING]\nLogLevel=1\n");
    kv::TraceReply(1, replyTicket(106, 3, 17).data());
    kv::TraceReply(0, replyTicket(200, 0x0102, 0x0304).data());
    kv::TraceReply(1, replyTicket(100, 0, 0).data());
    EXPECT_TRUE(matches(newText(), kTime + ",   EM: [INFO_RD_REPLY] (106), [3,17]\n" + kTime +
                                       ",   EM: [unknown reply code] (200), [258,772]\n" + kTime +
                                       ",   EM: [unknown reply code] (100), [0,0]\n"))
        << newText();

    start("[LOGGING]\nLogLevel=1\n");
    kv::TraceReply(2, replyTicket(106, 3, 17).data());
    kv::TraceReply(1, replyTicket(102, 3, 17).data());
    EXPECT_EQ(newText(), "");

    start("[LOGGING]\nLogLevel=2\n");
    kv::TraceReply(2, replyTicket(102, 5, 6).data());
    EXPECT_TRUE(matches(newText(), kTime + ",   EM: [REM_IO_REPLY] (102), [5,6]\n")) << newText();
}

TEST(LogTelegramNames, RequestAndReplyNamesByCode) {
    const char* stems[] = {"ECHO",       "REM_IO",     "REM_MONITOR", "REM_CONFIG_RD", "REM_CONFIG_WR",
                           "INFO_RD",    "STATE_RD",   "MSG_WR",      "INFO_WR",       "BT_SCAN",
                           "BT_NO_SCAN", "BT_CONNECT", "BT_DISCON",   "BT_WRITE",      "BT_READ",
                           "BT_NO_READ", "BT_LISTEN",  "BT_NO_LISTEN"};
    for (std::uint32_t i = 0; i < 18; ++i) {
        EXPECT_EQ(std::string(kv::RequestName(i + 1)), std::string(stems[i]) + "_REQUEST");
        EXPECT_EQ(std::string(kv::ReplyName(i + 101)), std::string(stems[i]) + "_REPLY");
    }
    for (std::uint32_t code : {0u, 19u, 101u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(kv::RequestName(code), "unknown request code") << code;
    }
    for (std::uint32_t code : {0u, 1u, 100u, 119u, 200u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(kv::ReplyName(code), "unknown reply code") << code;
    }
}

// ---------------------------------------------------------------------------------------------
// Hex dumps
// ---------------------------------------------------------------------------------------------

// One byte in front so that the offset argument is exercised.
const std::uint8_t kDumpBytes[] = {0xAA, 0x02, 0x55, 0x00, 0x14, 'H',  'e',  'l',  'l', 'o',
                                   ' ',  'K',  'Q',  '!',  0x7E, 0x7F, 0x20, 0x41, 0xBB};

const std::string kRow4 = " |02550014" + std::string(27, ' ') + "|  |.U..            |\n";
const std::string kRow16 = " |02550014 48656C6C 6F204B51 217E7F20|  |.U..Hello KQ!~. |\n";
const std::string kRow1 = " |41" + std::string(33, ' ') + "|  |A               |\n";
const std::string kRule = " |-------------------------------------------------------|\n";

TEST(LogDumpRows, ExpectedRowsAreAsWideAsTheRule) {
    for (const std::string* row : {&kRow4, &kRow16, &kRow1, &kRule}) {
        EXPECT_EQ(row->size(), 59u) << *row;  // 58 characters and the line end
    }
}

TEST_F(LogTest, DataDumpIsByteExact) {
    const struct {
        int count;
        std::string rows;
    } cases[] = {
        {0, ""},
        {1, " |02" + std::string(33, ' ') + "|  |.               |\n"},
        {4, kRow4},
        {16, kRow16},
        {17, kRow16 + kRow1},
        {-5, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        start();
        kv::LogDataDump(kDumpBytes, 1, c.count);
        const std::string shown = std::to_string(c.count < 0 ? 0 : c.count);
        const std::string text = newText();
        ASSERT_TRUE(matches(text.substr(0, text.find('\n') + 1), kTime + ": len= " + shown + "\n")) << text;
        EXPECT_EQ(text.substr(text.find('\n') + 1), c.rows + "\n");
    }
}

TEST_F(LogTest, RxDumpIsByteExactAndOnlyWithLogRx) {
    start("[LOGGING]\nLogRx=0\n");
    kv::LogRxData(kDumpBytes, 1, 17);
    EXPECT_EQ(newText(), "");

    const struct {
        int count;
        std::string rows;
    } cases[] = {
        {0, ""},
        {4, kRow4},
        {16, kRow16},
        {17, kRow16 + kRow1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        start("[LOGGING]\nLogRx=1\n");
        kv::LogRxData(kDumpBytes, 1, c.count);
        const std::string text = newText();
        const std::string header = text.substr(0, text.find('\n') + 1);
        ASSERT_TRUE(matches(header, kTime + ": PC-RX  <<<  len: " + std::to_string(c.count) + "\n")) << text;
        EXPECT_EQ(text.substr(header.size()), kRule + c.rows + "\n");
    }
}

// ---------------------------------------------------------------------------------------------
// Statistics
// ---------------------------------------------------------------------------------------------

kv::TransferStatisticsSnapshot knownStatistics() {
    kv::TransferStatisticsSnapshot s;
    s.actTimerAtStart = 1000;
    s.actTimerAtStop = 63003;
    s.tickAtStart = 0xFFFFFFF0u;  // the tick count wrapped during the transfer
    s.tickAtStop = 0x00000010u;
    s.statStart = 5000;
    s.statStop = 67003;
    s.mmTimerCalls = 62000;
    s.requestLoops = 6200;
    s.tcnt = 6100;
    s.tmax = 48;
    s.tavg = 9;
    s.dynTimeOut = 96;
    s.retries = 2;
    return s;
}

TEST(LogStatisticsText, FiveLinesFromKnownValues) {
    const auto lines = kv::FormatStatistics(knownStatistics());
    EXPECT_EQ(lines[0], "TimeDiff= 62003 from GetActTimerCount()");
    EXPECT_EQ(lines[1], "TimeDiff= 32 from GetTickCount()");
    EXPECT_EQ(lines[2], "Statistic: Transfer Area running 62003 ms (TA: 1 min 02 sec 003 ms)");
    EXPECT_EQ(lines[3], "Statistic: MMTimer Delay= 10s, CALL MMTimer = 62000, CALL Request Loop = 6200");
    EXPECT_EQ(lines[4], "Statistic: tcnt= 6100, tmax= 48, tavg= 9, dynTimeOut= 96, retries= 2");

    kv::TransferStatisticsSnapshot s;
    s.statStop = 3599999;
    EXPECT_EQ(kv::FormatStatistics(s)[2],
              "Statistic: Transfer Area running 3599999 ms (TA: 59 min 59 sec 999 ms)");
    s.statStop = 999;
    EXPECT_EQ(kv::FormatStatistics(s)[2],
              "Statistic: Transfer Area running 999 ms (TA: 0 min 00 sec 999 ms)");
}

void storeKnownStatistics() {
    const kv::TransferStatisticsSnapshot s = knownStatistics();
    kv::TransferStatistics& lib = kv::transferStatistics();
    lib.actTimerAtStart = s.actTimerAtStart;
    lib.actTimerAtStop = s.actTimerAtStop;
    lib.tickAtStart = s.tickAtStart;
    lib.tickAtStop = s.tickAtStop;
    lib.statStart = s.statStart;
    lib.statStop = s.statStop;
    lib.mmTimerCalls = s.mmTimerCalls;
    lib.requestLoops = s.requestLoops;
    lib.tcnt = s.tcnt;
    lib.tmax = s.tmax;
    lib.tavg = s.tavg;
    lib.dynTimeOut = s.dynTimeOut;
    lib.retries = s.retries;
}

TEST_F(LogTest, StatisticsBlockOnlyWithTheStatisticSetting) {
    storeKnownStatistics();
    start("[LOGGING]\nStatistic=0\n");
    kv::LogStatistics();
    EXPECT_EQ(newText(), "");

    start("[LOGGING]\nStatistic=1\n");
    kv::LogStatistics();
    std::string expected;
    for (const std::string& line : kv::FormatStatistics(knownStatistics())) {
        expected += kTime + ", " + line + "\n";
    }
    EXPECT_TRUE(matches(newText(), expected)) << newText();
    EXPECT_NE(newText().find(", Statistic: tcnt= 6100, tmax= 48, tavg= 9, dynTimeOut= 96, retries= 2\n"),
              std::string::npos);

    kv::transferStatistics().reset();
    EXPECT_EQ(kv::transferStatistics().snapshot().tcnt, 0u);
    EXPECT_EQ(kv::transferStatistics().snapshot().statStop, 0u);
}

// ---------------------------------------------------------------------------------------------
// Where the log goes
// ---------------------------------------------------------------------------------------------

TEST_F(LogTest, LogDirFromEnvironmentIsCreated) {
    const fs::path nested = fs::path(tmp_.path()) / "a" / "b" / "c";
    ScopedEnv dir("KVLIB_LOG_DIR", nested.string());
    kv::InitLog();
    kv::LogMsg(kv::LOG_LINE, "%s", "in the named directory");
    EXPECT_EQ(kv::LogFilePath(), (nested / "kvlib.log").string());
    EXPECT_NE(readText(nested / "kvlib.log").find("in the named directory\n"), std::string::npos);
}

#if defined(_WIN32)
// Windows keeps the log beside the program, as the library always did there, and falls back to
// the user's local application data where the program's directory is not writable.
TEST_F(LogTest, BesideTheProgramWhenNoLogDirIsNamed) {
    ScopedEnv noDir("KVLIB_LOG_DIR", std::nullopt);
    kv::InitLog();
    const fs::path expected = fs::path(kv::platform::programDirectory()) / "kvlib.log";
    EXPECT_EQ(kv::LogFilePath(), expected.string());
    EXPECT_TRUE(fs::is_regular_file(expected));
    kv::CloseLog();
    std::error_code ec;
    fs::remove(expected, ec);
    fs::remove(expected.parent_path() / "kvlib.bak", ec);
}

TEST_F(LogTest, UnusableLogDirFallsBackToTheProgramsDirectory) {
    const fs::path blocker = fs::path(tmp_.path()) / "plain-file";
    std::ofstream(blocker).put('x');
    ScopedEnv dir("KVLIB_LOG_DIR", (blocker / "log").string());
    kv::InitLog();
    const fs::path expected = fs::path(kv::platform::programDirectory()) / "kvlib.log";
    EXPECT_EQ(kv::LogFilePath(), expected.string());
    kv::CloseLog();
    std::error_code ec;
    fs::remove(expected, ec);
    fs::remove(expected.parent_path() / "kvlib.bak", ec);
}

TEST(LogDirectories, ProgramsDirectoryThenLocalApplicationData) {
    ScopedEnv local("LOCALAPPDATA", std::string("C:\\Users\\me\\AppData\\Local"));
    EXPECT_EQ(kv::platform::defaultLogDirectories(),
              (std::vector<std::string>{kv::platform::programDirectory(), "C:\\Users\\me\\AppData\\Local\\kvAroLib"}));
    ScopedEnv none("LOCALAPPDATA", std::nullopt);
    EXPECT_EQ(kv::platform::defaultLogDirectories(), (std::vector<std::string>{kv::platform::programDirectory()}));
}

#else
TEST_F(LogTest, StateDirectoryWhenNoLogDirIsNamed) {
    const fs::path state = fs::path(tmp_.path()) / "state";
    const fs::path home = fs::path(tmp_.path()) / "home";
    ScopedEnv noDir("KVLIB_LOG_DIR", std::nullopt);
    ScopedEnv homeEnv("HOME", home.string());
    {
        ScopedEnv xdg("XDG_STATE_HOME", state.string());
        kv::InitLog();
        EXPECT_EQ(kv::LogFilePath(), (state / "kvarolib" / "kvlib.log").string());
        EXPECT_TRUE(fs::is_regular_file(state / "kvarolib" / "kvlib.log"));
    }
    for (const std::optional<std::string>& xdgValue :
         {std::optional<std::string>(), std::optional<std::string>("rel")}) {
        // Unset or relative: the default under HOME.
        ScopedEnv xdg("XDG_STATE_HOME", xdgValue);
        kv::InitLog();
        EXPECT_EQ(kv::LogFilePath(), (home / ".local" / "state" / "kvarolib" / "kvlib.log").string());
    }
}

TEST_F(LogTest, UnusableLogDirFallsBackToTheStateDirectory) {
    const fs::path blocker = fs::path(tmp_.path()) / "plain-file";
    std::ofstream(blocker).put('x');
    const fs::path state = fs::path(tmp_.path()) / "state";
    ScopedEnv dir("KVLIB_LOG_DIR", (blocker / "log").string());
    ScopedEnv xdg("XDG_STATE_HOME", state.string());
    kv::InitLog();
    EXPECT_EQ(kv::LogFilePath(), (state / "kvarolib" / "kvlib.log").string());
}

// Works in another directory for the life of the object.
class ScopedCurrentDirectory {
  public:
    explicit ScopedCurrentDirectory(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCurrentDirectory() { fs::current_path(old_); }
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

  private:
    fs::path old_;
};

// A current directory in which no file can be created, not even by root.
const fs::path kUnwritableDirectory = "/proc";

TEST(LogDirectories, StateDirectoryThenTheCurrentDirectory) {
    ScopedEnv xdg("XDG_STATE_HOME", std::nullopt);
    {
        ScopedEnv home("HOME", std::string("/home/me"));
        EXPECT_EQ(kv::platform::defaultLogDirectories(),
                  (std::vector<std::string>{"/home/me/.local/state/kvarolib", "."}));
    }
    ScopedEnv home("HOME", std::nullopt);
    EXPECT_EQ(kv::platform::defaultLogDirectories(), (std::vector<std::string>{"."}));
}

// As cron, service managers and CI runners start programs: no HOME and no state directory.
TEST_F(LogTest, CurrentDirectoryWithoutAnyStateDirectory) {
    ScopedEnv noDir("KVLIB_LOG_DIR", std::nullopt);
    ScopedEnv xdg("XDG_STATE_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    const fs::path work = fs::path(tmp_.path()) / "work";
    fs::create_directories(work);
    ScopedCurrentDirectory cwd(work);
    testing::internal::CaptureStdout();
    kv::InitLog();
    kv::LogMsg(kv::LOG_INFO, "%s", "beside the work");
    kv::CloseLog();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(readText(work / "kvlib.log").find("INFO: beside the work\n"), std::string::npos);
}

TEST_F(LogTest, PrivateTemporaryDirectoryWhenTheCurrentDirectoryIsNotWritable) {
    ScopedEnv noDir("KVLIB_LOG_DIR", std::nullopt);
    ScopedEnv xdg("XDG_STATE_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    const fs::path tmp = fs::path(tmp_.path()) / "tmp";
    fs::create_directories(tmp);
    ScopedEnv tmpdir("TMPDIR", tmp.string());
    const fs::path mine = tmp / ("kvarolib-" + std::to_string(::geteuid()));
    ScopedCurrentDirectory cwd(kUnwritableDirectory);

    testing::internal::CaptureStdout();
    kv::InitLog();
    kv::LogMsg(kv::LOG_INFO, "%s", "in the temporary directory");
    EXPECT_EQ(kv::LogFilePath(), (mine / "kvlib.log").string());
    kv::CloseLog();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(readText(mine / "kvlib.log").find("INFO: in the temporary directory\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::lstat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A directory of our own that others could enter is closed to them before it is used.
    fs::permissions(mine, fs::perms::all);
    kv::InitLog();
    EXPECT_EQ(kv::LogFilePath(), (mine / "kvlib.log").string());
    kv::CloseLog();
    ASSERT_EQ(::lstat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// What stands under our name in a shared temporary directory may have been put there by someone
// else; the log is not written through it.
TEST_F(LogTest, TemporaryDirectoryThatIsNotOurOwnIsNotUsed) {
    ScopedEnv noDir("KVLIB_LOG_DIR", std::nullopt);
    ScopedEnv xdg("XDG_STATE_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    const fs::path tmp = fs::path(tmp_.path()) / "tmp";
    const fs::path elsewhere = fs::path(tmp_.path()) / "elsewhere";
    fs::create_directories(tmp);
    fs::create_directories(elsewhere);
    ScopedEnv tmpdir("TMPDIR", tmp.string());
    const fs::path mine = tmp / ("kvarolib-" + std::to_string(::geteuid()));
    ScopedCurrentDirectory cwd(kUnwritableDirectory);

    fs::create_directory_symlink(elsewhere, mine);
    testing::internal::CaptureStdout();
    kv::InitLog();
    EXPECT_EQ(kv::LogFilePath(), "");
    kv::CloseLog();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("KvLogLevel= 0\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(elsewhere / "kvlib.log"));

    if (::geteuid() == 0) {
        // Only root can give a directory away; it then belongs to "nobody".
        fs::remove(mine);
        fs::create_directory(mine);
        ASSERT_EQ(::chown(mine.c_str(), 65534, 65534), 0);
        testing::internal::CaptureStdout();
        kv::InitLog();
        EXPECT_EQ(kv::LogFilePath(), "");
        kv::CloseLog();
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fs::exists(mine / "kvlib.log"));
    }
}

TEST_F(LogTest, StandardOutputWhenNoDirectoryCanBeHad) {
    const fs::path blocker = fs::path(tmp_.path()) / "plain-file";
    std::ofstream(blocker).put('x');
    ScopedEnv dir("KVLIB_LOG_DIR", (blocker / "log").string());
    ScopedEnv xdg("XDG_STATE_HOME", blocker.string());
    ScopedEnv home("HOME", blocker.string());
    ScopedEnv tmpdir("TMPDIR", blocker.string());
    ScopedCurrentDirectory cwd(kUnwritableDirectory);

    testing::internal::CaptureStdout();
    kv::InitLog();
    kv::LogMsg(kv::LOG_INFO, "%s", "to standard output");
    const std::string path = kv::LogFilePath();
    kv::CloseLog();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(path, "");
    EXPECT_EQ(
        out, kBannerRule +
                 "\nKvAroLib.dll Version  01.05.06  (2010/09/22)\nKvLogLevel= 0\nINFO: to standard output\n");
}
#endif

TEST_F(LogTest, LinesWithoutAStartedLogAreDiscarded) {
    start();
    kv::CloseLog();
    testing::internal::CaptureStdout();
    kv::LogMsg(kv::LOG_INFO, "%s", "nowhere");
    kv::LogDataDump(kDumpBytes, 0, 4);
    kv::InitLog();  // rotates the closed log to kvlib.bak
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "");
    EXPECT_EQ(readText(logDir_ / "kvlib.bak").find("nowhere"), std::string::npos);
    EXPECT_EQ(readText(logFile()).find("nowhere"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Helpers and threads
// ---------------------------------------------------------------------------------------------

TEST(LogHelpers, TimeTextAndBluetoothAddress) {
    EXPECT_TRUE(matches(kv::GetLogTimeStr(0), kDate + " " + kTime)) << kv::GetLogTimeStr(0);
    EXPECT_TRUE(matches(kv::GetLogTimeStr(1), kTime)) << kv::GetLogTimeStr(1);
    // Only the low byte selects the short form.
    EXPECT_TRUE(matches(kv::GetLogTimeStr(0x100), kDate + " " + kTime));
    EXPECT_TRUE(matches(kv::GetLogTimeStr(0x101), kTime));

    // The shape matcher itself must reject near misses, or the line tests above would prove nothing.
    EXPECT_TRUE(matches("12:34:56:789, x\n", kTime + ", x\n"));
    EXPECT_FALSE(matches("12:34:56:78, x\n", kTime + ", x\n"));
    EXPECT_FALSE(matches("12:34:56:789, x\n\n", kTime + ", x\n"));
    EXPECT_FALSE(matches("12.34.56.789, x\n", kTime + ", x\n"));

    const std::uint8_t address[] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
    EXPECT_EQ(kv::BtAddrToStr(address), "00:1A:7D:DA:71:13");
}

TEST_F(LogTest, LinesFromManyThreadsNeverMix) {
    start();
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 20 == 0) {
                    kv::LogDataDump(kDumpBytes, 1, 17);
                } else {
                    kv::LogMsg(kv::LOG_TIME, "thread %d line %d", t, i);
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    std::istringstream text(newText());
    int messages = 0;
    int dumps = 0;
    std::string line;
    while (std::getline(text, line)) {
        int thread = -1;
        int number = -1;
        if (line.size() > 12 &&
            std::sscanf(line.c_str() + 12, ", thread %d line %d", &thread, &number) == 2 &&
            matches(line, kTime + ", thread " + std::to_string(thread) + " line " + std::to_string(number))) {
            EXPECT_TRUE(thread >= 0 && thread < kThreads && number >= 0 && number < kLines) << line;
            ++messages;
        } else if (matches(line, kTime + ": len= 17")) {
            // The rows of a dump follow its header directly.
            std::string row1, row2, empty;
            ASSERT_TRUE(std::getline(text, row1) && std::getline(text, row2) && std::getline(text, empty));
            EXPECT_EQ(row1 + "\n", kRow16);
            EXPECT_EQ(row2 + "\n", kRow1);
            EXPECT_EQ(empty, "");
            ++dumps;
        } else {
            ADD_FAILURE() << "mixed line: " << line;
        }
    }
    EXPECT_EQ(messages, kThreads * (kLines - kLines / 20));
    EXPECT_EQ(dumps, kThreads * kLines / 20);
}

}  // namespace
