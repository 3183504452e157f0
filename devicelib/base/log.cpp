#include "base/log.h"

#include <array>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include "base/version.h"
#include "platform/platform.h"

namespace kv {
namespace {

constexpr const char* kLogFileName = "kvlib.log";
constexpr const char* kBackupFileName = "kvlib.bak";
constexpr const char* kSettingsFileName = "kvLib.ini";

// Formatted message text is cut to this size (with its terminator), however long the arguments are.
constexpr std::size_t kMessageBufferSize = 256;

// The settings reader has always used an 80-byte value buffer; a value that fills it (79 characters
// and more) may have been cut, so it is not trusted as a number.
constexpr std::size_t kIniValueLimit = 79;

constexpr std::size_t kDumpBytesPerRow = 16;

// The whole log state of the library. The stream and the file path are guarded by the mutex, which
// is also held for every write so that lines from different threads never mix; the settings are
// read without it on every call, hence atomics.
struct LogState {
    std::mutex mutex;
    std::FILE* stream = nullptr;  // nullptr before the first InitLog and after CloseLog: lines are dropped
    bool streamIsFile = false;    // false while the stream is stdout
    std::string filePath;
    std::atomic<std::int32_t> logLevel{0};
    std::atomic<std::int32_t> logRx{0};
    std::atomic<std::int32_t> statistic{0};
};

// Never destroyed: threads and static destructors elsewhere in the library may still log while the
// process exits.
LogState& logState() {
    alignas(LogState) static unsigned char storage[sizeof(LogState)];
    static LogState* const state = new (storage) LogState();
    return *state;
}

// The caller holds the mutex.
void writeLocked(LogState& st, const std::string& text) {
    if (st.stream != nullptr && !text.empty()) {
        std::fwrite(text.data(), 1, text.size(), st.stream);
    }
}

void flushLocked(LogState& st) {
    if (st.stream != nullptr) {
        std::fflush(st.stream);
    }
}

void closeLocked(LogState& st) {
    if (st.stream != nullptr) {
        if (st.streamIsFile) {
            std::fclose(st.stream);
        } else {
            std::fflush(st.stream);
        }
    }
    st.stream = nullptr;
    st.streamIsFile = false;
    st.filePath.clear();
}

std::string joinPath(const std::string& directory, const char* name) {
    std::string path = directory;
    const char separator = platform::pathSeparator();
    if (path.empty() || path.back() != separator) {
        path += separator;
    }
    path += name;
    return path;
}

// Creates the directory when missing; true when it is (now) a directory.
bool haveDirectory(const std::string& directory) {
    if (directory.empty()) {
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    return std::filesystem::is_directory(directory, ec);
}

// KVLIB_LOG_DIR first, then the platform's defaults. Each is tried in turn, then a private directory
// under the temporary directory: the log goes to standard output only when no file can be had
// anywhere, because a command's answer on standard output must not be mixed with log lines.
std::vector<std::string> candidateDirectories() {
    std::vector<std::string> dirs;
    if (std::optional<std::string> named = platform::environmentValue("KVLIB_LOG_DIR")) {
        dirs.push_back(std::move(*named));
    }
    for (std::string& dir : platform::defaultLogDirectories()) {
        dirs.push_back(std::move(dir));
    }
    return dirs;
}

// Keeps the previous run's log as kvlib.bak and starts kvlib.log empty. Failures to delete or rename
// are of no concern: the new log is truncated anyway.
std::FILE* rotateAndCreate(const std::string& logPath, const std::string& backupPath) {
    std::error_code ec;
    std::filesystem::remove(backupPath, ec);
    std::filesystem::rename(logPath, backupPath, ec);
    return std::fopen(logPath.c_str(), "w");
}

// True when the log could be started in `dir` (which exists).
bool openInLocked(LogState& st, const std::string& dir) {
    std::string logPath = joinPath(dir, kLogFileName);
    std::FILE* file = rotateAndCreate(logPath, joinPath(dir, kBackupFileName));
    if (file == nullptr) {
        return false;
    }
    st.stream = file;
    st.streamIsFile = true;
    st.filePath = std::move(logPath);
    return true;
}

void openStreamLocked(LogState& st) {
    for (const std::string& dir : candidateDirectories()) {
        if (haveDirectory(dir) && openInLocked(st, dir)) {
            return;
        }
    }
    // Made only when needed: a program that has a better place leaves no directory behind in /tmp.
    if (std::optional<std::string> dir = platform::privateTemporaryLogDirectory();
        dir && openInLocked(st, *dir)) {
        return;
    }
    st.stream = stdout;
    st.streamIsFile = false;
    st.filePath.clear();
}

// The leading decimal integer of `text` as sscanf("%d") reads it (leading white space and a sign
// allowed, anything after the digits ignored, 0 without digits), clamped to the int32 range instead
// of overflowing.
std::int32_t leadingInteger(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                               text[i] == '\f' || text[i] == '\r')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t kLimit = static_cast<std::int64_t>(INT32_MAX) + 1;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kLimit) {
            magnitude = kLimit;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    return static_cast<std::int32_t>(value);
}

std::string timeOfDay() {
    return GetLogTimeStr(1);
}

// The line of one message kind, or nothing for an unknown kind.
std::string composeLine(int kind, const char* text) {
    switch (kind) {
        case LOG_TIME:
            return timeOfDay() + ", " + text + "\n";
        case LOG_INFO:
            return std::string("INFO: ") + text + "\n";
        case LOG_ERROR:
            return timeOfDay() + ", ERROR: " + text + "\n";
        case LOG_WARNING:
            return std::string("WARNING: ") + text + "\n";
        case LOG_LINE:
            return std::string(text) + "\n";
        case LOG_RAW:
            return text;
        default:
            return {};
    }
}

void emit(const std::string& line) {
    LogState& st = logState();
    std::lock_guard<std::mutex> lock(st.mutex);
    writeLocked(st, line);
    flushLocked(st);
}

// Never throws, so that the caller's va_end is always reached.
__attribute__((format(KV_PRINTF_FORMAT, 2, 0))) void logMessage(int kind, const char* format, va_list args) noexcept {
    char text[kMessageBufferSize];
    text[0] = '\0';
    if (format != nullptr && std::vsnprintf(text, sizeof text, format, args) < 0) {
        text[0] = '\0';
    }
    try {
        emit(composeLine(kind, text));
    } catch (...) {
        // Without memory for the line it is lost; the caller carries on.
    }
}

std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

unsigned readLe16(const std::uint8_t* p) {
    return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
}

constexpr const char* kRequestNames[] = {
    "ECHO_REQUEST",          "REM_IO_REQUEST",       "REM_MONITOR_REQUEST", "REM_CONFIG_RD_REQUEST",
    "REM_CONFIG_WR_REQUEST", "INFO_RD_REQUEST",      "STATE_RD_REQUEST",    "MSG_WR_REQUEST",
    "INFO_WR_REQUEST",       "BT_SCAN_REQUEST",      "BT_NO_SCAN_REQUEST",  "BT_CONNECT_REQUEST",
    "BT_DISCON_REQUEST",     "BT_WRITE_REQUEST",     "BT_READ_REQUEST",     "BT_NO_READ_REQUEST",
    "BT_LISTEN_REQUEST",     "BT_NO_LISTEN_REQUEST",
};
constexpr const char* kReplyNames[] = {
    "ECHO_REPLY",          "REM_IO_REPLY",       "REM_MONITOR_REPLY", "REM_CONFIG_RD_REPLY",
    "REM_CONFIG_WR_REPLY", "INFO_RD_REPLY",      "STATE_RD_REPLY",    "MSG_WR_REPLY",
    "INFO_WR_REPLY",       "BT_SCAN_REPLY",      "BT_NO_SCAN_REPLY",  "BT_CONNECT_REPLY",
    "BT_DISCON_REPLY",     "BT_WRITE_REPLY",     "BT_READ_REPLY",     "BT_NO_READ_REPLY",
    "BT_LISTEN_REPLY",     "BT_NO_LISTEN_REPLY",
};
constexpr std::uint32_t kTelegramCount = std::size(kRequestNames);
static_assert(std::size(kReplyNames) == kTelegramCount, "every request has its reply");
constexpr std::uint32_t kFirstReplyCode = 101;
constexpr std::uint32_t kRemIoRequest = 2;
constexpr std::uint32_t kRemIoReply = 102;

// One row of a hex dump: " |" hex "|  |" printable "|". Missing bytes of a short row are blanks so
// that the bars of every row line up with the rule.
std::string dumpRow(const std::uint8_t* row, std::size_t n) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line = " |";
    for (std::size_t i = 0; i < kDumpBytesPerRow; ++i) {
        if (i != 0 && i % 4 == 0) {
            line += ' ';
        }
        if (i < n) {
            line += kHex[row[i] >> 4];
            line += kHex[row[i] & 0x0F];
        } else {
            line += "  ";
        }
    }
    line += "|  |";
    for (std::size_t i = 0; i < kDumpBytesPerRow; ++i) {
        if (i < n) {
            line += (row[i] >= 0x20 && row[i] <= 0x7E) ? static_cast<char>(row[i]) : '.';
        } else {
            line += ' ';
        }
    }
    line += "|\n";
    return line;
}

void dump(const std::string& header, bool withRule, const void* bytes, int offset, int count) {
    const std::size_t n = (bytes != nullptr && count > 0) ? static_cast<std::size_t>(count) : 0;
    const std::uint8_t* data = n != 0 ? static_cast<const std::uint8_t*>(bytes) + offset : nullptr;

    LogState& st = logState();
    // One lock for the whole dump: its rows stay together. The dump is not flushed; the next message
    // does that.
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.stream == nullptr) {
        return;
    }
    writeLocked(st, header);
    if (withRule) {
        writeLocked(st, " |" + std::string(55, '-') + "|\n");
    }
    for (std::size_t done = 0; done < n; done += kDumpBytesPerRow) {
        const std::size_t inRow = n - done < kDumpBytesPerRow ? n - done : kDumpBytesPerRow;
        writeLocked(st, dumpRow(data + done, inRow));
    }
    writeLocked(st, "\n");
}

}  // namespace

void InitLog() {
    try {
        LogState& st = logState();
        std::lock_guard<std::mutex> lock(st.mutex);
        closeLocked(st);
        openStreamLocked(st);

        writeLocked(st, std::string(80, '-') + "\n");
        flushLocked(st);
        writeLocked(st, "KvAroLib.dll Version  " + LibraryVersionText() + "\n");
        flushLocked(st);

        st.logLevel.store(ReadIniValue("LOGGING", "LogLevel"));
        st.logRx.store(ReadIniValue("LOGGING", "LogRx"));
        st.statistic.store(ReadIniValue("LOGGING", "Statistic"));

        writeLocked(st, "KvLogLevel= " + std::to_string(st.logLevel.load()) + "\n");
        flushLocked(st);
    } catch (...) {
        // The log never fails its caller; without memory there is simply no banner.
    }
}

void CloseLog() {
    LogState& st = logState();
    std::lock_guard<std::mutex> lock(st.mutex);
    closeLocked(st);
}

std::int32_t ReadIniValue(const char* section, const char* key) {
    if (section == nullptr || key == nullptr) {
        return 0;
    }
    try {
        const std::string path = std::string(".") + platform::pathSeparator() + kSettingsFileName;
        const std::string text = platform::profileString(path, section, key, "");
        if (text.empty() || text.size() >= kIniValueLimit) {
            return 0;
        }
        return leadingInteger(text);
    } catch (...) {
        return 0;
    }
}

void LogMsg(int kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logMessage(kind, format, args);
    va_end(args);
}

void LogLevelMsg(int level, const char* format, ...) {
    if (level > logState().logLevel.load()) {
        return;
    }
    va_list args;
    va_start(args, format);
    logMessage(LOG_TIME, format, args);
    va_end(args);
}

const char* RequestName(std::uint32_t code) {
    if (code >= 1 && code <= kTelegramCount) {
        return kRequestNames[code - 1];
    }
    return "unknown request code";
}

const char* ReplyName(std::uint32_t code) {
    if (code >= kFirstReplyCode && code < kFirstReplyCode + kTelegramCount) {
        return kReplyNames[code - kFirstReplyCode];
    }
    return "unknown reply code";
}

// Request frame: RequestCounter at 12, SessionId at 14, request code at 16, all little-endian.
void TraceRequest(int level, const std::uint8_t* frame) {
    const std::int32_t logLevel = logState().logLevel.load();
    if (frame == nullptr || level > logLevel) {
        return;
    }
    const std::uint32_t code = readLe32(frame + 16);
    const unsigned counter = readLe16(frame + 12);
    const unsigned session = readLe16(frame + 14);
    // The cyclic I/O request goes out every few milliseconds; it is traced only when asked for.
    if (code == kRemIoRequest && logLevel < 2) {
        return;
    }
    LogMsg(LOG_TIME, "  SE: [%s] (%u), [%u,%u]", RequestName(code), code, session, counter);
}

// Reply ticket: RequestCounter at 8, SessionId at 10, reply code at 12, all little-endian.
void TraceReply(int level, const std::uint8_t* ticket) {
    const std::int32_t logLevel = logState().logLevel.load();
    if (ticket == nullptr || level > logLevel) {
        return;
    }
    const std::uint32_t code = readLe32(ticket + 12);
    const unsigned counter = readLe16(ticket + 8);
    const unsigned session = readLe16(ticket + 10);
    if (code == kRemIoReply && logLevel < 2) {
        return;
    }
    LogMsg(LOG_TIME, "  EM: [%s] (%u), [%u,%u]", ReplyName(code), code, session, counter);
}

void LogRxData(const void* bytes, int offset, int count) {
    if (logState().logRx.load() == 0) {
        return;
    }
    try {
        const int shown = count > 0 ? count : 0;
        dump(timeOfDay() + ": PC-RX  <<<  len: " + std::to_string(shown) + "\n", true, bytes, offset, count);
    } catch (...) {
    }
}

void LogDataDump(const void* bytes, int offset, int count) {
    try {
        const int shown = count > 0 ? count : 0;
        dump(timeOfDay() + ": len= " + std::to_string(shown) + "\n", false, bytes, offset, count);
    } catch (...) {
    }
}

void LogTimeLines(std::span<const std::string> lines) {
    LogState& st = logState();
    try {
        std::lock_guard<std::mutex> lock(st.mutex);
        for (const std::string& text : lines) {
            writeLocked(st, composeLine(LOG_TIME, text.c_str()));
            flushLocked(st);
        }
    } catch (...) {
    }
}

std::string GetLogTimeStr(int timeOnly) {
    const platform::LocalTime t = platform::localTimeNow();
    char text[96];
    const int n = std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d:%03d", t.day, t.month,
                                t.year, t.hour, t.minute, t.second, t.millisecond);
    if (n < 0) {
        return {};
    }
    std::string whole(text);
    if ((static_cast<unsigned>(timeOnly) & 0xFFu) == 0) {
        return whole;
    }
    // "DD.MM.YYYY " is 11 characters; the time of day follows.
    return whole.size() > 11 ? whole.substr(11) : std::string();
}

std::string BtAddrToStr(const std::uint8_t* address) {
    if (address == nullptr) {
        return {};
    }
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", address[0], address[1],
                                address[2], address[3], address[4], address[5]);
    return n < 0 ? std::string() : std::string(text);
}

std::int32_t LogLevelSetting() {
    return logState().logLevel.load();
}
std::int32_t LogRxSetting() {
    return logState().logRx.load();
}
std::int32_t StatisticSetting() {
    return logState().statistic.load();
}

std::string LogFilePath() {
    LogState& st = logState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.filePath;
}

}  // namespace kv
