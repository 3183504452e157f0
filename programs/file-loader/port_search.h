// What the two programs share: the search for the controller's port by its device names, the
// argument rule for ports, and the texts both print.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "habits.h"

namespace ostrane {

// The two names under which the controller's port is listed, in the order they are searched.
inline constexpr const char* kInterfaceName = "Kolvex USB VORI Interface 2008";
inline constexpr const char* kControllerName = "Kolvex USB VORI KQ Controller";

// A port name or a port-list entry: a device path on POSIX is longer than a COM name.
inline constexpr std::size_t kPortNameBytes = 256;

// True when `name` occurs in `entry` with at most one character after it.
bool EntryMatches(const char* entry, const char* name);

// Runs up to three passes over the port list, `pauseMs` apart, and stores the first entry that
// carries one of the device names in `port` unless `port` is already set. The library must be up.
void FindControllerPort(std::string& port, std::uint32_t pauseMs = 8000);

// The program's own name: the file name of argv[0] without directory and extension, lower case.
std::string ProgramName(const char* argv0);

// The three usage lines that follow each program's own first usage line.
void PrintPortUsage(std::FILE* out);

// Upper-cases `text` in place (ASCII), as the programs examine their arguments.
void UpperCase(std::string& text);

// Writes the hint that follows "No interface available" when the port exists but cannot be had.
void PrintAccessDeniedHint(const std::string& port);

// True when `name` matches `pattern`, whose '*' stands for any run of characters and '?' for one.
bool WildcardMatch(const std::string& pattern, const std::string& name);

// The argument checks both programs make before anything else: --help/-h (and the platform's own
// way, AsksForUsage) and --version alone,
// no argument, too many. Returns the exit code when the program is to end now, or -1 to go on.
// `usage` writes the program's usage text to the stream it is given.
int CheckArgumentCount(int argc, char** argv, int maxArguments, const char* versionLine,
                       void (*usage)(std::FILE* out, const std::string& program));

// Waits until `flag` is non-zero, looking every millisecond.
void WaitForFlag(const std::atomic<std::uint32_t>& flag);

}  // namespace ostrane
