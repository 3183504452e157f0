// The library log: one plain-text file, "kvlib.log", with the previous run's log kept as "kvlib.bak".
// Every subsystem reports through these functions. The log never fails its callers: when no file can
// be created the lines go to standard output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

// The formats are those of the C library's printf. MinGW's own stdio (which C++ code gets) takes the
// GNU forms such as %zu; GCC checks a plain "printf" there against the older Microsoft forms.
#if defined(__MINGW32__)
#define KV_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define KV_PRINTF_FORMAT printf
#endif

namespace kv {

enum LogKind : int {
    LOG_TIME = 0,     // "HH:MM:SS:mmm, text"
    LOG_INFO = 1,     // "INFO: text"
    LOG_ERROR = 2,    // "HH:MM:SS:mmm, ERROR: text"
    LOG_WARNING = 3,  // "WARNING: text"
    LOG_LINE = 4,     // "text"
    LOG_RAW = 5,      // text without a line end
};

// Starts (or restarts) the log: rotates kvlib.log to kvlib.bak, writes the banner and reads the
// settings from ./kvLib.ini. Lines written before the first start are discarded.
void InitLog();
// Closes the log file; later lines are discarded until the next InitLog. The settings stay as read.
void CloseLog();

// The leading decimal integer of [section] key in ./kvLib.ini, 0 when absent or unreadable.
std::int32_t ReadIniValue(const char* section, const char* key);

void LogMsg(int kind, const char* format, ...) __attribute__((format(KV_PRINTF_FORMAT, 2, 3)));
// A LOG_TIME line, written only when `level` is at most the LogLevel setting.
void LogLevelMsg(int level, const char* format, ...) __attribute__((format(KV_PRINTF_FORMAT, 2, 3)));

// One trace line for a request frame (from its first byte) or a reply ticket (the telegram from
// offset 4 on).
void TraceRequest(int level, const std::uint8_t* frame);
void TraceReply(int level, const std::uint8_t* ticket);

// The names of telegram codes as the trace lines show them: requests 1 to 18, replies 101 to 118.
// Other codes read "unknown request code" / "unknown reply code".
const char* RequestName(std::uint32_t code);
const char* ReplyName(std::uint32_t code);

// Hex dumps: LogRxData only when the LogRx setting is on, LogDataDump always.
void LogRxData(const void* bytes, int offset, int count);
void LogDataDump(const void* bytes, int offset, int count);

// LOG_TIME lines written as one block: no line of another thread falls between them.
void LogTimeLines(std::span<const std::string> lines);

// "DD.MM.YYYY HH:MM:SS:mmm", or only "HH:MM:SS:mmm" when the low byte of `timeOnly` is non-zero.
std::string GetLogTimeStr(int timeOnly);
// "%02X:%02X:%02X:%02X:%02X:%02X" of a 6-byte Bluetooth address, byte 0 first.
std::string BtAddrToStr(const std::uint8_t* address);

// The settings read by the last InitLog (0 before it).
std::int32_t LogLevelSetting();
std::int32_t LogRxSetting();
std::int32_t StatisticSetting();

// Where the log file of the running library is; empty while the log goes to standard output or
// before the first start.
std::string LogFilePath();

}  // namespace kv
