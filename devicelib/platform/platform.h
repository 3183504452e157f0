// The operating-system layer of the device library.
//
// Everything the library needs from the operating system goes through this header, and only the files
// under devicelib/platform/ include OS headers. One implementation per platform (posix/, win32/) is
// chosen by the build. Operating-system error numbers pass through unchanged: errno values on POSIX,
// GetLastError() values on Windows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kv::platform {

// ---------------------------------------------------------------------------------------------
// Serial port
// ---------------------------------------------------------------------------------------------

// The handle of an open port as the library hands it out (the device handle of the interface is its
// low 32 bits). 0 means "no port". On POSIX it is the file descriptor, always above 2.
using PortHandle = std::intptr_t;
inline constexpr PortHandle kNoPort = 0;

struct PortOpenResult {
    PortHandle handle = kNoPort;
    int osError = 0;            // the OS error of a failed open, unchanged
    bool accessDenied = false;  // the port exists but cannot be had (held by someone else, no rights)
};

// One attempt to open the port named `name` exclusively for reading and writing. On POSIX a name that
// begins with '/' is a device path taken as it is; "COMn" (any case) opens /dev/ttyS<n-1>.
PortOpenResult serialOpen(const std::string& name);

// Line settings: 38400 baud, 8 data bits, no parity, 1 stop bit, raw, flow control left as it is.
bool serialConfigure(PortHandle h, int& osError);
// Driver queue sizes (a no-op where the driver has no such setting).
bool serialSetQueues(PortHandle h, std::uint32_t inBytes, std::uint32_t outBytes, int& osError);
// Read total time-out and write total time-out in milliseconds.
bool serialSetTimeouts(PortHandle h, std::uint32_t readTotalMs, std::uint32_t writeTotalMs, int& osError);
// Discards both queues and aborts pending transfers.
bool serialPurge(PortHandle h);
bool serialClearBreak(PortHandle h);
// Number of bytes waiting in the input queue; false (with the OS error) when it cannot be read, which
// on POSIX includes a hung-up line.
bool serialRxQueueCount(PortHandle h, std::uint32_t& count, int& osError);
// Reads up to `count` bytes without waiting for more than are queued. A hung-up line is a failure.
bool serialRead(PortHandle h, void* buffer, std::uint32_t count, std::uint32_t& got, int& osError);
// Writes all bytes, giving up when the write total time-out set by serialSetTimeouts has passed.
bool serialWrite(PortHandle h, const void* bytes, std::uint32_t count, int& osError);
void serialClose(PortHandle h);

// Something a blocked receive wait can be woken by (a pipe or eventfd on POSIX). Its constructor
// never throws; valid() tells whether it could be set up.
class Wakeup {
  public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    bool valid() const { return waitSide_ >= 0; }
    void signal();
    // Clears the signalled state.
    void drain();
    // The OS object a wait blocks on (a descriptor on POSIX).
    std::intptr_t waitSide() const { return waitSide_; }

  private:
    std::intptr_t waitSide_ = -1;
    std::intptr_t signalSide_ = -1;
};

enum class PortWait { readable, woken, timedOut, hungUp, failed };
// Blocks until the port has input, the line hangs up, `wakeup` is signalled or `timeoutMs` passes
// (a negative time-out waits without limit).
PortWait serialWaitReadable(PortHandle h, Wakeup& wakeup, int timeoutMs, int& osError);

// Blocks until `wakeup` is signalled or `timeoutMs` passes (negative: no limit). True when woken.
bool waitWakeup(Wakeup& wakeup, int timeoutMs);

// The error number that stands for a hung-up line (EIO on POSIX).
int hangupError();
// The error number reported when a write could not complete within its time-out.
int writeTimeoutError();

// ---------------------------------------------------------------------------------------------
// Events and threads
// ---------------------------------------------------------------------------------------------

enum class WaitResult { signalled, timedOut, failed };

// A manual-reset event: once set it stays set until reset; every waiter sees it.
// A wait that ends only when its event is set, closed or woken: for threads that have nothing to do
// until then and must not wake the machine to look.
constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

class ManualResetEvent {
  public:
    ManualResetEvent() = default;
    void set();
    void reset();
    bool isSet() const;
    // Waits at most `ms` milliseconds (kWaitForever: no limit). `failed` is returned once the event
    // has been closed.
    WaitResult wait(std::uint32_t ms);
    // Wakes every waiter with `failed`; later waits fail at once.
    void close();
    // Makes a closed event usable again, unsignalled.
    void open();

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
    bool closed_ = false;
};

// Asks for time-critical scheduling of `t` (SCHED_FIFO on POSIX); quietly keeps the normal priority
// when the system refuses.
void setTimeCriticalPriority(std::thread& t);
// True when the running thread `t` (joinable) has been ended without returning: Windows ends every
// other thread of a process that exits before it runs a DLL's exit handlers. Never on POSIX, where
// the threads still run while exit handlers do.
bool threadEndedBySystem(std::thread& t);
// True while the process is ending and its DLLs are being detached (Windows). The system ends the
// other threads then, but need not have finished doing so: nothing they may hold can be waited for.
// Never on POSIX.
bool processEnding();

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------

// Milliseconds of a monotonic clock, wrapping at 2^32 like the Windows tick count.
std::uint32_t tickCountMs();
void sleepMs(std::uint32_t ms);
// Sleeps `ms` milliseconds and returns as close after them as the system allows: the last two
// milliseconds are waited out awake, since a sleeping thread is woken a tenth of a millisecond late
// or more. For the few waits whose length is part of a protocol, not for periodic work.
void sleepPreciseMs(std::uint32_t ms);

// The smallest and largest period, in milliseconds, a periodic timer of this system can keep;
// false when the system cannot tell.
bool timerCapabilities(std::uint32_t& smallestMs, std::uint32_t& largestMs);

enum class TimerWait { expired, woken, timedOut, failed };

// A periodic timer whose every expiry sets an event of its own (Windows: the multimedia timer, which
// sets the event itself, no callback runs; POSIX: deadlines slept to by the waiting thread, so that the
// period does not drift with the time the waiter's work takes). One thread waits on it.
class PeriodicTimer {
  public:
    PeriodicTimer();
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;
    // Asks the system for the timer resolution `resolutionMs` and starts the timer with `periodMs`.
    // Returns the timer's id, or 0 when it could not be started (then nothing is left running).
    std::uint32_t start(std::uint32_t periodMs, std::uint32_t resolutionMs);
    // Kills the timer and gives the resolution back; no expiry is reported after it returns.
    void stop();
    // Waits until the timer has expired since the last expiry this returned (and clears that), until
    // wake() was called since the last wait that returned `woken`, or at most `ms` milliseconds
    // (kWaitForever: no limit).
    // Expiries missed while nobody waited: Windows reports them once (they set one event), POSIX
    // catches up on up to 100 of them.
    TimerWait wait(std::uint32_t ms);
    void wake();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalTime localTimeNow();

// ---------------------------------------------------------------------------------------------
// Files and environment
// ---------------------------------------------------------------------------------------------

// The directory holding the running program, without a trailing separator; empty when unknown.
std::string programDirectory();
// The directories the library log may go to after the one named by KVLIB_LOG_DIR, most preferred
// first. Each is created on demand by the caller.
std::vector<std::string> defaultLogDirectories();
// The last place for the log before standard output: a directory of this user's own under the
// system's temporary directory, created on demand with access for its owner only. Nothing where the
// platform has no such place, or where the directory exists but is not this user's own.
std::optional<std::string> privateTemporaryLogDirectory();
// The path separator of file names on this platform.
char pathSeparator();
// The value of an environment variable, or nothing when it is not set.
std::optional<std::string> environmentValue(const char* name);

// A value from a profile (INI) file with the Windows semantics: section and key names compared without
// regard to case, the value text as written with surrounding blanks removed, `fallback` when the file,
// the section or the key is missing.
std::string profileString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& fallback);

// True when `path` names a regular file (symbolic links followed). Nothing is read and nothing waits
// (POSIX looks at the entry only; Windows at most opens it for a query), so a FIFO or a device is
// told apart without blocking on it. False otherwise, with `osError` the system's error number: the
// one of the failed look-up, that of a directory (EISDIR / ERROR_DIRECTORY) or, for any other kind
// of file, EINVAL / ERROR_INVALID_FUNCTION.
bool isRegularFile(const std::string& path, int& osError);

// The name (without directory) of the first directory entry that matches `pattern`, whose last
// component may hold the wildcards '*' and '?'. Nothing when no entry matches.
std::optional<std::string> firstDirectoryEntry(const std::string& pattern);

}  // namespace kv::platform
